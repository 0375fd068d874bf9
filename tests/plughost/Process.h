// SPDX-License-Identifier: MIT
// Runs a program with arguments and collects its exit status and output, with the
// standard streams on pipes (so the program sees no terminal).
#pragma once

#include <string>
#include <vector>

namespace plughosttest {

struct Outcome {
    int status = -1;  // the exit code; 128 + signal when killed by one
    std::string out;
    std::string err;
};

// Runs `program` with `args`, writing `input` to its standard input, with the
// extra environment entries ("NAME=value"). A run that outlasts `timeoutSeconds`
// is killed (and reports 128 + SIGKILL); with `interruptAfterMs` above 0 it is
// sent SIGINT that long after its start.
Outcome Run(const std::string& program, const std::vector<std::string>& args,
            const std::string& input = "", const std::vector<std::string>& environment = {},
            int timeoutSeconds = 60, int interruptAfterMs = 0);

// The lines of a text, without their newlines.
std::vector<std::string> Lines(const std::string& text);

}  // namespace plughosttest
