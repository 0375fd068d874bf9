// SPDX-License-Identifier: MIT
// What a file holds, told from its content alone: the name and extension are never
// asked.
#pragma once

#include <cstdint>
#include <vector>

#include "audioengine/decode/FileSource.h"
#include "audioengine/decode/TagBlocks.h"

namespace ae {

enum class FileKind {
    Unknown,
    Wav,
    Aiff,
    Flac,
    OggVorbis,
    OggOpus,
    OggOpusVorbisOrder,  // Opus whose channels beyond stereo are in Vorbis order
    OggFlac,
    OggOther,  // an Ogg stream in a codec we have no decoder for
    Mpeg,
    SndfileContainer  // AU, CAF, RF64, Wave64 and the others of SndfileContainers.h
};

// Looks at the container magic at the start, then at what follows the tag blocks
// of `range` (FLAC and MPEG audio are tagged with ID3v2 too).
FileKind DetectFileKind(const FileSource& file, PayloadRange range);

// The header of an Ogg page: what a page says of itself before its body.
struct OggPageHeader {
    int64_t bytes = 0;       // the whole page: header, lacing values and body
    bool continued = false;  // begins with the rest of a packet from the page before
    bool bos = false;        // the first page of its stream
    int64_t granule = -1;    // the granule position; -1: no packet ends on the page
    uint32_t serial = 0;
    uint32_t sequence = 0;  // the page's number in its stream, 0 for the first
    int segments = 0;       // lacing values, in `lacing`
    unsigned char lacing[255] = {};
};

// Reads the header of the Ogg page at `offset` of `file` (the capture pattern,
// structure version 0, the lacing values); false when there is none, or when the page
// would run past `end`. The checksum, which needs the body, is not checked.
bool ReadOggPageHeader(const FileSource& file, int64_t offset, int64_t end, OggPageHeader* header);
// Reads the headers of Ogg pages as ReadOggPageHeader does, through a buffer of its
// own: a walk over the pages of a long file makes one read of the file per 64 KiB
// instead of one per page. The file is read at absolute offsets only.
class OggPageHeaderReader {
  public:
    explicit OggPageHeaderReader(const FileSource& file) : file_(file) {}
    // As ReadOggPageHeader(file, offset, end, header). Throws std::bad_alloc (the
    // first time).
    bool Read(int64_t offset, int64_t end, OggPageHeader* header);

  private:
    const FileSource& file_;
    std::vector<unsigned char> buffer_;  // the file's bytes from start_, length_ of them
    int64_t start_ = 0, length_ = 0;
};

// Reads the Ogg page at `offset` of `file` into `page` (its header, lacing values and
// body); false when there is none that is whole and passes its checksum.
bool ReadWholeOggPage(const FileSource& file, int64_t offset, std::vector<unsigned char>* page);
// Where the next page may begin after a damaged one: the next capture pattern
// "OggS" at or after `offset`, or `end` when there is none.
int64_t NextCapture(const FileSource& file, int64_t offset, int64_t end);

}  // namespace ae
