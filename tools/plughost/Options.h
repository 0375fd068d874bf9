// plughost's command line: global options, the three commands and their options.
#pragma once

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
    std::string command;  // "play", "info", "script"; empty for plain --help
    bool help = false;

    std::string plugin;           // --plugin PATH; empty: Plugin.so next to plughost
    std::string output = "auto";  // --output auto|device|null|wav:PATH

    std::vector<std::string> files;          // play, info: files; script: at most one
    std::vector<std::pair<int, int>> bands;  // play --eq BAND=GAIN, in the order given
    int volume = 100;                        // play --volume PCT
    int start = 0;                           // play --start SEC
    std::optional<double> forSeconds;        // play --for SEC
    bool json = false;                       // info --json
    bool echo = false;                       // script --echo
};

// Parses argv. On bad usage returns nullopt and sets *error to a one-line message.
std::optional<Options> ParseCommandLine(int argc, const char* const* argv, std::string* error);

// The help of a command ("" for the overview).
std::string HelpText(const std::string& command);

}  // namespace plughost
