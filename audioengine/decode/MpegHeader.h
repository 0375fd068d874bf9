// SPDX-License-Identifier: MIT
// MPEG audio frame headers and the Xing/Info/VBRI frame that encoders put first,
// read directly so that a stream can be recognised and checked for completeness
// without decoding it.
#pragma once

#include <cstdint>

namespace ae {

struct MpegHeader {
    int version = 0;     // 10 = MPEG-1, 20 = MPEG-2, 25 = MPEG-2.5
    int layer = 0;       // 1..3
    int rate = 0;        // Hz
    int channels = 0;    // 1 or 2
    int frameBytes = 0;  // 0 for free-format streams
    int samples = 0;     // per frame
    // Layer III only: where a Xing/Info header starts after the 4-byte header.
    int sideInfoBytes = 0;
};

// Parses 4 header bytes; false when they are not a valid MPEG audio frame header.
bool ParseMpegHeader(const unsigned char* h, MpegHeader* out);

// Whether two headers belong to the same stream (same version, layer and rate).
bool SameStream(const MpegHeader& a, const MpegHeader& b);

// Rebuilds `damaged`, the header of a frame `frameBytes` long in the stream whose
// previous frame has the header `previous`, when changing one of its bytes makes it a
// header of that stream (same version, layer, rate, channels and checksum flag) for a
// frame of that length. The stream's fixed fields come from `previous`; what varies
// from frame to frame (bit rate, padding, private bit, mode extension, copyright and
// original flags) is kept from `damaged` where that byte is intact. False when no
// change of one byte does it.
bool RebuildMpegHeader(const unsigned char* previous, const unsigned char* damaged,
                       int64_t frameBytes, unsigned char* out);

// The frame count a Xing/Info or VBRI header declares in the frame `frame` (which
// starts with the header `header`); -1 when there is none or it gives no count.
int64_t DeclaredFrames(const MpegHeader& header, const unsigned char* frame, int64_t frameLength);

}  // namespace ae
