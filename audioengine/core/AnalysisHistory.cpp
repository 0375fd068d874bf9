// SPDX-License-Identifier: MIT
#include "audioengine/core/AnalysisHistory.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audioengine/core/Hot.h"
#include "audioengine/dsp/PeakLevel.h"

namespace ae {
namespace {

// A reader that keeps meeting Resets (a stream being sought over and over) gives up
// after this many tries and answers with silence.
constexpr int kReadTries = 4;

std::unique_ptr<std::atomic<uint64_t>[]> Ring(int frames) {
    std::unique_ptr<std::atomic<uint64_t>[]> ring(
        new std::atomic<uint64_t>[static_cast<size_t>(frames)]);
    for (int i = 0; i < frames; ++i) ring[i].store(0, std::memory_order_relaxed);
    return ring;
}

uint32_t EvenLevel(uint64_t word) {
    return static_cast<uint32_t>(word & 0xffff);
}
uint32_t OddLevel(uint64_t word) { return static_cast<uint32_t>((word >> 16) & 0xffff); }
AE_HOT float MeanOf(uint64_t word) {
    const auto bits = static_cast<uint32_t>(word >> 32);
    float mean;
    std::memcpy(&mean, &bits, sizeof mean);
    return mean;
}

}  // namespace

AnalysisHistory::AnalysisHistory(int frames)
    : capacity_(std::max(frames, 1)), frames_(Ring(capacity_)) {}

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
    // A piece at a time: the values are worked out in plain loops the compiler
    // vectorises, then stored a word per frame (the ring is atomic for the readers'
    // sake, and atomics are stored one by one).
    constexpr int kPiece = 256;
    float evenPeak[kPiece], oddPeak[kPiece], mean[kPiece];
    uint32_t even[kPiece], odd[kPiece], meanBits[kPiece];
    for (int f = skip; f < frames;) {
        const int n = static_cast<int>(
            std::min<int64_t>({kPiece, frames - f, static_cast<int64_t>(capacity - at)}));
        const float* x = interleaved + static_cast<size_t>(f) * channels;
        if (channels == 1) {
            for (int i = 0; i < n; ++i) {
                evenPeak[i] = oddPeak[i] = std::fabs(x[i]);
                mean[i] = x[i];
            }
        } else if (channels == 2) {
            for (int i = 0; i < n; ++i) {
                evenPeak[i] = std::fabs(x[2 * i]);
                oddPeak[i] = std::fabs(x[2 * i + 1]);
                mean[i] = (x[2 * i] + x[2 * i + 1]) * 0.5f;
            }
        } else {
            for (int i = 0; i < n; ++i) {
                const float* frame = x + static_cast<size_t>(i) * channels;
                float sum = 0, e = 0, o = 0;
                for (int c = 0; c < channels; c += 2) e = std::max(e, std::fabs(frame[c]));
                for (int c = 1; c < channels; c += 2) o = std::max(o, std::fabs(frame[c]));
                for (int c = 0; c < channels; ++c) sum += frame[c];
                evenPeak[i] = e;
                oddPeak[i] = o;
                mean[i] = sum * scale;
            }
        }
        for (int i = 0; i < n; ++i) {
            evenPeak[i] = dsp::ClampAmplitude(evenPeak[i]);
            oddPeak[i] = dsp::ClampAmplitude(oddPeak[i]);
        }
        for (int i = 0; i < n; ++i) {
            even[i] = dsp::LevelFromClamped(evenPeak[i]);
            odd[i] = dsp::LevelFromClamped(oddPeak[i]) << 16;
        }
        std::memcpy(meanBits, mean, sizeof(float) * static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) {
            frames_[at + i].store(even[i] | odd[i] | static_cast<uint64_t>(meanBits[i]) << 32,
                                  relaxed);
        }
        f += n;
        at += static_cast<size_t>(n);
        if (at == capacity) at = 0;
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
            const uint64_t word = frames_[at].load(std::memory_order_relaxed);
            l = std::max(l, EvenLevel(word));
            r = std::max(r, OddLevel(word));
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
            out[i - start] = MeanOf(frames_[at].load(std::memory_order_relaxed));
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
