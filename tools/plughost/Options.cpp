// SPDX-License-Identifier: MIT
#include "tools/plughost/Options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "tools/plughost/Texts.h"

namespace plughost {
namespace {

// Help lists a command or option at column 2 and its description from this column.
constexpr size_t kHelpColumn = 19;
// Usage lines wrap before they pass this width, to fit an 80-column terminal.
constexpr size_t kUsageWidth = 79;

// The plug-in plughost loads by default, and how play shows what plays: Windows has
// no live display, only the status lines.
#ifdef _WIN32
#define PLUGHOST_PLUGIN_FILE "Plugin.dll"
#define PLUGHOST_PLAY_SUMMARY "play files, one per slot, with a status line each"
#define PLUGHOST_PLAY_DISPLAY                                                  \
    "It prints one status line per slot every second:\n"                       \
    "  [1] playing 00:12 / 00:30  L 20480 R 19876  vol 100%  Title - Artist\n" \
    "Ctrl-C ends it.\n"
#else
#define PLUGHOST_PLUGIN_FILE "Plugin.so"
#define PLUGHOST_PLAY_SUMMARY "play files, one per slot, with a live display"
#define PLUGHOST_PLAY_DISPLAY                                                         \
    "On a terminal it shows each slot's title, artist, rate, bit rate, layout,\n"     \
    "position, level meters with peak marks and spectrum, and reads keys for the\n"   \
    "selected slot:\n"                                                                \
    "  space  pause / resume          s      stop (the next play starts at 0)\n"      \
    "  left   back 5 s                right  forward 5 s\n"                           \
    "  up     previous slot           down   next slot (also Tab, Shift-Tab)\n"       \
    "  1..32  select a slot by number (two digits typed quickly: 10..32)\n"           \
    "  + / -  volume up / down 10 %   m      mute / unmute\n"                         \
    "  e      equaliser: left / right pick a band, up / down change its gain\n"       \
    "         by 1 dB, e again goes back\n"                                           \
    "  q      quit (also Ctrl-C)\n"                                                   \
    "When standard output is not a terminal, or TERM is dumb, it prints one status\n" \
    "line per slot every second instead:\n"                                           \
    "  [1] playing 00:12 / 00:30  L 20480 R 19876  vol 100%  Title - Artist\n"
#endif

const char kOverviewIntro[] =
    "Loads " PLUGHOST_PLUGIN_FILE " as a host does and drives it through its exports only.\n";

const char kOverviewDetails[] =
    "exit status: 0 success; 1 a file cannot be played, the plug-in cannot be\n"
    "loaded or the output does not start; 2 bad usage or a bad script line; 128 +\n"
    "the signal's number when a signal ends it (130 for Ctrl-C).\n";

bool Refuse(std::string* error, const std::string& message) {
    *error = message;
    return false;
}

bool ParseWhole(const std::string& text, long min, long max, int* value) {
    if (text.empty() || text[0] == ' ') return false;
    char* end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) return false;
    *value = static_cast<int>(parsed);
    return true;
}

// A time option's value: seconds, M:SS or H:MM:SS.
bool ParseTimeOption(const std::string& name, const std::string& value, bool zeroAllowed,
                     double* seconds, std::string* error) {
    const auto parsed = ParseTimeSpec(value);
    if (!parsed || (!zeroAllowed && *parsed <= 0))
        return Refuse(error, name + " takes a time" + (zeroAllowed ? "" : " above 0") +
                                 ": seconds (90, 1.5), M:SS or H:MM:SS, not '" + value + "'");
    *seconds = *parsed;
    return true;
}

bool ValidOutput(const std::string& output) {
    if (output == "auto" || output == "device" || output == "null") return true;
    if (output.rfind("device:", 0) == 0 && output.size() > 7) return true;
    return output.rfind("wav:", 0) == 0 && output.size() > 4;
}

const CommandSpec* FindCommand(const std::string& name) {
    for (const auto& command : CommandTable())
        if (name == command.name) return &command;
    return nullptr;
}

const OptionSpec* FindOption(const std::string& name) {
    for (const auto& option : OptionTable())
        if (name == option.name || (option.alias && name == option.alias)) return &option;
    return nullptr;
}

// "a, b or c".
std::string Choices(const std::vector<std::string>& names, const char* last = " or ") {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? last : ", ";
        text += names[i];
    }
    return text;
}

// "play, render, info or script": the commands as errors list them.
std::string CommandChoices() {
    std::vector<std::string> names;
    for (const auto& command : CommandTable()) names.push_back(command.name);
    return Choices(names);
}

std::vector<std::string> Words(const char* text) {
    std::vector<std::string> words;
    std::string word;
    for (const char* c = text; c && *c; ++c) {
        if (*c == ' ') {
            words.push_back(word);
            word.clear();
        } else {
            word += *c;
        }
    }
    if (!word.empty()) words.push_back(word);
    return words;
}

