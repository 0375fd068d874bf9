// SPDX-License-Identifier: MIT
#include "audioengine/dsp/PeakLevel.h"

#include <cmath>

namespace ae::dsp {

namespace {

// max() that ignores NaN: a comparison with NaN is false, so the old peak stays.
inline float PeakOf(float peak, float sample) {
    const float magnitude = std::fabs(sample);
    return magnitude > peak ? magnitude : peak;
}

}  // namespace

void PeakMeter::Add(const float* interleaved, size_t frames, int channels) {
    if (interleaved == nullptr || channels < 1) return;
    float left = left_;
    float right = right_;
    const size_t c = static_cast<size_t>(channels);
    if (channels == 1) {
        for (size_t i = 0; i < frames; ++i) left = PeakOf(left, interleaved[i]);
        right = left;
    } else {
        for (size_t f = 0; f < frames; ++f) {
            const float* frame = interleaved + f * c;
            for (size_t ch = 0; ch + 1 < c; ch += 2) {
                left = PeakOf(left, frame[ch]);
                right = PeakOf(right, frame[ch + 1]);
            }
            if (c & 1u) left = PeakOf(left, frame[c - 1]);
        }
    }
    left_ = left;
    right_ = right;
}

uint32_t PeakMeter::Packed() const {
    return LevelFromAmplitude(left_) | (LevelFromAmplitude(right_) << 16);
}

uint32_t PeakLevel(const float* interleaved, size_t frames, int channels) {
    PeakMeter meter;
    meter.Add(interleaved, frames, channels);
    return meter.Packed();
}

}  // namespace ae::dsp
