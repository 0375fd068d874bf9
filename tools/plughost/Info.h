// SPDX-License-Identifier: MIT
// plughost info: what the plug-in reports about files, as text or JSON.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace plughost {

class Plugin;

// Prints the facts of each file (opened in slot 1 one after the other). Returns 0,
// or 1 when a file could not be opened (it is named on `err` with the reason and,
// in JSON, listed with an "error" member).
int RunInfo(Plugin& plugin, const std::vector<std::string>& files, bool json, std::ostream& out,
            std::ostream& err);

}  // namespace plughost
