// SPDX-License-Identifier: MIT
// Peak meter over interleaved float frames, in the engine's level format: each side
// from 0 to 32768 (full scale, clamped: an equaliser can push a signal past it), left
// in the low 16 bits, right in the high 16 bits. Mono reads the same on both sides,
// stereo is left/right, and with more than two channels the left side is the peak
// of the even channels (0, 2, ...) and the right side that of the odd ones.
// Not-a-number samples are ignored. Plain data; any thread, one object per thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ae::dsp {

class PeakMeter {
  public:
    // Takes `frames` interleaved frames of `channels` (>= 1) into the peak.
    void Add(const float* interleaved, size_t frames, int channels);
    // The peaks so far, packed; 0 before anything was added.
    uint32_t Packed() const;
    // The peaks so far as full-scale amplitudes (unclamped).
    float left() const { return left_; }
    float right() const { return right_; }
    void Clear() { left_ = right_ = 0.0f; }

  private:
    float left_ = 0.0f;
    float right_ = 0.0f;
};

// The packed level of one run of frames. Any thread.
uint32_t PeakLevel(const float* interleaved, size_t frames, int channels);

// An amplitude limited to [0, 1], NaN read as 0: the first half of
// LevelFromAmplitude. Without a branch, so that a loop over many vectorises.
inline float ClampAmplitude(float amplitude) {
    return amplitude > 0.0f ? (amplitude < 1.0f ? amplitude : 1.0f) : 0.0f;
}

// The level of an amplitude already clamped to [0, 1]: its second half.
inline uint32_t LevelFromClamped(float clamped) {
    // clamped x 32768 is exact, and so is adding 0.5 in double: truncating the sum
    // rounds as lround does, without a call into the maths library.
    return static_cast<uint32_t>(
        static_cast<int32_t>(static_cast<double>(clamped * 32768.0f) + 0.5));
}

// An amplitude (1.0 = full scale) as a level 0..32768, rounded (halves away from
// zero), clamped. Inline: the analysis history takes two per decoded frame.
inline uint32_t LevelFromAmplitude(float amplitude) {
    return LevelFromClamped(ClampAmplitude(amplitude));
}

}  // namespace ae::dsp
