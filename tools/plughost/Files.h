// SPDX-License-Identifier: MIT
// Files named on plughost's command line, on Linux and on Windows (where names are in
// the system's code page and stat knows no file identity).
#pragma once

#include <sndfile.h>

#include <string>

namespace plughost {

// Whether `a` and `b` name the same existing file.
bool SameFile(const std::string& a, const std::string& b);

// sf_open for a name as given on the command line.
SNDFILE* OpenSoundFile(const std::string& path, int mode, SF_INFO* info);

}  // namespace plughost
