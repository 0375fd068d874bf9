// SPDX-License-Identifier: MIT
#include "audioengine/core/Engine.h"

#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audioengine/core/DeviceList.h"
#include "audioengine/core/Output.h"
#include "audioengine/core/PacedOutput.h"
#include "audioengine/core/ThreadPriority.h"
#include "audioengine/core/Trace.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

// How often decode workers look for work while something plays (the callback takes
// audio from the rings without waking anyone). The rings hold 100 ms; every visit
// costs a context switch and finds each stream's decoder, filters and history out of
// the cache, so a worker comes by seldom enough that a visit does a good share of
// work (40 ms of audio: two decode blocks and their chunks) and still finds 60 ms
// queued. Starts, seeks and effect changes wake the workers at once.
constexpr auto kWorkerPoll = std::chrono::milliseconds(40);
// Steps a worker takes on a stream at each visit: decode blocks and the chunks they
// make (a step pushes every chunk it can), so that a visit is worth its bookkeeping.
constexpr int kStepsPerVisit = 10;
// A worker's poll while a stream refills after a seek (Stream::Refilling): the
// callback frees the ring at its next block, which may come well before kWorkerPoll.
constexpr auto kRefillPoll = std::chrono::milliseconds(1);
// How often the supervisor looks for stuck workers while any worker is awake.
constexpr auto kSupervisorPoll = std::chrono::milliseconds(25);
// The longest shutdown waits for the engine's threads before leaving them behind (a
// worker stuck in a hung file's read cannot be joined).
constexpr auto kShutdownPatience = std::chrono::milliseconds(500);
// The longest a manual render waits for the decoder before rendering what it has.
constexpr auto kRenderPatience = std::chrono::seconds(10);

}  // namespace

OutputChoice ChooseOutput(const char* environment, int device) {
    OutputChoice choice;
    const std::string value = environment ? environment : "";
    if (value.empty() || value == "auto") {
        // A listed device asked for by number must open; the default may fall back.
        choice.kind = device == 0   ? OutputChoice::Null
                      : device >= 2 ? OutputChoice::Device
                                    : OutputChoice::Auto;
    } else if (value == "device") {
        choice.kind = OutputChoice::Device;
    } else if (value.compare(0, 7, "device:") == 0 && value.size() > 7) {
        choice.kind = OutputChoice::Device;
        choice.deviceName = value.substr(7);
    } else if (value == "null") {
        choice.kind = OutputChoice::Null;
    } else if (value == "manual") {
        choice.kind = OutputChoice::Manual;
    } else if (value.compare(0, 4, "wav:") == 0 && value.size() > 4) {
        choice.kind = OutputChoice::Wav;
        choice.wavPath = value.substr(4);
    } else {
        choice.kind = OutputChoice::Invalid;
    }
    return choice;
}

AE_HOT Engine& Engine::Instance() {
    // Never destroyed: hosts may call in from their own static destructors.
    static Engine* engine = new Engine();
    return *engine;
}

Engine::Engine()
    : mixing_(new std::atomic<Stream*>[kHandleSlots]),
      decoding_(new std::shared_ptr<Stream>[kHandleSlots]) {
    for (uint32_t i = 0; i < kHandleSlots; ++i) mixing_[i].store(nullptr);
}