// "  LABEL            description", continuation lines indented to the description.
std::string HelpLine(const std::string& label, const std::string& description) {
    std::string line = "  " + label;
    line.append(line.size() + 2 <= kHelpColumn ? kHelpColumn - line.size() : 2, ' ');
    for (const char c : description) {
        line += c;
        if (c == '\n') line.append(kHelpColumn, ' ');
    }
    return line + "\n";
}

std::string OptionLabel(const OptionSpec& option) {
    std::string label = option.alias ? std::string(option.alias) + ", " + option.name : option.name;
    if (option.value) label += std::string(" ") + option.value;
    return label;
}

// "usage: plughost play FILE... [--eq BAND=GAIN]... [--volume PCT]": the items after
// `lead`, wrapped under the first of them.
std::string UsageLines(const std::string& lead, const std::vector<std::string>& items) {
    std::string text, line = lead;
    for (const auto& item : items) {
        if (line.size() > lead.size() && line.size() + 1 + item.size() > kUsageWidth) {
            text += line + "\n";
            line = std::string(lead.size(), ' ');
        }
        line += " " + item;
    }
    return text + line + "\n";
}

std::string UsageItem(const OptionSpec& option) {
    // A required option shows as its short spelling, without brackets: "-o FILE".
    const bool required = option.use == OptionUse::Required;
    std::string item = required && option.alias ? option.alias : option.name;
    if (option.value) item += std::string(" ") + option.value;
    if (required) return item;
    return "[" + item + (option.use == OptionUse::Repeats ? "]..." : "]");
}

std::string OverviewHelp() {
    std::vector<std::string> items;
    std::string commands, options;
    for (const auto& option : OptionTable()) {
        if (option.commands) continue;
        options += HelpLine(OptionLabel(option), option.help);
        // --help and --version stay out of the usage line; the options list names them.
        if (option.value) items.push_back(UsageItem(option));
    }
    items.insert(items.end(), {"COMMAND", "[ARGS...]"});
    for (const auto& command : CommandTable())
        commands += HelpLine(std::string(command.name) + " " + command.operands, command.summary);
    commands += HelpLine("help [COMMAND]", "show this help or a command's help");
    return UsageLines("usage: plughost", items) + "\n" + kOverviewIntro + "\ncommands:\n" +
           commands + "\noptions:\n" + options + "\n" + kOverviewDetails;
}

std::string CommandHelp(const CommandSpec& command) {
    std::vector<std::string> items;
    std::string options;
    for (const auto& option : OptionTable()) {
        if (!option.commands || !OptionBelongsTo(option, command.name)) continue;
        items.push_back(UsageItem(option));
        options += HelpLine(OptionLabel(option), option.help);
    }
    std::string text =
        UsageLines(std::string("usage: plughost ") + command.name + " " + command.operands, items) +
        "\n" + command.intro + "\n" + options;
    if (*command.details) text += std::string("\n") + command.details;
    return text;
}

}  // namespace

