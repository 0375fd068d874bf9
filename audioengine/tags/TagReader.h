// SPDX-License-Identifier: MIT
// Reads the seven text tags a player displays from an audio file with TagLib.
#pragma once

#include <array>
#include <cstddef>
#include <string>

namespace audioengine {

// The tags a caller can ask for, in the order of TagSet::values.
enum class TagKey : std::size_t { Track, Title, Artist, Album, Genre, Year, Comment };
constexpr std::size_t kTagKeyCount = 7;

// Maps a request text ("%TRCK", "%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT")
// to its key. Matching is exact: case, blanks and trailing characters all count.
// False for anything else, nullptr included.
bool ParseTagKey(const char* text, TagKey* key);

// The seven values of one file, UTF-8, "" where the file has none.
// Track and year are the texts written in the file ("3/12" stays "3/12").
struct TagSet {
    std::array<std::string, kTagKeyCount> values;

    const std::string& operator[](TagKey key) const {
        return values[static_cast<std::size_t>(key)];
    }
    std::string& operator[](TagKey key) { return values[static_cast<std::size_t>(key)]; }
};

// Reads the tags of the regular file at `path`; the container is chosen from the
// content, not the name. When a file carries several tag blocks, each value comes
// from the first block that has it: ID3v2, then Vorbis comments / RIFF INFO / APE /
// MP4 / ASF, then ID3v1. A file that is missing, not regular or not audio gives an
// empty set. Never throws and never writes to stdout or stderr.
// Threads: any; each call opens the file on its own.
TagSet ReadTags(const std::string& path) noexcept;

}  // namespace audioengine
