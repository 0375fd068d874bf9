// SPDX-License-Identifier: MIT
// A stream's recent audio after effects and before volume, at the stream's own rate,
// kept for the level meter and the spectrum. Indexed by stream frame, so a query can
// pick exactly the frames ending at the heard position. Per frame it keeps what the
// two measurements need whatever the channel count: the peak magnitude of the even
// channels (left), of the odd channels (right; mono counts as both) and the mean of
// all channels (for the spectrum). Written by the decode thread, read by query
// threads; the audio callback never touches it.
//
// The means and the peaks are kept in separate rings: a spectrum reads 512 means,
// and a host asks for one per frame it draws, usually with cold caches, so it should
// touch only the 2 KiB it needs rather than the peaks interleaved with them.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace ae {

class AnalysisHistory {
  public:
    // Room for `frames` stream frames; fixed for the stream's life.
    explicit AnalysisHistory(int frames);

    int capacity() const { return capacity_; }

    // Forgets everything: the next Append starts at stream frame `frame`.
    void Reset(int64_t frame);

    // Adds `frames` interleaved frames of `channels` floats, following what came before.
    void Append(const float* interleaved, int frames, int channels);

    // Peak magnitudes over the stream frames [end - frames, end): frames not held
    // (before the stream's start, overwritten or not decoded yet) count as silence.
    void Peaks(int64_t end, int frames, float* left, float* right) const;

    // The channel mean of the stream frames [end - frames, end) into `out`, silence
    // for frames not held. True when every frame at or after stream frame 0 was held.
    bool Mean(int64_t end, int frames, float* out) const;

  private:
    struct FramePeaks {
        float even = 0;  // peak |sample| of channels 0, 2, 4...
        float odd = 0;   // peak |sample| of channels 1, 3, 5... (mono: channel 0)
    };

    mutable std::mutex mutex_;
    int capacity_;
    std::vector<FramePeaks> peaks_;  // by stream frame modulo capacity_
    std::vector<float> means_;       // mean of all channels, indexed as peaks_
    int64_t begin_ = 0;              // oldest stream frame held
    int64_t end_ = 0;                // stream frame after the newest
};

}  // namespace ae