const std::vector<CommandSpec>& CommandTable() {
    static const std::vector<CommandSpec> commands = {
        {"play", "FILE...", true, kMaxSlots, "play takes at most 32 files, one per slot",
         PLUGHOST_PLAY_SUMMARY,
         "Plays each file in its own slot (1, 2, ... up to 32), all at once.\n",
         "play seeks to whole seconds: a --start with a fraction is rounded. A --start\n"
         "at or past a file's end leaves its slot empty.\n"
         "\n" PLUGHOST_PLAY_DISPLAY
         "A file that cannot be played leaves its slot empty, is named once on standard\n"
         "error, and makes the exit status 1.\n"},
        {"render", "FILE...", true, kMaxSlots, "render takes at most 32 files, one per slot",
         "mix files through the plug-in into a WAV file, offline",
         "Plays the files through the plug-in as play does, each in its own slot, on\n"
         "the engine's offline output, as fast as the machine can, and writes the mix\n"
         "to a WAV file: 44100 Hz stereo. The render lasts until the longest file ends\n"
         "(or --for). A 44100 Hz stereo file rendered at volume 100 without --eq comes\n"
         "out sample for sample as it decodes; --start is exact to the sample.\n",
         "On a terminal, standard error shows a progress bar. A file that cannot be\n"
         "played is named, leaves its slot empty and makes the exit status 1; the\n"
         "others are rendered.\n"},
        {"info", "FILE...", true, SIZE_MAX, "",
         "print length, rate, bit rate, layout and tags of files",
         "Opens each file through the plug-in and prints its length, sample rate, bit\n"
         "rate, channel layout and its tags (title, artist, album, genre, year, track,\n"
         "comment), as aligned text or, with --json, as a JSON array with one object\n"
         "per file. The engine's exact facts (frames, duration, bit rate in bit/s,\n"
         "channel layout) are added where it gives them. info starts no sound output.\n"
         "A file that cannot be opened is named with the reason and makes the exit\n"
         "status 1.\n",
         ""},
        {"script", "[FILE|-]", false, 1, "script takes one file (or - for standard input)",
         "run register-protocol calls written one per line",
         "Runs the plug-in's register protocol written as text, one call per line,\n"
         "from FILE or from standard input (- or no FILE). plughost has already called\n"
         "SetPath, SetParentWindow 0 and InitBass.\n"
         "\n"
         "  SetData 3               push an integer\n"
         "  SetFile \"%ARTI\"         push a text (escapes: \\\" \\\\ \\n \\t \\r \\xHH)\n"
         "  CreateChannel           call any export by name\n"
         "  GetFile                 prints: GetFile -> \"text\"\n"
         "  GetData                 prints: GetData -> 0\n"
         "  sleep 0.5               wait, in seconds\n"
         "  # comment               also after a call\n"
         "\n"
         "Copyright, GetInfo and GetType print what they return too. SetPath takes a\n"
         "text and SetParentWindow a number.\n",
         "From a file or a pipe, the script is checked whole before its first call, and\n"
         "a bad line is reported as FILE:LINE: message and ends the run with exit\n"
         "status 2. Typed at a terminal, each line runs as it is entered, with line\n"
         "editing and history; a bad line is reported and the session goes on.\n"},
    };
    return commands;
}

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--plugin", nullptr, nullptr, "PATH", OptionUse::Once,
         "the plug-in to load (default: " PLUGHOST_PLUGIN_FILE " next to plughost)",
         [](const std::string& value, Options& options, std::string* error) {
             if (value.empty()) return Refuse(error, "--plugin needs a path");
             options.plugin = value;
             return true;
         }},
        {"--output", nullptr, nullptr, "OUT", OptionUse::Once,
         "where play and script sound: auto (default: a sound device\n"
         "when one opens, else silence), device, device:NAME (a sound\n"
         "device by name), null (silence, in real time) or wav:PATH\n"
         "(write what is played to a WAV file)",
         [](const std::string& value, Options& options, std::string* error) {
             if (!ValidOutput(value))
                 return Refuse(
                     error,
                     "--output takes auto, device, device:NAME, null or wav:PATH, not '" + value +
                         "'" +
                         (value.size() > 4 && value.compare(value.size() - 4, 4, ".wav") == 0
                              ? " (to render into a file: plughost render FILE -o " + value + ")"
                              : ""));
             options.output = value;
             return true;
         }},
        {"--help", "-h", nullptr, nullptr, OptionUse::Once,
         "help; 'plughost COMMAND --help' for a command's",
         [](const std::string&, Options& options, std::string*) {
             options.help = true;
             return true;
         }},
        {"--version", nullptr, nullptr, nullptr, OptionUse::Once, "print plughost's version",
         [](const std::string&, Options& options, std::string*) {
             options.version = true;
             return true;
         }},
        {"--out", "-o", "render", "FILE", OptionUse::Required,
         "the WAV file to write (replaced if it exists)",
         [](const std::string& value, Options& options, std::string* error) {
             if (value.empty() || value == "-")
                 return Refuse(error, "-o takes the name of the WAV file to write" +
                                          std::string(value == "-" ? " (standard output is not "
                                                                     "supported)"
                                                                   : ""));
             options.outFile = value;
             return true;
         }},
        {"--eq", nullptr, "play render", "BAND=GAIN", OptionUse::Repeats,
         "set equaliser band 1..10 (80, 170, 310, 600, 1000, 3000,\n"
         "6000, 12000, 14000, 16000 Hz) to GAIN dB, -15..15, on\n"
         "every slot; may be repeated",
         [](const std::string& value, Options& options, std::string* error) {
             const auto eq = value.find('=');
             int band = 0, gain = 0;
             if (eq == std::string::npos || !ParseWhole(value.substr(0, eq), 1, 10, &band) ||
                 !ParseWhole(value.substr(eq + 1), -15, 15, &gain))
                 return Refuse(error,
                               "--eq takes BAND=GAIN with a band from 1 to 10 and a gain from "
                               "-15 to 15 dB, such as --eq 3=6, not '" +
                                   value + "'");
             options.bands.emplace_back(band, gain);
             return true;
         }},
        {"--volume", nullptr, "play render", "PCT", OptionUse::Once,
         "volume in percent, 0..500 (default 100)",
         [](const std::string& value, Options& options, std::string* error) {
             if (!ParseWhole(value, 0, kMaxVolume, &options.volume))
                 return Refuse(
                     error, "--volume takes a whole percentage from 0 to 500, not '" + value + "'");
             return true;
         }},
        {"--start", nullptr, "play render", "TIME", OptionUse::Once,
         "start each file at TIME: seconds (90, 1.5), M:SS or\nH:MM:SS",
         [](const std::string& value, Options& options, std::string* error) {
             return ParseTimeOption("--start", value, true, &options.start, error);
         }},
        {"--for", nullptr, "play render", "TIME", OptionUse::Once,
         "stop after TIME (default: when every file has ended)",
         [](const std::string& value, Options& options, std::string* error) {
             double seconds = 0;
             if (!ParseTimeOption("--for", value, false, &seconds, error)) return false;
             options.forSeconds = seconds;
             return true;
         }},
        {"--format", nullptr, "render", "s16|f32", OptionUse::Once,
         "16-bit integer (default) or 32-bit float samples",
         [](const std::string& value, Options& options, std::string* error) {
             if (value != "s16" && value != "f32")
                 return Refuse(error, "--format takes s16 or f32, not '" + value + "'");
             options.floatSamples = value == "f32";
             return true;
         }},
        {"--json", nullptr, "info", nullptr, OptionUse::Once,
         "print a JSON array instead of aligned text",
         [](const std::string&, Options& options, std::string*) {
             options.json = true;
             return true;
         }},
        {"--echo", nullptr, "script", nullptr, OptionUse::Once,
         "print each call as '> CALL' before its output",
         [](const std::string&, Options& options, std::string*) {
             options.echo = true;
             return true;
         }},
    };
    return table;
}

