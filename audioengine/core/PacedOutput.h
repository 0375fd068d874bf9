// SPDX-License-Identifier: MIT
// The pacing shared by the null and WAV outputs, and by the device output once its
// device is gone: a thread of ours renders the mix in real time by the monotonic
// clock, as a device would ask for it.
//
// It renders 5 ms blocks and keeps 10 ms rendered ahead of the clock, as a device's
// buffer, so a late wake-up of that thread does not stop the heard position. The
// thread asks for a higher priority (RaiseThreadPriority) and runs without it when
// refused. After a stall of over 200 ms (suspend, overload) it starts afresh from the
// clock instead of catching up in a burst.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace ae {

class Engine;
class FrameQueue;

constexpr int64_t kSecondNs = 1000000000;

// The timetable of a paced output, apart from its thread so that it can be checked
// with chosen times. Times are monotonic nanoseconds; frames at the output's rate.
// Used by one thread at a time (the output's).
// Output frames a paced output holds between rendering a block and its being heard.
int PacedBufferFrames(int rate);

class PacedSchedule {
  public:
    // The first block is heard `leadNs` after `nowNs`.
    PacedSchedule(int rate, int64_t leadNs, int64_t nowNs);
    // When the next block's first frame is heard. Normally where the last block ended,
    // even if that has passed (a late wake-up catches up); after a stall of more than
    // kStallNs the timetable starts again `leadNs` after `nowNs`, with no burst.
    int64_t NextBlockHeardNs(int64_t nowNs);
    // Records a rendered block of `frames`; returns when to render the next one: when
    // what is rendered and not yet heard has shrunk to the lead.
    int64_t Rendered(int frames);

    static constexpr int64_t kStallNs = 200000000;

  private:
    int64_t FramesNs() const;  // the duration of frames_
    int rate_;
    int64_t leadNs_;
    int64_t startNs_;     // when frame 0 of the timetable is heard
    int64_t frames_ = 0;  // rendered since startNs_
};

// A stop flag a thread can sleep on.
class StopSignal {
  public:
    void Raise() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            raised_ = true;
        }
        wake_.notify_all();
    }
    // Sleeps until `deadlineNs` (monotonic) or the flag is raised; true when raised.
    bool WaitUntil(int64_t deadlineNs) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto deadline =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadlineNs));
        return wake_.wait_until(lock, deadline, [this] { return raised_; });
    }

    bool raised() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return raised_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool raised_ = false;
};

// Renders the mix on the calling thread, paced as above, until `stop` is raised,
// telling the engine when each block is heard. `sink` (may be null) receives every
// block. While no stream makes sound the thread sleeps (Engine::WaitForSound) and
// renders nothing; the timetable starts afresh when sound does. Whoever raises `stop`
// then calls Engine::WakeSound.
void RunPaced(Engine& engine, int rate, StopSignal& stop, FrameQueue* sink);

}  // namespace ae
