// SPDX-License-Identifier: MIT
// Scheduling of the engine's audio threads.
#pragma once

namespace ae {

// Asks the scheduler to run the calling thread before ordinary work, as audio
// threads do, so that a busy machine does not delay the mix (an output thread) or let
// the ready rings run dry (the decode worker). An output thread asks for real-time
// round-robin at a low priority, the decode worker, whose work is heavier, for a nice
// value of -10 (so does an output thread refused real-time). Best effort: without the
// privilege (CAP_SYS_NICE, RLIMIT_RTPRIO, RLIMIT_NICE) nothing changes and the engine
// runs as before, only more exposed to load. Never lowers a thread's priority. A host
// run in the background (its thread's nice value above 0) keeps its audio threads in
// the background: 10 steps ahead of its own threads at most, at nice 0 at best, and
// never real-time.
enum class ThreadRole { Output, Decoder };
void RaiseThreadPriority(ThreadRole role);

// Names the calling thread (at most 15 characters), so that `top -H` and a debugger
// show which of the host's threads are the engine's: "ae-output", "ae-decode",
// "ae-supervisor", "ae-wav-writer".
void NameThisThread(const char* name);

// Holds the system timer at 1 ms while a paced output renders sound, so that its
// timed waits end on time. Windows otherwise ends a wait on its 15.6 ms tick, later
// than the 10 ms the paced outputs render ahead: the heard position would stall and
// jump, and the mix come in bursts. Released while nothing plays, as idle costs
// nothing. Elsewhere timed waits are precise: nothing to do.
class FineTimerResolution {
  public:
    FineTimerResolution() = default;
    FineTimerResolution(const FineTimerResolution&) = delete;
    FineTimerResolution& operator=(const FineTimerResolution&) = delete;
    ~FineTimerResolution() { Release(); }
#ifdef _WIN32
    void Hold();
    void Release();

  private:
    bool held_ = false;
#else
    void Hold() {}
    void Release() {}
#endif
};

}  // namespace ae