Status Engine::Init(int device, uint32_t rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return Error{BASS_ERROR_ALREADY};
    if (shutDown_) return Error{BASS_ERROR_INIT};
    if (device < -1) return Error{BASS_ERROR_DEVICE};
    if (rate < static_cast<uint32_t>(kMinRate) || rate > static_cast<uint32_t>(kMaxRate)) {
        return Error{BASS_ERROR_ILLPARAM};
    }
    const OutputChoice choice = ChooseOutput(std::getenv("AUDIOENGINE_OUTPUT"), device);
    int outputRate = static_cast<int>(rate);  // a device may choose its own
    Result<std::unique_ptr<Output>> output = std::unique_ptr<Output>();  // manual: none
    const char* name = "";
    std::string reason, opened;  // why this output; what the device output opened
    DeviceRequest request;
    request.name = choice.deviceName;
    // A device by its number in the device list, unless AUDIOENGINE_OUTPUT names one.
    if (device >= 2 && choice.kind == OutputChoice::Device && request.name.empty()) {
        Result<std::string> driver = DeviceDriver(device);
        if (!driver.ok()) return driver.error();
        request.name = std::move(driver).value();
    }
    SetDeviceInUse(request.name);
    if (const char* driver = std::getenv("AUDIOENGINE_DRIVER")) request.driver = driver;
    switch (choice.kind) {
        case OutputChoice::Invalid:
            return Error{BASS_ERROR_ILLPARAM};
        case OutputChoice::Manual:
            name = "manual";
            reason = "manual: AUDIOENGINE_OUTPUT=manual, the mix advances as AE_Render asks";
            break;
        case OutputChoice::Null:
            output = StartNullOutput(*this, outputRate);
            name = "null";
            reason = device == 0 ? "null: device 0 asked for" : "null: AUDIOENGINE_OUTPUT=null";
            break;
        case OutputChoice::Wav:
            errno = 0;
            output = StartWavOutput(*this, outputRate, choice.wavPath);
            name = "wav";
            reason = output.ok() ? "wav: writing " + choice.wavPath
                                 : "cannot create " + choice.wavPath +
                                       (errno ? std::string(": ") + std::strerror(errno) : "");
            break;
        case OutputChoice::Device:
        case OutputChoice::Auto:
            // On success the device output has named itself and said what it opened.
            output = StartDeviceOutput(*this, request, &outputRate, &opened);
            if (output.ok() || choice.kind == OutputChoice::Device) {
                reason = opened;
                break;
            }
            output = StartNullOutput(*this, outputRate);
            name = "null";
            reason = "null: " + opened;
            break;
    }
    if (*name || !output.ok()) SetOutputReason(reason);
    Trace("output %s (asked: AUDIOENGINE_OUTPUT=%s, device %d, %u Hz; mixing at %d Hz)",
          OutputReason(),
          std::getenv("AUDIOENGINE_OUTPUT") ? std::getenv("AUDIOENGINE_OUTPUT") : "", device, rate,
          outputRate);
    if (!output.ok()) return output.error();
    outputRate_ = outputRate;
    manual_ = choice.kind == OutputChoice::Manual;
    output_ = std::move(output).value();
    setup_.outputRate = outputRate;
    setup_.outputBufferFrames = output_ ? output_->BufferFrames() : 0;
    if (*name) SetOutputName(name);
    {
        std::lock_guard<std::mutex> work(workMutex_);
        while (workerCount_ < kDecodeWorkers) StartWorker();
        if (!supervisor_.joinable()) {
            ++liveThreads_;
            supervisor_ = std::thread([this] { SupervisorLoop(); });
        }
    }
#ifndef _WIN32
    // On Windows nothing is run at exit: by the time a DLL hears of it, the process
    // has ended every other thread, wherever it was (possibly holding a lock the
    // shutdown would wait for). The wav: output keeps its header current as it goes.
    pid_ = getpid();
    static bool registered = false;
    if (!registered) registered = std::atexit(&Engine::ShutdownAtExit) == 0;
#endif
    started_ = true;
    return {};
}

#ifndef _WIN32
void Engine::ShutdownAtExit() {
    // A forked child inherits this handler but none of the threads: its exit must not
    // touch the engine (its locks may have been copied while held).
    Engine& engine = Instance();
    if (getpid() != engine.pid_) return;
    engine.Shutdown();
}
#endif

