// SPDX-License-Identifier: MIT
// The 512-point magnitude spectrum: 512 frames, channels averaged, Hann window, real
// FFT (KISS FFT), 256 magnitudes for bins 0..255 (bin k at k x rate / 512 Hz).
// Scaled as amplitudes: a full-scale sine centred on a bin reads 1.0 in that bin, and
// a constant level c reads |c| in bin 0.
//
// The transform's tables and buffers are allocated once, by the constructor; a
// call allocates nothing. One object serves one thread at a time.
#pragma once

#include <cstddef>
#include <memory>

namespace ae::dsp {

class Spectrum512 {
  public:
    static constexpr int kFrames = 512;
    static constexpr int kBins = 256;

    // Throws std::bad_alloc when the transform's tables cannot be allocated.
    Spectrum512();
    ~Spectrum512();
    Spectrum512(const Spectrum512&) = delete;
    Spectrum512& operator=(const Spectrum512&) = delete;

    // The spectrum of kFrames mono samples into out[kBins].
    void ComputeMono(const float* mono, float* out);

    // The transform's own buffer of kFrames mono samples. A caller that gathers its
    // samples from elsewhere writes them here and calls ComputeInput, so they are
    // written once, where the transform reads them.
    float* input();
    // The spectrum of the kFrames samples in input() into out[kBins]; input() is
    // overwritten.
    void ComputeInput(float* out);

    // The spectrum of kFrames interleaved frames of `channels` (1..any), averaged to
    // mono, into out[kBins].
    void Compute(const float* interleaved, int channels, float* out);

    // The same, for frames that wrap around a ring buffer: `firstFrames` frames at
    // `first`, then kFrames - firstFrames frames at `second` (unused when
    // firstFrames >= kFrames).
    void Compute(const float* first, size_t firstFrames, const float* second, int channels,
                 float* out);

  private:
    struct Impl;  // the transform's state and buffers
    std::unique_ptr<Impl> impl_;
};

}  // namespace ae::dsp
