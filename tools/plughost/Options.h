// SPDX-License-Identifier: MIT
// plughost's command line: global options, the three commands and their options.
// One table of commands and one of options give the parser, its errors and every
// help text, so what plughost accepts and what its help says cannot drift apart.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace plughost {

// The most files `play` takes: one per slot of the plug-in.
constexpr int kMaxSlots = 32;
// The highest volume, in percent, that --volume and the volume keys reach.
constexpr int kMaxVolume = 500;

struct Options {
    std::string command;  // "play", "render", "info", "script"; empty for --help, --version
    bool help = false;
    bool version = false;  // --version

    std::string plugin;           // --plugin PATH; empty: Plugin.so next to plughost
    std::string output = "auto";  // --output auto|device|null|wav:PATH

    std::vector<std::string> files;          // play, render, info: files; script: at most one
    std::vector<std::pair<int, int>> bands;  // --eq BAND=GAIN, in the order given
    int volume = 100;                        // --volume PCT
    double start = 0;                        // --start TIME, in seconds
    std::optional<double> forSeconds;        // --for TIME, in seconds
    std::string outFile;                     // render -o FILE
    bool floatSamples = false;               // render --format f32
    bool json = false;                       // info --json
    bool echo = false;                       // script --echo
};

// How an option may be given.
enum class OptionUse { Once, Repeats, Required };

// A command: what it takes besides options and what its help says.
struct CommandSpec {
    const char* name;      // "play"
    const char* operands;  // as the usage line shows them: "FILE...", "[FILE|-]"
    bool needsFile;        // refused without at least one file
    size_t maxFiles;       // the most files it takes
    const char* tooMany;   // the error when more than maxFiles are given
    const char* summary;   // its line in the overview
    const char* intro;     // help text before the list of its options
    const char* details;   // help text after it; may be empty
};

// An option. Given more than once, the last value holds (--eq adds a band each time).
struct OptionSpec {
    const char* name;      // "--volume"
    const char* alias;     // a short spelling ("-h"), or nullptr
    const char* commands;  // the commands that accept it ("play render"); nullptr: every one
    const char* value;     // its value as help names it ("PCT"); nullptr for a switch
    OptionUse use;         // Repeats: "[--eq BAND=GAIN]..."; Required: "-o FILE" in usage
    const char* help;      // its description; each '\n' starts an indented line
    // Stores the value (a switch gets ""); false with *error set when it is refused.
    bool (*apply)(const std::string& value, Options& options, std::string* error);
};

// The commands in the order help and errors list them.
const std::vector<CommandSpec>& CommandTable();
// The options: the global ones (command nullptr) first, in the order help lists them.
const std::vector<OptionSpec>& OptionTable();

// Parses argv. On bad usage returns nullopt and sets *error to a one-line message.
std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::string* error);

// The help of a command ("" for the overview).
std::string HelpText(const std::string& command);

// Whether the option belongs to the command (every command for a global option).
bool OptionBelongsTo(const OptionSpec& option, const std::string& command);

// "plughost 0.1.0": what --version prints.
std::string VersionText();

}  // namespace plughost