void Engine::Shutdown() {
    std::unique_ptr<Output> output;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutDown_) return;
        shutDown_ = true;
        output = std::move(output_);
    }
    // An output left running in a hung device keeps its object: leaked, not freed.
    if (output && !output->Stop()) static_cast<void>(output.release());
    std::unique_lock<std::mutex> lock(workMutex_);
    workerStop_ = true;
    workWake_.notify_all();
    supervisorWake_.notify_all();
    workProgress_.notify_all();
    // Bounded: a worker stuck in a read of a hung file is left behind, detached.
    const bool joined =
        threadsDone_.wait_for(lock, kShutdownPatience, [this] { return liveThreads_ == 0; });
    lock.unlock();
    const auto finish = [joined](std::thread& thread) {
        if (!thread.joinable()) return;
        if (joined) {
            thread.join();
        } else {
            thread.detach();
        }
    };
    for (Worker& worker : workers_) finish(worker.thread);
    finish(supervisor_);
}

const char* Engine::OutputName() const { return outputName_.load(std::memory_order_acquire); }

void Engine::SetOutputReason(const std::string& reason) {
    static std::mutex* mutex = new std::mutex;
    static std::vector<std::unique_ptr<std::string>>* kept =
        new std::vector<std::unique_ptr<std::string>>;
    std::lock_guard<std::mutex> lock(*mutex);
    for (const auto& text : *kept) {
        if (*text == reason) {
            outputReason_.store(text->c_str(), std::memory_order_release);
            return;
        }
    }
    kept->push_back(std::make_unique<std::string>(reason));
    outputReason_.store(kept->back()->c_str(), std::memory_order_release);
}

// ---------------------------------------------------------------- streams

Result<uint32_t> Engine::CreateStream(const char* path) {
    StreamSetup setup;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || shutDown_) return Error{BASS_ERROR_INIT};
        setup = setup_;
    }
    if (!path || !*path) return Error{BASS_ERROR_FILEOPEN};
    Result<std::unique_ptr<Stream>> opened = Stream::Open(path, setup);
    if (!opened.ok()) {
        Trace("refused %s: %s", path, ErrorName(opened.error().code));
        return opened.error();
    }
    std::shared_ptr<Stream> stream(std::move(opened).value());
    uint32_t handle, index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Stream* raw = stream.get();
        handle = streams_.Add(std::move(stream), &index);
        if (handle == 0) return Error{BASS_ERROR_MEM};
        liveStreams_.Publish(handle, raw);
        std::atomic_store(&decoding_[index], streams_.Get(handle));
        mixing_[index].store(raw, std::memory_order_release);
        if (mixingCount_.load(std::memory_order_relaxed) <= index) {
            mixingCount_.store(index + 1, std::memory_order_release);
        }
    }
    WakeWorker();
    return handle;
}

AE_HOT Result<StreamRef> Engine::Find(uint32_t handle) {
    StreamRef stream = liveStreams_.Acquire(handle);
    if (!stream) return Error{BASS_ERROR_HANDLE};
    return stream;
}

