// SPDX-License-Identifier: MIT
#include "audioengine/dsp/EqChain.h"

#include <algorithm>
#include <cmath>
#include <thread>

namespace ae::dsp {

EqChain::EqChain(double sampleRate, int channels)
    : sampleRate_((std::isfinite(sampleRate) && sampleRate > 0.0) ? sampleRate : 44100.0),
      channels_(std::clamp(channels, 1, kMaxChannels)) {
    for (Slot& slot : slots_) slot.filter.Configure(sampleRate_, channels_);
}

int EqChain::AddBand(int priority) {
    // A free slot, else one whose band is still fading out after its removal (the
    // fade is cut short), else none.
    int found = -1;
    for (int i = 0; i < kMaxBands && found < 0; ++i) {
        if (!slots_[i].used.load(std::memory_order_relaxed) && !slots_[i].fading) found = i;
    }
    for (int i = 0; i < kMaxBands && found < 0; ++i) {
        if (slots_[i].fading) found = i;
    }
    if (found < 0) return -1;
    Slot& slot = slots_[found];
    Store(slot, kNeutralParams);
    // The filter takes in the sequence number just stored: a neutral band with an
    // empty state is an exact identity from its first frame.
    slot.appliedSeq = slot.shared.seq.load(std::memory_order_relaxed);
    slot.filter.Configure(sampleRate_, channels_, kNeutralParams);
    slot.fading = false;
    slot.priority = priority;
    slot.addedOrder = nextAddedOrder_++;
    slot.used.store(true, std::memory_order_release);
    RebuildOrder();
    return found;
}

bool EqChain::RemoveBand(int slot) {
    if (slot < 0 || slot >= kMaxBands || !slots_[slot].used.load(std::memory_order_relaxed)) {
        return false;
    }
    Slot& s = slots_[slot];
    s.used.store(false, std::memory_order_release);
    // Cutting a band out at once would make the output jump: it glides to 0 dB
    // first (an exact identity), and Process() drops it then.
    PeakingParams flat = s.filter.params();
    flat.gainDb = 0.0f;
    s.fading = s.filter.params() != flat || s.filter.gliding();
    if (s.fading) s.filter.SetParams(flat);
    RebuildOrder();
    return true;
}

void EqChain::RebuildOrder() {
    int count = 0;
    for (int i = 0; i < kMaxBands; ++i) {
        if (slots_[i].used.load(std::memory_order_relaxed) || slots_[i].fading) {
            orderSlots_[count++] = i;
        }
    }
    std::sort(orderSlots_, orderSlots_ + count, [this](int a, int b) {
        if (slots_[a].priority != slots_[b].priority) {
            return slots_[a].priority > slots_[b].priority;
        }
        return slots_[a].addedOrder < slots_[b].addedOrder;
    });
    for (int i = 0; i < count; ++i) order_[i] = &slots_[orderSlots_[i]].filter;
    bandCount_.store(count, std::memory_order_relaxed);
}

void EqChain::Store(Slot& slot, const PeakingParams& params) {
    SharedParams& shared = slot.shared;
    // Writers exclude each other by moving the sequence number from even to odd;
    // a second writer waits (briefly: a writer only stores three values).
    uint32_t seq = shared.seq.load(std::memory_order_relaxed);
    for (;;) {
        if ((seq & 1u) == 0 &&
            shared.seq.compare_exchange_weak(seq, seq + 1, std::memory_order_acquire,
                                             std::memory_order_relaxed)) {
            break;
        }
        std::this_thread::yield();
        seq = shared.seq.load(std::memory_order_relaxed);
    }
    std::atomic_thread_fence(std::memory_order_release);
    shared.centerHz.store(params.centerHz, std::memory_order_relaxed);
    shared.bandwidthSemitones.store(params.bandwidthSemitones, std::memory_order_relaxed);
    shared.gainDb.store(params.gainDb, std::memory_order_relaxed);
    shared.seq.store(seq + 2, std::memory_order_release);
}

bool EqChain::TryLoad(const SharedParams& shared, PeakingParams* params, uint32_t* seq) {
    const uint32_t before = shared.seq.load(std::memory_order_acquire);
    if (before & 1u) return false;
    PeakingParams p;
    p.centerHz = shared.centerHz.load(std::memory_order_relaxed);
    p.bandwidthSemitones = shared.bandwidthSemitones.load(std::memory_order_relaxed);
    p.gainDb = shared.gainDb.load(std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_acquire);
    if (shared.seq.load(std::memory_order_relaxed) != before) return false;
    *params = p;
    *seq = before;
    return true;
}

bool EqChain::SetParams(int slot, const PeakingParams& params) {
    if (slot < 0 || slot >= kMaxBands || !slots_[slot].used.load(std::memory_order_acquire)) {
        return false;
    }
    if (!ValidPeakingParams(params, sampleRate_)) return false;
    Store(slots_[slot], params);
    return true;
}

bool EqChain::GetParams(int slot, PeakingParams* params) const {
    if (params == nullptr || slot < 0 || slot >= kMaxBands ||
        !slots_[slot].used.load(std::memory_order_acquire)) {
        return false;
    }
    uint32_t seq = 0;
    while (!TryLoad(slots_[slot].shared, params, &seq)) std::this_thread::yield();
    return true;
}

void EqChain::Process(float* interleaved, size_t frames) {
    const int count = bandCount_.load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
        Slot& slot = slots_[orderSlots_[i]];
        if (!slot.used.load(std::memory_order_relaxed)) continue;
        // Never waits: a write in progress is picked up at the next block.
        PeakingParams params;
        uint32_t seq = 0;
        if (TryLoad(slot.shared, &params, &seq) && seq != slot.appliedSeq) {
            // A band that passes its input through is left out of the processing
            // below, so its state is whatever it was when it was last run: it starts
            // again from silence, as a band just added does.
            if (slot.filter.identity()) slot.filter.Reset();
            slot.filter.SetParams(params);
            slot.appliedSeq = seq;
        }
    }
    // Bands at 0 dB pass the audio through exactly: they are left out (the plug-in
    // makes ten neutral bands on every stream).
    PeakingEq* active[kMaxBands];
    int activeCount = 0;
    for (int i = 0; i < count; ++i) {
        if (!order_[i]->identity()) active[activeCount++] = order_[i];
    }
    if (activeCount > 0) ProcessCascade(active, activeCount, interleaved, frames);

    bool faded = false;
    for (int i = 0; i < count; ++i) {
        Slot& slot = slots_[orderSlots_[i]];
        if (slot.fading && !slot.filter.gliding()) {
            slot.fading = false;
            faded = true;
        }
    }
    if (faded) RebuildOrder();
}

void EqChain::Reset() {
    // After a reset (a seek) the output starts afresh anyway: parameters set so far
    // apply at once rather than gliding in, and removed bands are gone.
    bool faded = false;
    for (Slot& slot : slots_) {
        if (slot.used.load(std::memory_order_relaxed)) {
            PeakingParams params;
            uint32_t seq = 0;
            while (!TryLoad(slot.shared, &params, &seq)) std::this_thread::yield();
            if (seq != slot.appliedSeq) {
                slot.filter.SetParams(params);
                slot.appliedSeq = seq;
            }
        }
        faded = faded || slot.fading;
        slot.fading = false;
        slot.filter.Reset();
    }
    if (faded) RebuildOrder();
}

}  // namespace ae::dsp
