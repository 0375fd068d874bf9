// SPDX-License-Identifier: MIT
// Telling a file's format from its first bytes and, for untagged MPEG audio, from
// a run of frame headers.
#include "audioengine/decode/FileKind.h"

#include <ogg/ogg.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/MpegHeader.h"
#include "audioengine/decode/SndfileContainers.h"

namespace ae {

// The header at the start of `h`, of which `got` bytes were read, the page being
// allowed `room` bytes.
static bool ParseOggPageHeader(const unsigned char* h, int64_t got, int64_t room,
                               OggPageHeader* header) {
    // "OggS" and stream structure version 0.
    if (got < 27 || std::memcmp(h, "OggS", 4) != 0 || h[4] != 0) return false;
    header->segments = h[26];
    if (got < 27 + header->segments) return false;
    header->bytes = 27 + header->segments;
    for (int s = 0; s < header->segments; ++s) header->bytes += h[27 + s];
    if (header->bytes > room) return false;
    std::memcpy(header->lacing, h + 27, static_cast<size_t>(header->segments));
    header->continued = (h[5] & 0x01) != 0;
    header->bos = (h[5] & 0x02) != 0;
    header->granule = static_cast<int64_t>(LittleEndian64(h + 6));
    header->serial = LittleEndian32(h + 14);
    header->sequence = LittleEndian32(h + 18);
    return true;
}

// The most bytes a page header takes: 27, and a lacing value per segment.
constexpr int64_t kMaxPageHeader = 27 + 255;

bool ReadOggPageHeader(const FileSource& file, int64_t offset, int64_t end, OggPageHeader* header) {
    unsigned char h[kMaxPageHeader];
    if (end - offset < 27) return false;
    const int64_t got = file.ReadAt(offset, h, std::min<int64_t>(sizeof h, end - offset));
    return ParseOggPageHeader(h, got, end - offset, header);
}

bool OggPageHeaderReader::Read(int64_t offset, int64_t end, OggPageHeader* header) {
    constexpr int64_t kBufferBytes = 64 * 1024;
    if (end - offset < 27) return false;
    const int64_t want = std::min(kMaxPageHeader, end - offset);
    if (offset < start_ || offset + want > start_ + length_) {
        buffer_.resize(kBufferBytes);
        start_ = offset;
        length_ = std::max<int64_t>(0, file_.ReadAt(offset, buffer_.data(), kBufferBytes));
    }
    const int64_t got = std::min(want, start_ + length_ - offset);
    return ParseOggPageHeader(buffer_.data() + (offset - start_), got, end - offset, header);
}

bool ReadWholeOggPage(const FileSource& file, int64_t offset, std::vector<unsigned char>* page) {
    OggPageHeader header;
    if (!ReadOggPageHeader(file, offset, INT64_MAX, &header)) return false;
    page->resize(static_cast<size_t>(header.bytes));
    if (file.ReadAt(offset, page->data(), header.bytes) != header.bytes) return false;
    // libogg writes the checksum it computes over the stored one.
    const long headerBytes = 27 + header.segments;
    unsigned char stored[4];
    std::memcpy(stored, page->data() + 22, 4);
    ogg_page og{page->data(), headerBytes, page->data() + headerBytes,
                static_cast<long>(header.bytes) - headerBytes};
    ogg_page_checksum_set(&og);
    const bool whole = std::memcmp(stored, page->data() + 22, 4) == 0;
    std::memcpy(page->data() + 22, stored, 4);
    return whole;
}

int64_t NextCapture(const FileSource& file, int64_t offset, int64_t end) {
    unsigned char chunk[4096];
    while (offset + 4 <= end) {
        const int64_t want = std::min<int64_t>(sizeof chunk, end - offset);
        const int64_t got = file.ReadAt(offset, chunk, want);
        if (got < 4) break;
        for (int64_t i = 0; i + 4 <= got; ++i) {
            if (std::memcmp(chunk + i, "OggS", 4) == 0) return offset + i;
        }
        offset += got - 3;
    }
    return end;
}

// The codec of an Ogg file, from the first packet of its first page, or of the first
// page after an Ogg Skeleton's (an index of the streams beside it, which comes
// first). The page must be whole and pass its checksum: "OggS" followed by anything
// else is not Ogg.
static FileKind OggStreamKind(const FileSource& file) {
    std::vector<unsigned char> page;
    if (!ReadWholeOggPage(file, 0, &page)) return FileKind::Unknown;
    int segments = page[26];
    if (page.size() >= static_cast<size_t>(27 + segments + 8) &&
        std::memcmp(page.data() + 27 + segments, "fishead", 8) == 0) {
        // An Ogg Skeleton (an index of the streams beside it) comes first; the first
        // pages of those streams follow, each a page of its own.
        if (!ReadWholeOggPage(file, static_cast<int64_t>(page.size()), &page) ||
            (page[5] & 0x02) == 0)
            return FileKind::Unknown;
        segments = page[26];
    }
    const unsigned char* packet = page.data() + 27 + segments;
    const int64_t packetBytes = static_cast<int64_t>(page.size()) - 27 - segments;
    auto startsWith = [&](const char* magic, size_t length) {
        return packetBytes >= static_cast<int64_t>(length) &&
               std::memcmp(packet, magic, length) == 0;
    };
    if (startsWith("\x01vorbis", 7)) return FileKind::OggVorbis;
    if (startsWith("OpusHead", 8)) {
        // Mapping family 1 (byte 18) orders more than two channels as Vorbis does.
        const bool vorbisOrder = packetBytes >= 19 && packet[9] > 2 && packet[18] == 1;
        return vorbisOrder ? FileKind::OggOpusVorbisOrder : FileKind::OggOpus;
    }
    if (startsWith("\177FLAC", 5)) return FileKind::OggFlac;
    // Audio codecs that Ogg carries and we have no decoder for.
    if (startsWith("Speex   ", 8) || startsWith("CELT    ", 8) || startsWith("PCM     ", 8))
        return FileKind::OggOther;
    return FileKind::Unknown;
}

// Untagged MPEG audio: a run of frame headers of one stream, each where the one
// before ends, from the start or after a little junk (left in front by some rippers
// and broken downloads). Three in a row, or a run reaching the end of the audio,
// tells a stream from chance bytes; libmpg123 has the last word.
static bool FindsMpegFrames(const FileSource& file, PayloadRange range) {
    constexpr int64_t kSearchBytes = 4096;
    unsigned char window[kSearchBytes + 3];
    const int64_t got = file.ReadAt(range.begin, window, sizeof window);
    for (int64_t start = 0; start + 4 <= got && start < kSearchBytes; ++start) {
        MpegHeader first;
        if (!ParseMpegHeader(window + start, &first)) continue;
        if (first.frameBytes == 0) {
            if (start == 0) return true;  // free format: only libmpg123 can tell
            continue;
        }
        int64_t offset = range.begin + start + first.frameBytes;
        int run = 1;
        for (; run < 3 && offset + 4 <= range.end; ++run) {
            unsigned char h[4];
            MpegHeader next;
            if (file.ReadAt(offset, h, 4) != 4 || !ParseMpegHeader(h, &next) ||
                !SameStream(first, next) || next.frameBytes == 0)
                break;
            offset += next.frameBytes;
        }
        if (run == 3 || offset + 4 > range.end) return true;
    }
    return false;
}

// The start of a container or raw stream of a codec none of our own decoders reads
// (MP4, ASF, WavPack, Monkey's Audio, Musepack, TTA, Matroska, ADTS AAC, AC-3, DTS):
// such a file is not MPEG audio, whatever frame-like bytes it holds, and goes to
// FFmpeg as it is.
static bool OtherCodecMagic(const unsigned char* a, int64_t n) {
    static const unsigned char kAsf[8] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11};
    static const unsigned char kEbml[4] = {0x1A, 0x45, 0xDF, 0xA3};
    static const unsigned char kDts[4] = {0x7F, 0xFE, 0x80, 0x01};
    if (n < 8) return false;
    const auto is = [&](const void* magic, size_t length) {
        return std::memcmp(a, magic, length) == 0;
    };
    return std::memcmp(a + 4, "ftyp", 4) == 0 || is(kAsf, 8) || is("wvpk", 4) || is("MAC ", 4) ||
           is("MPCK", 4) || is("MP+", 3) || is("TTA1", 4) || is(kEbml, 4) || is(kDts, 4) ||
           (a[0] == 0x0B && a[1] == 0x77) ||         // AC-3
           (a[0] == 0xFF && (a[1] & 0xF6) == 0xF0);  // ADTS: layer bits 00
}