Status Engine::FreeStream(uint32_t handle) {
    std::shared_ptr<Stream> stream;
    bool wasPlaying;
    {
        std::lock_guard<std::mutex> effects(effectMutex_);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stream = streams_.Get(handle);
            if (!stream || !liveStreams_.Acquire(handle)) return Error{BASS_ERROR_HANDLE};
            // Its effects go with it: their handles become stale.
            std::vector<uint32_t> owned;
            effects_.ForEach([&](uint32_t effect, const std::shared_ptr<Effect>& e) {
                if (e->stream == handle) owned.push_back(effect);
            });
            for (uint32_t effect : owned) effects_.Remove(effect);
        }
        // Calls already using the stream finish first (none waits for the file). Its
        // table slot stays taken until the end, so the handle's slot is not handed
        // out again meanwhile; the effect lock keeps AddEffect from running beside.
        liveStreams_.Retract(handle);
        // Playing, or stopped or paused so recently that its fade-out is still to play.
        wasPlaying = stream->playing() || stream->Sounding();
        stream->Free();
    }
    // A stream that was playing fades out over a few milliseconds first. A running
    // output plays the fade within a block or two; on the manual output the next
    // render plays it and lets go of the stream.
    bool running;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running = !shutDown_;
        if (wasPlaying && manual_ && running) {
            retiring_.push_back(handle);
            return {};
        }
    }
    if (wasPlaying && running) {
        const int64_t deadline = MonotonicNs() + kFreeFadeWaitNs;
        while (!stream->Faded() && MonotonicNs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    Retire(handle);
    return {};  // the stream closes here, or where a decode worker lets go of it
}

void Engine::Retire(uint32_t handle) {
    const uint32_t index = HandleTable<Stream>::IndexOf(handle);
    mixing_[index].store(nullptr);
    WaitForRenderPass();
    std::atomic_store(&decoding_[index], std::shared_ptr<Stream>());
    std::lock_guard<std::mutex> lock(mutex_);
    streams_.Remove(handle);
}

void Engine::RetireFaded() {
    std::vector<uint32_t> faded;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < retiring_.size();) {
            std::shared_ptr<Stream> stream = streams_.Get(retiring_[i]);
            if (stream && !stream->Faded()) {
                ++i;
                continue;
            }
            faded.push_back(retiring_[i]);
            retiring_[i] = retiring_.back();
            retiring_.pop_back();
        }
    }
    for (uint32_t handle : faded) Retire(handle);
}

void Engine::WaitForRenderPass() {
    const uint64_t pass = renderPasses_.load();
    if (!(pass & 1)) return;
    while (renderPasses_.load() == pass) std::this_thread::yield();
}

// ---------------------------------------------------------------- effects

Result<uint32_t> Engine::AddEffect(uint32_t handle, uint32_t type, int priority) {
    std::lock_guard<std::mutex> effects(effectMutex_);
    Result<StreamRef> stream = Find(handle);
    if (!stream.ok()) return stream.error();
    if (type != BASS_FX_DX8_PARAMEQ) return Error{BASS_ERROR_ILLTYPE};  // the one kind made
    const int slot = stream.value()->AddEffect(priority);
    if (slot < 0) return Error{BASS_ERROR_MEM};  // the stream's equaliser has no free band
    uint32_t effect;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        effect = effects_.Add(std::make_shared<Effect>(Effect{handle, slot}));
    }
    if (effect == 0) {
        stream.value()->RemoveEffect(slot);
        return Error{BASS_ERROR_MEM};
    }
    WakeWorker();  // a paused stream decodes its queued audio again, with the band
    return effect;
}

Result<Engine::EffectTarget> Engine::FindEffect(uint32_t effect, uint32_t owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::shared_ptr<Effect> entry = effects_.Get(effect);
    EffectTarget target;
    if (entry && (owner == 0 || entry->stream == owner))
        target.stream = streams_.Get(entry->stream);
    if (!target.stream) return Error{BASS_ERROR_HANDLE};
    target.slot = entry->slot;
    return target;
}

Status Engine::RemoveEffect(uint32_t handle, uint32_t effect) {
    std::lock_guard<std::mutex> effects(effectMutex_);
    Result<EffectTarget> target = FindEffect(effect, handle);
    if (!target.ok()) return target.error();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        effects_.Remove(effect);
    }
    target->stream->RemoveEffect(target->slot);
    WakeWorker();
    return {};
}

Status Engine::SetEffectParams(uint32_t effect, const dsp::PeakingParams* params) {
    std::lock_guard<std::mutex> effects(effectMutex_);
    Result<EffectTarget> target = FindEffect(effect, 0);
    if (!target.ok()) return target.error();
    if (!params || !target->stream->SetEffectParams(target->slot, *params)) {
        return Error{BASS_ERROR_ILLPARAM};
    }
    WakeWorker();
    return {};
}

Result<dsp::PeakingParams> Engine::GetEffectParams(uint32_t effect) {
    std::lock_guard<std::mutex> effects(effectMutex_);
    Result<EffectTarget> target = FindEffect(effect, 0);
    if (!target.ok()) return target.error();
    dsp::PeakingParams params;
    if (!target->stream->GetEffectParams(target->slot, &params)) return Error{BASS_ERROR_HANDLE};
    return params;
}

