// SPDX-License-Identifier: MIT
// plughost's own logic without a plug-in: reading the plug-in's texts, the script
// language, the command line, the key decoder and the display.
#include <gtest/gtest.h>
#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>

#include "tools/plughost/Display.h"
#include "tools/plughost/Options.h"
#include "tools/plughost/Script.h"
#include "tools/plughost/Terminal.h"
#include "tools/plughost/Texts.h"

using namespace plughost;

namespace {

std::string Bits(float value) {
    int32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return std::to_string(bits);
}

std::optional<Options> Parse(std::vector<const char*> args, std::string* error) {
    args.insert(args.begin(), "plughost");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), error);
}

// A line of the frame without its styling.
std::string Plain(const std::string& line) {
    return std::regex_replace(line, std::regex("\x1b\\[[0-9;]*m"), "");
}

// The columns a terminal gives a line, by the C library's character widths.
int VisibleColumns(const std::string& line) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
    const locale_t previous = uselocale(utf8);
    std::mbstate_t state{};
    const std::string plain = Plain(line);
    const char* text = plain.c_str();
    std::wstring wide(plain.size() + 1, L'\0');
    const size_t count = std::mbsrtowcs(wide.data(), &text, wide.size(), &state);
    const int columns = count == static_cast<size_t>(-1) ? -1 : wcswidth(wide.c_str(), count);
    uselocale(previous);
    return columns;
}

SlotView PlayingSlot(int slot) {
    SlotView view;
    view.slot = slot;
    view.file = "/music/song" + std::to_string(slot) + ".flac";
    view.state = SlotState::Playing;
    view.title = "Title";
    view.artist = "Artist";
    view.rate = 44100;
    view.kbps = 612;
    view.layout = "Stereo";
    view.length = 30;
    view.position = 12;
    view.level = Level{true, 20480, 19876};
    return view;
}

}  // namespace

TEST(Texts, TimeTextsGiveTheirSecondsAndMalformedOnesNothing) {
    EXPECT_EQ(ParseTime("75#01:15#"), 75);
    EXPECT_EQ(ParseTime("0#00:00#"), 0);
    EXPECT_EQ(ParseTime("-1#28:15#"), -1);
    EXPECT_EQ(ParseTime("3600#00:00#"), 3600);
    for (const char* bad : {"", "75", "75#", "75#01:15", "x#01:15#", "75#01:15#9#", "#00:00#",
                            "99999999999#00:00#", "7 5#01:15#"})
        EXPECT_FALSE(ParseTime(bad)) << bad;
}

TEST(Texts, LevelTextIsRightThenLeftAndAllOnesMeansNotPlaying) {
    const auto level = ParseLevel("1000#2000#");
    ASSERT_TRUE(level);
    EXPECT_EQ(level->right, 1000);
    EXPECT_EQ(level->left, 2000);
    EXPECT_TRUE(level->playing);

    const auto stopped = ParseLevel("65535#65535#");
    ASSERT_TRUE(stopped);
    EXPECT_FALSE(stopped->playing);
    // One half at 65535 is a (clamped) reading, not "not playing".
    EXPECT_TRUE(ParseLevel("65535#0#")->playing);
    EXPECT_TRUE(ParseLevel("0#0#")->playing);
    for (const char* bad : {"65536#0#", "-1#0#", "1000#", "1000#2000", "a#b#", ""})
        EXPECT_FALSE(ParseLevel(bad)) << bad;
}

TEST(Texts, SpectrumFieldsAreFloatBitPatterns) {
    std::string text;
    const float values[kSpectrumBands] = {1.0f, 0.5f, 0.0f, -0.0f, 0.25f, 1e-6f, 2.0f};
    for (int i = 0; i < kSpectrumBands; ++i) text += Bits(values[i]) + "#";
    const auto spectrum = ParseSpectrum(text);
    ASSERT_TRUE(spectrum);
    for (int i = 0; i < kSpectrumBands; ++i)
        EXPECT_EQ((*spectrum)[static_cast<size_t>(i)], values[i]) << i;
    EXPECT_EQ(Bits(1.0f), "1065353216");  // the pattern 3F800000 the plug-in prints
    EXPECT_EQ(Bits(-0.0f), "-2147483648");

    EXPECT_FALSE(ParseSpectrum("0#0#0#"));
    EXPECT_FALSE(ParseSpectrum(text + "0#"));
    EXPECT_TRUE(ParseSpectrum("0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#"));
}

