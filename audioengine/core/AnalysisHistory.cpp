#include "AnalysisHistory.h"

#include <algorithm>
#include <cmath>

namespace ae {

AnalysisHistory::AnalysisHistory(int frames)
    : capacity_(std::max(frames, 1)), frames_(static_cast<size_t>(capacity_)) {}

void AnalysisHistory::Reset(int64_t frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    begin_ = end_ = frame;
}

void AnalysisHistory::Append(const float* interleaved, int frames, int channels) {
    if (frames <= 0 || channels <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const float scale = 1.0f / static_cast<float>(channels);
    for (int f = 0; f < frames; ++f) {
        const float* x = interleaved + static_cast<size_t>(f) * channels;
        Frame record;
        float sum = 0;
        for (int c = 0; c < channels; ++c) {
            const float magnitude = std::fabs(x[c]);
            float& peak = (c % 2 == 0) ? record.even : record.odd;
            peak = std::max(peak, magnitude);
            sum += x[c];
        }
        if (channels == 1) record.odd = record.even;
        record.mean = sum * scale;
        frames_[static_cast<size_t>(end_ % capacity_)] = record;
        ++end_;
    }
    begin_ = std::max(begin_, end_ - capacity_);
}

void AnalysisHistory::Peaks(int64_t end, int frames, float* left, float* right) const {
    float l = 0, r = 0;
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t from = std::max(end - frames, begin_);
    const int64_t to = std::min(end, end_);
    for (int64_t i = from; i < to; ++i) {
        const Frame& record = frames_[static_cast<size_t>(i % capacity_)];
        l = std::max(l, record.even);
        r = std::max(r, record.odd);
    }
    *left = l;
    *right = r;
}

bool AnalysisHistory::Mean(int64_t end, int frames, float* out) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const int64_t start = end - frames;
    bool complete = true;
    for (int i = 0; i < frames; ++i) {
        const int64_t frame = start + i;
        if (frame >= begin_ && frame < end_) {
            out[i] = frames_[static_cast<size_t>(frame % capacity_)].mean;
        } else {
            out[i] = 0;
            if (frame >= 0) complete = false;
        }
    }
    return complete;
}

}  // namespace ae
