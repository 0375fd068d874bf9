// SPDX-License-Identifier: MIT
#include "audioengine/core/Engine.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "audioengine/core/Output.h"
#include "audioengine/core/ThreadPriority.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

// Output rates the mixer accepts, in Hz.
constexpr uint32_t kMinRate = 8000;
constexpr uint32_t kMaxRate = 384000;
// How long the decode worker sleeps when no stream needs anything.
constexpr auto kWorkerIdle = std::chrono::milliseconds(5);
// The longest a manual render waits for the decoder before rendering what it has.
constexpr auto kRenderPatience = std::chrono::seconds(10);

}  // namespace

OutputChoice ChooseOutput(const char* environment, int device) {
    OutputChoice choice;
    const std::string value = environment ? environment : "";
    if (value.empty() || value == "auto") {
        choice.kind = device == 0 ? OutputChoice::Null : OutputChoice::Auto;
    } else if (value == "device") {
        choice.kind = OutputChoice::Device;
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

Engine::Engine() : mixing_(new std::atomic<Stream*>[kHandleSlots]) {
    for (uint32_t i = 0; i < kHandleSlots; ++i) mixing_[i].store(nullptr);
}

Status Engine::Init(int device, uint32_t rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return Error{BASS_ERROR_ALREADY};
    if (shutDown_) return Error{BASS_ERROR_INIT};
    if (rate < kMinRate || rate > kMaxRate || device < -1 || device > 1) {
        return Error{BASS_ERROR_ILLPARAM};
    }
    const OutputChoice choice = ChooseOutput(std::getenv("AUDIOENGINE_OUTPUT"), device);
    const int outputRate = static_cast<int>(rate);
    outputRate_ = outputRate;  // before any output thread reads it
    Result<std::unique_ptr<Output>> output = std::unique_ptr<Output>();  // manual: none
    const char* name = "";
    switch (choice.kind) {
        case OutputChoice::Invalid:
            return Error{BASS_ERROR_ILLPARAM};
        case OutputChoice::Manual:
            name = "manual";
            break;
        case OutputChoice::Null:
            output = StartNullOutput(*this, outputRate);
            name = "null";
            break;
        case OutputChoice::Wav:
            output = StartWavOutput(*this, outputRate, choice.wavPath);
            name = "wav";
            break;
        case OutputChoice::Device:
            output = StartDeviceOutput(*this, outputRate);
            name = "device";
            break;
        case OutputChoice::Auto:
            output = StartDeviceOutput(*this, outputRate);
            name = "device";
            if (!output.ok()) {
                output = StartNullOutput(*this, outputRate);
                name = "null";
            }
            break;
    }
    if (!output.ok()) return output.error();
    manual_ = choice.kind == OutputChoice::Manual;
    output_ = std::move(output).value();
    // A device output that already fell back to null has said so; keep its word.
    const char* expected = "";
    outputName_.compare_exchange_strong(expected, name);
    if (!worker_.joinable()) worker_ = std::thread([this] { WorkerLoop(); });
    static bool registered = false;
    if (!registered) registered = std::atexit(&Engine::ShutdownAtExit) == 0;
    started_ = true;
    return {};
}

void Engine::ShutdownAtExit() { Instance().Shutdown(); }

void Engine::Shutdown() {
    std::unique_ptr<Output> output;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutDown_) return;
        shutDown_ = true;
        output = std::move(output_);
    }
    if (output) output->Stop();
    {
        std::lock_guard<std::mutex> lock(workMutex_);
        workerStop_ = true;
    }
    workWake_.notify_all();
    workProgress_.notify_all();
    if (worker_.joinable()) worker_.join();
}

const char* Engine::OutputName() const { return outputName_.load(std::memory_order_acquire); }

// ---------------------------------------------------------------- streams