// ---------------------------------------------------------------- mixing

bool Engine::AllReadyFor(int frames) {
    renderPasses_.fetch_add(1);  // a pass over the streams, as in Render
    bool ready = true;
    uint64_t stuck = 0;
    const int64_t now = MonotonicNs();
    const uint32_t count = mixingCount_.load();
    for (uint32_t i = 0; i < count && ready; ++i) {
        Stream* stream = mixing_[i].load();
        if (!stream || stream->ReadyFor(frames)) continue;
        // A hung file is not waited for: the render goes on without it.
        if (stream->StuckInJob(now, kStuckNs)) {
            ++stuck;
        } else {
            ready = false;
        }
    }
    renderPasses_.fetch_add(1);
    if (ready && stuck) renderSkips_.fetch_add(stuck, std::memory_order_relaxed);
    return ready;
}

bool Engine::Render(float* out, int frames, int64_t blockHeardNs) {
    // Sequentially consistent with WaitForRenderPass: a stream removed from mixing_
    // before a pass starts is never seen by it, and a pass that may have seen it is
    // waited for.
    renderPasses_.fetch_add(1);
    std::memset(out, 0, sizeof(float) * 2 * static_cast<size_t>(frames));
    const MixTiming timing{blockHeardNs};
    bool sound = false;
    const uint32_t count = mixingCount_.load();
    for (uint32_t i = 0; i < count; ++i) {
        if (Stream* stream = mixing_[i].load()) sound |= stream->Mix(out, frames, timing);
    }
    for (int i = 0; i < 2 * frames; ++i) {
        const float x = out[i];
        out[i] = x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : (x == x ? x : 0.0f));
    }
    if (sound && blockHeardNs > 0) {
        soundHeardUntilNs_.store(
            blockHeardNs + static_cast<int64_t>(frames) * 1000000000 / outputRate_,
            std::memory_order_relaxed);
    }
    renderPasses_.fetch_add(1);
    return sound;
}

int64_t Engine::PendingSoundNs(int64_t nowNs) const {
    return std::max<int64_t>(0, soundHeardUntilNs_.load(std::memory_order_relaxed) - nowNs);
}

uint64_t Engine::SoundSignals() {
    std::lock_guard<std::mutex> lock(soundMutex_);
    return soundSignals_;
}

bool Engine::WaitForSound(const StopSignal& stop, uint64_t seen) {
    std::unique_lock<std::mutex> lock(soundMutex_);
    soundWake_.wait(lock, [&] { return soundSignals_ != seen || stop.raised(); });
    return stop.raised();
}

void Engine::WakeSound() {
    {
        std::lock_guard<std::mutex> lock(soundMutex_);
        ++soundSignals_;
    }
    soundWake_.notify_all();
}

Status Engine::RenderManual(float* out, int64_t frames) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || !manual_ || shutDown_) return Error{BASS_ERROR_NOTAVAIL};
    }
    if (!out || frames < 0) return Error{BASS_ERROR_ILLPARAM};
    // Pieces small enough that the ready rings can hold them whole, with a fade's
    // worth and a chunk to spare.
    const int piece =
        std::max(kChunkFrames, (std::max(4, outputRate_ / 10 / kChunkFrames) - 2) * kChunkFrames);
    while (frames > 0) {
        const int n = static_cast<int>(std::min<int64_t>(frames, std::min(piece, 1024)));
        const auto deadline = std::chrono::steady_clock::now() + kRenderPatience;
        for (;;) {
            if (AllReadyFor(n) || std::chrono::steady_clock::now() > deadline) break;
            std::unique_lock<std::mutex> lock(workMutex_);
            if (workerStop_) break;
            const uint64_t round = workRounds_;
            ++workSignals_;
            workWake_.notify_all();
            workProgress_.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return workRounds_ != round || workerStop_; });
        }
        Render(out, n, 0);
        out += 2 * static_cast<size_t>(n);
        frames -= n;
    }
    RetireFaded();
    return {};
}

