// The outputs that drive the engine's mix: a sound device through SDL2, a null
// output paced in real time by a thread of ours, and the same paced output writing
// the mix to a WAV file. (The manual output needs no object: AE_Render drives it.)
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace ae {

class Engine;

class Output {
  public:
    virtual ~Output() = default;
    // Stops the output's threads and closes its device or file. Idempotent; called
    // at process exit, from a thread that is not the output's own.
    virtual void Stop() = 0;
};

// Each returns null on failure, with *error set to an engine error code. The output
// renders `rate` Hz stereo float and calls Engine::Render from its own thread.
//
// The null and WAV outputs are paced by the monotonic clock like a device: a thread
// of theirs renders 5 ms blocks and keeps 10 ms rendered ahead of the clock, as a
// device's buffer, so a late wake-up of that thread does not stop the heard position.
// Hence a start, pause, resume or seek reaches the audio 10 to 15 ms after the call.
// The thread asks for a higher priority (RaiseThreadPriority) and runs without it when
// refused. After a stall of over 200 ms (suspend, overload) it starts afresh from the
// clock instead of catching up in a burst. The WAV output writes the rendered blocks
// from a thread of its own.
std::unique_ptr<Output> StartNullOutput(Engine& engine, int rate, int* error);
std::unique_ptr<Output> StartWavOutput(Engine& engine, int rate, const std::string& path,
                                       int* error);
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

// The timetable of a paced output, apart from its thread so that it can be checked
// with chosen times. Times are monotonic nanoseconds; frames at the output's rate.
// Used by one thread at a time (the output's).
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

// The default sound device. When it fails or disappears while running, the output
// carries on as a null output (and the engine's output name says so).
std::unique_ptr<Output> StartDeviceOutput(Engine& engine, int rate, int* error);

}  // namespace ae