bool OptionBelongsTo(const OptionSpec& option, const std::string& command) {
    if (!option.commands) return true;
    for (const auto& name : Words(option.commands))
        if (name == command) return true;
    return false;
}

std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::string* error) {
    const auto& table = OptionTable();
    Options options;
    std::vector<std::string> operands;
    std::vector<bool> given(table.size(), false);
    bool afterDashes = false;
    const auto refuse = [error](const std::string& message) -> std::optional<Options> {
        *error = message;
        return std::nullopt;
    };

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (afterDashes || arg.size() < 2 || arg[0] != '-') {
            operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            afterDashes = true;
            continue;
        }
        // --name VALUE or --name=VALUE
        std::string name = arg, value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        const OptionSpec* option = FindOption(name);
        if (!option) return refuse("unknown option " + name);
        if (!option->value && hasValue) return refuse(name + " takes no value");
        if (option->value && !hasValue) {
            if (i + 1 >= argc) return refuse(name + " needs a value");
            value = argv[++i];
        }
        if (!option->apply(value, options, error)) return std::nullopt;
        given[static_cast<size_t>(option - table.data())] = true;
    }

    if (operands.empty()) {
        if (!options.help && !options.version)
            return refuse("no command given (" + CommandChoices() + ")");
        return options;
    }
    options.command = operands.front();
    operands.erase(operands.begin());
    if (options.command == "help") {
        options.help = true;
        options.command = operands.empty() ? "" : operands.front();
        if (operands.size() > 1) return refuse("help takes at most one command");
    } else {
        options.files = operands;
    }
    // An empty command stands for the overview, and only when help is asked for.
    const CommandSpec* command = FindCommand(options.command);
    if (!command && !(options.help && options.command.empty()))
        return refuse("unknown command '" + options.command + "' (" + CommandChoices() + ")");
    if (options.help || options.version) return options;

    for (size_t k = 0; k < table.size(); ++k) {
        const OptionSpec& option = table[k];
        if (given[k] && !OptionBelongsTo(option, options.command))
            return refuse(std::string(option.name) + " belongs to the " +
                          Choices(Words(option.commands), " and ") + " command" +
                          (Words(option.commands).size() > 1 ? "s" : ""));
        if (!given[k] && option.use == OptionUse::Required &&
            OptionBelongsTo(option, options.command))
            return refuse(options.command + " needs " +
                          (option.alias ? option.alias : option.name) + " " + option.value);
    }
    if (command->needsFile && options.files.empty())
        return refuse(options.command + " needs at least one file");
    if (options.files.size() > command->maxFiles) return refuse(command->tooMany);
    // Files are opened by name; standard input cannot be given to the plug-in.
    if (options.command != "script" &&
        std::find(options.files.begin(), options.files.end(), "-") != options.files.end())
        return refuse(options.command +
                      " reads files by name: standard input ('-') is not supported (a file "
                      "named '-' is ./-)");
    return options;
}

std::string HelpText(const std::string& command) {
    const CommandSpec* spec = FindCommand(command);
    return spec ? CommandHelp(*spec) : OverviewHelp();
}

std::string VersionText() { return std::string("plughost ") + PLUGHOST_VERSION + "\n"; }

}  // namespace plughost
