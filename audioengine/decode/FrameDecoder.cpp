// SPDX-License-Identifier: MIT
// Reads bounded by the stated length and samples limited to a safe range, whatever
// the codec hands over.
#include "audioengine/decode/FrameDecoder.h"

#include <algorithm>

namespace ae {

namespace {

// Float files (and a damaged lossy stream) can carry any 32-bit pattern: NaN,
// infinities, or values near 3.4e38 that overflow the equaliser, the meter and the
// spectrum further down. A decoded sample is finite and within +-kSampleLimit
// (+24 dBFS, far above any real recording's overs); NaN becomes silence.
constexpr float kSampleLimit = 16.0f;

void LimitSamples(float* samples, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        const float v = samples[i];
        if (!(v >= -kSampleLimit && v <= kSampleLimit))
            samples[i] = v > 0.0f ? kSampleLimit : v < 0.0f ? -kSampleLimit : 0.0f;
    }
}

}  // namespace

int64_t FrameDecoder::Read(float* out, int64_t frames) {
    if (!out || frames <= 0 || ended_) return 0;
    const int64_t want = std::min(frames, info_.frames - position_);
    int64_t done = 0;
    while (done < want) {
        const int64_t n = DecodeFrames(out + done * info_.channels, want - done);
        if (n <= 0) break;
        done += n;
    }
    position_ += done;
    if (done < frames) ended_ = true;
    LimitSamples(out, done * info_.channels);
    return done;
}

bool FrameDecoder::Seek(int64_t frame) {
    if (frame < 0 || frame > info_.frames) return false;
    position_ = frame;
    if (frame == info_.frames) {
        ended_ = true;  // nothing left to read; the codec is repositioned on the next seek
        return true;
    }
    ended_ = !SeekCodec(frame);
    return !ended_;
}

}  // namespace ae
