// SPDX-License-Identifier: MIT
// Opening a file into a slot and reading what the plug-in reports about it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "audioengine/include/audioengine_ext.h"

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

// What the plug-in reports of the stream in a slot. A text that does not read as
// a number gives -1.
struct MediaFacts {
    int32_t lengthSeconds = -1;
    int32_t rate = -1;
    int32_t kbps = -1;
    std::string layout;
    std::array<std::string, 7> tags;  // in the order of TagKeys()
    // The engine's exact facts of the file, when it gives them.
    std::optional<AE_STREAMINFO> exact;
};
// What the plug-in reports of the stream in `slot`, opened from `file`.
MediaFacts ReadFacts(Plugin& plugin, int slot, const std::string& file);

// The exact duration in seconds; nullopt without the engine's facts.
std::optional<double> ExactSeconds(const MediaFacts& facts);

// The name of a channel layout as FFmpeg's tools print it ("mono", "stereo", "5.1",
// "5.1(side)", ...), from a speaker mask; empty for a mask with no such name.
std::string ChannelLayoutName(uint32_t mask);

}  // namespace plughost
