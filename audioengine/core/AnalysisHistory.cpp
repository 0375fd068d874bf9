// SPDX-License-Identifier: MIT
#include "audioengine/core/AnalysisHistory.h"

#include <algorithm>
#include <cmath>

#include "audioengine/core/Hot.h"
#include "audioengine/dsp/PeakLevel.h"

namespace ae {
namespace {

// A reader that keeps meeting Resets (a stream being sought over and over) gives up
// after this many tries and answers with silence.
constexpr int kReadTries = 4;

template <typename T>
std::unique_ptr<std::atomic<T>[]> Ring(int frames) {
    std::unique_ptr<std::atomic<T>[]> ring(new std::atomic<T>[static_cast<size_t>(frames)]);
    for (int i = 0; i < frames; ++i) ring[i].store(T{}, std::memory_order_relaxed);
    return ring;
}

uint16_t Level(float peak) {
    return static_cast<uint16_t>(dsp::LevelFromAmplitude(peak));
}

}  // namespace

AnalysisHistory::AnalysisHistory(int frames)
    : capacity_(std::max(frames, 1)),
      evenLevels_(Ring<uint16_t>(capacity_)),
      oddLevels_(Ring<uint16_t>(capacity_)),
      means_(Ring<float>(capacity_)) {}

void AnalysisHistory::Reset(int64_t frame) {
    const uint32_t resets = resets_.load(std::memory_order_relaxed);
    resets_.store(resets + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    begin_.store(frame, std::memory_order_relaxed);
    end_.store(frame, std::memory_order_relaxed);
    resets_.store(resets + 2, std::memory_order_release);
}

void AnalysisHistory::Append(const float* interleaved, int frames, int channels) {
    if (frames <= 0 || channels <= 0) return;
    const int64_t end = end_.load(std::memory_order_relaxed);
    const int64_t newEnd = end + frames;
    // Announce the frames about to be overwritten before overwriting them.
    const int64_t begin = begin_.load(std::memory_order_relaxed);
    if (newEnd - capacity_ > begin) {
        begin_.store(newEnd - capacity_, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
    }
    // A block longer than the ring keeps only its last capacity_ frames.
    const int skip = static_cast<int>(std::max<int64_t>(0, frames - capacity_));
    size_t at = static_cast<size_t>((end + skip) % capacity_);
    const size_t capacity = static_cast<size_t>(capacity_);
    const float scale = 1.0f / static_cast<float>(channels);
    constexpr auto relaxed = std::memory_order_relaxed;
    for (int f = skip; f < frames; ++f) {
        const float* x = interleaved + static_cast<size_t>(f) * channels;
        float even, odd, mean;
        if (channels == 1) {
            even = odd = std::fabs(x[0]);
            mean = x[0];
        } else if (channels == 2) {
            even = std::fabs(x[0]);
            odd = std::fabs(x[1]);
            mean = (x[0] + x[1]) * 0.5f;
        } else {
            float sum = 0;
            even = odd = 0;
            for (int c = 0; c < channels; c += 2) even = std::max(even, std::fabs(x[c]));
            for (int c = 1; c < channels; c += 2) odd = std::max(odd, std::fabs(x[c]));
            for (int c = 0; c < channels; ++c) sum += x[c];
            mean = sum * scale;
        }
        evenLevels_[at].store(Level(even), relaxed);
        oddLevels_[at].store(Level(odd), relaxed);
        means_[at].store(mean, relaxed);
        if (++at == capacity) at = 0;
    }
    end_.store(newEnd, std::memory_order_release);
}

AnalysisHistory::Span AnalysisHistory::Held() const {
    Span span;
    span.resets = resets_.load(std::memory_order_acquire);
    span.end = end_.load(std::memory_order_acquire);
    span.begin = begin_.load(std::memory_order_acquire);
    return span;
}

int64_t AnalysisHistory::StillHeldFrom(const Span& span, int64_t from) const {
    std::atomic_thread_fence(std::memory_order_acquire);
    if ((span.resets & 1) || resets_.load(std::memory_order_relaxed) != span.resets) return -1;
    return std::max(from, begin_.load(std::memory_order_relaxed));
}

void AnalysisHistory::Levels(int64_t end, int frames, uint32_t* left, uint32_t* right) const {
    *left = *right = 0;
    for (int attempt = 0; attempt < kReadTries; ++attempt) {
        const Span span = Held();
        const int64_t from = std::max(end - frames, span.begin);
        const int64_t to = std::min(end, span.end);
        uint32_t l = 0, r = 0;
        // One division to find the first record, then a wrapping index: a division
        // per frame cost more than the rest of the scan.
        const size_t capacity = static_cast<size_t>(capacity_);
        size_t at = from < to ? static_cast<size_t>(from % capacity_) : 0;
        for (int64_t i = from; i < to; ++i) {
            l = std::max<uint32_t>(l, evenLevels_[at].load(std::memory_order_relaxed));
            r = std::max<uint32_t>(r, oddLevels_[at].load(std::memory_order_relaxed));
            if (++at == capacity) at = 0;
        }
        // Overwritten during the scan (or reset): read again, from the new start.
        if (StillHeldFrom(span, from) != from) continue;
        *left = l;
        *right = r;
        return;
    }
}

AE_HOT bool AnalysisHistory::Mean(int64_t end, int frames, float* out) const {
    const int64_t start = end - frames;
    for (int attempt = 0; attempt < kReadTries; ++attempt) {
        const Span span = Held();
        const int64_t from = std::max(start, span.begin);
        const int64_t to = std::min(end, span.end);
        const size_t capacity = static_cast<size_t>(capacity_);
        size_t at = static_cast<size_t>(((from % capacity_) + capacity_) % capacity_);
        for (int64_t i = from; i < to; ++i) {
            out[i - start] = means_[at].load(std::memory_order_relaxed);
            if (++at == capacity) at = 0;
        }
        const int64_t valid = StillHeldFrom(span, from);
        if (valid < 0) continue;
        // Frames the history no longer (or does not yet) hold read as silence; only
        // those before the stream's start leave the window complete.
        bool complete = true;
        for (int64_t i = start; i < end; ++i) {
            if (i >= valid && i < to) continue;
            out[i - start] = 0;
            if (i >= 0) complete = false;
        }
        return complete;
    }
    for (int i = 0; i < frames; ++i) out[i] = 0;
    return false;
}

}  // namespace ae
