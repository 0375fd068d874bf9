// SPDX-License-Identifier: MIT
// Finding ID3v2, ID3v1 and APE blocks from the two ends of a file.
#include "audioengine/decode/TagBlocks.h"

#include <algorithm>
#include <cstring>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/Decoder.h"

namespace ae {

// The size of an ID3v2 header or footer's block ("ID3" at the start, "3DI" at the
// end): 10 header bytes, the synchsafe body size, 10 more with a footer. 0 when the
// 10 bytes are not such a header.
static int64_t Id3v2BlockSize(const unsigned char* h, const char* magic) {
    if (std::memcmp(h, magic, 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) return 0;
    for (int i = 6; i < 10; ++i)
        if (h[i] & 0x80) return 0;
    const int64_t body =
        (int64_t{h[6]} << 21) | (int64_t{h[7]} << 14) | (int64_t{h[8]} << 7) | h[9];
    return 10 + body + ((h[5] & 0x10) ? 10 : 0);
}

PayloadRange FindPayload(const FileSource& file) {
    PayloadRange range;
    const int64_t size = file.Size();
    if (size <= 0) return range;
    range.end = size;

    // ID3v2 at the start; some taggers stack more than one.
    for (int tags = 0; tags < 4; ++tags) {
        unsigned char h[10];
        if (range.begin + 10 > size || file.ReadAt(range.begin, h, 10) != 10) break;
        const int64_t block = Id3v2BlockSize(h, "ID3");
        if (block == 0) break;
        range.begin = std::min(size, range.begin + block);
    }

    // At the end, in any order: ID3v1 ("TAG", 128 bytes), APE (32-byte "APETAGEX"
    // footer, optional header) and an appended ID3v2 ending in a "3DI" footer.
    bool id3v1Seen = false;
    for (int tags = 0; tags < 8; ++tags) {
        const int64_t room = range.end - range.begin;
        unsigned char t[32];
        if (!id3v1Seen && room >= 128 && file.ReadAt(range.end - 128, t, 3) == 3 &&
            std::memcmp(t, "TAG", 3) == 0) {
            range.end -= 128;
            id3v1Seen = true;
            continue;
        }
        if (room >= 32 && file.ReadAt(range.end - 32, t, 32) == 32 &&
            std::memcmp(t, "APETAGEX", 8) == 0) {
            const int64_t body = LittleEndian32(t + 12);  // items + footer
            const bool hasHeader = (LittleEndian32(t + 20) & 0x80000000u) != 0;
            const int64_t block = body + (hasHeader ? 32 : 0);
            if (body < 32 || block > room) break;
            range.end -= block;
            continue;
        }
        if (room >= 10 && file.ReadAt(range.end - 10, t, 10) == 10) {
            const int64_t block = Id3v2BlockSize(t, "3DI");
            if (block > 0 && block <= room) {
                range.end -= block;
                continue;
            }
        }
        break;
    }
    return range;
}

int64_t AudioPayloadBytes(const std::string& path) {
    const Result<std::unique_ptr<FileSource>> file = FileSource::Open(path);
    if (!file.ok() || file.value()->Size() < 0) return -1;
    const PayloadRange range = FindPayload(*file.value());
    return range.end - range.begin;
}

}  // namespace ae
