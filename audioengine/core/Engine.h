// SPDX-License-Identifier: MIT
// The engine: one process-wide instance, created at first use and never destroyed
// (callers may outlive any static destructor), holding the stream and effect tables,
// the decode pool and the output. Its threads stop at process exit, in the process
// that started them only.
//
// Every method may be called from any thread. Methods that can fail return a Result
// or Status with the engine error code; the C entry points turn it into the calling
// thread's error.
//
// Threads, and what each may wait on:
// - The output's thread (a device callback, or a paced thread of ours) calls Render:
//   it never waits, allocates or does I/O. A paced thread sleeps on a condition while
//   no stream makes sound.
// - Decode workers (a pool of kDecodeWorkers, grown up to kMaxDecodeWorkers while
//   workers are stuck in a file's I/O) run each stream's jobs: seeks, re-primes,
//   decoding. A worker takes a stream only when no other worker has it, so a stream
//   whose file hangs holds up its own worker alone. They sleep on a condition while
//   nothing plays and no job is pending; while something plays they look for work
//   every few milliseconds.
// - A supervisor thread starts a worker when fewer than kDecodeWorkers are free of a
//   step older than kStuckNs; it sleeps on a condition while every worker does.
// - API threads: control calls record their request and return (a seek does not wait
//   for the file); queries read lock-free state. What an API call may wait on: the
//   engine lock (table changes, for microseconds), a stream's control lock (the same
//   stream's control calls, microseconds), BASS_StreamFree for the end of a mixing
//   pass and, when the stream was playing on a running output, for its fade-out (at
//   most kFreeFadeWaitNs), and AE_Render for the decoders (see RenderManual).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "audioengine/core/HandleTable.h"
#include "audioengine/core/Hot.h"
#include "audioengine/core/LiveHandles.h"
#include "audioengine/core/Result.h"
#include "audioengine/core/Stream.h"

namespace ae {

class Output;
class StopSignal;

// Which output BASS_Init starts, from AUDIOENGINE_OUTPUT and the device number.
struct OutputChoice {
    enum Kind { Auto, Device, Null, Wav, Manual, Invalid } kind = Auto;
    std::string wavPath;
    std::string deviceName;  // device:NAME; empty for the default device
};
OutputChoice ChooseOutput(const char* environment, int device);

// A stream in use by one engine call: valid until it goes out of scope, however
// the stream is freed meanwhile (BASS_StreamFree waits for it).
using StreamRef = LiveHandles<Stream>::Ref;

class Engine {
  public:
    static Engine& Instance();

    Status Init(int device, uint32_t rate);
    Result<uint32_t> CreateStream(const char* path);
    Status FreeStream(uint32_t handle);
    // The stream of a live handle, without taking the engine lock; HANDLE for a stale
    // handle. Hold it for one call only: FreeStream waits for it.
    AE_HOT Result<StreamRef> Find(uint32_t handle);

    // Adds an effect of `type` to a stream: HANDLE for a stale stream, then ILLTYPE
    // for a type the engine does not make.
    Result<uint32_t> AddEffect(uint32_t stream, uint32_t type, int priority);
    Status RemoveEffect(uint32_t stream, uint32_t effect);
    // ILLPARAM, after the handle is checked, when `params` is null or out of range.
    Status SetEffectParams(uint32_t effect, const dsp::PeakingParams* params);
    Result<dsp::PeakingParams> GetEffectParams(uint32_t effect);

    // The manual output: renders `frames` output frames once every playing stream has
    // decoded what it needs. A stream whose decode job has been stuck in its file for
    // over kStuckNs is not waited for (it is silent in the render) and is counted in
    // renderSkips().
    Status RenderManual(float* out, int64_t frames);
    uint64_t renderSkips() const { return renderSkips_.load(std::memory_order_relaxed); }
    const char* OutputName() const;
    // Nanoseconds from `nowNs` (monotonic) until the last sound the output took from the
    // mix is heard; 0 once it has been, and on the manual output, which says nothing of
    // when it is heard. Any thread.
    int64_t PendingSoundNs(int64_t nowNs) const;

    // ---- for outputs ----
    // Mixes every playing stream into `out` (stereo interleaved, `frames` frames at
    // the output rate). Allocation-free, lock-free: the audio callback's whole job.
    // True when a stream made sound: a paced output sleeps in WaitForSound otherwise.
    bool Render(float* out, int frames, int64_t blockHeardNs);
    // How many times WakeSound has been called: read before a Render that made no
    // sound, and hand to WaitForSound, so that a start in between is not missed.
    uint64_t SoundSignals();
    // Sleeps until WakeSound is called after `seen` was read, or `stop` is raised
    // (true then). Output thread.
    bool WaitForSound(const StopSignal& stop, uint64_t seen);
    // Wakes a thread in WaitForSound (a stream starts, or its output stops).
    void WakeSound();
    // The output switched to another kind (a lost device carries on as null).
    void SetOutputName(const char* name) { outputName_.store(name, std::memory_order_release); }
    // Why the output in use was chosen, or why none could be: static storage (each
    // distinct text is kept for the life of the process; there are a handful).
    const char* OutputReason() const { return outputReason_.load(std::memory_order_acquire); }
    void SetOutputReason(const std::string& reason);
    int outputRate() const { return outputRate_; }