Result<uint32_t> Engine::CreateStream(const char* path) {
    int outputRate;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || shutDown_) return Error{BASS_ERROR_INIT};
        outputRate = outputRate_;
    }
    if (!path || !*path) return Error{BASS_ERROR_FILEOPEN};
    Result<std::unique_ptr<Stream>> opened = Stream::Open(path, outputRate);
    if (!opened.ok()) return opened.error();
    std::shared_ptr<Stream> stream(std::move(opened).value());
    uint32_t handle, index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        Stream* raw = stream.get();
        handle = streams_.Add(std::move(stream), &index);
        if (handle == 0) return Error{BASS_ERROR_MEM};
        liveStreams_.Publish(handle, raw);
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
    {
        std::lock_guard<std::mutex> effects(effectMutex_);
        std::lock_guard<std::mutex> lock(mutex_);
        stream = streams_.Remove(handle);
        if (!stream) return Error{BASS_ERROR_HANDLE};
        // Calls already using the stream finish first; with the lock held, its slot
        // is not handed out again meanwhile. No caller of Find takes this lock (or
        // the effect lock) while holding its reference, except AddEffect, which
        // holds the effect lock throughout and so never runs beside this.
        liveStreams_.Retract(handle);
        // Its effects go with it: their handles become stale.
        std::vector<uint32_t> owned;
        effects_.ForEach([&](uint32_t effect, const std::shared_ptr<Effect>& e) {
            if (e->stream == handle) owned.push_back(effect);
        });
        for (uint32_t effect : owned) effects_.Remove(effect);
        mixing_[HandleTable<Stream>::IndexOf(handle)].store(nullptr);
    }
    WaitForRenderPass();
    return {};  // the stream closes when the decode worker lets go of it too
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
    return {};
}

Status Engine::SetEffectParams(uint32_t effect, const dsp::PeakingParams* params) {
    std::lock_guard<std::mutex> effects(effectMutex_);
    Result<EffectTarget> target = FindEffect(effect, 0);
    if (!target.ok()) return target.error();
    if (!params || !target->stream->SetEffectParams(target->slot, *params)) {
        return Error{BASS_ERROR_ILLPARAM};
    }
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
    const uint32_t count = mixingCount_.load();
    for (uint32_t i = 0; i < count && ready; ++i) {
        if (Stream* stream = mixing_[i].load()) ready = stream->ReadyFor(frames);
    }
    renderPasses_.fetch_add(1);
    return ready;
}

void Engine::Render(float* out, int frames, int64_t blockHeardNs) {
    // Sequentially consistent with WaitForRenderPass: a stream removed from mixing_
    // before a pass starts is never seen by it, and a pass that may have seen it is
    // waited for.
    renderPasses_.fetch_add(1);
    std::memset(out, 0, sizeof(float) * 2 * static_cast<size_t>(frames));
    const MixTiming timing{blockHeardNs};
    const uint32_t count = mixingCount_.load();
    for (uint32_t i = 0; i < count; ++i) {
        if (Stream* stream = mixing_[i].load()) stream->Mix(out, frames, timing);
    }
    for (int i = 0; i < 2 * frames; ++i) {
        const float x = out[i];
        out[i] = x > 1.0f ? 1.0f : (x < -1.0f ? -1.0f : (x == x ? x : 0.0f));
    }
    renderPasses_.fetch_add(1);
}

Status Engine::RenderManual(float* out, int64_t frames) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_ || !manual_ || shutDown_) return Error{BASS_ERROR_NOTAVAIL};
    }
    if (!out || frames < 0) return Error{BASS_ERROR_ILLPARAM};
    // Pieces small enough that the ready rings can hold them whole.
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
            workPending_ = true;
            workWake_.notify_one();
            workProgress_.wait_for(lock, std::chrono::milliseconds(20),
                                   [&] { return workRounds_ != round || workerStop_; });
        }
        Render(out, n, 0);
        out += 2 * static_cast<size_t>(n);
        frames -= n;
    }
    return {};
}

// ---------------------------------------------------------------- decode worker

void Engine::WakeWorker() {
    {
        std::lock_guard<std::mutex> lock(workMutex_);
        workPending_ = true;
    }
    workWake_.notify_one();
}

void Engine::WorkerLoop() {
    // One thread decodes for every stream, a step per stream in turn, so no stream
    // starves and the thread count stays fixed however many streams are open.
    RaiseThreadPriority(ThreadRole::Decoder);
    std::vector<std::shared_ptr<Stream>> streams;
    streams.reserve(kHandleSlots);
    for (;;) {
        streams.clear();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            streams_.ForEach(
                [&](uint32_t, const std::shared_ptr<Stream>& s) { streams.push_back(s); });
        }
        bool progress = true;
        while (progress) {
            progress = false;
            for (const auto& stream : streams) progress |= stream->Pump();
            {
                std::lock_guard<std::mutex> lock(workMutex_);
                if (workerStop_) return;
                ++workRounds_;
            }
            workProgress_.notify_all();
            if (progress) {
                // New streams and releases are picked up between rounds.
                std::lock_guard<std::mutex> lock(workMutex_);
                if (workPending_) break;
            }
        }
        streams.clear();  // a freed stream closes here, outside every lock
        std::unique_lock<std::mutex> lock(workMutex_);
        if (workerStop_) return;
        workWake_.wait_for(lock, kWorkerIdle, [this] { return workPending_ || workerStop_; });
        if (workerStop_) return;
        workPending_ = false;
    }
}

}  // namespace ae
