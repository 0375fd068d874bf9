// SPDX-License-Identifier: MIT
#include "tools/plughost/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace plughost {
namespace {

// Help lists a command or option at column 2 and its description from this column.
constexpr size_t kHelpColumn = 19;
// Usage lines wrap before they pass this width, to fit an 80-column terminal.
constexpr size_t kUsageWidth = 79;

const char kOverviewIntro[] =
    "Loads Plugin.so as a host does and drives it through its exports only.\n";

const char kOverviewDetails[] =
    "exit status: 0 success, 1 a file cannot be played or the plug-in cannot be\n"
    "loaded, 2 bad usage or a bad script line.\n";

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

// "play, info or script": the commands as errors list them.
std::string CommandChoices() {
    const auto& commands = CommandTable();
    std::string text;
    for (size_t i = 0; i < commands.size(); ++i) {
        if (i > 0) text += i + 1 == commands.size() ? " or " : ", ";
        text += commands[i].name;
    }
    return text;
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
    std::string item = std::string("[") + option.name;
    if (option.value) item += std::string(" ") + option.value;
    return item + (option.repeats ? "]..." : "]");
}

std::string OverviewHelp() {
    std::vector<std::string> items;
    std::string commands, options;
    for (const auto& option : OptionTable()) {
        if (option.command) continue;
        options += HelpLine(OptionLabel(option), option.help);
        // --help stays out of the usage line; the options list names it.
        if (std::string(option.name) != "--help") items.push_back(UsageItem(option));
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
        if (!option.command || command.name != std::string(option.command)) continue;
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
         "play files, one per slot, with a live display",
         "Plays each file in its own slot (1, 2, ... up to 32), all at once.\n",
         "On a terminal it shows each slot's title, artist, rate, bit rate, layout,\n"
         "position, level meters and spectrum, and reads keys for the selected slot:\n"
         "  space  pause / resume        s      stop\n"
         "  left   back 5 s              right  forward 5 s\n"
         "  + / -  volume up / down 10 % 1..9   select a slot\n"
         "  e      show equaliser gains  q      quit (also Ctrl-C)\n"
         "When standard output is not a terminal it prints one status line per slot\n"
         "every second instead:\n"
         "  [1] playing 00:12 / 00:30  L 20480 R 19876  vol 100%  Title - Artist\n"
         "A file that cannot be played leaves its slot empty, is named on standard\n"
         "error, and makes the exit status 1.\n"},
        {"info", "FILE...", true, SIZE_MAX, "",
         "print length, rate, bit rate, layout and tags of files",
         "Opens each file through the plug-in and prints its length, sample rate, bit\n"
         "rate, channel layout and its seven tags (title, artist, album, genre, year,\n"
         "track, comment), as aligned text or, with --json, as a JSON array with one\n"
         "object per file. A file that cannot be opened is named with the reason and\n"
         "makes the exit status 1.\n",
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
         "A bad line is reported as FILE:LINE: message and the run stops with exit\n"
         "status 2. A script read from a file or a pipe is checked whole before its\n"
         "first call; one typed at a terminal runs line by line.\n"},
    };
    return commands;
}

const std::vector<OptionSpec>& OptionTable() {
    static const std::vector<OptionSpec> table = {
        {"--plugin", nullptr, nullptr, "PATH", false,
         "the plug-in to load (default: Plugin.so next to plughost)",
         [](const std::string& value, Options& options, std::string* error) {
             if (value.empty()) return Refuse(error, "--plugin needs a path");
             options.plugin = value;
             return true;
         }},
        {"--output", nullptr, nullptr, "OUT", false,
         "the engine's output: auto (default: a sound device when one\n"
         "opens, else silence), device, device:NAME (a sound device by\n"
         "name), null (silence, in real time) or wav:PATH (write what\n"
         "is played to a WAV file)",
         [](const std::string& value, Options& options, std::string* error) {
             if (!ValidOutput(value))
                 return Refuse(error,
                               "--output takes auto, device, device:NAME, null or wav:PATH, not '" +
                                   value + "'");
             options.output = value;
             return true;
         }},
        {"--help", "-h", nullptr, nullptr, false, "help; 'plughost COMMAND --help' for a command's",
         [](const std::string&, Options& options, std::string*) {
             options.help = true;
             return true;
         }},
        {"--eq", nullptr, "play", "BAND=GAIN", true,
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
        {"--volume", nullptr, "play", "PCT", false, "volume in percent, 0..500 (default 100)",
         [](const std::string& value, Options& options, std::string* error) {
             if (!ParseWhole(value, 0, kMaxVolume, &options.volume))
                 return Refuse(
                     error, "--volume takes a whole percentage from 0 to 500, not '" + value + "'");
             return true;
         }},
        {"--start", nullptr, "play", "SEC", false, "start each file at this second",
         [](const std::string& value, Options& options, std::string* error) {
             if (!ParseWhole(value, 0, 2147483647L, &options.start))
                 return Refuse(error, "--start takes a whole number of seconds, 0 or more, not '" +
                                          value + "'");
             return true;
         }},
        {"--for", nullptr, "play", "SEC", false,
         "stop after SEC seconds (default: when every file has ended)",
         [](const std::string& value, Options& options, std::string* error) {
             char* end = nullptr;
             const double seconds = std::strtod(value.c_str(), &end);
             if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
                 seconds > 1e7)
                 return Refuse(error,
                               "--for takes a number of seconds above 0, not '" + value + "'");
             options.forSeconds = seconds;
             return true;
         }},
        {"--json", nullptr, "info", nullptr, false, "print a JSON array instead of aligned text",
         [](const std::string&, Options& options, std::string*) {
             options.json = true;
             return true;
         }},
        {"--echo", nullptr, "script", nullptr, false,
         "print each call as '> CALL' before its output",
         [](const std::string&, Options& options, std::string*) {
             options.echo = true;
             return true;
         }},
    };
    return table;
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
        if (!options.help) return refuse("no command given (" + CommandChoices() + ")");
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
    if (options.help) return options;

    for (size_t k = 0; k < table.size(); ++k) {
        if (given[k] && table[k].command && options.command != table[k].command)
            return refuse(std::string(table[k].name) + " belongs to the " + table[k].command +
                          " command");
    }
    if (command->needsFile && options.files.empty())
        return refuse(options.command + " needs at least one file");
    if (options.files.size() > command->maxFiles) return refuse(command->tooMany);
    return options;
}

std::string HelpText(const std::string& command) {
    const CommandSpec* spec = FindCommand(command);
    return spec ? CommandHelp(*spec) : OverviewHelp();
}

}  // namespace plughost
