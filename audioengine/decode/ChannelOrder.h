// SPDX-License-Identifier: MIT
// Channel orders of the codecs that do not store channels as WAV does.
#pragma once

namespace ae {

// Vorbis and Opus order channels beyond stereo differently from WAV; this gives, for
// each WAV-order output channel, the source channel it comes from. Null outside 1..8.
const int* VorbisToWavOrder(int channels);

}  // namespace ae
