// SPDX-License-Identifier: MIT
// A sound device as the device output drives it: the server's pulse protocol
// (PulseDevice.cpp) or SDL2's audio drivers (SdlDevice.cpp). The device output
// (DeviceOutput.cpp) opens one, watches it, and carries on as a null output when it
// is lost.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace ae {

struct DeviceRequest;

// What a device's audio thread hands its blocks to. The device output decides, block
// by block, whether they are the mix (the device is the output in use) or silence
// (the device is being opened while the null output still runs the mix).
class DeviceSink {
  public:
    virtual ~DeviceSink() = default;
    // Fills `out` (stereo float, `frames` frames) with the block whose first frame is
    // heard at `heardNs` (monotonic). The device's audio thread; never blocks.
    virtual void Fill(float* out, int frames, int64_t heardNs) = 0;
};

class DeviceBackend {
  public:
    virtual ~DeviceBackend() = default;
    // Opens the device at `*rate` Hz (a backend that follows its server's rate
    // changes `*rate` when `adoptServerRate`) and starts calling `sink`. On failure
    // false, with why in `*why`; on success `*why` says what was opened.
    virtual bool Open(DeviceSink& sink, int* rate, bool adoptServerRate, std::string* why) = 0;
    // Stops the device; when it returns, `sink` is no longer called. Idempotent.
    virtual void Close() = 0;
    // Why the device can no longer play ("the sound server closed the connection"),
    // or empty while it can. The device output's supervisor, every 100 ms.
    virtual std::string Lost() = 0;
    // Output frames between a block being rendered and its being heard, at most.
    virtual int BufferFrames() const = 0;
    // No block asked for in this long while open: the device is gone (SDL's pipewire
    // driver, for one, posts no event when its server dies; its callback just stops).
    virtual int64_t SilenceLimitNs() const = 0;
    // Blocks the server played without data since the device opened (0 where the
    // driver cannot say).
    virtual uint64_t Underruns() const { return 0; }
};

// "pulse": a client of a server of the pulse protocol (PulseAudio, pipewire-pulse),
// with the server's latency in the heard time. "sdl": SDL2 (its pulseaudio,
// pipewire or alsa driver). Each is only constructed, not opened.
std::unique_ptr<DeviceBackend> MakePulseDevice(const DeviceRequest& request);
std::unique_ptr<DeviceBackend> MakeSdlDevice(const DeviceRequest& request);

}  // namespace ae
