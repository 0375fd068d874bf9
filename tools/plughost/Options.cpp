#include "tools/plughost/Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace plughost {
namespace {

const char kOverview[] =
    "usage: plughost [--plugin PATH] [--output OUT] COMMAND [ARGS...]\n"
    "\n"
    "Loads Plugin.so as a host does and drives it through its exports only.\n"
    "\n"
    "commands:\n"
    "  play FILE...     play files, one per slot, with a live display\n"
    "  info FILE...     print length, rate, bit rate, layout and tags of files\n"
    "  script [FILE|-]  run register-protocol calls written one per line\n"
    "  help [COMMAND]   show this help or a command's help\n"
    "\n"
    "options:\n"
    "  --plugin PATH    the plug-in to load (default: Plugin.so next to plughost)\n"
    "  --output OUT     the engine's output: auto (default: a sound device when one\n"
    "                   opens, else silence), device, null (silence, in real time)\n"
    "                   or wav:PATH (write what is played to a WAV file)\n"
    "  -h, --help       help; 'plughost COMMAND --help' for a command's\n"
    "\n"
    "exit status: 0 success, 1 a file cannot be played or the plug-in cannot be\n"
    "loaded, 2 bad usage or a bad script line.\n";

const char kPlayHelp[] =
    "usage: plughost play FILE... [--eq BAND=GAIN]... [--volume PCT] [--start SEC]\n"
    "                             [--for SEC]\n"
    "\n"
    "Plays each file in its own slot (1, 2, ... up to 32), all at once.\n"
    "\n"
    "  --eq BAND=GAIN   set equaliser band 1..10 (80, 170, 310, 600, 1000, 3000,\n"
    "                   6000, 12000, 14000, 16000 Hz) to GAIN dB, -15..15, on\n"
    "                   every slot; may be repeated\n"
    "  --volume PCT     volume in percent, 0..500 (default 100)\n"
    "  --start SEC      start each file at this second\n"
    "  --for SEC        stop after SEC seconds (default: when every file has ended)\n"
    "\n"
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
    "error, and makes the exit status 1.\n";

const char kInfoHelp[] =
    "usage: plughost info FILE... [--json]\n"
    "\n"
    "Opens each file through the plug-in and prints its length, sample rate, bit\n"
    "rate, channel layout and its seven tags (title, artist, album, genre, year,\n"
    "track, comment), as aligned text or, with --json, as a JSON array with one\n"
    "object per file. A file that cannot be opened is named with the reason and\n"
    "makes the exit status 1.\n";

const char kScriptHelp[] =
    "usage: plughost script [FILE|-] [--echo]\n"
    "\n"
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
    "text and SetParentWindow a number.\n"
    "\n"
    "  --echo   print each call as '> CALL' before its output\n"
    "\n"
    "A bad line is reported as FILE:LINE: message and the run stops with exit\n"
    "status 2. A script read from a file or a pipe is checked whole before its\n"
    "first call; one typed at a terminal runs line by line.\n";

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
    return output.rfind("wav:", 0) == 0 && output.size() > 4;
}

}  // namespace

