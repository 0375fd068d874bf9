// SPDX-License-Identifier: MIT
// The equaliser of one stream: up to kMaxBands peaking bands run in order of
// priority (higher first; equal priorities in the order they were added).
//
// Threads: the stream's decode thread calls Process() and Reset(). AddBand() and
// RemoveBand() change the set of bands and must not run at the same time as
// Process() or Reset() (the engine holds its stream lock around them).
// SetParams()/GetParams() may be called from any thread at any time: each band's
// parameters sit behind a sequence lock that Process() reads once per block without
// ever waiting, so a change takes effect at the next block and then glides over
// kRampSeconds. Nothing here allocates after construction.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "audioengine/dsp/PeakingEq.h"

namespace ae::dsp {

class EqChain {
  public:
    static constexpr int kMaxBands = 32;

    // `sampleRate` in Hz (> 0), `channels` 1..kMaxChannels (clamped).
    EqChain(double sampleRate, int channels);
    EqChain(const EqChain&) = delete;
    EqChain& operator=(const EqChain&) = delete;

    // Adds a neutral band (kNeutralParams) and returns its slot, 0..kMaxBands-1, or
    // -1 when every slot is in use. A slot stays the band's until RemoveBand().
    // Not concurrent with Process()/Reset().
    int AddBand(int priority);
    // Removes the band in `slot` at once for SetParams()/GetParams(); false when the
    // slot holds no band. So that the output does not jump, the band still glides to
    // 0 dB over kRampSeconds of Process() before it is dropped (Reset() drops it at
    // once). Not concurrent with Process()/Reset().
    bool RemoveBand(int slot);
    // Bands that Process() runs, including removed ones still fading out: with 0,
    // Process() leaves the samples as they are. Any thread.
    int bandCount() const { return bandCount_.load(std::memory_order_relaxed); }

    // Sets a band's parameters; false, changing nothing, when `slot` holds no band or
    // the parameters are out of range (ValidPeakingParams at this chain's rate).
    // Any thread; lock-free.
    bool SetParams(int slot, const PeakingParams& params);
    // Reads back the last parameters set; false when `slot` holds no band.
    // Any thread; lock-free.
    bool GetParams(int slot, PeakingParams* params) const;

    // Filters `frames` interleaved frames of channels() floats in place through every
    // band. Decode thread.
    void Process(float* interleaved, size_t frames);
    // Clears every band's state (after a seek, for instance), applies the parameters
    // set so far without a glide, and drops bands fading out. Decode thread.
    void Reset();

    double sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }

  private:
    // A band's parameters as written by any thread: a sequence number that is odd
    // while a writer is inside, and the three values.
    struct SharedParams {
        std::atomic<uint32_t> seq{0};
        std::atomic<float> centerHz{kNeutralParams.centerHz};
        std::atomic<float> bandwidthSemitones{kNeutralParams.bandwidthSemitones};
        std::atomic<float> gainDb{kNeutralParams.gainDb};
    };

    struct Slot {
        SharedParams shared;
        std::atomic<bool> used{false};  // holds a band that SetParams() may address
        bool fading = false;            // removed, gliding to 0 dB before it is dropped
        int priority = 0;
        uint64_t addedOrder = 0;  // ties between equal priorities: first added first
        uint32_t appliedSeq = 0;  // the sequence number the filter last took in
        PeakingEq filter;
    };

    void RebuildOrder();
    void Store(Slot& slot, const PeakingParams& params);
    static bool TryLoad(const SharedParams& shared, PeakingParams* params, uint32_t* seq);

    double sampleRate_;
    int channels_;
    Slot slots_[kMaxBands];
    PeakingEq* order_[kMaxBands] = {};  // bands in processing order
    int orderSlots_[kMaxBands] = {};
    std::atomic<int> bandCount_{0};
    uint64_t nextAddedOrder_ = 0;
};

}  // namespace ae::dsp
