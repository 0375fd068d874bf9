// SPDX-License-Identifier: MIT
// The sound device through SDL2's audio drivers: the fallback where no pulse-protocol
// server answers (ALSA and the rest). SDL has no latency query: the heard time counts
// the one buffer SDL holds.
#include <SDL.h>

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "audioengine/core/DeviceBackend.h"
#include "audioengine/core/DeviceList.h"
#include "audioengine/core/Output.h"
#include "audioengine/core/PacedOutput.h"
#include "audioengine/core/Stream.h"

namespace ae {
namespace {

class SdlDevice : public DeviceBackend {
  public:
    explicit SdlDevice(const DeviceRequest& request) : name_(request.name) {}
    ~SdlDevice() override { Close(); }

    bool Open(DeviceSink& sink, int* rate, bool, std::string* why) override {
        sink_ = &sink;
        rate_ = *rate;
        std::lock_guard<std::mutex> lock(SdlAudioMutex());
        if (!StartSdlAudio(why)) return false;
        subsystem_ = true;
        SDL_AudioSpec want{};
        want.freq = rate_;
        want.format = AUDIO_F32SYS;
        want.channels = 2;
        want.samples = 1024;
        want.callback = &SdlDevice::Callback;
        want.userdata = this;
        SDL_AudioSpec have{};
        device_ = SDL_OpenAudioDevice(name_.empty() ? nullptr : name_.c_str(), 0, &want, &have, 0);
        if (device_ == 0) {
            *why = std::string("SDL ") + SDL_GetCurrentAudioDriver() + ": " + SDL_GetError();
            CloseLocked();
            return false;
        }
        *why = (name_.empty() ? std::string("the default device") : "the device " + name_) +
               " of SDL's " + SDL_GetCurrentAudioDriver() + " audio driver";
        // What the device holds ahead of a block being rendered.
        latencyNs_ = static_cast<int64_t>(have.samples) * kSecondNs / rate_;
        deviceFrames_ = have.samples;
        SDL_PauseAudioDevice(device_, 0);
        return true;
    }

    void Close() override {
        std::lock_guard<std::mutex> lock(SdlAudioMutex());
        CloseLocked();
    }

    std::string Lost() override {
        // A removed device (unplugged, its server gone) reads as stopped.
        if (device_ && SDL_GetAudioDeviceStatus(device_) != SDL_AUDIO_PLAYING)
            return "SDL's device stopped";
        return {};
    }

    // SDL's buffer being played while the callback fills the next.
    int BufferFrames() const override { return 2 * deviceFrames_; }
    // Eight buffers, a quarter of a second at the least.
    int64_t SilenceLimitNs() const override {
        return std::max<int64_t>(kSecondNs / 4, 8 * latencyNs_);
    }

  private:
    void CloseLocked() {
        if (device_) SDL_CloseAudioDevice(device_);
        device_ = 0;
        if (subsystem_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
        subsystem_ = false;
    }

    static void SDLCALL Callback(void* self, Uint8* stream, int bytes) {
        auto* device = static_cast<SdlDevice*>(self);
        device->sink_->Fill(reinterpret_cast<float*>(stream),
                            bytes / static_cast<int>(2 * sizeof(float)),
                            MonotonicNs() + device->latencyNs_);
    }

    std::string name_;
    DeviceSink* sink_ = nullptr;
    int rate_ = 44100;
    bool subsystem_ = false;
    SDL_AudioDeviceID device_ = 0;
    int64_t latencyNs_ = 0;
    int deviceFrames_ = 0;
};

}  // namespace

std::unique_ptr<DeviceBackend> MakeSdlDevice(const DeviceRequest& request) {
    return std::make_unique<SdlDevice>(request);
}

}  // namespace ae
