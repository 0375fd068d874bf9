// SPDX-License-Identifier: MIT
// The sound device output: a device (the pulse protocol where a server answers, else
// SDL2) renders the mix from its audio thread, and a supervisor thread watches it.
// When the device is lost (its server gone, unplugged, or its callback no longer
// coming) the supervisor closes it and runs the mix as a paced null output, so that
// positions keep advancing and nothing waits; every 2 s it tries to open the device
// again and moves the mix back when it opens.
//
// Only one thread renders at a time: a device being reopened fills silence until the
// null output's thread has stopped, and a lost device is closed (its audio thread
// done) before the null output starts.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <thread>

#include "audioengine/core/DeviceBackend.h"
#include "audioengine/core/Engine.h"
#include "audioengine/core/Output.h"
#include "audioengine/core/PacedOutput.h"
#include "audioengine/core/ThreadPriority.h"
#include "audioengine/core/Trace.h"
#include "plugin/engine/Bass.h"

namespace ae {
namespace {

constexpr int64_t kWatchNs = kSecondNs / 10;  // how often the supervisor looks
constexpr int64_t kReopenNs = 2 * kSecondNs;  // how often a lost device is retried

class DeviceOutput : public Output, public DeviceSink {
  public:
    DeviceOutput(Engine& engine, const DeviceRequest& request)
        : engine_(engine), request_(request) {}
    ~DeviceOutput() override { Stop(); }

    bool Start(int* rate, std::string* why) {
        device_ = OpenDevice(rate, true, why);
        if (!device_) return false;
        rate_ = *rate;
        bufferFrames_ = std::max(device_->BufferFrames(), PacedBufferFrames(rate_));
        lastFillNs_.store(MonotonicNs(), std::memory_order_relaxed);
        live_.store(true, std::memory_order_release);
        engine_.SetOutputName("device");
        engine_.SetOutputReason("device: " + *why);
        supervisorDone_ = supervisorEnded_.get_future();
        supervisor_ = std::thread([this] {
            Supervise();
            supervisorEnded_.set_value();
        });
        return true;
    }

    bool Stop() override {
        stop_.Raise();
        engine_.WakeSound();
        if (supervisor_.joinable()) {
            // A supervisor stuck opening or closing a device of a hung server is left
            // behind, with this object, rather than hang the host's exit.
            if (supervisorDone_.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
                supervisor_.detach();
                return false;
            }
            supervisor_.join();
        }
        if (device_) device_->Close();
        StopPaced();
        return true;
    }

    // The largest of the first device's buffer and the null output's: the engine sizes
    // each stream's history by it once.
    int BufferFrames() const override { return bufferFrames_; }

    void Fill(float* out, int frames, int64_t heardNs) override {
        lastFillNs_.store(MonotonicNs(), std::memory_order_relaxed);
        if (live_.load(std::memory_order_acquire)) {
            engine_.Render(out, frames, heardNs);
        } else {
            std::fill(out, out + 2 * static_cast<size_t>(frames), 0.0f);
        }
    }

  private:
    // The drivers to try, in order: the one asked for, or pulse then SDL.
    std::unique_ptr<DeviceBackend> OpenDevice(int* rate, bool firstOpen, std::string* why) {
        const bool sdl = request_.driver != "pulse";
        std::string failures;
#ifdef _WIN32
        static_cast<void>(firstOpen);  // SDL2's drivers alone there, none adopts a rate
        if (!sdl) failures = "pulse: not on Windows";
#else
        const bool pulse = request_.driver != "sdl";
        if (pulse) {
            std::unique_ptr<DeviceBackend> device = MakePulseDevice(request_);
            std::string text;
            // The server's rate is adopted at the first open only: the streams are
            // set up for the rate the mix runs at.
            if (device->Open(*this, rate, firstOpen, &text)) {
                *why = text;
                return device;
            }
            failures = "pulse: " + text;
        }
#endif
        if (sdl) {
            std::unique_ptr<DeviceBackend> device = MakeSdlDevice(request_);
            std::string text;
            if (device->Open(*this, rate, false, &text)) {
                *why = text;
                return device;
            }
            failures += (failures.empty() ? "" : "; ") + text;
        }
        *why = "no sound device opened (" + failures + ")";
        return nullptr;
    }

    void Supervise() {
        NameThisThread("ae-device");
        uint64_t underruns = 0;
        std::string lastFailure;
        for (;;) {
            if (device_) {
                if (stop_.WaitUntil(MonotonicNs() + kWatchNs)) return;
                std::string lost = device_->Lost();
                const int64_t silentNs =
                    MonotonicNs() - lastFillNs_.load(std::memory_order_relaxed);
                if (lost.empty() && silentNs > device_->SilenceLimitNs()) {
                    lost = "its audio callback stopped coming";
                }
                if (device_->Underruns() != underruns) {
                    underruns = device_->Underruns();
                    Trace("underrun: the device played silence (%llu times since it opened)",
                          static_cast<unsigned long long>(underruns));
                }
                if (lost.empty()) continue;
                Trace("device lost: %s; the mix goes on at the null output", lost.c_str());
                // The device's audio thread ends here, before the null output's starts.
                live_.store(false, std::memory_order_release);
                device_->Close();
                device_.reset();
                engine_.SetOutputName("null");
                engine_.SetOutputReason("null: the sound device was lost (" + lost +
                                        "); reopening it every 2 s");
                StartPaced();
                underruns = 0;
                lastFailure.clear();
            } else {
                if (stop_.WaitUntil(MonotonicNs() + kReopenNs)) return;
                int rate = rate_;
                std::string why;
                std::unique_ptr<DeviceBackend> device = OpenDevice(&rate, false, &why);
                if (!device) {
                    if (why != lastFailure) Trace("device still lost: %s", why.c_str());
                    lastFailure = why;
                    continue;
                }
                // The new device fills silence until the null output has stopped.
                StopPaced();
                lastFillNs_.store(MonotonicNs(), std::memory_order_relaxed);
                device_ = std::move(device);
                live_.store(true, std::memory_order_release);
                engine_.SetOutputName("device");
                engine_.SetOutputReason("device: " + why);
                Trace("device back: %s", why.c_str());
            }
        }
    }

    void StartPaced() {
        pacedStop_ = std::make_unique<StopSignal>();
        paced_ = std::thread([this] { RunPaced(engine_, rate_, *pacedStop_, nullptr); });
    }

    void StopPaced() {
        if (!paced_.joinable()) return;
        pacedStop_->Raise();
        engine_.WakeSound();
        paced_.join();
    }

    Engine& engine_;
    DeviceRequest request_;
    int rate_ = 44100;
    int bufferFrames_ = 0;
    std::unique_ptr<DeviceBackend> device_;  // the supervisor's, once started
    std::atomic<bool> live_{false};          // the device's blocks are the mix
    std::atomic<int64_t> lastFillNs_{0};
    StopSignal stop_;
    std::thread supervisor_;
    std::promise<void> supervisorEnded_;
    std::future<void> supervisorDone_;
    std::unique_ptr<StopSignal> pacedStop_;
    std::thread paced_;  // the null output while the device is lost
};

}  // namespace

Result<std::unique_ptr<Output>> StartDeviceOutput(Engine& engine, const DeviceRequest& request,
                                                  int* rate, std::string* why) {
    auto output = std::make_unique<DeviceOutput>(engine, request);
    if (!output->Start(rate, why)) return Error{BASS_ERROR_DRIVER};
    return std::unique_ptr<Output>(std::move(output));
}

}  // namespace ae