FileKind DetectFileKind(const FileSource& file, PayloadRange range) {
    unsigned char h[12] = {};
    const int64_t got = file.ReadAt(0, h, sizeof h);
    if (got >= 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVE", 4) == 0)
        return FileKind::Wav;
    if (got >= 12 && std::memcmp(h, "FORM", 4) == 0 &&
        (std::memcmp(h + 8, "AIFF", 4) == 0 || std::memcmp(h + 8, "AIFC", 4) == 0))
        return FileKind::Aiff;
    if (got >= 4 && std::memcmp(h, "OggS", 4) == 0) return OggStreamKind(file);
    if (SndfileContainerOf(file) != 0) return FileKind::SndfileContainer;

    // What follows an ID3v2 block: FLAC files are tagged that way too, and so are raw
    // AAC and AC-3.
    unsigned char a[8] = {};
    if (range.begin + 4 > range.end || file.ReadAt(range.begin, a, 4) != 4)
        return FileKind::Unknown;
    if (std::memcmp(a, "fLaC", 4) == 0) return FileKind::Flac;
    if (OtherCodecMagic(a, file.ReadAt(range.begin, a, 8))) return FileKind::Unknown;
    if (range.begin > 0) return FileKind::Mpeg;  // ID3v2-tagged: libmpg123 finds the frames

    return FindsMpegFrames(file, range) ? FileKind::Mpeg : FileKind::Unknown;
}

}  // namespace ae
