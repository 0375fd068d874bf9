// SPDX-License-Identifier: MIT
#include "audioengine/dsp/StereoDownmix.h"

#include <cmath>
#include <cstring>

#include "audioengine/decode/ChannelOrder.h"

namespace ae::dsp {

namespace {

// FFmpeg's centre and surround mix levels, -3 dB; the back centre is a surround
// speaker halved between the sides, -6 dB.
constexpr double kMinus3Db = M_SQRT1_2;
constexpr double kBackCenterGain = M_SQRT1_2 * M_SQRT1_2;

struct SpeakerGains {
    uint32_t speaker;
    double left;
    double right;
};

// Every speaker a mask can name; the low-frequency speaker has no gain.
constexpr SpeakerGains kSpeakerGains[] = {
    {kSpeakerFrontLeft, 1.0, 0.0},
    {kSpeakerFrontRight, 0.0, 1.0},
    {kSpeakerFrontCenter, kMinus3Db, kMinus3Db},
    {kSpeakerLowFrequency, 0.0, 0.0},
    {kSpeakerBackLeft, kMinus3Db, 0.0},
    {kSpeakerBackRight, 0.0, kMinus3Db},
    {kSpeakerFrontLeftOfCenter, 1.0, 0.0},
    {kSpeakerFrontRightOfCenter, 0.0, 1.0},
    {kSpeakerBackCenter, kBackCenterGain, kBackCenterGain},
    {kSpeakerSideLeft, kMinus3Db, 0.0},
    {kSpeakerSideRight, 0.0, kMinus3Db},
    {kSpeakerTopCenter, kMinus3Db, kMinus3Db},
    {kSpeakerTopFrontLeft, kMinus3Db, 0.0},
    {kSpeakerTopFrontCenter, kMinus3Db, kMinus3Db},
    {kSpeakerTopFrontRight, 0.0, kMinus3Db},
    {kSpeakerTopBackLeft, kMinus3Db, 0.0},
    {kSpeakerTopBackCenter, kMinus3Db, kMinus3Db},
    {kSpeakerTopBackRight, 0.0, kMinus3Db},
};
static_assert(sizeof(kSpeakerGains) / sizeof(kSpeakerGains[0]) == 18, "one entry per speaker");

}  // namespace

StereoDownmix::StereoDownmix(int channels, uint32_t channelMask)
    : channels_(channels < 0 ? 0 : channels) {
    if (channels_ == 0) {
        mode_ = Mode::Silence;
        return;
    }
    if (channels_ == 1) {
        mode_ = Mode::Mono;
        return;
    }
    const int mixed = channels_ < kMaxChannels ? channels_ : kMaxChannels;
    double gains[kMaxChannels][2] = {};
    if (MaskDescribesChannels(channelMask, channels_)) {
        // The channels feed the mask's speakers in ascending bit order.
        int channel = 0;
        for (const SpeakerGains& speaker : kSpeakerGains) {
            if (!(channelMask & speaker.speaker)) continue;
            if (channel == mixed) break;
            gains[channel][0] = speaker.left;
            gains[channel][1] = speaker.right;
            ++channel;
        }
    } else {
        gains[0][0] = 1.0;
        gains[1][1] = 1.0;
        for (int c = 2; c < mixed; ++c) gains[c][0] = gains[c][1] = kMinus3Db;
    }
    for (int c = 0; c < mixed; ++c)
        for (int side = 0; side < 2; ++side)
            if (gains[c][side] != 0.0)
                taps_[side][tapCount_[side]++] = Tap{c, static_cast<float>(gains[c][side])};
    const bool identity = channels_ == 2 && tapCount_[0] == 1 && tapCount_[1] == 1 &&
                          taps_[0][0].channel == 0 && taps_[0][0].gain == 1.0f &&
                          taps_[1][0].channel == 1 && taps_[1][0].gain == 1.0f;
    mode_ = identity ? Mode::Copy : Mode::Matrix;
}

void StereoDownmix::Process(const float* in, int frames, float* outStereo) const {
    if (frames <= 0) return;
    const size_t n = static_cast<size_t>(frames);
    switch (mode_) {
        case Mode::Silence:
            std::memset(outStereo, 0, sizeof(float) * 2 * n);
            return;
        case Mode::Mono:
            for (size_t f = 0; f < n; ++f) outStereo[2 * f] = outStereo[2 * f + 1] = in[f];
            return;
        case Mode::Copy:
            std::memcpy(outStereo, in, sizeof(float) * 2 * n);
            return;
        case Mode::Matrix:
            break;
    }
    const size_t stride = static_cast<size_t>(channels_);
    for (size_t f = 0; f < n; ++f) {
        const float* x = in + f * stride;
        for (int side = 0; side < 2; ++side) {
            float sum = 0.0f;
            for (int t = 0; t < tapCount_[side]; ++t)
                sum += x[taps_[side][t].channel] * taps_[side][t].gain;
            outStereo[2 * f + side] = sum;
        }
    }
}

}  // namespace ae::dsp
