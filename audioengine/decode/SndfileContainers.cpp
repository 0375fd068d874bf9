// SPDX-License-Identifier: MIT
// Magic bytes of the containers libsndfile reads besides WAV and AIFF, and the
// stated lengths of the common ones. Each check asks for more than a four-byte tag
// where the format allows it, so that chance bytes at the start of some other file
// are not taken for a container.
#include "audioengine/decode/SndfileContainers.h"

#include <sndfile.h>

#include <cstring>

#include "audioengine/decode/ByteOrder.h"

namespace ae {

namespace {

constexpr int64_t kMagicBytes = 64;

// The GUIDs of Sony Wave64's RIFF, WAVE and data chunks, as stored.
const unsigned char kW64Riff[16] = {'r',  'i',  'f',  'f',  0x2E, 0x91, 0xCF, 0x11,
                                    0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
const unsigned char kW64Wave[16] = {'w',  'a',  'v',  'e',  0xF3, 0xAC, 0xD3, 0x11,
                                    0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
const unsigned char kW64Data[16] = {'d',  'a',  't',  'a',  0xF3, 0xAC, 0xD3, 0x11,
                                    0x8C, 0xD1, 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

bool At(const unsigned char* h, int64_t got, int64_t offset, const void* magic, size_t length) {
    return got >= offset + static_cast<int64_t>(length) &&
           std::memcmp(h + offset, magic, length) == 0;
}

// IRCAM: 0x64A3 then the machine type 1..4, in either byte order.
bool IsIrcam(const unsigned char* h, int64_t got) {
    if (got < 4) return false;
    const bool little = h[0] == 0x64 && h[1] == 0xA3 && h[2] >= 1 && h[2] <= 4 && h[3] == 0;
    const bool big = h[0] == 0 && h[1] >= 1 && h[1] <= 4 && h[2] == 0xA3 && h[3] == 0x64;
    return little || big;
}

// MAT4 has no magic; libsndfile's writer starts with a 1 x 1 real matrix named
// "samplerate" (type 0 or 10 little-endian, 1000 or 1010 big-endian), and its reader
// requires it.
bool IsMat4(const unsigned char* h, int64_t got) {
    if (got < 31 || std::memcmp(h + 20, "samplerate", 11) != 0) return false;
    const uint32_t le[5] = {LittleEndian32(h), LittleEndian32(h + 4), LittleEndian32(h + 8),
                            LittleEndian32(h + 12), LittleEndian32(h + 16)};
    const uint32_t be[5] = {BigEndian32(h), BigEndian32(h + 4), BigEndian32(h + 8),
                            BigEndian32(h + 12), BigEndian32(h + 16)};
    auto header = [](const uint32_t* v, uint32_t double_type, uint32_t float_type) {
        return (v[0] == double_type || v[0] == float_type) && v[1] == 1 && v[2] == 1 && v[3] == 0 &&
               v[4] == 11;
    };
    return header(le, 0, 10) || header(be, 1000, 1010);
}

// HTK: a 12-byte header (sample count, period, sample size 2, kind WAVEFORM) and
// exactly that many 16-bit samples, nothing else.
bool IsHtk(const unsigned char* h, int64_t got, int64_t size) {
    if (got < 12 || BigEndian32(h + 4) == 0) return false;
    if (h[8] != 0 || h[9] != 2 || h[10] != 0 || h[11] != 0) return false;
    return 12 + 2 * int64_t{BigEndian32(h)} == size;
}

// Akai MPC 2000 sample: 01 04, a 17-character name, a mono/stereo flag and a rate.
bool IsMpc2k(const unsigned char* h, int64_t got) {
    if (got < 42 || h[0] != 0x01 || h[1] != 0x04 || h[21] > 1) return false;
    for (int i = 2; i < 19; ++i)
        if (h[i] < 0x20 || h[i] > 0x7E) return false;
    return (h[40] | (h[41] << 8)) != 0;
}

// AU: the data offset and size follow the magic; a size of ~0 means "unknown".
bool AuComplete(const FileSource& file, int64_t size) {
    unsigned char h[12];
    if (file.ReadAt(0, h, 12) != 12) return false;
    const bool big = std::memcmp(h, ".snd", 4) == 0;
    const uint32_t offset = big ? BigEndian32(h + 4) : LittleEndian32(h + 4);
    const uint32_t length = big ? BigEndian32(h + 8) : LittleEndian32(h + 8);
    return length == 0xFFFFFFFFu || int64_t{offset} + length <= size;
}

// CAF: chunks of a type and a signed 64-bit size after the 8-byte file header; the
// audio chunk may say -1, "up to the end of the file".
bool CafComplete(const FileSource& file, int64_t size) {
    int64_t offset = 8;
    for (int chunks = 0; chunks < 1000 && offset + 12 <= size; ++chunks) {
        unsigned char h[12];
        if (file.ReadAt(offset, h, 12) != 12) return false;
        const uint64_t length = BigEndian64(h + 4);
        if (std::memcmp(h, "data", 4) == 0)
            return length == ~uint64_t{0} || length <= static_cast<uint64_t>(size - offset - 12);
        if (length > static_cast<uint64_t>(size - offset - 12)) return false;
        offset += 12 + static_cast<int64_t>(length);
    }
    return false;  // no audio chunk within the file
}

// RF64: RIFF chunks, whose audio chunk says ~0 and leaves its 64-bit size to the
// "ds64" chunk that follows the header.
bool Rf64Complete(const FileSource& file, int64_t size) {
    uint64_t ds64Data = ~uint64_t{0};
    int64_t offset = 12;
    for (int chunks = 0; chunks < 1000 && offset + 8 <= size; ++chunks) {
        unsigned char h[24];
        if (file.ReadAt(offset, h, 8) != 8) return false;
        const uint32_t length = LittleEndian32(h + 4);
        if (std::memcmp(h, "ds64", 4) == 0 && length >= 16) {
            if (file.ReadAt(offset + 8, h + 8, 16) != 16) return false;
            ds64Data = LittleEndian64(h + 16);
        }
        if (std::memcmp(h, "data", 4) == 0) {
            const uint64_t data = length == 0xFFFFFFFFu ? ds64Data : length;
            return data == ~uint64_t{0} || data <= static_cast<uint64_t>(size - offset - 8);
        }
        offset += 8 + int64_t{length} + (length & 1);
    }
    return false;
}

// Wave64: chunks of a GUID and a 64-bit size that counts the 24-byte chunk header,
// each starting on a multiple of 8 bytes.
bool W64Complete(const FileSource& file, int64_t size) {
    int64_t offset = 40;
    for (int chunks = 0; chunks < 1000 && offset + 24 <= size; ++chunks) {
        unsigned char h[24];
        if (file.ReadAt(offset, h, 24) != 24) return false;
        const uint64_t length = LittleEndian64(h + 16);
        if (length < 24 || length > static_cast<uint64_t>(size - offset))
            return false;  // the audio chunk too: it claims more than the file holds
        if (std::memcmp(h, kW64Data, 16) == 0) return true;
        offset += static_cast<int64_t>((length + 7) & ~uint64_t{7});
    }
    return false;
}

}  // namespace

int SndfileContainerOf(const FileSource& file) {
    unsigned char h[kMagicBytes] = {};
    const int64_t got = file.ReadAt(0, h, kMagicBytes);
    if (got < 4) return 0;
    if (At(h, got, 0, ".snd", 4) || At(h, got, 0, "dns.", 4)) return SF_FORMAT_AU;
    if (At(h, got, 0, "caff\0\x01", 6)) return SF_FORMAT_CAF;
    if (At(h, got, 0, "RF64", 4) && At(h, got, 8, "WAVE", 4)) return SF_FORMAT_RF64;
    if (At(h, got, 0, kW64Riff, 16) && At(h, got, 24, kW64Wave, 16)) return SF_FORMAT_W64;
    if (At(h, got, 0, "FORM", 4) && (At(h, got, 8, "8SVX", 4) || At(h, got, 8, "16SV", 4)))
        return SF_FORMAT_SVX;
    if (IsIrcam(h, got)) return SF_FORMAT_IRCAM;
    if (At(h, got, 0, "Creative Voice File\x1A", 20)) return SF_FORMAT_VOC;
    if (At(h, got, 0, " paf", 4) || At(h, got, 0, "fap ", 4)) return SF_FORMAT_PAF;
    if (At(h, got, 0, "NIST_1A\n", 8)) return SF_FORMAT_NIST;
    if (At(h, got, 0, "ALawSoundFile**", 15)) return SF_FORMAT_WVE;
    if (At(h, got, 0, "MATLAB 5.0 MAT-file", 19)) return SF_FORMAT_MAT5;
    if (IsMat4(h, got)) return SF_FORMAT_MAT4;
    if (At(h, got, 0, "PVF1\n", 5)) return SF_FORMAT_PVF;
    if (At(h, got, 0, "Extended Instrument: ", 21)) return SF_FORMAT_XI;
    if (At(h, got, 0, "2BIT", 4)) return SF_FORMAT_AVR;
    if (IsMpc2k(h, got)) return SF_FORMAT_MPC2K;
    if (IsHtk(h, got, file.Size())) return SF_FORMAT_HTK;
    return 0;
}

bool SndfileContainerComplete(const FileSource& file, int container) {
    const int64_t size = file.Size();
    if (size < 0) return false;
    switch (container) {
        case SF_FORMAT_AU:
            return AuComplete(file, size);
        case SF_FORMAT_CAF:
            return CafComplete(file, size);
        case SF_FORMAT_RF64:
            return Rf64Complete(file, size);
        case SF_FORMAT_W64:
            return W64Complete(file, size);
        default:
            return true;
    }
}

int64_t SvxBodyFrames(const FileSource& file, int channels, int bytesPerSample) {
    const int64_t size = file.Size();
    if (channels < 1 || bytesPerSample < 1) return -1;
    int64_t offset = 12;
    for (int chunks = 0; chunks < 1000 && offset + 8 <= size; ++chunks) {
        unsigned char h[8];
        if (file.ReadAt(offset, h, 8) != 8) return -1;
        const uint32_t length = BigEndian32(h + 4);
        if (std::memcmp(h, "BODY", 4) == 0) return length / (int64_t{channels} * bytesPerSample);
        offset += 8 + int64_t{length} + (length & 1);
    }
    return -1;
}

}  // namespace ae
