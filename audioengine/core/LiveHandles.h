// SPDX-License-Identifier: MIT
// The live handles of a HandleTable, readable without a lock. A query that a host
// makes every frame it draws would otherwise take the engine lock, which the decode
// worker takes too, and touch a reference count that the worker also moves.
//
// Per slot index: the live handle (0 when none), the value, and a count of the
// callers using it. A reader counts itself in, then checks the handle; the owner
// clears the handle, then waits until the count is 0. All four operations are
// sequentially consistent, so either the reader sees the cleared handle and leaves
// the value alone, or the owner sees the reader counted and waits for it to finish:
// a value is never released while a reader holds it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "audioengine/core/HandleTable.h"

namespace ae {

template <typename T>
class LiveHandles {
    struct Slot {
        std::atomic<uint32_t> handle{0};  // the live handle in this slot, 0 when none
        std::atomic<uint32_t> users{0};   // Refs in use, and readers checking the handle
        std::atomic<T*> value{nullptr};   // valid while `handle` is live
    };

  public:
    // A value in use: it stays valid until the Ref is destroyed. Keep it for the span
    // of one call; Retract waits for it.
    class Ref {
      public:
        Ref() = default;
        Ref(Ref&& other) noexcept : value_(other.value_), users_(other.users_) {
            other.value_ = nullptr;
            other.users_ = nullptr;
        }
        Ref(const Ref&) = delete;
        Ref& operator=(const Ref&) = delete;
        Ref& operator=(Ref&&) = delete;
        ~Ref() {
            if (users_) users_->fetch_sub(1, std::memory_order_release);
        }
        explicit operator bool() const { return value_ != nullptr; }
        T* operator->() const { return value_; }
        T& operator*() const { return *value_; }
        T* get() const { return value_; }

      private:
        friend class LiveHandles;
        Ref(T* value, std::atomic<uint32_t>* users) : value_(value), users_(users) {}
        T* value_ = nullptr;
        std::atomic<uint32_t>* users_ = nullptr;
    };

    LiveHandles() : slots_(new Slot[kHandleSlots]) {}

    // The value of a live handle, or an empty Ref for 0, stale and unknown handles.
    // Any thread; lock-free, allocation-free.
    Ref Acquire(uint32_t handle) const {
        if (handle == 0) return Ref();
        Slot& slot = slots_[HandleTable<T>::IndexOf(handle)];
        // A stale handle is refused without writing to the slot.
        if (slot.handle.load(std::memory_order_acquire) != handle) return Ref();
        slot.users.fetch_add(1, std::memory_order_seq_cst);
        if (slot.handle.load(std::memory_order_seq_cst) != handle) {
            slot.users.fetch_sub(1, std::memory_order_release);
            return Ref();
        }
        return Ref(slot.value.load(std::memory_order_acquire), &slot.users);
    }

    // Makes `handle` live with `value`. The owner's lock held; the handle's slot was
    // retracted (or never used).
    void Publish(uint32_t handle, T* value) {
        Slot& slot = slots_[HandleTable<T>::IndexOf(handle)];
        slot.value.store(value, std::memory_order_relaxed);
        slot.handle.store(handle, std::memory_order_release);
    }

    // Makes `handle` stale and returns once no Ref to its value remains, so the
    // caller may release it. The owner's lock held, so the slot is not published
    // again before; no Ref may be held by the calling thread.
    void Retract(uint32_t handle) {
        Slot& slot = slots_[HandleTable<T>::IndexOf(handle)];
        if (slot.handle.load(std::memory_order_relaxed) != handle) return;
        slot.handle.store(0, std::memory_order_seq_cst);
        while (slot.users.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
        slot.value.store(nullptr, std::memory_order_relaxed);
    }

  private:
    std::unique_ptr<Slot[]> slots_;
};

}  // namespace ae
