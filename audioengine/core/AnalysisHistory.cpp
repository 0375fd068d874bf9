// SPDX-License-Identifier: MIT
#include "audioengine/core/AnalysisHistory.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audioengine/core/Hot.h"

namespace ae {

AnalysisHistory::AnalysisHistory(int frames)
    : capacity_(std::max(frames, 1)),
      peaks_(static_cast<size_t>(capacity_)),
      means_(static_cast<size_t>(capacity_)) {}

void AnalysisHistory::Reset(int64_t frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    begin_ = end_ = frame;
}

void AnalysisHistory::Append(const float* interleaved, int frames, int channels) {
    if (frames <= 0 || channels <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    size_t at = static_cast<size_t>(end_ % capacity_);
    const size_t capacity = static_cast<size_t>(capacity_);
    const float scale = 1.0f / static_cast<float>(channels);
    for (int f = 0; f < frames; ++f) {
        const float* x = interleaved + static_cast<size_t>(f) * channels;
        FramePeaks& peaks = peaks_[at];
        if (channels == 1) {
            peaks.even = peaks.odd = std::fabs(x[0]);
            means_[at] = x[0];
        } else if (channels == 2) {
            peaks.even = std::fabs(x[0]);
            peaks.odd = std::fabs(x[1]);
            means_[at] = (x[0] + x[1]) * 0.5f;
        } else {
            float even = 0, odd = 0, sum = 0;
            for (int c = 0; c < channels; c += 2) even = std::max(even, std::fabs(x[c]));
            for (int c = 1; c < channels; c += 2) odd = std::max(odd, std::fabs(x[c]));
            for (int c = 0; c < channels; ++c) sum += x[c];
            peaks.even = even;
            peaks.odd = odd;
            means_[at] = sum * scale;
        }
        if (++at == capacity) at = 0;
    }
    end_ += frames;
    begin_ = std::max(begin_, end_ - capacity_);
}

void AnalysisHistory::Peaks(int64_t end, int frames, float* left, float* right) const {
    float l = 0, r = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t from = std::max(end - frames, begin_);
    const int64_t to = std::min(end, end_);
    // One division to find the first record, then a wrapping index: a division per
    // frame cost more than the rest of the scan.
    const size_t capacity = static_cast<size_t>(capacity_);
    size_t at = from < to ? static_cast<size_t>(from % capacity_) : 0;
    for (int64_t i = from; i < to; ++i) {
        const FramePeaks& peaks = peaks_[at];
        l = std::max(l, peaks.even);
        r = std::max(r, peaks.odd);
        if (++at == capacity) at = 0;
    }
    *left = l;
    *right = r;
}

AE_HOT bool AnalysisHistory::Mean(int64_t end, int frames, float* out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t start = end - frames;
    bool complete = true;
    int i = 0;
    // Frames the history no longer (or does not yet) hold read as silence; only
    // those before the stream's start leave the window complete.
    const auto missing = [&] {
        out[i] = 0;
        if (start + i >= 0) complete = false;
    };
    for (; i < frames && start + i < begin_; ++i) missing();
    if (i < frames && start + i < end_) {
        // The held frames are at most two runs of the ring: copied as such.
        const size_t held = static_cast<size_t>(std::min<int64_t>(frames - i, end_ - (start + i)));
        const size_t at = static_cast<size_t>((start + i) % capacity_);
        const size_t first = std::min(held, means_.size() - at);
        std::memcpy(out + i, means_.data() + at, sizeof(float) * first);
        std::memcpy(out + i + first, means_.data(), sizeof(float) * (held - first));
        i += static_cast<int>(held);
    }
    for (; i < frames; ++i) missing();
    return complete;
}

}  // namespace ae
