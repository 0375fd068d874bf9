// SPDX-License-Identifier: MIT
#include "audioengine/decode/MpegHeader.h"

#include <cstring>

#include "audioengine/decode/ByteOrder.h"

namespace ae {

namespace {

// kbps by [MPEG-1 ? 0 : 1][layer - 1][index]
const int kBitrates[2][3][16] = {
    {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, -1},
     {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, -1},
     {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, -1}},
    {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, -1},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1},
     {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, -1}}};

const int kRates[3][3] = {{44100, 48000, 32000}, {22050, 24000, 16000}, {11025, 12000, 8000}};

}  // namespace

bool ParseMpegHeader(const unsigned char* h, MpegHeader* out) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    const int versionBits = (h[1] >> 3) & 3;  // 0: 2.5, 1: reserved, 2: 2, 3: 1
    const int layerBits = (h[1] >> 1) & 3;    // 0: reserved, 1: III, 2: II, 3: I
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    if (versionBits == 1 || layerBits == 0 || bitrateIndex == 15 || rateIndex == 3 ||
        (h[3] & 3) == 2)
        return false;
    MpegHeader m;
    m.version = versionBits == 3 ? 10 : versionBits == 2 ? 20 : 25;
    m.layer = 4 - layerBits;
    const int table = m.version == 10 ? 0 : 1;
    m.rate = kRates[m.version == 10 ? 0 : m.version == 20 ? 1 : 2][rateIndex];
    m.channels = (h[3] >> 6) == 3 ? 1 : 2;
    const int padding = (h[2] >> 1) & 1;
    const int64_t bps = int64_t{kBitrates[table][m.layer - 1][bitrateIndex]} * 1000;
    if (m.layer == 1) {
        m.samples = 384;
        m.frameBytes = static_cast<int>((12 * bps / m.rate + padding) * 4);
    } else if (m.layer == 2 || m.version == 10) {
        m.samples = 1152;
        m.frameBytes = static_cast<int>(144 * bps / m.rate + padding);
    } else {
        m.samples = 576;
        m.frameBytes = static_cast<int>(72 * bps / m.rate + padding);
    }
    if (bps == 0) m.frameBytes = 0;  // free format
    if (m.layer == 3) {
        if (m.version == 10)
            m.sideInfoBytes = m.channels == 1 ? 17 : 32;
        else
            m.sideInfoBytes = m.channels == 1 ? 9 : 17;
    }
    *out = m;
    return true;
}

bool SameStream(const MpegHeader& a, const MpegHeader& b) {
    return a.version == b.version && a.layer == b.layer && a.rate == b.rate;
}

bool RebuildMpegHeader(const unsigned char* previous, const unsigned char* damaged,
                       int64_t frameBytes, unsigned char* out) {
    MpegHeader stream;
    if (!ParseMpegHeader(previous, &stream) || frameBytes <= 0) return false;
    const auto fits = [&](const unsigned char* h) {
        MpegHeader m;
        return ParseMpegHeader(h, &m) && SameStream(m, stream) && m.channels == stream.channels &&
               (h[1] & 1) == (previous[1] & 1) && m.frameBytes == frameBytes;
    };
    unsigned char h[4];
    for (int damagedByte = 0; damagedByte < 4; ++damagedByte) {
        std::memcpy(h, damaged, 4);
        switch (damagedByte) {
            case 0:  // the sync byte
                h[0] = 0xFF;
                break;
            case 1:  // sync, version, layer and checksum flag: the stream's
                h[1] = previous[1];
                break;
            case 2:  // the bit rate and padding that give the frame's length, the
                     // stream's rate, the private bit as found
                for (int bitrate = 1; bitrate < 15; ++bitrate) {
                    for (int padding = 0; padding < 2; ++padding) {
                        h[2] = static_cast<unsigned char>(bitrate << 4 | (previous[2] & 0x0C) |
                                                          padding << 1 | (damaged[2] & 1));
                        if (fits(h)) {
                            std::memcpy(out, h, 4);
                            return true;
                        }
                    }
                }
                continue;
            default:  // the stream's channel mode and emphasis; the rest as found
                h[3] = static_cast<unsigned char>((damaged[3] & 0x3C) | (previous[3] & 0xC3));
                break;
        }
        if (fits(h)) {
            std::memcpy(out, h, 4);
            return true;
        }
    }
    return false;
}

int64_t DeclaredFrames(const MpegHeader& header, const unsigned char* frame, int64_t frameLength) {
    if (header.layer != 3) return -1;
    const int64_t xing = 4 + header.sideInfoBytes;
    if (xing + 12 <= frameLength &&
        (std::memcmp(frame + xing, "Xing", 4) == 0 || std::memcmp(frame + xing, "Info", 4) == 0)) {
        const uint32_t flags = BigEndian32(frame + xing + 4);
        if (flags & 1) return BigEndian32(frame + xing + 8);
        return -1;
    }
    // Fraunhofer's VBRI header sits 32 bytes after the frame header.
    const int64_t vbri = 4 + 32;
    if (vbri + 18 <= frameLength && std::memcmp(frame + vbri, "VBRI", 4) == 0)
        return BigEndian32(frame + vbri + 14);
    return -1;
}

}  // namespace ae
