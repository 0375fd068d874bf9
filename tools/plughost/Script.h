// SPDX-License-Identifier: MIT
// The register protocol written as text, one call per line, for host authors who
// want to try a sequence of calls before they write their host's script:
//
//   SetData 3            push an integer (DataHistory)
//   SetFile "%ARTI"      push a text (FileHistory); C escapes \" \\ \n \t \xHH
//   GetTagChannel        call an export that takes no argument
//   GetFile              print FileResult
//   sleep 0.5            wait, in seconds
//   # comment            (also after a call)
#pragma once

#include <cstdint>
#include <functional>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace plughost {

class Plugin;

struct ScriptStep {
    enum class Kind { Nothing, Call, Sleep };
    Kind kind = Kind::Nothing;
    std::string name;    // the export called
    int64_t number = 0;  // SetData's value, SetParentWindow's handle
    std::string text;    // SetFile's and SetPath's text
    double seconds = 0;  // sleep
};

// Reads one line. On a bad line returns nullopt and sets *error (without the line
// number). A blank or comment line is a step of kind Nothing.
std::optional<ScriptStep> ParseScriptLine(const std::string& line, std::string* error);

// Makes the call and prints what it returns, for the calls that return something:
//   GetFile -> "75#01:15#"     GetData -> 0     GetType -> 0
//   Copyright -> "..."         GetInfo -> "Get color of pixel"
void RunScriptStep(Plugin& plugin, const ScriptStep& step, std::ostream& out);

struct ScriptOptions {
    std::string name;        // the script's name in error messages ("-" for stdin)
    bool checkFirst = true;  // read and check every line before running any
    bool echo = false;       // print each call as "> line" before its result
    // A bad line is reported and the script goes on (a person typing it); else it
    // ends the run.
    bool keepGoing = false;
};

// Gives the next line of a script; false at its end.
using LineSource = std::function<bool(std::string* line)>;

// Runs a whole script. Returns 0, or 2 after a bad line, which is reported on
// `err` as "NAME:LINE: message" (nothing after it runs); with keepGoing every bad
// line is reported as "NAME:LINE: message" and the run goes on to return 0.
int RunScript(Plugin& plugin, const LineSource& next, const ScriptOptions& options,
              std::ostream& out, std::ostream& err);
int RunScript(Plugin& plugin, std::istream& in, const ScriptOptions& options, std::ostream& out,
              std::ostream& err);

// Lines typed at a terminal, with a prompt, line editing and history (libedit).
LineSource EditedLines(const char* prompt);

}  // namespace plughost
