// SPDX-License-Identifier: MIT
// plughost run as a user runs it, with the real plug-in and engine on the null
// output, over audio files generated here.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "tests/plughost/Process.h"
#include "tests/support/AudioFiles.h"

using plughosttest::Lines;
using plughosttest::Outcome;

namespace {

const std::string kPlughost = PLUGHOST_PATH;
const std::string kPlugin = PLUGIN_PATH;

struct Tags {
    const char* title;
    const char* artist;
    const char* album;
    const char* genre;
    const char* year;
    const char* track;
    const char* comment;
};
const Tags kTags = {"Tagged Title", "Test Artist", "Test Album",    "Ambient",
                    "2024",         "3/12",        "made in a test"};

// A mono FLAC with the seven tags, written through libsndfile's Vorbis comments.
bool WriteTaggedFlac(const std::string& path, int rate, double seconds) {
    SF_INFO info = {};
    info.samplerate = rate;
    info.channels = 1;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    sf_set_string(file, SF_STR_TITLE, kTags.title);
    sf_set_string(file, SF_STR_ARTIST, kTags.artist);
    sf_set_string(file, SF_STR_ALBUM, kTags.album);
    sf_set_string(file, SF_STR_GENRE, kTags.genre);
    sf_set_string(file, SF_STR_DATE, kTags.year);
    sf_set_string(file, SF_STR_TRACKNUMBER, kTags.track);
    sf_set_string(file, SF_STR_COMMENT, kTags.comment);
    const auto frames = static_cast<int64_t>(rate * seconds);
    const auto samples = testaudio::Sine(rate, 1, frames, 440.0, 0.5);
    const bool ok = sf_writef_float(file, samples.data(), frames) == frames;
    return sf_close(file) == 0 && ok;
}

// The bit rate the plug-in reports: the file's bytes over the stream's duration
// (held in single precision), plus one half, rounded to the nearest even.
long ExpectedKbps(const std::string& path, double seconds) {
    struct stat info;
    stat(path.c_str(), &info);
    const float duration = static_cast<float>(seconds);
    return std::lrint(static_cast<double>(info.st_size) / (125.0 * duration) + 0.5);
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The part of a JSON array printed by `info --json` that describes one file.
std::string JsonObjectFor(const std::string& json, const std::string& file) {
    const auto start = json.find("\"file\": " + Quoted(file));
    if (start == std::string::npos) return "";
    return json.substr(start, json.find("\n  }", start) - start);
}

class Plughost : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new testaudio::TempDir;
        ASSERT_TRUE(testaudio::Write(Tone(), testaudio::Format::Wav, 44100, 2,
                                     testaudio::Sine(44100, 2, 88200, 1000.0, 0.5)));
        ASSERT_TRUE(testaudio::Write(Long(), testaudio::Format::Wav, 44100, 2,
                                     testaudio::Sine(44100, 2, 6 * 44100, 500.0, 0.25)));
        ASSERT_TRUE(testaudio::Write(Vorbis(), testaudio::Format::OggVorbis, 48000, 2,
                                     testaudio::Sine(48000, 2, 48000 * 5 / 2, 1000.0, 0.5)));
        ASSERT_TRUE(WriteTaggedFlac(Tagged(), 22050, 3.0));
        std::ofstream(Garbage()) << std::string(4096, 'x') << "not audio at all";
        std::ofstream(Empty()).close();
        mkdir(Folder().c_str(), 0755);
    }
    static void TearDownTestSuite() { delete dir_; }

    static std::string Tone() { return dir_->File("tone.wav"); }       // 2 s, 44100, stereo
    static std::string Long() { return dir_->File("long.wav"); }       // 6 s
    static std::string Vorbis() { return dir_->File("tone.ogg"); }     // 2.5 s, 48000
    static std::string Tagged() { return dir_->File("tagged.flac"); }  // 3 s, 22050, mono
    static std::string Garbage() { return dir_->File("garbage.mp3"); }
    static std::string Empty() { return dir_->File("empty.wav"); }
    static std::string Folder() { return dir_->File("folder.wav"); }
    static std::string Missing() { return dir_->File("missing.flac"); }

    static Outcome Plug(std::vector<std::string> args, const std::string& input = "") {
        args.insert(args.begin(), {"--output", "null"});
        return plughosttest::Run(kPlughost, args, input);
    }

    static testaudio::TempDir* dir_;
};
testaudio::TempDir* Plughost::dir_ = nullptr;