// ---------------------------------------------------------------- decode pool

void Engine::WakeWorker(bool sound) {
    {
        std::lock_guard<std::mutex> lock(workMutex_);
        ++workSignals_;
    }
    workWake_.notify_all();
    if (sound) WakeSound();
}

void Engine::StartWorker() {
    const int id = workerCount_++;
    ++liveThreads_;
    workers_[id].thread = std::thread([this, id] { WorkerLoop(id); });
}

void Engine::WorkerLoop(int id) {
    // Each worker goes round every stream a few steps at a time, so no stream
    // starves, and takes only streams no other worker has: a stream stuck in its file
    // holds up the worker that has it and nothing else.
    NameThisThread("ae-decode");
    RaiseThreadPriority(ThreadRole::Decoder);
    Worker& self = workers_[id];
    uint64_t seen = 0;
    for (;;) {
        bool progress = false, playing = false, refilling = false;
        const uint32_t count = mixingCount_.load(std::memory_order_acquire);
        // The workers start their rounds at different streams, so that they seldom
        // reach for the same one at once.
        const uint32_t first = count > 0 ? static_cast<uint32_t>(id) * count / kDecodeWorkers : 0;
        for (uint32_t k = 0; k < count; ++k) {
            const uint32_t i = (first + k) % count;
            std::shared_ptr<Stream> stream = std::atomic_load(&decoding_[i]);
            if (!stream) continue;
            playing |= stream->playing();
            for (int step = 0; step < kStepsPerVisit; ++step) {
                const int64_t now = MonotonicNs();
                if (!stream->TryBeginJob(now)) break;
                self.stepSinceNs.store(now, std::memory_order_relaxed);
                const bool stepped = stream->Pump();
                self.stepSinceNs.store(0, std::memory_order_relaxed);
                stream->EndJob();
                progress |= stepped;
                if (!stepped) break;
            }
            refilling |= stream->Refilling();
        }  // a freed stream closes here, outside every lock
        std::unique_lock<std::mutex> lock(workMutex_);
        if (workerStop_) break;
        ++workRounds_;
        workProgress_.notify_all();
        if (progress) continue;
        if (workSignals_ != seen) {
            seen = workSignals_;
            continue;
        }
        const auto woken = [&] { return workerStop_ || workSignals_ != seen; };
        if (playing || refilling) {
            workWake_.wait_for(lock, refilling ? kRefillPoll : kWorkerPoll, woken);
        } else {
            // Nothing plays and nothing is pending: sleep without a timer.
            ++sleepingWorkers_;
            workWake_.wait(lock, woken);
            --sleepingWorkers_;
            supervisorWake_.notify_one();
        }
        if (workerStop_) break;
        seen = workSignals_;
    }
    std::lock_guard<std::mutex> lock(workMutex_);
    --liveThreads_;
    threadsDone_.notify_all();
}

void Engine::SupervisorLoop() {
    NameThisThread("ae-supervisor");
    std::unique_lock<std::mutex> lock(workMutex_);
    while (!workerStop_) {
        if (sleepingWorkers_ == workerCount_) {
            supervisorWake_.wait(lock);  // every worker sleeps: nothing to watch
            continue;
        }
        supervisorWake_.wait_for(lock, kSupervisorPoll);
        if (workerStop_) break;
        const int64_t now = MonotonicNs();
        int free = 0;
        for (int i = 0; i < workerCount_; ++i) {
            const int64_t since = workers_[i].stepSinceNs.load(std::memory_order_relaxed);
            if (since == 0 || now - since <= kStuckNs) ++free;
        }
        if (free < kDecodeWorkers && workerCount_ < kMaxDecodeWorkers) StartWorker();
    }
    --liveThreads_;
    threadsDone_.notify_all();
}

}  // namespace ae