std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::string* error) {
    Options options;
    std::vector<std::string> operands;
    bool afterDashes = false;
    bool sawVolume = false, sawStart = false, sawEq = false, sawJson = false, sawEcho = false;

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
        if (arg == "-h" || arg == "--help") {
            options.help = true;
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
        const auto takeValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) {
                *error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };

        if (name == "--json" || name == "--echo") {
            if (hasValue) {
                *error = name + " takes no value";
                return std::nullopt;
            }
            (name == "--json" ? options.json : options.echo) = true;
            (name == "--json" ? sawJson : sawEcho) = true;
        } else if (name == "--plugin") {
            if (!takeValue()) return std::nullopt;
            if (value.empty()) {
                *error = "--plugin needs a path";
                return std::nullopt;
            }
            options.plugin = value;
        } else if (name == "--output") {
            if (!takeValue()) return std::nullopt;
            if (!ValidOutput(value)) {
                *error = "--output takes auto, device, null or wav:PATH, not '" + value + "'";
                return std::nullopt;
            }
            options.output = value;
        } else if (name == "--eq") {
            if (!takeValue()) return std::nullopt;
            const auto eq = value.find('=');
            int band = 0, gain = 0;
            if (eq == std::string::npos || !ParseWhole(value.substr(0, eq), 1, 10, &band) ||
                !ParseWhole(value.substr(eq + 1), -15, 15, &gain)) {
                *error =
                    "--eq takes BAND=GAIN with a band from 1 to 10 and a gain from -15 "
                    "to 15 dB, such as --eq 3=6, not '" +
                    value + "'";
                return std::nullopt;
            }
            options.bands.emplace_back(band, gain);
            sawEq = true;
        } else if (name == "--volume") {
            if (!takeValue()) return std::nullopt;
            if (!ParseWhole(value, 0, kMaxVolume, &options.volume)) {
                *error = "--volume takes a whole percentage from 0 to 500, not '" + value + "'";
                return std::nullopt;
            }
            sawVolume = true;
        } else if (name == "--start") {
            if (!takeValue()) return std::nullopt;
            if (!ParseWhole(value, 0, 2147483647L, &options.start)) {
                *error = "--start takes a whole number of seconds, 0 or more, not '" + value + "'";
                return std::nullopt;
            }
            sawStart = true;
        } else if (name == "--for") {
            if (!takeValue()) return std::nullopt;
            char* end = nullptr;
            const double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 ||
                seconds > 1e7) {
                *error = "--for takes a number of seconds above 0, not '" + value + "'";
                return std::nullopt;
            }
            options.forSeconds = seconds;
        } else {
            *error = "unknown option " + name;
            return std::nullopt;
        }
    }

    if (operands.empty()) {
        if (!options.help) {
            *error = "no command given (play, info or script)";
            return std::nullopt;
        }
        return options;
    }
    options.command = operands.front();
    operands.erase(operands.begin());
    if (options.command == "help") {
        options.help = true;
        options.command = operands.empty() ? "" : operands.front();
        if (operands.size() > 1) {
            *error = "help takes at most one command";
            return std::nullopt;
        }
    } else {
        options.files = operands;
    }
    const std::string& command = options.command;
    if (command != "" && command != "play" && command != "info" && command != "script") {
        *error = "unknown command '" + command + "' (play, info or script)";
        return std::nullopt;
    }
    if (options.help) return options;

    const auto misplaced = [&](bool saw, const char* option, const char* owner) {
        if (saw && command != owner) {
            *error = std::string(option) + " belongs to the " + owner + " command";
            return true;
        }
        return false;
    };
    if (misplaced(sawEq, "--eq", "play") || misplaced(sawVolume, "--volume", "play") ||
        misplaced(sawStart, "--start", "play") ||
        misplaced(options.forSeconds.has_value(), "--for", "play") ||
        misplaced(sawJson, "--json", "info") || misplaced(sawEcho, "--echo", "script"))
        return std::nullopt;

    if (command == "play" || command == "info") {
        if (options.files.empty()) {
            *error = command + " needs at least one file";
            return std::nullopt;
        }
        if (command == "play" && options.files.size() > static_cast<size_t>(kMaxSlots)) {
            *error = "play takes at most 32 files, one per slot";
            return std::nullopt;
        }
    } else if (command == "script" && options.files.size() > 1) {
        *error = "script takes one file (or - for standard input)";
        return std::nullopt;
    }
    return options;
}

std::string HelpText(const std::string& command) {
    if (command == "play") return kPlayHelp;
    if (command == "info") return kInfoHelp;
    if (command == "script") return kScriptHelp;
    return kOverview;
}

}  // namespace plughost
