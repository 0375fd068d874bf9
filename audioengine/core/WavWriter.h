// SPDX-License-Identifier: MIT
// A WAV file of 32-bit float samples, written as it grows, in the form every common
// reader takes without complaint: an 18-byte `fmt ` chunk (format 3, IEEE float,
// cbSize 0) and the `fact` chunk that a non-PCM WAV must carry.
//
// A recording can outgrow the 4 GiB that the 32-bit sizes of RIFF can state, so the
// header reserves room for the 64-bit sizes of RF64 in a `JUNK` chunk. Once the data
// passes the 32-bit limit, the header becomes RF64: `RIFF` turns into `RF64`, `JUNK`
// into `ds64` (which then holds the sizes), and the 32-bit fields read 0xFFFFFFFF.
// Until then the file is a plain WAV, and the `JUNK` chunk is skipped by readers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace ae {

// The header in front of the samples: RIFF/RF64, JUNK/ds64, fmt, fact, data.
constexpr size_t kWavHeaderBytes = 94;

// The header of a float WAV of `channels` at `rate` Hz whose data chunk holds
// `dataBytes`: RIFF while its sizes fit in 32 bits, RF64 past that.
std::array<uint8_t, kWavHeaderBytes> WavFloatHeader(int rate, int channels, uint64_t dataBytes);

// Writes interleaved float frames to a WAV file and keeps its header true to what has
// been written. One thread at a time; it blocks on the file, so not for audio threads.
class WavWriter {
  public:
    WavWriter() = default;
    WavWriter(WavWriter&& other) noexcept;
    WavWriter& operator=(WavWriter&&) = delete;
    WavWriter(const WavWriter&) = delete;
    ~WavWriter() { Close(); }

    // Creates (or empties) the file at `path` and writes the header of an empty
    // recording. False when the file cannot be created or written.
    bool Open(const std::string& path, int rate, int channels);
    // Appends `frames` interleaved frames. After a write fails (a full disk), nothing
    // more is appended and the header keeps stating the whole frames written before.
    bool Append(const float* samples, size_t frames);
    // Rewrites the header for the data appended so far, so that the file can be read
    // while it grows and stays readable if the process dies.
    void UpdateHeader();
    // Finalises the header and closes the file. Idempotent.
    void Close();

  private:
    std::FILE* file_ = nullptr;
    int rate_ = 0;
    int channels_ = 0;
    uint64_t dataBytes_ = 0;
    uint64_t headerBytes_ = 0;  // data bytes the header on disk states
    bool failed_ = false;
};

}  // namespace ae