// Runs a script from a file and compares its output line by line.
void ExpectTranscript(const std::string& script, const std::vector<std::string>& expected,
                      const std::string& scriptPath) {
    std::ofstream(scriptPath) << script;
    const Outcome run = plughosttest::Run(kPlughost, {"--output", "null", "script", scriptPath});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), expected.size()) << run.out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (expected[i].rfind("~", 0) == 0)  // a pattern
            EXPECT_TRUE(std::regex_match(lines[i], std::regex(expected[i].substr(1))))
                << "line " << i + 1 << ": " << lines[i];
        else
            EXPECT_EQ(lines[i], expected[i]) << "line " << i + 1;
    }
}

}  // namespace

TEST_F(Plughost, ScriptReadsIdentityRegistersAndStreamFacts) {
    const std::string script =
        "# identity and registers right after start-up\n"
        "GetInfo\n"
        "GetType\n"
        "GetData\n"
        "GetFile\n"
        "Copyright\n"
        "SetData 1\n"
        "SetFile " +
        Quoted(Tone()) +
        "\n"
        "CreateChannel\n"
        "GetFreqChannel\n"
        "GetFile\n"
        "GetChansChannel\n"
        "GetFile\n"
        "GetLengthTimeChannel\n"
        "GetFile\n"
        "GetPosTimeChannel   # not started: at the top\n"
        "GetFile\n"
        "GetLevelChannel\n"
        "GetFile\n"
        "SetData 2\n"
        "SetFile " +
        Quoted(Tagged()) +
        "\n"
        "CreateChannel\n"
        "GetChansChannel\n"
        "GetFile\n"
        "GetFreqChannel\n"
        "GetFile\n"
        "SetFile \"%TITL\"\n"
        "GetTagChannel\n"
        "GetFile\n"
        "SetFile \"%TRCK\"\n"
        "GetTagChannel\n"
        "GetFile\n"
        "SetFile \"%titl\"\n"
        "GetTagChannel\n"
        "GetFile\n"
        "GetDataChannel128\n"
        "GetFile\n"
        "SetData 3\n"
        "GetFreqChannel   # an empty slot\n"
        "GetFile\n"
        "GetData\n";
    ExpectTranscript(script,
                     {"GetInfo -> \"Get color of pixel\"", "GetType -> 0", "GetData -> 0",
                      "GetFile -> \"\"", "~Copyright -> \".+\"", "GetFile -> \"44100\"",
                      "GetFile -> \"Stereo\"", "GetFile -> \"2#00:02#\"", "GetFile -> \"0#00:00#\"",
                      "GetFile -> \"65535#65535#\"", "GetFile -> \"Mono\"", "GetFile -> \"22050\"",
                      "GetFile -> \"Tagged Title\"", "GetFile -> \"3/12\"", "GetFile -> \"\"",
                      "GetFile -> \"\"", "GetFile -> \"0\"", "GetData -> 0"},
                     dir_->File("facts.script"));
}

TEST_F(Plughost, ScriptSeeksPlaysStopsAndSetsABand) {
    const std::string script =
        "SetData 1\n"
        "SetFile " +
        Quoted(Long()) +
        "\n"
        "CreateChannel\n"
        "SetData 1\n"
        "EqCreateChannel\n"
        "SetData 1\n"
        "SetData 10\n"
        "SetData 6\n"
        "EqSetChannel     # +6 dB at 16 kHz, far above the tone\n"
        "GetFile          # EqSetChannel empties the result\n"
        "SetData 1\n"
        "SetData 3\n"
        "SetPositionForChannel\n"
        "SetData 1\n"
        "GetPosTimeChannel\n"
        "GetFile\n"
        "SetData 1\n"
        "PlayChannel\n"
        "sleep 0.4\n"
        "GetLevelChannel\n"
        "GetFile\n"
        "GetDataChannel20\n"
        "GetFile\n"
        "StopChannel\n"
        "GetLevelChannel\n"
        "GetFile\n"
        "GetPosTimeChannel   # stop keeps the position\n"
        "GetFile\n"
        "PlayChannel\n"
        "PauseChannel\n"
        "GetPosTimeChannel   # a play after a stop starts from the top\n"
        "GetFile\n";
    // A quarter-scale sine peaks near 8192 of 32768 on both sides.
    ExpectTranscript(
        script,
        {"GetFile -> \"\"", "GetFile -> \"3#00:03#\"",
         "~GetFile -> \"([7-9][0-9]{3})#([7-9][0-9]{3})#\"", "~GetFile -> \"(-?[0-9]+#){20}\"",
         "GetFile -> \"65535#65535#\"", "~GetFile -> \"3#00:03#\"", "GetFile -> \"0#00:00#\""},
        dir_->File("transport.script"));
}

