// SPDX-License-Identifier: MIT
// The engine: one process-wide instance, created at first use and never destroyed
// (callers may outlive any static destructor), holding the stream and effect tables,
// the decode worker and the output. Its threads stop at process exit.
//
// Every method may be called from any thread. Methods that can fail return a Result
// or Status with the engine error code; the C entry points turn it into the calling
// thread's error.
#pragma once

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

// Which output BASS_Init starts, from AUDIOENGINE_OUTPUT and the device number.
struct OutputChoice {
    enum Kind { Auto, Device, Null, Wav, Manual, Invalid } kind = Auto;
    std::string wavPath;
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
    // decoded what they need.
    Status RenderManual(float* out, int64_t frames);
    const char* OutputName() const;

    // ---- for outputs ----
    // Mixes every playing stream into `out` (stereo interleaved, `frames` frames at
    // the output rate). Allocation-free, lock-free: the audio callback's whole job.
    void Render(float* out, int frames, int64_t blockHeardNs);
    // The output switched to another kind (a lost device carries on as null).
    void SetOutputName(const char* name) { outputName_.store(name, std::memory_order_release); }
    int outputRate() const { return outputRate_; }

    // Wakes the decode worker (new stream, play, seek).
    void WakeWorker();

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
    void WorkerLoop();
    void Shutdown();  // process exit: stops the output and the worker
    static void ShutdownAtExit();
    // The manual output's wait: true when every playing stream can give `frames`.
    bool AllReadyFor(int frames);
    // Waits until a mixing pass that may have seen a removed stream has finished.
    void WaitForRenderPass();

    std::mutex mutex_;  // the tables and the started state
    bool started_ = false;
    bool shutDown_ = false;
    int outputRate_ = 44100;
    bool manual_ = false;
    std::unique_ptr<Output> output_;
    std::atomic<const char*> outputName_{""};
    HandleTable<Stream> streams_{HandleKind::Stream};
    LiveHandles<Stream> liveStreams_;  // streams_' live handles, for lock-free lookups
    HandleTable<Effect> effects_{HandleKind::Effect};
    std::mutex effectMutex_;  // serialises effect calls, so a band slot is never reused under one

    // The streams the callback mixes, by slot index, readable without a lock.
    std::unique_ptr<std::atomic<Stream*>[]> mixing_;
    std::atomic<uint32_t> mixingCount_{0};   // slots in use so far (a high-water mark)
    std::atomic<uint64_t> renderPasses_{0};  // odd while a mixing pass runs

    std::thread worker_;
    std::mutex workMutex_;
    std::condition_variable workWake_;      // the worker waits here for work
    std::condition_variable workProgress_;  // manual renders wait here for decoding
    bool workPending_ = false;
    bool workerStop_ = false;
    uint64_t workRounds_ = 0;
};

}  // namespace ae
