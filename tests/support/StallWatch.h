// SPDX-License-Identifier: MIT
// Stalls of the machine as a real-time thread sees them, for tests that play in real
// time through a sound server. A thread on each core, at the highest real-time
// priority this process may take, wakes every millisecond and notes each wake-up that
// comes late.
// Little on a machine delays such a thread by milliseconds: a virtual machine's host
// that takes a virtual core away does (so does a long stretch of kernel work, on a
// kernel that does not preempt itself), and the sound server's own real-time threads
// miss their period then: the sink plays a period of silence, or plays the rest of
// the audio a period late, with no fault of the player's. A test that sees such a
// dropout can ask whether the machine stalled meanwhile.
#pragma once

#include <cstdint>
#include <memory>

namespace testaudio {

class StallWatch {
  public:
    // The least lateness noted: shorter than any server's period.
    static constexpr int64_t kNotedNs = 2000000;

    struct Stalls {
        int count = 0;          // stalls that began in the span
        int64_t longestNs = 0;  // the longest of them, in ns late
    };

    // Starts watching. Without real-time scheduling (a user without the right to it)
    // the threads still run, but a late wake-up says nothing about the server's
    // threads, so realtime() is false and Between() reports none. All three: any
    // thread.
    StallWatch();
    ~StallWatch();  // stops
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

    bool realtime() const;
    // The stalls of at least `atLeastNs` (kNotedNs or more) that began between
    // `fromNs` and `toNs` (MonotonicNs()).
    Stalls Between(int64_t fromNs, int64_t toNs, int64_t atLeastNs) const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace testaudio
