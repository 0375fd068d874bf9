// SPDX-License-Identifier: MIT
// Helpers shared by the engine's black-box tests: starting the engine on a chosen
// output, rendering the manual output, measuring signals and watching the process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"
#include "tests/support/AudioFiles.h"

namespace enginetest {

constexpr int kOutputRate = 44100;
// Output frames of the engine's transport fades (5 ms): a pause, stop or seek while
// playing fades the old audio out over them, and a resume or seek fades in over them.
constexpr int kFadeFrames = kOutputRate / 200;

// Selects the output through AUDIOENGINE_OUTPUT and starts the engine at 44100 Hz.
// False when BASS_Init fails.
bool StartEngine(const char* output);

// Renders `frames` stereo frames of the manual output; empty when AE_Render fails.
// Renders in blocks of `block` frames, as an audio callback would ask for them.
std::vector<float> Render(int64_t frames, int64_t block = 512);

// One channel (0 left, 1 right) of interleaved stereo frames.
std::vector<float> Side(const std::vector<float>& stereo, int side);

// Byte positions of the engine in frames of the stream (bytes / (channels x 2)).
int64_t Channels(DWORD handle);
int64_t PositionFrames(DWORD handle);
int64_t LengthFrames(DWORD handle);
bool SeekFrames(DWORD handle, int64_t frame);

// Amplitude of the component at `hz` in a mono signal sampled at `rate` (a single-bin
// DFT with a Hann window, scaled so that a sine of amplitude A reads A).
double ToneAmplitude(const std::vector<float>& mono, int rate, double hz);
double Rms(const std::vector<float>& mono, size_t begin = 0, size_t end = SIZE_MAX);
double Peak(const std::vector<float>& mono, size_t begin = 0, size_t end = SIZE_MAX);
// Frequency of a clean tone from its positive-going zero crossings (interpolated).
double ZeroCrossingFrequency(const std::vector<float>& mono, int rate);

// Reads a file back with libsndfile as interleaved float frames.
std::vector<float> ReadWithSndfile(const std::string& path, int* channels = nullptr,
                                   int* rate = nullptr);

// Writes a generated signal, failing the calling test when it cannot.
std::string WriteFile(const testaudio::TempDir& dir, const std::string& name,
                      testaudio::Format format, int rate, int channels,
                      const std::vector<float>& frames);

// A stream that is freed when it goes out of scope.
class Stream {
  public:
    explicit Stream(const std::string& path);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;
    HSTREAM handle() const { return handle_; }
    int error() const { return error_; }  // the error code of the open, 0 on success

  private:
    HSTREAM handle_ = 0;
    int error_ = 0;
};

// Runs a shell command line; its exit status (-1 when it could not run).
int Shell(const std::string& command);

// Process facts, for "nothing left behind" checks.
int ThreadCount();
long ResidentKiB();

// A child process run to completion with its stdout and stderr captured.
struct ChildResult {
    bool exited = false;   // ended through exit, not a signal
    int exit_code = -1;    // exit status when exited
    int signal = 0;        // terminating signal otherwise
    std::string out, err;  // everything it wrote on stdout and stderr
};
ChildResult RunChild(const std::vector<std::string>& argv,
                     const std::vector<std::string>& extra_env = {}, int timeout_seconds = 60);

}  // namespace enginetest
