// SPDX-License-Identifier: MIT
// Slot tables that hand out 32-bit handles. A handle packs a kind bit, the slot's
// generation and the slot index; it is never 0 and never handed out twice while the
// process runs: a slot whose generations are used up is retired instead of reused.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace ae {

constexpr int kHandleIndexBits = 12;                       // 4096 slots per table
constexpr uint32_t kHandleSlots = 1u << kHandleIndexBits;  // slots per table
constexpr int kHandleGenerationBits = 31 - kHandleIndexBits;
constexpr uint32_t kMaxGeneration = (1u << kHandleGenerationBits) - 1;

enum class HandleKind : uint32_t { Stream = 0, Effect = 1 };

// Not thread-safe: the engine guards each table with its own lock.
template <typename T>
class HandleTable {
  public:
    explicit HandleTable(HandleKind kind, uint32_t slots = kHandleSlots)
        : kind_(kind), slots_(slots) {}

    // Stores `value` and returns its handle; 0 when every slot is taken or retired.
    // `*index` receives the slot index (lowest free first, keeping the table dense).
    uint32_t Add(std::shared_ptr<T> value, uint32_t* index = nullptr) {
        for (uint32_t i = 0; i < slots_.size(); ++i) {
            Slot& slot = slots_[i];
            if (slot.value || slot.generation >= kMaxGeneration) continue;
            ++slot.generation;
            slot.value = std::move(value);
            if (index) *index = i;
            return Pack(i, slot.generation);
        }
        return 0;
    }

    // The value a live handle refers to; null for 0, stale, foreign or unknown handles.
    std::shared_ptr<T> Get(uint32_t handle) const {
        const Slot* slot = Find(handle);
        return slot ? slot->value : nullptr;
    }

    // Removes a live handle's value and returns it (null when the handle is not live).
    // The handle stays stale for good: the slot's next handle has a new generation.
    std::shared_ptr<T> Remove(uint32_t handle) {
        Slot* slot = const_cast<Slot*>(Find(handle));
        if (!slot) return nullptr;
        return std::move(slot->value);
    }

    // Calls visit(handle, value) for every live entry.
    template <typename Visit>
    void ForEach(Visit visit) const {
        for (uint32_t i = 0; i < slots_.size(); ++i) {
            if (slots_[i].value) visit(Pack(i, slots_[i].generation), slots_[i].value);
        }
    }

    // Slot index of a handle of this table's kind (whether live or not).
    static uint32_t IndexOf(uint32_t handle) { return handle & (kHandleSlots - 1); }
    uint32_t capacity() const { return static_cast<uint32_t>(slots_.size()); }

  private:
    struct Slot {
        uint32_t generation = 0;  // 0: never used
        std::shared_ptr<T> value;
    };

    uint32_t Pack(uint32_t index, uint32_t generation) const {
        return (static_cast<uint32_t>(kind_) << 31) | (generation << kHandleIndexBits) | index;
    }

    const Slot* Find(uint32_t handle) const {
        if (handle == 0 || (handle >> 31) != static_cast<uint32_t>(kind_)) return nullptr;
        const uint32_t index = handle & (kHandleSlots - 1);
        const uint32_t generation = (handle >> kHandleIndexBits) & kMaxGeneration;
        if (index >= slots_.size()) return nullptr;
        const Slot& slot = slots_[index];
        if (!slot.value || slot.generation != generation) return nullptr;
        return &slot;
    }

    HandleKind kind_;
    std::vector<Slot> slots_;
};

}  // namespace ae
