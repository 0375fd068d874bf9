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
// MP4 / ASF / AIFF text chunks, then ID3v1; a FLAC's own Vorbis comment comes before
// an ID3v2 block in front of it. ID3v1, ID3v2 frames marked Latin-1 and AIFF text
// chunks are decoded in the legacy code page (LegacyText.h), read from the
// environment on each call. Matroska/WebM, and containers TagLib does not read, get
// their tags from the container metadata reader, if one is set. A file that is
// missing, not regular or not audio gives an empty set. Never throws and never
// writes to stdout or stderr.
// Threads: any; each call opens the file on its own.
TagSet ReadTags(const std::string& path) noexcept;

// A reader of the metadata that a container keeps and TagLib cannot read (Matroska
// and WebM tags): FFmpeg's, through the engine. It calls `visit` with each key/value
// pair (NUL-terminated, valid during the call), the container's before its audio
// stream's, and returns false when it cannot read the file. Called on any thread.
using MetadataVisitor = void (*)(void* user, const char* key, const char* value);
using ContainerMetadataReader = bool (*)(const char* path, MetadataVisitor visit, void* user);

// Sets the reader ReadTags uses; nullptr (the start) for none. libtags sets the
// engine's; tests set their own.
// Threads: any; calls of ReadTags already running keep the reader they found.
void SetContainerMetadataReader(ContainerMetadataReader reader) noexcept;

}  // namespace audioengine
