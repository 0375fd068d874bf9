// SPDX-License-Identifier: MIT
// A stream's recent audio after effects and before volume, at the stream's own rate,
// kept for the level meter and the spectrum. Indexed by stream frame, so a query can
// pick exactly the frames ending at the heard position. Per frame it keeps what the
// two measurements need whatever the channel count, 8 bytes: the meter's level
// (0..32768) of the even channels (left) and of the odd channels (right; mono counts
// as both), and the mean of all channels (for the spectrum). The level of a window is
// the largest of its frames' levels, exactly as the level of the window's peak,
// since the rounding to a level never reverses an order. The audio callback never
// touches it.
//
// One writer (the stream's decode side) and any number of readers, with no lock: the
// writer never waits for a reader, so a query thread of low priority cannot hold up
// decoding. The writer announces which frames it is about to overwrite before it
// writes them; a reader copies what it needs, then checks what was announced
// meanwhile and counts frames that may have been overwritten as not held. A Reset
// bumps a sequence number that readers check too; a reader retries a few times and
// then answers with what it is sure of.
//
// A frame's three values are packed in one 64-bit word and stored at once: the
// decode side writes a word per frame for every stream, mostly to lines that have
// left the cache, and one store (one stream of lines) costs far less there than
// three into three rings. The spectrum's 512 means are read by the decode side as it
// computes ahead, or by a request when nothing was computed ahead.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace ae {

class AnalysisHistory {
  public:
    // Room for `frames` stream frames; fixed for the stream's life.
    explicit AnalysisHistory(int frames);

    int capacity() const { return capacity_; }

    // The oldest stream frame held: it only grows between Resets. Any thread.
    int64_t HeldFrom() const { return begin_.load(std::memory_order_acquire); }

    // Forgets everything: the next Append starts at stream frame `frame`. Writer.
    void Reset(int64_t frame);

    // Adds `frames` interleaved frames of `channels` floats, following what came
    // before. Writer.
    void Append(const float* interleaved, int frames, int channels);

    // The meter's levels (0..32768, dsp::LevelFromAmplitude of the peak) over the
    // stream frames [end - frames, end): frames not held (before the stream's start,
    // overwritten or not decoded yet) count as silence. Any thread; never waits.
    void Levels(int64_t end, int frames, uint32_t* left, uint32_t* right) const;

    // The channel mean of the stream frames [end - frames, end) into `out`, silence
    // for frames not held. True when every frame at or after stream frame 0 was held.
    // Any thread; never waits.
    bool Mean(int64_t end, int frames, float* out) const;

  private:
    // The frames a reader may take: [begin, end) as of one Reset generation.
    struct Span {
        uint32_t resets;
        int64_t begin;
        int64_t end;
    };
    Span Held() const;
    // After reading [from, to): the first frame of it that was not overwritten
    // meanwhile, or -1 when a Reset came between (read again).
    int64_t StillHeldFrom(const Span& span, int64_t from) const;

    int capacity_;
    // By stream frame modulo capacity_: the level of channels 0, 2, 4... (bits 0-15),
    // of channels 1, 3, 5... (bits 16-31; mono: channel 0 again), the bits of the mean
    // of all channels (32-63). Atomic only so that a reader racing the writer is
    // defined behaviour; such reads are detected and discarded.
    std::unique_ptr<std::atomic<uint64_t>[]> frames_;
    std::atomic<uint32_t> resets_{0};  // odd while a Reset is under way
    std::atomic<int64_t> begin_{0};    // oldest stream frame held
    std::atomic<int64_t> end_{0};      // stream frame after the newest
};

}  // namespace ae
