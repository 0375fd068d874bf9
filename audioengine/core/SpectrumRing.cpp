// SPDX-License-Identifier: MIT
#include "audioengine/core/SpectrumRing.h"

namespace ae {

namespace {

uint32_t PowerOfTwoAtLeast(int n) {
    uint32_t count = 1;
    while (count < static_cast<uint32_t>(n > 0 ? n : 1)) count *= 2;
    return count;
}

}  // namespace

SpectrumRing::SpectrumRing(int slots)
    : slotCount_(PowerOfTwoAtLeast(slots)),
      mask_(slotCount_ - 1),
      slotInfo_(new Slot[slotCount_]),
      storage_(new unsigned char[(slotCount_ + 1) * sizeof(Bins)]) {
    // Aligned to the size of one slot's bins, so that none straddles a page.
    const uintptr_t at = reinterpret_cast<uintptr_t>(storage_.get());
    const uintptr_t aligned = (at + sizeof(Bins) - 1) / sizeof(Bins) * sizeof(Bins);
    bins_ = reinterpret_cast<Bins*>(storage_.get() + (aligned - at));
}

float* SpectrumRing::Claim(uint64_t key) {
    Slot& slot = SlotOf(key);
    const uint64_t before = slot.key.load(std::memory_order_relaxed);
    // Taken back first, then checked: a reader that counted itself in before this
    // store is seen here, and one that comes after finds no key.
    slot.key.store(kNoKey, std::memory_order_seq_cst);
    if (slot.readers.load(std::memory_order_seq_cst) != 0 ||
        (before != kNoKey && shown_.load(std::memory_order_seq_cst) == before)) {
        slot.key.store(before, std::memory_order_release);  // untouched: still valid
        return nullptr;
    }
    claimed_ = key;
    return BinsOf(key);
}

void SpectrumRing::Publish(uint64_t key, const Facts& facts) {
    if (claimed_ != key) return;
    SlotOf(key).facts = facts;
    SlotOf(key).key.store(key, std::memory_order_release);
    claimed_ = kNoKey;
}

void SpectrumRing::Abandon() { claimed_ = kNoKey; }

bool SpectrumRing::ReadShown(void* out) {
    const uint64_t key = shown_.load(std::memory_order_seq_cst);
    if (key == kNoKey) return false;
    return Copy(
        key, [](const Facts&) { return true; }, out, false);
}

}  // namespace ae
