// SPDX-License-Identifier: MIT
#include "audioengine/dsp/Spectrum512.h"

#include <kiss_fftr.h>

#include <cmath>
#include <new>

namespace ae::dsp {

// The spectrum is computed for a host's once-a-frame query, with caches cold: its
// functions are gathered in the compiler's section for hot code (see AE_HOT).
#if defined(__GNUC__)
#define SPECTRUM_HOT __attribute__((hot))
#else
#define SPECTRUM_HOT
#endif

struct Spectrum512::Impl {
    void Transform(float* out);

    kiss_fftr_cfg cfg = nullptr;
    float window[kFrames];
    float time[kFrames];
    kiss_fft_cpx freq[kFrames / 2 + 1];
};

Spectrum512::Spectrum512() : impl_(new Impl) {
    impl_->cfg = kiss_fftr_alloc(kFrames, 0, nullptr, nullptr);
    if (impl_->cfg == nullptr) throw std::bad_alloc();
    // Periodic Hann window: its sum is exactly kFrames / 2, and a sine centred on a
    // bin spreads over that bin and its two neighbours only.
    constexpr double kPi = 3.14159265358979323846;
    for (int n = 0; n < kFrames; ++n) {
        impl_->window[n] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * n / kFrames));
    }
}

Spectrum512::~Spectrum512() {
    if (impl_) kiss_fftr_free(impl_->cfg);
}

void Spectrum512::ComputeMono(const float* mono, float* out) {
    for (int n = 0; n < kFrames; ++n) impl_->time[n] = mono[n] * impl_->window[n];
    impl_->Transform(out);
}

SPECTRUM_HOT float* Spectrum512::input() { return impl_->time; }

SPECTRUM_HOT void Spectrum512::ComputeInput(float* out) {
    for (int n = 0; n < kFrames; ++n) impl_->time[n] *= impl_->window[n];
    impl_->Transform(out);
}

void Spectrum512::Compute(const float* interleaved, int channels, float* out) {
    Compute(interleaved, kFrames, nullptr, channels, out);
}

void Spectrum512::Compute(const float* first, size_t firstFrames, const float* second, int channels,
                          float* out) {
    if (channels < 1) channels = 1;
    const size_t c = static_cast<size_t>(channels);
    const float scale = 1.0f / static_cast<float>(channels);
    const float* src = first;
    for (size_t n = 0; n < static_cast<size_t>(kFrames); ++n) {
        if (n == firstFrames) src = second;
        const float* frame = src + (n < firstFrames ? n : n - firstFrames) * c;
        float sum = 0.0f;
        for (size_t ch = 0; ch < c; ++ch) sum += frame[ch];
        impl_->time[n] = sum * scale * impl_->window[n];
    }
    impl_->Transform(out);
}

SPECTRUM_HOT void Spectrum512::Impl::Transform(float* out) {
    kiss_fftr(cfg, time, freq);
    // A sine of amplitude a centred on bin k gives |X[k]| = a x sum(window) / 2, and
    // a constant c gives |X[0]| = c x sum(window); sum(window) = kFrames / 2.
    constexpr float kSineScale = 2.0f / (kFrames / 2);
    constexpr float kDcScale = 1.0f / (kFrames / 2);
    // One scale for every bin, bin 0 corrected after: a loop without a branch, which
    // the compiler vectorises (this file is built without errno for sqrt).
    for (int k = 0; k < kBins; ++k) {
        const float re = freq[k].r;
        const float im = freq[k].i;
        out[k] = std::sqrt(re * re + im * im) * kSineScale;
    }
    out[0] = std::sqrt(freq[0].r * freq[0].r + freq[0].i * freq[0].i) * kDcScale;
}

}  // namespace ae::dsp
