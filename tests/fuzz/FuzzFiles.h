// SPDX-License-Identifier: MIT
// Small generated audio files for the fuzzers and their seed corpora: every format
// the engine decodes, some of them carrying tags, each a fraction of a second so
// that one fuzz run decodes it whole in a few milliseconds.
#pragma once

#include <string>
#include <vector>

namespace fuzzfiles {

// Writes the files into `dir` (which must exist) and returns their paths, always in
// the same order, so that an index into the list names the same kind of file in
// every process. Empty when a file cannot be written.
std::vector<std::string> WriteSmallFiles(const std::string& dir);

// A fresh directory under $TMPDIR (or /tmp); "" on failure.
std::string MakeTempDir(const char* prefix);
// Removes a directory made by MakeTempDir, with its files.
void RemoveDir(const std::string& dir);

}  // namespace fuzzfiles
