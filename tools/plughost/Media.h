// SPDX-License-Identifier: MIT
// Opening a file into a slot and reading what the plug-in reports about it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace plughost {

class Plugin;

struct TagKey {
    const char* key;   // the plug-in's tag key
    const char* name;  // how plughost labels it
};
// The seven tag keys, in the order plughost prints them.
const std::array<TagKey, 7>& TagKeys();

// Why the file cannot be given to the plug-in ("No such file or directory", "is a
// directory", ...), or an empty text when it is a readable regular file.
std::string FileProblem(const std::string& path);

// Opens `path` into `slot`. Returns an empty text on success, else the reason the
// slot stayed empty.
std::string OpenFile(Plugin& plugin, int slot, const std::string& path);

// Said once when no file at all could be opened on an output the user chose: the
// plug-in reports no engine failure, and an engine that did not start on that
// output refuses every file. Empty for the outputs that always start.
std::string OutputHint(const std::string& output);

// What the plug-in reports of the stream in a slot. A text that does not read as
// a number gives -1.
struct MediaFacts {
    int32_t lengthSeconds = -1;
    int32_t rate = -1;
    int32_t kbps = -1;
    std::string layout;
    std::array<std::string, 7> tags;  // in the order of TagKeys()
};
MediaFacts ReadFacts(Plugin& plugin, int slot);

}  // namespace plughost
