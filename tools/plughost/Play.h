// SPDX-License-Identifier: MIT
// plughost play: each file in its own slot, with the live display on a terminal or
// plain status lines otherwise.
#pragma once

#include <ostream>

namespace plughost {

class Plugin;
struct Options;

// Plays options.files. Returns 0, or 1 when a file could not be played (named on
// `err`; its slot stays empty and the others play).
int RunPlay(Plugin& plugin, const Options& options, std::ostream& out, std::ostream& err);

}  // namespace plughost
