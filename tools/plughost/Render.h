// SPDX-License-Identifier: MIT
// plughost render: the files played through the plug-in on the engine's offline
// output, as fast as the machine can, into a WAV file.
#pragma once

#include <ostream>

namespace plughost {

class Plugin;
struct Options;

// Renders options.files into options.outFile. Returns 0; 1 when a file could not be
// played (named on `err`; the others are rendered) or nothing could be written; 2
// when the output file is one of the files to render.
int RunRender(Plugin& plugin, const Options& options, std::ostream& err);

}  // namespace plughost
