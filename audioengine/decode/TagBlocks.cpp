// SPDX-License-Identifier: MIT
// Finding ID3v2, ID3v1 and APE blocks from the two ends of a file, and the metadata
// that FLAC, MP4 and ASF files keep among their own structures.
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

namespace {

// Walks boxes, atoms and blocks no deeper and no longer than a real file has them:
// a damaged or hostile file ends the walk, it never loops or overflows.
constexpr int kMaxObjects = 10000;

// FLAC: metadata blocks after "fLaC", each a 4-byte header (last-block flag, type,
// 24-bit length); type 6 is a picture.
int64_t FlacPictureBytes(const FileSource& file, PayloadRange range) {
    int64_t pictures = 0;
    int64_t offset = range.begin + 4;
    for (int blocks = 0; blocks < kMaxObjects && offset + 4 <= range.end; ++blocks) {
        unsigned char h[4];
        if (file.ReadAt(offset, h, 4) != 4) break;
        const int64_t length = (int64_t{h[1]} << 16) | (int64_t{h[2]} << 8) | h[3];
        if (offset + 4 + length > range.end) break;
        if ((h[0] & 0x7F) == 6) pictures += 4 + length;
        if (h[0] & 0x80) break;  // the last metadata block
        offset += 4 + length;
    }
    return pictures;
}

// An MP4 box: [begin, end) of the whole box, its type, and where its children or
// data start.
struct Box {
    int64_t begin;
    int64_t end;
    char type[4];
    int64_t body;
};

// The box at `offset` within a parent ending at `limit`; false when there is none or
// it does not fit (size 1: a 64-bit size follows the type; 0: up to the parent's end).
bool ReadBox(const FileSource& file, int64_t offset, int64_t limit, Box* box) {
    unsigned char h[16];
    if (offset + 8 > limit || file.ReadAt(offset, h, 8) != 8) return false;
    uint64_t size = BigEndian32(h);
    int64_t header = 8;
    if (size == 1) {
        if (offset + 16 > limit || file.ReadAt(offset + 8, h + 8, 8) != 8) return false;
        size = BigEndian64(h + 8);
        header = 16;
    } else if (size == 0) {
        size = static_cast<uint64_t>(limit - offset);
    }
    if (size < static_cast<uint64_t>(header) || size > static_cast<uint64_t>(limit - offset))
        return false;
    box->begin = offset;
    box->end = offset + static_cast<int64_t>(size);
    std::memcpy(box->type, h + 4, 4);
    box->body = offset + header;
    return true;
}

bool IsBox(const Box& box, const char* type) { return std::memcmp(box.type, type, 4) == 0; }

// Cover art ("covr") of an iTunes item list inside a "meta" box. In MP4 the box
// starts with 4 bytes of version and flags, all 0; in QuickTime its children follow
// at once, the first starting with its nonzero size.
int64_t Mp4MetaCoverBytes(const FileSource& file, const Box& meta) {
    unsigned char version[4];
    if (file.ReadAt(meta.body, version, 4) != 4) return 0;
    const int64_t first = BigEndian32(version) == 0 ? meta.body + 4 : meta.body;
    int64_t cover = 0;
    Box child{}, item{};
    int count = 0;
    for (int64_t at = first; count < kMaxObjects && ReadBox(file, at, meta.end, &child);
         at = child.end, ++count) {
        if (!IsBox(child, "ilst")) continue;
        for (int64_t in = child.body; count < kMaxObjects && ReadBox(file, in, child.end, &item);
             in = item.end, ++count)
            if (IsBox(item, "covr")) cover += item.end - item.begin;
    }
    return cover;
}

// MP4: user data boxes ("udta": tags, chapters, cover art) of the movie and its
// tracks, and cover art in a movie-level "meta" box.
int64_t Mp4MetadataBytes(const FileSource& file, PayloadRange range) {
    int64_t metadata = 0;
    int count = 0;
    Box top{}, child{}, grandchild{};
    for (int64_t at = range.begin; count < kMaxObjects && ReadBox(file, at, range.end, &top);
         at = top.end, ++count) {
        if (!IsBox(top, "moov")) continue;
        for (int64_t in = top.body; count < kMaxObjects && ReadBox(file, in, top.end, &child);
             in = child.end, ++count) {
            if (IsBox(child, "udta")) metadata += child.end - child.begin;
            if (IsBox(child, "meta")) metadata += Mp4MetaCoverBytes(file, child);
            if (!IsBox(child, "trak")) continue;
            for (int64_t t = child.body;
                 count < kMaxObjects && ReadBox(file, t, child.end, &grandchild);
                 t = grandchild.end, ++count)
                if (IsBox(grandchild, "udta")) metadata += grandchild.end - grandchild.begin;
        }
    }
    return metadata;
}

// ASF objects are a 16-byte GUID (stored in its mixed-endian form) and a 64-bit size.
using Guid = unsigned char[16];
const Guid kAsfHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                         0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid kAsfHeaderExtension = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                  0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// The objects that carry tags and pictures rather than describe the stream.
const Guid kAsfMetadataObjects[] = {
    // Content Description: title, author, copyright, description, rating.
    {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE,
     0x6C},
    // Extended Content Description: the WM/ attributes, cover art (WM/Picture) too.
    {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11, 0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8,
     0x50},
    // Content Branding: a banner image.
    {0xFA, 0xB3, 0x11, 0x22, 0x23, 0xBD, 0xD2, 0x11, 0xB4, 0xB7, 0x00, 0xA0, 0xC9, 0x55, 0xFC,
     0x6E},
    // Metadata and Metadata Library, inside the header extension.
    {0xEA, 0xCB, 0xF8, 0xC5, 0xAF, 0x5B, 0x77, 0x48, 0x84, 0x67, 0xAA, 0x8C, 0x44, 0xFA, 0x4C,
     0xCA},
    {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49, 0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70,
     0x54},
};

// The metadata objects among those in [begin, end); a header extension is looked into
// (its objects follow a GUID, a 16-bit field and a 32-bit size: 22 bytes).
int64_t AsfObjectsMetadataBytes(const FileSource& file, int64_t begin, int64_t end, int depth) {
    int64_t metadata = 0;
    int64_t offset = begin;
    for (int objects = 0; objects < kMaxObjects && offset + 24 <= end; ++objects) {
        unsigned char h[24];
        if (file.ReadAt(offset, h, 24) != 24) break;
        const uint64_t size = LittleEndian64(h + 16);
        if (size < 24 || size > static_cast<uint64_t>(end - offset)) break;
        for (const Guid& guid : kAsfMetadataObjects)
            if (std::memcmp(h, guid, 16) == 0) metadata += static_cast<int64_t>(size);
        if (depth == 0 && std::memcmp(h, kAsfHeaderExtension, 16) == 0)
            metadata += AsfObjectsMetadataBytes(file, offset + 24 + 22,
                                                offset + static_cast<int64_t>(size), 1);
        offset += static_cast<int64_t>(size);
    }
    return metadata;
}

// ASF: the header object (GUID, size, object count, 2 reserved bytes: 30 bytes) holds
// the others.
int64_t AsfMetadataBytes(const FileSource& file, PayloadRange range) {
    unsigned char h[24];
    if (file.ReadAt(range.begin, h, 24) != 24) return 0;
    const uint64_t size = LittleEndian64(h + 16);
    if (size < 30 || size > static_cast<uint64_t>(range.end - range.begin)) return 0;
    return AsfObjectsMetadataBytes(file, range.begin + 30, range.begin + static_cast<int64_t>(size),
                                   0);
}

// What lies inside the audio range of a FLAC, MP4 or ASF file and is metadata.
int64_t ContainerMetadataBytes(const FileSource& file, PayloadRange range) {
    unsigned char h[16] = {};
    if (file.ReadAt(range.begin, h, 16) != 16) return 0;
    if (std::memcmp(h, "fLaC", 4) == 0) return FlacPictureBytes(file, range);
    if (std::memcmp(h + 4, "ftyp", 4) == 0) return Mp4MetadataBytes(file, range);
    if (std::memcmp(h, kAsfHeader, 16) == 0) return AsfMetadataBytes(file, range);
    return 0;
}

}  // namespace

int64_t AudioPayloadBytes(const std::string& path) {
    const Result<std::unique_ptr<FileSource>> file = FileSource::Open(path);
    if (!file.ok() || file.value()->Size() < 0) return -1;
    const PayloadRange range = FindPayload(*file.value());
    const int64_t metadata = ContainerMetadataBytes(*file.value(), range);
    return std::max<int64_t>(0, range.end - range.begin - metadata);
}

}  // namespace ae