TEST(Texts, DecibelScales) {
    EXPECT_DOUBLE_EQ(LevelDb(32768), 0.0);
    EXPECT_NEAR(LevelDb(16384), -6.0206, 1e-3);
    EXPECT_TRUE(std::isinf(LevelDb(0)));
    EXPECT_DOUBLE_EQ(MagnitudeDb(1.0f), 0.0);
    EXPECT_NEAR(MagnitudeDb(0.001f), -60.0, 1e-3);
    // Zero, negative zero, negative and not-a-number magnitudes read as silence.
    for (const float silent : {0.0f, -0.0f, -1.0f, NAN}) {
        EXPECT_TRUE(std::isinf(MagnitudeDb(silent)));
        EXPECT_EQ(DbFraction(MagnitudeDb(silent)), 0.0);
    }
    EXPECT_EQ(DbFraction(MagnitudeDb(INFINITY)), 1.0);
    EXPECT_DOUBLE_EQ(DbFraction(-30.0), 0.5);
    EXPECT_EQ(DbFraction(6.0), 1.0);
    EXPECT_EQ(DbFraction(-90.0), 0.0);
}

TEST(Texts, ClockShowsHoursOnlyWhenThereAreSome) {
    EXPECT_EQ(FormatClock(0), "00:00");
    EXPECT_EQ(FormatClock(75), "01:15");
    EXPECT_EQ(FormatClock(3599), "59:59");
    EXPECT_EQ(FormatClock(3725), "1:02:05");
    EXPECT_EQ(FormatClock(-1), "--:--");
    // A position and its length share one format.
    EXPECT_EQ(FormatClockPair(596, 7200), "0:09:56 / 2:00:00");
    EXPECT_EQ(FormatClockPair(12, 30), "00:12 / 00:30");
}

TEST(Texts, TimesAsPeopleWriteThem) {
    const struct {
        const char* text;
        double seconds;  // -1: refused
    } cases[] = {
        {"90", 90},          {"1.5", 1.5},       {"0", 0},
        {"1:30", 90},        {"01:02:03", 3723}, {"1:02:03.5", 3723.5},
        {"0:59.25", 59.25},  {"1:60", -1},       {"1:2:60", -1},
        {"1.5:00", -1},      {"", -1},           {":30", -1},
        {"1:", -1},          {"1:2:3:4", -1},    {"-1", -1},
        {"1e3", -1},         {" 1", -1},         {".", -1},
        {"99999999:00", -1}, {"nan", -1},
    };
    for (const auto& c : cases) {
        const auto parsed = ParseTimeSpec(c.text);
        if (c.seconds < 0) {
            EXPECT_FALSE(parsed) << c.text;
        } else {
            ASSERT_TRUE(parsed) << c.text;
            EXPECT_DOUBLE_EQ(*parsed, c.seconds) << c.text;
        }
    }
}

TEST(Texts, JsonAndScriptQuoting) {
    EXPECT_EQ(JsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9"), "\"caf\xC3\xA9\"");             // UTF-8 kept
    EXPECT_EQ(JsonString("caf\xE9"), "\"caf\\u00e9\"");                  // Latin-1 byte
    EXPECT_EQ(JsonString("\xE2\x82"), "\"\\u00e2\\u0082\"");             // cut sequence
    EXPECT_EQ(JsonString("\xED\xA0\x80"), "\"\\u00ed\\u00a0\\u0080\"");  // surrogate
    EXPECT_EQ(QuoteText("say \"hi\"\\\t\x7F"), "\"say \\\"hi\\\"\\\\\\t\\x7f\"");
    // One line: C0 and C1 controls (as code points) become blanks; characters whose
    // UTF-8 holds bytes 0x80..0x9F stay; a stray byte reads as Latin-1.
    EXPECT_EQ(OneLine("a\nb\tc\x7F"), "a b c ");
    EXPECT_EQ(OneLine("x\xC2\x85y\xC2\x9B[2Jz"), "x y [2Jz");
    EXPECT_EQ(OneLine("\xE2\x80\x94 \xE5\xA4\x9C \xF0\x9F\x8E\xB5"),
              "\xE2\x80\x94 \xE5\xA4\x9C \xF0\x9F\x8E\xB5");
    EXPECT_EQ(OneLine("caf\xE9 \x85"), "caf\xC3\xA9  ");
    EXPECT_TRUE(IsUtf8("caf\xC3\xA9"));
    EXPECT_FALSE(IsUtf8("caf\xE9"));
}

