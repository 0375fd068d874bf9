// SPDX-License-Identifier: MIT
#include "audioengine/core/SpectrumRing.h"

namespace ae {

void SpectrumRing::Allocate(int slots) {
    if (owned_) return;
    uint32_t count = 1;
    while (count < static_cast<uint32_t>(slots > 0 ? slots : 1)) count *= 2;
    owned_.reset(new Slot[count]);
    mask_ = count - 1;
    slots_.store(owned_.get(), std::memory_order_release);
}

float* SpectrumRing::Claim(uint64_t key) {
    Slot& slot = *SlotOf(owned_.get(), key);
    const uint64_t before = slot.key.load(std::memory_order_relaxed);
    // Taken back first, then checked: a reader that counted itself in before this
    // store is seen here, and one that comes after finds no key.
    slot.key.store(kNoKey, std::memory_order_seq_cst);
    if (slot.readers.load(std::memory_order_seq_cst) != 0 ||
        (before != kNoKey && shown_.load(std::memory_order_seq_cst) == before)) {
        slot.key.store(before, std::memory_order_release);  // untouched: still valid
        return nullptr;
    }
    return slot.bins;
}

void SpectrumRing::Publish(uint64_t key, const Facts& facts) {
    Slot& slot = *SlotOf(owned_.get(), key);
    slot.facts = facts;
    slot.key.store(key, std::memory_order_release);
}

bool SpectrumRing::ReadShown(void* out) {
    const uint64_t key = shown_.load(std::memory_order_seq_cst);
    if (key == kNoKey) return false;
    return Copy(
        key, [](const Facts&) { return true; }, out, false);
}

}  // namespace ae
