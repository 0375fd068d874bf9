// SPDX-License-Identifier: MIT
// Mixes a stream's channels down to the stereo the engine outputs, by a matrix
// chosen once from the stream's channel layout (a speaker mask, see
// audioengine/decode/ChannelOrder.h).
//
// The gains are FFmpeg's default stereo downmix (libswresample's matrix, float, no
// normalisation), with s = sqrt(1/2):
//   front left / right, front left / right of centre   1 to their own side
//   front centre                                       s to both sides
//   side and back left / right                         s to their own side
//   back centre                                        s * s (0.5) to both sides
//   low frequency (LFE)                                left out
//   top (height) left / right                          s to their own side
//   top centres                                        s to both sides
// FFmpeg drops the height speakers; they are mixed here so that no channel of the
// file goes unheard.
// Each side sums its channels in channel order, as FFmpeg does, so the result is the
// same to the last bit. Sums beyond full scale are not clamped: the mix clamps later.
//
// Mono goes unchanged to both sides and stereo is copied unchanged, whatever their
// mask says. A layout that is not known (mask 0, a mask that does not name exactly
// one speaker per channel, or names reserved bits) falls back to: the first channel
// to the left and the second to the right at 1, every other channel at s to both.
//
// Plain data: nothing is allocated; Process() may run on any one thread at a time.
#pragma once

#include <cstdint>

namespace ae::dsp {

class StereoDownmix {
  public:
    // The decoders deliver at most this many channels; any beyond are not mixed.
    static constexpr int kMaxChannels = 8;

    // `channels` is the interleaved channel count of the input; with fewer than 1 the
    // output is silence.
    StereoDownmix(int channels, uint32_t channelMask);

    // Mixes `frames` interleaved frames of the input's channels into `outStereo`
    // (2 x frames floats). `in` and `outStereo` must not overlap.
    void Process(const float* in, int frames, float* outStereo) const;

  private:
    enum class Mode { Silence, Mono, Copy, Matrix };
    struct Tap {
        int channel;
        float gain;
    };
    int channels_;
    Mode mode_;
    Tap taps_[2][kMaxChannels] = {};  // per side, the channels with a gain, in order
    int tapCount_[2] = {0, 0};
};

}  // namespace ae::dsp