    // Wakes the decode workers (new stream, play, seek, effect change) and, when
    // `sound`, a sleeping paced output.
    void WakeWorker(bool sound = false);

    static constexpr int kDecodeWorkers = 2;
    static constexpr int kMaxDecodeWorkers = 8;
    static constexpr int64_t kStuckNs = 50000000;          // a step this long: a hung file
    static constexpr int64_t kFreeFadeWaitNs = 100000000;  // the longest a free waits

  private:
    Engine();
    struct Effect {
        uint32_t stream;  // owning stream's handle
        int slot;         // band slot in the stream's equaliser
    };

    // An effect's stream and its band slot in the stream's equaliser.
    struct EffectTarget {
        std::shared_ptr<Stream> stream;
        int slot = -1;
    };
    // HANDLE when the effect is stale or, with `owner` non-zero, belongs to another
    // stream.
    Result<EffectTarget> FindEffect(uint32_t effect, uint32_t owner);
    void WorkerLoop(int id);
    void SupervisorLoop();
    void StartWorker();  // workMutex_ held
    void Shutdown();     // process exit: stops the output and the threads
    static void ShutdownAtExit();
    // The manual output's wait: true when every playing stream can give `frames`.
    bool AllReadyFor(int frames);
    // Takes a freed stream out of the mix and the pool and frees its slot.
    void Retire(uint32_t handle);
    // Retires the freed streams whose fade-out the manual output has played.
    void RetireFaded();
    // Waits until a mixing pass that may have seen a removed stream has finished.
    void WaitForRenderPass();

    std::mutex mutex_;  // the tables and the started state
    bool started_ = false;
    bool shutDown_ = false;
    int outputRate_ = 44100;
    bool manual_ = false;
    std::unique_ptr<Output> output_;
    std::atomic<const char*> outputName_{""};
    std::atomic<const char*> outputReason_{""};
    HandleTable<Stream> streams_{HandleKind::Stream};
    LiveHandles<Stream> liveStreams_;  // streams_' live handles, for lock-free lookups
    HandleTable<Effect> effects_{HandleKind::Effect};
    std::vector<uint32_t> retiring_;  // freed on the manual output, fading out
    std::mutex effectMutex_;  // serialises effect calls, so a band slot is never reused under one

    // The streams the callback mixes, by slot index, readable without a lock.
    std::unique_ptr<std::atomic<Stream*>[]> mixing_;
    std::atomic<uint32_t> mixingCount_{0};   // slots in use so far (a high-water mark)
    std::atomic<uint64_t> renderPasses_{0};  // odd while a mixing pass runs

    // The streams the decode workers serve, by slot index (std::atomic_load/store:
    // a worker's copy keeps a freed stream alive until its step ends).
    std::unique_ptr<std::shared_ptr<Stream>[]> decoding_;
    StreamSetup setup_;
#ifndef _WIN32
    pid_t pid_ = 0;  // the process that started the engine
#endif

    struct Worker {
        std::thread thread;
        std::atomic<int64_t> stepSinceNs{0};  // when its current step began; 0 between
    };
    Worker workers_[kMaxDecodeWorkers];
    std::thread supervisor_;
    std::mutex workMutex_;
    std::condition_variable workWake_;        // workers wait here for work
    std::condition_variable supervisorWake_;  // the supervisor waits here
    std::condition_variable workProgress_;    // manual renders wait here for decoding
    std::condition_variable threadsDone_;     // shutdown waits here for the threads
    uint64_t workSignals_ = 0;                // bumped by WakeWorker
    int workerCount_ = 0;
    int sleepingWorkers_ = 0;  // workers waiting without a timer
    int liveThreads_ = 0;      // workers and supervisor not yet returned
    bool workerStop_ = false;
    uint64_t workRounds_ = 0;
    std::atomic<uint64_t> renderSkips_{0};
    // When the end of the last block a stream made sound in is heard (monotonic ns).
    std::atomic<int64_t> soundHeardUntilNs_{0};

    std::mutex soundMutex_;
    std::condition_variable soundWake_;
    uint64_t soundSignals_ = 0;
};

}  // namespace ae
