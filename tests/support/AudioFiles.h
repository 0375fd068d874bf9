// SPDX-License-Identifier: MIT
// Test signals generated at test time, written with libsndfile in every format the
// engine decodes, so that tests keep no stored audio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testaudio {

enum class Format {
    Wav,
    WavFloat,
    Aiff,
    Flac,
    OggVorbis,
    Opus,
    Mp3,
    // The other containers libsndfile reads, 16-bit unless said otherwise.
    Aifc,
    Au,
    Caf,
    CafAlac,
    Rf64,
    W64,
    Ircam,
    Voc,
    Svx8,  // Amiga 8SVX: 8 bits, mono
    Nist,
    Avr,
    Wve,  // Psion A-law: 8000 Hz mono
    Paf,
    Htk,  // mono
    Mat4,
    Mat5,
    Pvf,
    Xi,  // 16-bit delta PCM, mono
    Mpc2k
};

// The seven main formats, for tests that run over each one.
const std::vector<Format>& AllFormats();
// The other containers read through libsndfile, for the decoder's format tests.
const std::vector<Format>& SndfileContainerFormats();
const char* Name(Format format);       // "wav", "flac", ...: usable in test names
const char* Extension(Format format);  // ".wav", ".flac", ...
bool IsLossy(Format format);
// The container/codec code the engine must report for a file written in `format`.
uint32_t ExpectedCtype(Format format);
// The rate test files of `format` are written at (Hz): the rate the format requires,
// or one its header stores exactly; and the most channels it holds (1 or 2).
int NativeRate(Format format);
int MaxChannels(Format format);

// Interleaved frames of a sine of `amplitude` (full scale 1.0) on every channel.
std::vector<float> Sine(int rate, int channels, int64_t frames, double hz, double amplitude);

// Writes interleaved float frames; false (and nothing left behind) on failure.
// MP3 is written at 128 kbps CBR; Opus requires 48000 Hz. AIFF-C, AU, IRCAM, VOC,
// 8SVX, NIST, AVR and WVE are converted from a 16-bit WAV by sox, CAF and RF64 by
// ffmpeg (writers other than the libsndfile that reads them); the rest are written
// by libsndfile.
bool Write(const std::string& path, Format format, int rate, int channels,
           const std::vector<float>& frames);

// A fresh directory under $TMPDIR (or /tmp), removed with its files by the destructor.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Runs a program (found on PATH) with its input and output on /dev/null; its exit
// status, or -1 when it cannot be started or does not exit normally.
int RunQuietly(const std::vector<std::string>& argv);

}  // namespace testaudio
