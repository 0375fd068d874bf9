// SPDX-License-Identifier: MIT
// Finished 512-point spectra of a stream, computed by its decode side ahead of the
// ear, so that a host that asks for the spectrum at every frame it draws gets a copy
// instead of paying for the transform on its own thread.
//
// A slot per 256-frame step, chosen by the step's number modulo the slot count: a
// slot holds the spectrum that ends at one step of one epoch (its key), whether the
// history held all 512 frames when it was computed, and from which frame the history
// held them. The ring must be larger than the steps between the ear and the decoder,
// so that the decoder never needs the slot of the step being heard. The slots are
// allocated at the first request (a stream nobody asks about has none), each with
// its key beside its bins, so that a request touches one page of them.
//
// One writer (the decode side) and any number of readers, with no lock and no wait on
// either side. A reader counts itself in on the slot, checks the key and copies; the
// writer takes a slot back by clearing its key, then looks at the count, and leaves
// the slot as it was when a reader is in it (that step is then computed on demand if
// anyone asks). The count and the key are sequentially consistent, so a reader never
// copies bins being written, and the bins themselves need no atomics: a copy is a
// plain, vectorised memcpy.
//
// The spectrum last shown to a caller is kept too (its key): a stream that is paused
// and whose history no longer reaches its position keeps showing what was last heard,
// and the writer leaves that slot alone as long as it is the one shown.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "audioengine/core/Hot.h"
#include "audioengine/dsp/Spectrum512.h"

namespace ae {

class SpectrumRing {
  public:
    static constexpr int kStep = dsp::Spectrum512::kFrames / 2;  // frames per step
    static constexpr uint64_t kNoKey = 0;                        // epochs start at 1

    // The key of the spectrum ending at stream frame `end` (a multiple of kStep, >= 0)
    // of transport epoch `epoch` (never 0).
    static uint64_t Key(uint32_t epoch, int64_t end) {
        return (static_cast<uint64_t>(epoch) << 32) | static_cast<uint32_t>(end / kStep);
    }

    // What a slot holds besides the bins.
    struct Facts {
        bool complete = false;  // every frame at or after stream frame 0 was held
        int64_t heldFrom = 0;   // the oldest stream frame the history held then
    };

    SpectrumRing() = default;
    SpectrumRing(const SpectrumRing&) = delete;
    SpectrumRing& operator=(const SpectrumRing&) = delete;

    // Makes at least `slots` slots (a power of two, so that finding a step's slot is a
    // mask, not a division), once; later calls do nothing. Throws std::bad_alloc.
    // One thread at a time (the stream's spectrum lock).
    void Allocate(int slots);
    // Whether Allocate has been called: until then the writer has nothing to do and
    // readers find nothing. Any thread.
    bool allocated() const { return slots_.load(std::memory_order_acquire) != nullptr; }

    // ---- writer: the stream's decode side, one thread at a time, once allocated ----
    // The bins (dsp::Spectrum512::kBins floats) to compute the spectrum of `key` into,
    // or null when a reader holds that slot or it is the one shown (skip the step).
    // Publish follows before the next Claim.
    float* Claim(uint64_t key);
    void Publish(uint64_t key, const Facts& facts);

    // ---- readers: any thread; never waits ----
    // Copies the spectrum of `key` into `out` (kBins floats, any alignment) when the
    // ring holds it and usable(facts) says it may stand for that step, and records
    // it as the one shown. False, changing nothing, otherwise.
    template <typename Usable>
    AE_HOT bool Read(uint64_t key, Usable usable, void* out);
    // Copies the spectrum last shown from the ring into `out`; false when none is, or
    // the last one shown came from elsewhere (see ShowOther).
    bool ReadShown(void* out);
    // Records that the spectrum last shown did not come from the ring.
    void ShowOther() { shown_.store(kNoKey, std::memory_order_seq_cst); }
    // The key of the spectrum last shown from the ring, kNoKey when none.
    uint64_t shownKey() const { return shown_.load(std::memory_order_seq_cst); }

  private:
    struct alignas(64) Slot {
        std::atomic<uint64_t> key{kNoKey};
        std::atomic<uint32_t> readers{0};
        Facts facts;  // written with the bins, under the same protocol
        alignas(64) float bins[dsp::Spectrum512::kBins];
    };

    Slot* SlotOf(Slot* slots, uint64_t key) const {
        return &slots[static_cast<uint32_t>(key) & mask_];
    }
    // The copy under the readers' protocol, for Read and ReadShown.
    template <typename Usable>
    bool Copy(uint64_t key, Usable usable, void* out, bool show);

    std::atomic<Slot*> slots_{nullptr};
    uint32_t mask_ = 0;  // written before slots_ is published
    std::atomic<uint64_t> shown_{kNoKey};
    std::unique_ptr<Slot[]> owned_;
};

template <typename Usable>
AE_HOT inline bool SpectrumRing::Read(uint64_t key, Usable usable, void* out) {
    return Copy(key, usable, out, true);
}

template <typename Usable>
AE_HOT inline bool SpectrumRing::Copy(uint64_t key, Usable usable, void* out, bool show) {
    Slot* const slots = slots_.load(std::memory_order_acquire);
    if (!slots) return false;
    Slot& slot = *SlotOf(slots, key);
    slot.readers.fetch_add(1, std::memory_order_seq_cst);
    bool copied = false;
    if (slot.key.load(std::memory_order_seq_cst) == key && usable(slot.facts)) {
        std::memcpy(out, slot.bins, sizeof(slot.bins));
        // Before the count is released: a writer that finds no reader sees it shown.
        if (show && shown_.load(std::memory_order_relaxed) != key) {
            shown_.store(key, std::memory_order_seq_cst);
        }
        copied = true;
    }
    slot.readers.fetch_sub(1, std::memory_order_seq_cst);
    return copied;
}

}  // namespace ae