TEST_F(Plughost, ScriptBadLineStopsWithItsLineNumberBeforeAnyCall) {
    const std::string path = dir_->File("bad.script");
    std::ofstream(path) << "GetInfo\n# fine so far\nSetData three\nGetType\n";
    Outcome run = plughosttest::Run(kPlughost, {"--output", "null", "script", path});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(path + ":3: SetData takes a whole number"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.out, "");  // the script is checked whole first

    // From standard input, and with --echo.
    run = plughosttest::Run(kPlughost, {"--output", "null", "script", "--echo"},
                            "GetType\nGetData\n");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "> GetType\nGetType -> 0\n> GetData\nGetData -> 0\n");
    run = plughosttest::Run(kPlughost, {"--output", "null", "script", "-"}, "GetType\nbogus 1\n");
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("-:2: unknown call 'bogus'"), std::string::npos) << run.err;

    run = plughosttest::Run(kPlughost, {"--output", "null", "script", Missing()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("cannot read the script " + Missing()), std::string::npos);
}

TEST_F(Plughost, InfoJsonReportsLengthsRatesLayoutsAndTags) {
    const Outcome run = Plug({"info", "--json", Tone(), Tagged(), Vorbis()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.front(), '[');

    const std::string tone = JsonObjectFor(run.out, Tone());
    EXPECT_NE(tone.find("\"length_seconds\": 2,"), std::string::npos) << tone;
    EXPECT_NE(tone.find("\"length\": \"00:02\""), std::string::npos);
    EXPECT_NE(tone.find("\"rate\": 44100,"), std::string::npos);
    EXPECT_NE(tone.find("\"kbps\": " + std::to_string(ExpectedKbps(Tone(), 2.0)) + ","),
              std::string::npos)
        << tone;
    EXPECT_NE(tone.find("\"layout\": \"Stereo\""), std::string::npos);
    EXPECT_NE(tone.find("\"title\": \"\", \"artist\": \"\""), std::string::npos);

    const std::string tagged = JsonObjectFor(run.out, Tagged());
    EXPECT_NE(tagged.find("\"length_seconds\": 3,"), std::string::npos) << tagged;
    EXPECT_NE(tagged.find("\"rate\": 22050,"), std::string::npos);
    EXPECT_NE(tagged.find("\"kbps\": " + std::to_string(ExpectedKbps(Tagged(), 3.0)) + ","),
              std::string::npos)
        << tagged;
    EXPECT_NE(tagged.find("\"layout\": \"Mono\""), std::string::npos);
    EXPECT_NE(tagged.find("\"tags\": {\"title\": \"Tagged Title\", \"artist\": \"Test Artist\", "
                          "\"album\": \"Test Album\", \"genre\": \"Ambient\", \"year\": \"2024\", "
                          "\"track\": \"3/12\", \"comment\": \"made in a test\"}"),
              std::string::npos)
        << tagged;

    // 2.5 s rounds to the even 2.
    const std::string vorbis = JsonObjectFor(run.out, Vorbis());
    EXPECT_NE(vorbis.find("\"length_seconds\": 2,"), std::string::npos) << vorbis;
    EXPECT_NE(vorbis.find("\"rate\": 48000,"), std::string::npos);
}

TEST_F(Plughost, InfoTextIsAligned) {
    const Outcome run = Plug({"info", Tagged()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, Tagged() +
                           "\n"
                           "  length   00:03 (3 s)\n"
                           "  rate     22050 Hz\n"
                           "  bitrate  " +
                           std::to_string(ExpectedKbps(Tagged(), 3.0)) +
                           " kbps\n"
                           "  layout   Mono\n"
                           "  title    Tagged Title\n"
                           "  artist   Test Artist\n"
                           "  album    Test Album\n"
                           "  genre    Ambient\n"
                           "  year     2024\n"
                           "  track    3/12\n"
                           "  comment  made in a test\n");
}

TEST_F(Plughost, UnplayableFilesAreNamedWithTheReasonAndExitOne) {
    const struct {
        std::string file;
        const char* reason;
    } cases[] = {
        {Missing(), "No such file or directory"}, {Folder(), "is a directory"},
        {Garbage(), "not a playable audio file"}, {Empty(), "not a playable audio file"},
        {"/dev/null", "not a regular file"},
    };
    for (const auto& c : cases) {
        Outcome run = Plug({"info", c.file});
        EXPECT_EQ(run.status, 1) << c.file;
        EXPECT_NE(run.err.find("cannot open " + c.file + ": " + c.reason), std::string::npos)
            << run.err;
        run = Plug({"play", c.file});
        EXPECT_EQ(run.status, 1) << c.file;
        EXPECT_NE(run.err.find("cannot play " + c.file + ": " + c.reason), std::string::npos)
            << run.err;
    }
    // In JSON the bad file has an error entry and the good one its facts.
    const Outcome run = Plug({"info", "--json", Missing(), Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(JsonObjectFor(run.out, Missing()).find("\"error\": \"No such file or directory\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(JsonObjectFor(run.out, Tone()).find("\"rate\": 44100"), std::string::npos);
}

TEST_F(Plughost, PlayPrintsPlainStatusLinesUntilEveryFileHasEnded) {
    const Outcome run = Plug({"play", Tone(), Missing(), "--volume", "50", "--eq", "4=6"});
    EXPECT_EQ(run.status, 1);  // one file could not be played; the other played to its end
    EXPECT_NE(run.err.find("cannot play " + Missing()), std::string::npos);

    const std::regex status(
        R"(\[(\d+)\] (playing|paused|stopped|ended) (\d\d:\d\d) / (\d\d:\d\d)  L (\d+|-) R (\d+|-)  vol (\d+)%  (.*))");
    const std::regex empty(R"(\[2\] empty  (.*): cannot play: No such file or directory)");
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    std::smatch match;
    std::string lastSlot1;
    for (const auto& line : lines) {
        if (std::regex_match(line, match, status)) {
            EXPECT_EQ(match[1], "1");
            EXPECT_EQ(match[4], "00:02");
            EXPECT_EQ(match[7], "50");
            EXPECT_EQ(match[8], "tone.wav");
            lastSlot1 = line;
        } else {
            EXPECT_TRUE(std::regex_match(line, empty)) << line;
        }
    }
    EXPECT_EQ(lastSlot1, "[1] ended 00:02 / 00:02  L - R -  vol 50%  tone.wav");
}

TEST_F(Plughost, PlayStartsWhereAskedAndStopsAfterTheTimeGiven) {
    const Outcome run = Plug({"play", Long(), Tagged(), "--start", "2", "--for", "0.5"});
    EXPECT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 4u) << run.out;
    // The first round of lines shows both slots at the start position; the last
    // round, after --for, still playing.
    EXPECT_EQ(lines[0].rfind("[1] playing 00:02 / 00:06", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("[2] playing 00:02 / 00:03", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("Tagged Title - Test Artist"), std::string::npos);
    EXPECT_EQ(lines[lines.size() - 2].rfind("[1] playing", 0), 0u);
    EXPECT_EQ(lines.back().rfind("[2] playing", 0), 0u);

    // A start beyond the end is said, and the file plays from its top.
    const Outcome beyond = Plug({"play", Tone(), "--start", "5", "--for", "0.2"});
    EXPECT_EQ(beyond.status, 0);
    EXPECT_NE(beyond.err.find("is only 2 s long"), std::string::npos) << beyond.err;
}

TEST_F(Plughost, OutputChoiceReachesTheEngine) {
    // wav:PATH records what is played: the whole tone, at its level.
    const std::string recording = dir_->File("recording.wav");
    Outcome run = plughosttest::Run(kPlughost, {"--output", "wav:" + recording, "play", Tone()});
    ASSERT_EQ(run.status, 0) << run.err;
    SF_INFO info = {};
    SNDFILE* file = sf_open(recording.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr);
    std::vector<float> samples(static_cast<size_t>(info.frames * info.channels));
    sf_readf_float(file, samples.data(), info.frames);
    sf_close(file);
    EXPECT_GE(info.frames, info.samplerate * 19 / 10);  // the tone lasts 2 s
    float peak = 0;
    for (const float sample : samples) peak = std::max(peak, std::fabs(sample));
    EXPECT_NEAR(peak, 0.5f, 0.05f);

    // An output the engine cannot start on leaves every file unopened, and says so.
    run = plughosttest::Run(kPlughost,
                            {"--output", "wav:/nonexistent/folder/out.wav", "info", Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("the engine may not have started on the output "
                           "'wav:/nonexistent/folder/out.wav'"),
              std::string::npos)
        << run.err;
}

TEST_F(Plughost, BadUsageExitsTwoWithAMessage) {
    for (const std::vector<std::string>& args : {std::vector<std::string>{},
                                                 {"bogus"},
                                                 {"play"},
                                                 {"play", "a.wav", "--eq", "11=0"},
                                                 {"info", "a.wav", "--volume", "5"},
                                                 {"--output", "speaker", "info", "a.wav"}}) {
        const Outcome run = plughosttest::Run(kPlughost, args);
        EXPECT_EQ(run.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(run.err.rfind("plughost: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos);
        EXPECT_EQ(run.out, "");
    }
    for (const char* command : {"play", "info", "script"}) {
        const Outcome run = plughosttest::Run(kPlughost, {command, "--help"});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out.rfind(std::string("usage: plughost ") + command, 0), 0u) << run.out;
    }
}

// README's plughost section quotes the help: every fenced block that starts with
// "$ plughost ... --help" holds exactly what that command prints.
TEST_F(Plughost, ReadmeQuotesTheHelpAsPrinted) {
    std::ifstream readme(README_PATH);
    ASSERT_TRUE(readme) << README_PATH;
    std::vector<std::string> lines;
    for (std::string line; std::getline(readme, line);) lines.push_back(line);

    auto it = std::find(lines.begin(), lines.end(), "## plughost");
    ASSERT_NE(it, lines.end());
    std::set<std::string> quoted;
    for (++it; it != lines.end() && it->rfind("## ", 0) != 0; ++it) {
        if (it->rfind("```", 0) != 0 || it + 1 == lines.end()) continue;
        const std::string command = *(it + 1);
        if (command.rfind("$ plughost ", 0) != 0 ||
            command.compare(command.size() - 7, 7, " --help") != 0)
            continue;
        std::string shown;
        for (it += 2; it != lines.end() && *it != "```"; ++it) shown += *it + "\n";
        ASSERT_NE(it, lines.end()) << command << ": the block does not end";

        std::istringstream words(command.substr(sizeof "$ plughost " - 1));
        std::vector<std::string> args;
        for (std::string word; words >> word;) args.push_back(word);
        const Outcome run = plughosttest::Run(kPlughost, args);
        EXPECT_EQ(run.status, 0) << command;
        EXPECT_EQ(shown, run.out) << command;
        quoted.insert(command);
    }
    EXPECT_EQ(quoted,
              (std::set<std::string>{"$ plughost --help", "$ plughost play --help",
                                     "$ plughost info --help", "$ plughost script --help"}));
}

TEST_F(Plughost, APlugInThatWillNotLoadOrLacksExportsIsNamed) {
    Outcome run = Plug({"--plugin", "/nonexistent/Plugin.so", "info", Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in /nonexistent/Plugin.so: "), std::string::npos);
    EXPECT_NE(run.err.find("No such file or directory"), std::string::npos) << run.err;

    run = Plug({"--plugin", Tone(), "info", Tone()});  // not a library at all
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("cannot load the plug-in " + Tone() + ": "), std::string::npos);

    run = Plug({"--plugin", STRIPPED_PLUGIN_PATH, "info", Tone()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("lacks the exports GetDataChannel20, EqCreateChannel"),
              std::string::npos)
        << run.err;

    // The real plug-in given by path works like the default one.
    run = Plug({"--plugin", kPlugin, "info", Tone()});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(Plughost, InstalledSideBySideAndRunsFromThere) {
    testaudio::TempDir prefix;
    const Outcome install =
        plughosttest::Run(CMAKE_PATH, {"--install", BUILD_DIR, "--prefix", prefix.path()});
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    // plughost, the plug-in and the engine libraries share one folder.
    std::string folder;
    for (const char* libdir :
         {"/lib/audioplugin", "/lib64/audioplugin", "/lib/x86_64-linux-gnu/audioplugin"}) {
        if (access((prefix.path() + libdir + "/plughost").c_str(), X_OK) == 0)
            folder = prefix.path() + libdir;
    }
    ASSERT_FALSE(folder.empty()) << install.out;
    for (const char* file : {"Plugin.so", "libbass.so", "libtags.so"})
        EXPECT_EQ(access((folder + "/" + file).c_str(), R_OK), 0) << file;

    // Run through the link in bin/, on the demo piece built with the project.
    const Outcome run = plughosttest::Run(
        prefix.path() + "/bin/plughost",
        {"--output", "null", "info", "--json", std::string(BUILD_DIR) + "/demo/demo.flac"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"length_seconds\": 30,"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"title\": \"Plughost Demo Groove\""), std::string::npos);
    EXPECT_NE(run.out.find("\"artist\": \"The Plughost Synthesisers\""), std::string::npos);
    EXPECT_NE(run.out.find("\"album\": \"Built at Build Time\""), std::string::npos);
}
