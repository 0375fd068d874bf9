// SPDX-License-Identifier: MIT
// Helpers shared by the decoder tests: a signal that shows any misplaced sample,
// whole-file decoding and small file utilities.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audioengine/decode/Decoder.h"
#include "tests/support/AudioFiles.h"

namespace decodetest {

// Two unrelated tones per channel with a phase that differs between channels, so
// that a decode shifted by any number of frames or with swapped channels differs.
std::vector<float> TestSignal(int rate, int channels, int64_t frames);

// Writes TestSignal to `path` at the format's native rate (testaudio::NativeRate).
int RateFor(testaudio::Format format);
std::vector<float> WriteTestFile(const std::string& path, testaudio::Format format, int channels,
                                 int64_t frames);

// Decodes from the current position to the end in reads of `chunk` frames.
std::vector<float> DecodeRest(ae::Decoder& decoder, int64_t chunk = 777);

// The lag (in frames, within +-max_lag) at which `decoded` best matches `source`
// on channel 0, measured over the middle of the signal.
int BestLag(const std::vector<float>& source, const std::vector<float>& decoded, int channels,
            int max_lag);

std::vector<unsigned char> ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes);

// Captures what is written to the process's stdout and stderr (file descriptors 1
// and 2, so C libraries' output too) while it exists.
class CapturedOutput {
  public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;
    // Stops capturing and returns everything written.
    std::string Finish();

  private:
    int saved_[2] = {-1, -1};
    std::string path_;
};

// Runs a shell command quietly; true when it exits with 0.
bool RunQuietly(const std::string& command);

}  // namespace decodetest
