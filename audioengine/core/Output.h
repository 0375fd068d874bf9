// SPDX-License-Identifier: MIT
// The outputs that drive the engine's mix: a sound device through SDL2, a null
// output paced in real time by a thread of ours, and the same paced output writing
// the mix to a WAV file. (The manual output needs no object: AE_Render drives it.)
#pragma once

#include <memory>
#include <string>

#include "audioengine/core/Result.h"

namespace ae {

class Engine;

// Output rates the mixer accepts, in Hz.
constexpr int kMinRate = 8000;
constexpr int kMaxRate = 384000;

class Output {
  public:
    virtual ~Output() = default;
    // Stops the output's threads and closes its device or file. Idempotent; called
    // at process exit, from a thread that is not the output's own. False when a
    // thread could not be stopped within a second (stuck in a hung sound server) and
    // was left running: the output must then never be destroyed.
    virtual bool Stop() = 0;
    // Output frames between a block being rendered and its being heard: the
    // output's buffer.
    virtual int BufferFrames() const = 0;
};

// Each starts an output that renders `rate` Hz stereo float and calls Engine::Render
// from its own thread, or gives the engine error code that says why it cannot.
//
// The null and WAV outputs are paced by the monotonic clock like a device (see
// PacedOutput.h): a start, pause, resume or seek reaches the audio 10 to 15 ms after
// the call. The WAV output writes the rendered blocks from a thread of its own.
Result<std::unique_ptr<Output>> StartNullOutput(Engine& engine, int rate);
Result<std::unique_ptr<Output>> StartWavOutput(Engine& engine, int rate, const std::string& path);
// Which sound device to open, and through what.
struct DeviceRequest {
    // A device by name (BASS_DEVICEINFO's driver field), or empty for the default
    // device, which follows the system's default when that changes.
    std::string name;
    // "pulse" (the sound server's own protocol, as PulseAudio and PipeWire serve it),
    // "sdl" (SDL2's audio drivers), or empty: pulse where a server answers, else SDL.
    std::string driver;
};

// A sound device. When it fails or disappears while running, the output carries on
// as a null output (and the engine's output name and reason say so) and reopens the
// device when it comes back. `rate` holds the rate asked for and receives the rate
// the mix runs at: the server's own on the pulse driver, so that a 48 kHz server does
// not resample our mix a second time. `why` receives what was opened ("the default
// device of SDL's alsa audio driver") or, on failure, why nothing was
// (BASS_ERROR_DRIVER).
Result<std::unique_ptr<Output>> StartDeviceOutput(Engine& engine, const DeviceRequest& request,
                                                  int* rate, std::string* why);

}  // namespace ae
