// SPDX-License-Identifier: MIT
// The sound device output: SDL2's audio callback renders the mix, and a supervisor
// thread carries on as a paced null output when the device goes away.
#include <SDL.h>
#include <alsa/asoundlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "audioengine/core/Engine.h"
#include "audioengine/core/Output.h"
#include "audioengine/core/PacedOutput.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

class DeviceOutput : public Output {
  public:
    DeviceOutput(Engine& engine, const DeviceRequest& request, int rate)
        : engine_(engine), request_(request), rate_(rate) {}
    ~DeviceOutput() override { Stop(); }

    bool Open(std::string* why) {
        // The host keeps its own signal handlers, and ALSA's diagnostics never reach
        // the host's stderr.
        snd_lib_error_set_handler(SilentAlsaError);
        SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
        // Sound servers first, then ALSA; never JACK or SDL's dummy/disk drivers.
        if (!std::getenv("SDL_AUDIODRIVER"))
            SDL_SetHint(SDL_HINT_AUDIODRIVER, "pulseaudio,pipewire,alsa");
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
            *why = std::string("no sound device opened (SDL: ") + SDL_GetError() + ")";
            return false;
        }
        subsystem_ = true;
        SDL_AudioSpec want{};
        want.freq = rate_;
        want.format = AUDIO_F32SYS;
        want.channels = 2;
        want.samples = 1024;
        want.callback = &DeviceOutput::Callback;
        want.userdata = this;
        SDL_AudioSpec have{};
        const char* name = request_.name.empty() ? nullptr : request_.name.c_str();
        device_ = SDL_OpenAudioDevice(name, 0, &want, &have, 0);
        if (device_ == 0) {
            *why = std::string("no sound device opened (SDL ") + SDL_GetCurrentAudioDriver() +
                   ": " + SDL_GetError() + ")";
            return false;
        }
        *why = std::string("the default device of SDL's ") + SDL_GetCurrentAudioDriver() +
               " audio driver";
        // What the device holds ahead of a block being rendered.
        latencyNs_ = static_cast<int64_t>(have.samples) * kSecondNs / rate_;
        deviceFrames_ = have.samples;
        lastCallbackNs_.store(MonotonicNs(), std::memory_order_relaxed);
        SDL_PauseAudioDevice(device_, 0);
        supervisor_ = std::thread([this] { Supervise(); });
        return true;
    }

    void Stop() override {
        stop_.Raise();
        engine_.WakeSound();
        if (supervisor_.joinable()) supervisor_.join();
        CloseDevice();
    }
    // SDL's buffer being played while the callback fills the next; after a fall back
    // to the null output, that output's buffer.
    int BufferFrames() const override {
        return std::max(2 * deviceFrames_, PacedBufferFrames(rate_));
    }

  private:
    static void SDLCALL Callback(void* self, Uint8* stream, int bytes) {
        auto* output = static_cast<DeviceOutput*>(self);
        const int64_t now = MonotonicNs();
        output->lastCallbackNs_.store(now, std::memory_order_relaxed);
        output->engine_.Render(reinterpret_cast<float*>(stream),
                               bytes / static_cast<int>(2 * sizeof(float)),
                               now + output->latencyNs_);
    }

    // Watches the device; when it stops (unplugged, server gone) or its callback no
    // longer comes, closes it and goes on as a null output.
    void Supervise() {
        for (;;) {
            if (stop_.WaitUntil(MonotonicNs() + kSecondNs / 10)) return;
            const bool stopped = SDL_GetAudioDeviceStatus(device_) != SDL_AUDIO_PLAYING;
            const bool silent =
                MonotonicNs() - lastCallbackNs_.load(std::memory_order_relaxed) > 2 * kSecondNs;
            if (stopped) engine_.SetOutputReason("null: the sound device stopped");
            if (silent) engine_.SetOutputReason("null: the sound device stopped calling for audio");
            if (stopped || silent) break;
        }
        CloseDevice();
        engine_.SetOutputName("null");
        RunPaced(engine_, rate_, stop_, nullptr);
    }

    void CloseDevice() {
        std::lock_guard<std::mutex> lock(closeMutex_);
        if (device_) SDL_CloseAudioDevice(device_);
        device_ = 0;
        if (subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        subsystem_ = false;
    }

    Engine& engine_;
    DeviceRequest request_;
    int rate_;
    std::mutex closeMutex_;
    bool subsystem_ = false;
    SDL_AudioDeviceID device_ = 0;
    int64_t latencyNs_ = 0;
    int deviceFrames_ = 0;
    std::atomic<int64_t> lastCallbackNs_{0};
    StopSignal stop_;
    std::thread supervisor_;
};

}  // namespace

Result<std::unique_ptr<Output>> StartDeviceOutput(Engine& engine, const DeviceRequest& request,
                                                  int* rate, std::string* why) {
    auto output = std::make_unique<DeviceOutput>(engine, request, *rate);
    if (!output->Open(why)) {
        output->Stop();
        return Error{BASS_ERROR_DRIVER};
    }
    return std::unique_ptr<Output>(std::move(output));
}

}  // namespace ae