TEST(ScriptLines, CallsAndTheirOperands) {
    std::string error;
    auto step = ParseScriptLine("SetData 3", &error);
    ASSERT_TRUE(step) << error;
    EXPECT_EQ(step->kind, ScriptStep::Kind::Call);
    EXPECT_EQ(step->name, "SetData");
    EXPECT_EQ(step->number, 3);
    EXPECT_EQ(ParseScriptLine("  SetData -2147483648  # lowest", &error)->number, INT32_MIN);

    step = ParseScriptLine(R"(SetFile "a\"b\\c\x41 # kept" # comment)", &error);
    ASSERT_TRUE(step) << error;
    EXPECT_EQ(step->text, "a\"b\\cA # kept");
    EXPECT_EQ(ParseScriptLine("SetFile \"\"", &error)->text, "");
    EXPECT_EQ(ParseScriptLine("SetPath \"/opt/host\"", &error)->text, "/opt/host");
    EXPECT_EQ(ParseScriptLine("SetParentWindow 0", &error)->number, 0);
    EXPECT_EQ(ParseScriptLine("GetPosTimeChannel", &error)->name, "GetPosTimeChannel");

    step = ParseScriptLine("sleep 0.25", &error);
    ASSERT_TRUE(step);
    EXPECT_EQ(step->kind, ScriptStep::Kind::Sleep);
    EXPECT_DOUBLE_EQ(step->seconds, 0.25);

    for (const char* nothing : {"", "   ", "# a comment", "\t# indented\r"})
        EXPECT_EQ(ParseScriptLine(nothing, &error)->kind, ScriptStep::Kind::Nothing) << nothing;
}

TEST(ScriptLines, BadLinesSayWhatIsWrong) {
    const struct {
        const char* line;
        const char* says;
    } cases[] = {
        {"SetData", "whole number"},
        {"SetData 2147483648", "whole number"},
        {"SetData 3x", "not '3x'"},
        {"SetData 3 4", "one operand"},
        {"SetData +3", "whole number"},
        {"SetFile %ARTI", "double quotes"},
        {"SetFile \"open", "closing quote"},
        {"SetFile \"\\q\"", "unknown escape"},
        {"SetFile \"\\x4\"", "hexadecimal"},
        {"SetFile \"\\x00\"", "NUL"},
        {"SetFile \"a\" \"b\"", "one operand"},
        {"GetFile 3", "takes no operand"},
        {"getfile", "did you mean GetFile?"},
        {"SetVolumeChannel", "unknown call"},
        {"sleep", "seconds"},
        {"sleep -1", "seconds"},
        {"sleep nan", "seconds"},
        {"sleep 4000", "seconds"},
        {"sleep 1 2", "one number"},
        {"SetParentWindow -1", "window handle"},
        {"\"SetData\"", "expected a call"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(ParseScriptLine(c.line, &error)) << c.line;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.line << " -> " << error;
    }
}

TEST(CommandLine, PlayWithEveryOption) {
    std::string error;
    const auto options = Parse(
        {"--output=null", "play", "a.wav", "--eq", "3=6", "--eq=10=-15", "b.mp3", "--volume", "50",
         "--start", "1:02.5", "--for", "1.5", "--plugin", "/x/Plugin.so", "--", "-odd.wav"},
        &error);
    ASSERT_TRUE(options) << error;
    EXPECT_EQ(options->command, "play");
    EXPECT_EQ(options->output, "null");
    EXPECT_EQ(options->plugin, "/x/Plugin.so");
    EXPECT_EQ(options->files, (std::vector<std::string>{"a.wav", "b.mp3", "-odd.wav"}));
    EXPECT_EQ(options->bands, (std::vector<std::pair<int, int>>{{3, 6}, {10, -15}}));
    EXPECT_EQ(options->volume, 50);
    EXPECT_DOUBLE_EQ(options->start, 62.5);
    EXPECT_DOUBLE_EQ(options->forSeconds.value_or(0), 1.5);

    EXPECT_EQ(Parse({"--output", "wav:/tmp/out.wav", "info", "--json", "a"}, &error)->output,
              "wav:/tmp/out.wav");
    EXPECT_EQ(Parse({"script"}, &error)->files.size(), 0u);
    EXPECT_EQ(Parse({"script", "-"}, &error)->files.front(), "-");

    const auto render =
        Parse({"render", "a.wav", "-o", "out.wav", "--format", "f32", "--start", "0.25"}, &error);
    ASSERT_TRUE(render) << error;
    EXPECT_EQ(render->outFile, "out.wav");
    EXPECT_TRUE(render->floatSamples);
    EXPECT_DOUBLE_EQ(render->start, 0.25);
    EXPECT_TRUE(Parse({"--version"}, &error)->version);
}

TEST(CommandLine, HelpForEveryCommand) {
    std::string error;
    for (const char* command : {"play", "render", "info", "script"}) {
        auto options = Parse({command, "--help"}, &error);
        ASSERT_TRUE(options && options->help) << command;
        EXPECT_EQ(options->command, command);
        EXPECT_NE(HelpText(command).find(std::string("usage: plughost ") + command),
                  std::string::npos);
        options = Parse({"help", command}, &error);
        ASSERT_TRUE(options && options->help);
        EXPECT_EQ(options->command, command);
    }
    const auto overview = Parse({"-h"}, &error);
    ASSERT_TRUE(overview && overview->help);
    EXPECT_EQ(overview->command, "");
}

// Every option of the table under every command, in each spelling it has: taken
// where it belongs, refused elsewhere with its command named, and listed in the
// help that belongs to it.
TEST(CommandLine, EveryOptionUnderEveryCommand) {
    // A valid value for each option that takes one.
    const std::map<std::string, std::string> values = {
        {"--plugin", "/x/Plugin.so"}, {"--output", "null"}, {"--eq", "3=6"},
        {"--volume", "50"},           {"--start", "2"},     {"--for", "1.5"},
        {"--out", "x.wav"},           {"--format", "f32"}};
    for (const auto& option : OptionTable()) {
        const std::string name = option.name;
        for (const auto& command : CommandTable()) {
            if (option.commands && !OptionBelongsTo(option, command.name)) continue;
            EXPECT_NE(HelpText(option.commands ? command.name : "")
                          .find("  " + std::string(option.alias ? option.alias : name)),
                      std::string::npos)
                << name << " in the help of " << command.name;
        }

        std::vector<std::vector<std::string>> spellings;
        if (option.value) {
            if (option.alias) spellings.push_back({option.alias, values.at(name)});
            ASSERT_EQ(values.count(name), 1u) << name << " needs a value in this test";
            spellings.push_back({name, values.at(name)});
            spellings.push_back({name + "=" + values.at(name)});
        } else {
            if (option.alias) spellings.push_back({option.alias});
            spellings.push_back({name});
        }
        for (const auto& command : CommandTable()) {
            const bool belongs = OptionBelongsTo(option, command.name);
            for (const auto& spelling : spellings) {
                std::vector<const char*> args = {command.name, "file"};
                // render cannot go without its output file.
                if (command.name == std::string("render") && name != "--out")
                    args.insert(args.end(), {"-o", "x.wav"});
                for (const auto& arg : spelling) args.push_back(arg.c_str());
                std::string error;
                const auto options = Parse(args, &error);
                if (belongs) {
                    EXPECT_TRUE(options) << command.name << " " << spelling[0] << ": " << error;
                } else {
                    EXPECT_FALSE(options) << command.name << " " << spelling[0];
                    EXPECT_EQ(error.rfind(name + " belongs to the ", 0), 0u) << error;
                    EXPECT_NE(error.find(std::string(option.commands).substr(0, 4)),
                              std::string::npos)
                        << error;
                }
            }
            std::string error;
            const std::string wrong = option.value ? name : name + "=1";
            EXPECT_FALSE(Parse({command.name, "file", wrong.c_str()}, &error)) << wrong;
            EXPECT_EQ(error, name + (option.value ? " needs a value" : " takes no value"));
        }
    }
}

// The manual page names every command and option the tables hold.
TEST(CommandLine, ManualPageNamesEveryCommandAndOption) {
    std::ifstream source(MAN_PAGE_SOURCE);
    ASSERT_TRUE(source) << MAN_PAGE_SOURCE;
    const std::string page((std::istreambuf_iterator<char>(source)),
                           std::istreambuf_iterator<char>());
    const auto roff = [](std::string text) {  // "--eq" is written \-\-eq
        for (size_t at = 0; (at = text.find('-', at)) != std::string::npos; at += 2)
            text.insert(at, "\\");
        return text;
    };
    const size_t commands = page.find(".SH COMMANDS"), options = page.find(".SH OPTIONS");
    ASSERT_LT(commands, options);
    for (const auto& command : CommandTable())
        EXPECT_NE(page.substr(commands, options - commands).find(command.name), std::string::npos)
            << command.name;
    for (const auto& option : OptionTable())
        EXPECT_NE(page.find(roff(option.name)), std::string::npos) << option.name;
}

TEST(CommandLine, BadUsageIsRefusedWithAReason) {
    std::vector<std::string> many = {"play"};
    for (int i = 0; i < 33; ++i) many.push_back("f" + std::to_string(i));
    std::vector<const char*> manyArgs;
    for (const auto& arg : many) manyArgs.push_back(arg.c_str());

    const struct {
        std::vector<const char*> args;
        const char* says;
    } cases[] = {
        {{}, "no command"},
        {{"bogus"}, "unknown command"},
        {{"", "a"}, "unknown command ''"},
        {{"play"}, "at least one file"},
        {{"info"}, "at least one file"},
        {{"play", "a", "--eq", "11=0"}, "--eq takes"},
        {{"play", "a", "--eq", "3=16"}, "--eq takes"},
        {{"play", "a", "--eq", "3"}, "--eq takes"},
        {{"play", "a", "--volume", "501"}, "--volume"},
        {{"play", "a", "--volume", "-1"}, "--volume"},
        {{"play", "a", "--start", "1:75"}, "--start takes a time"},
        {{"play", "a", "--start", "-2"}, "--start takes a time"},
        {{"render", "a", "-o", "b.wav", "--for", "0:00"}, "--for takes a time above 0"},
        {{"render", "a"}, "render needs -o FILE"},
        {{"render", "a", "-o", "-"}, "standard output is not supported"},
        {{"render", "a", "-o", "b.wav", "--format", "s24"}, "--format takes s16 or f32"},
        {{"play", "a", "-"}, "standard input ('-') is not supported"},
        {{"info", "-"}, "standard input ('-') is not supported"},
        {{"--output", "out.wav", "play", "a"}, "plughost render FILE -o out.wav"},
        {{"info", "a", "--format", "f32"}, "belongs to the render command"},
        {{"info", "a", "--eq", "1=1"}, "belongs to the play and render commands"},
        {{"play", "a", "--for", "0"}, "--for"},
        {{"play", "a", "--for", "inf"}, "--for"},
        {{"play", "a", "--for"}, "needs a value"},
        {{"--output", "manual", "play", "a"}, "--output takes"},
        {{"--output", "wav:", "play", "a"}, "--output takes"},
        {{"--plugin=", "play", "a"}, "needs a path"},
        {{"info", "a", "--volume", "5"}, "belongs to the play and render commands"},
        {{"play", "a", "--json"}, "belongs to the info command"},
        {{"script", "a", "b"}, "one file"},
        {{"play", "a", "--loud"}, "unknown option --loud"},
        {{"info", "--json=yes", "a"}, "takes no value"},
        {{"--help=yes"}, "--help takes no value"},
        {{"help", "play", "info"}, "at most one"},
        {manyArgs, "at most 32"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_FALSE(Parse(c.args, &error)) << c.says;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
}

TEST(Keys, DecoderReadsKeysAndArrowsSplitAcrossReads) {
    KeyDecoder decoder;
    auto keys = decoder.Feed(" s+-e5qm\t0", 10);
    const KeyKind expected[] = {KeyKind::Space, KeyKind::Stop,  KeyKind::Plus, KeyKind::Minus,
                                KeyKind::Eq,    KeyKind::Digit, KeyKind::Quit, KeyKind::Mute,
                                KeyKind::Tab,   KeyKind::Digit};
    ASSERT_EQ(keys.size(), 10u);
    for (size_t i = 0; i < keys.size(); ++i) EXPECT_EQ(keys[i].kind, expected[i]) << i;
    EXPECT_EQ(keys[5].digit, 5);
    EXPECT_EQ(keys[9].digit, 0);

    EXPECT_TRUE(decoder.Feed("\x1b", 1).empty());
    keys = decoder.Feed("[D\x1bOC\x1b[1;5A\x1b[Z", 14);
    ASSERT_EQ(keys.size(), 4u);
    EXPECT_EQ(keys[0].kind, KeyKind::Left);
    EXPECT_EQ(keys[1].kind, KeyKind::Right);
    EXPECT_EQ(keys[2].kind, KeyKind::Up);
    EXPECT_EQ(keys[3].kind, KeyKind::BackTab);
    // A lone escape followed by a key drops the escape, keeps the key.
    keys = decoder.Feed("\x1bq", 2);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].kind, KeyKind::Quit);
}

TEST(Display, StatusLines) {
    SlotView view = PlayingSlot(1);
    EXPECT_EQ(StatusLine(view),
              "[1] playing 00:12 / 00:30  L 20480 R 19876  vol 100%  Title - Artist");

    view.state = SlotState::Ended;
    view.position = 30;
    view.level = Level{};  // 65535#65535#: not playing
    view.title.clear();
    view.artist.clear();
    EXPECT_EQ(StatusLine(view), "[1] ended 00:30 / 00:30  L - R -  vol 100%  song1.flac");

    SlotView empty;
    empty.slot = 2;
    empty.file = "gone.mp3";
    empty.problem = "No such file or directory";
    EXPECT_EQ(StatusLine(empty), "[2] empty  gone.mp3: cannot play: No such file or directory");
}

// The live frame at common widths, with titles of every kind of character: no line
// is wider than the terminal (a wider one wraps and moves every row below), and the
// facts keep their place at the right edge of the slot's first line.
TEST(Display, FramesHoldAtEveryWidthWithEveryKindOfTitle) {
    const struct {
        const char* kind;
        std::string title;
    } titles[] = {
        {"ASCII", "Plughost Demo Groove"},
        {"accented", "Cre\u0300me bru\u0302le\u0301e \u00e0 la d\u00e9couverte"},
        {"CJK", "\u591c\u306b\u99c6\u3051\u308b"},
        {"emoji", "\U0001F3B5 Night \U0001F319 Drive \U0001F697"},
    };
    for (const int columns : {40, 80, 120, 200}) {
        for (const auto& title : titles) {
            for (const int repeat : {1, 8}) {  // fits, and has to be cut
                FrameInput input;
                for (int slot = 1; slot <= 12; ++slot) input.slots.push_back(PlayingSlot(slot));
                std::string longTitle;
                for (int i = 0; i < repeat; ++i) longTitle += (i ? " " : "") + title.title;
                input.slots[0].title = longTitle;
                input.slots[0].artist = "\u30a2\u30fc\u30c6\u30a3\u30b9\u30c8";
                input.slots[0].spectrum.fill(0.5f);
                input.slots[11].title = longTitle;  // slot 12: two digits
                input.heading = " plughost  /usr/lib/audioplugin/Plugin.so  output " + longTitle;
                input.message = "selected slot 12 " + longTitle;
                input.showEq = repeat == 8;
                for (const size_t selected : {size_t{0}, size_t{11}}) {
                    input.selected = selected;
                    const Screen screen{columns, 24, true, true};
                    const auto lines = RenderFrame(input, screen);
                    const std::string where = std::to_string(columns) + " columns, " + title.kind +
                                              " x" + std::to_string(repeat) + ", slot " +
                                              std::to_string(selected + 1);
                    ASSERT_LE(lines.size(), 24u) << where;
                    for (const auto& line : lines)
                        EXPECT_LE(VisibleColumns(line), columns) << where << ": " << Plain(line);
                    {
                        const int slot = static_cast<int>(selected) + 1;
                        // The slot's first line: its number, the title, and the facts
                        // ending at the last column.
                        const std::string number =
                            (slot < 10 ? " " : "") + std::to_string(slot) + " ";
                        const auto header =
                            std::find_if(lines.begin(), lines.end(), [&](const std::string& line) {
                                // After the selection marker: " \u25B6 " or three blanks.
                                std::string plain = Plain(line);
                                if (plain.rfind(" \u25B6 ", 0) == 0) plain.replace(0, 5, "   ");
                                return plain.compare(0, 6, "   " + number) == 0;
                            });
                        ASSERT_NE(header, lines.end()) << where << ": slot " << slot;
                        const std::string plain = Plain(*header);
                        EXPECT_EQ(VisibleColumns(*header), columns) << where << ": " << plain;
                        EXPECT_EQ(plain.compare(plain.size() - 6, 6, "Stereo"), 0)
                            << where << ": " << plain;
                        const std::string start = longTitle.substr(0, 4);
                        EXPECT_NE(plain.find(start), std::string::npos) << where << ": " << plain;
                    }
                }
            }
        }
    }
}

// Any size, down to a single cell, and a slot too many for the rows: the frame
// still fits.
TEST(Display, FramesFitTheTerminalWhateverItsSize) {
    FrameInput input;
    for (int slot = 1; slot <= 32; ++slot) input.slots.push_back(PlayingSlot(slot));
    input.slots[3].state = SlotState::Empty;
    input.slots[3].problem = "is a directory";
    input.slots[0].title = std::string(300, 'x');
    for (const bool utf8 : {true, false}) {
        for (const auto& [columns, rows] : {std::pair{20, 5}, {1, 1}, {120, 300}, {80, 24}}) {
            for (size_t selected : {size_t{0}, size_t{17}, size_t{31}}) {
                input.selected = selected;
                input.showEq = selected == 17;
                const auto lines = RenderFrame(input, Screen{columns, rows, utf8, true});
                EXPECT_LE(static_cast<int>(lines.size()), rows);
                for (const auto& line : lines)
                    EXPECT_LE(VisibleColumns(line), columns) << columns << "x" << rows;
                // The key bar, above the message line: the way out is never cut off,
                // and at 80 columns with arrows nothing is.
                if (rows < 2) continue;
                const std::string keys = Plain(lines[lines.size() - 2]);
                EXPECT_EQ(keys.rfind(" q quit", 0), 0u) << columns << "x" << rows << ": " << keys;
                if (columns == 80 && utf8 && !input.showEq) {
                    EXPECT_EQ(keys.substr(keys.size() - 6), "  e EQ") << keys;
                }
            }
        }
    }
}

TEST(Display, MetersPeaksSpectrumAndEqualiserFollowTheReadings) {
    FrameInput input;
    input.slots.push_back(PlayingSlot(1));
    SlotView& view = input.slots[0];
    view.level = Level{true, 32768, 4096};  // left full scale, right at -18 dB
    view.peakRight = 0.9;                   // right's peak held at -6 dB
    view.spectrum.fill(0.0f);
    view.spectrum[0] = 1.0f;  // first band at full scale
    const Screen screen{100, 30, true, false};
    auto frame = RenderFrame(input, screen);

    const auto lineStarting = [&](const std::vector<std::string>& lines, const std::string& start) {
        for (const auto& line : lines)
            if (line.compare(0, start.size(), start) == 0) return line;
        return std::string();
    };
    const std::string left = lineStarting(frame, "      L ");
    const std::string right = lineStarting(frame, "      R ");
    EXPECT_NE(left.find("\u2588\u2588\u2588\u2588"), std::string::npos) << left;
    EXPECT_NE(left.find("0.0 dB"), std::string::npos);
    EXPECT_NE(right.find("-18.1 dB"), std::string::npos) << right;
    // The peak mark stands beyond the bar, at 90 % of the meter.
    const size_t mark = right.find("\u2502");
    ASSERT_NE(mark, std::string::npos) << right;
    EXPECT_GT(mark, right.rfind("\u2588"));
    // The first band fills every row of a spectrum that takes the rows left over;
    // the others stay blank.
    int fullRows = 0;
    for (const auto& line : frame)
        if (line.compare(0, 6 + 6, "      \u2588\u2588") == 0 &&
            line.find("\u2588", 6 + 15) == std::string::npos)
            ++fullRows;
    EXPECT_GT(fullRows, 3);

    // A stream that is not playing (65535#65535#) draws empty meters, no peaks.
    view.level = *ParseLevel("65535#65535#");
    frame = RenderFrame(input, screen);
    for (const char* label : {"      L ", "      R "}) {
        const std::string meter = lineStarting(frame, label);
        EXPECT_EQ(meter.find("\u2588"), std::string::npos) << meter;
        EXPECT_EQ(meter.find("\u2502"), std::string::npos) << meter;
    }

    // The equaliser open on the slot shows its gains, the band being edited marked.
    view.gains[4] = 3;
    input.showEq = true;
    input.eqBand = 4;
    frame = RenderFrame(input, screen);
    EXPECT_NE(lineStarting(frame, "      EQ").find("  600:+0  [1k:+3]  3k:+0"), std::string::npos)
        << lineStarting(frame, "      EQ");
}
