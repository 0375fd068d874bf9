// SPDX-License-Identifier: MIT
// Signals and measurements shared by the DSP tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "audioengine/dsp/PeakingEq.h"

namespace dsptest {

constexpr double kPi = 3.14159265358979323846;

// Deterministic white noise in [-amplitude, amplitude).
inline std::vector<float> Noise(size_t samples, float amplitude, uint32_t seed) {
    std::vector<float> out(samples);
    uint32_t state = seed * 2654435761u + 1u;
    for (float& s : out) {
        state = state * 1664525u + 1013904223u;
        s = amplitude * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
    }
    return out;
}

// Interleaved frames: on each channel a sum of sines (different phases per channel)
// plus a little noise, peaking at about `peak`.
inline std::vector<float> RichSignal(int rate, int channels, size_t frames, float peak) {
    const double tones[] = {45, 97, 180, 333, 620, 1100, 2300, 4100, 7300, 11000, 15000, 19000};
    const size_t toneCount = sizeof tones / sizeof tones[0];
    const double perTone = 0.8 * peak / toneCount;
    std::vector<float> noise = Noise(frames * channels, 0.2f * peak, 7);
    std::vector<float> out(frames * channels);
    for (size_t f = 0; f < frames; ++f) {
        for (int ch = 0; ch < channels; ++ch) {
            double v = 0.0;
            for (size_t t = 0; t < toneCount; ++t) {
                if (tones[t] >= rate / 2.0) continue;
                v += perTone * std::sin(2.0 * kPi * tones[t] * f / rate + 0.7 * t + 1.3 * ch);
            }
            out[f * channels + ch] = static_cast<float>(v) + noise[f * channels + ch];
        }
    }
    return out;
}

inline std::vector<float> Sine(int rate, size_t frames, double hz, double amplitude) {
    std::vector<float> out(frames);
    for (size_t f = 0; f < frames; ++f) {
        out[f] = static_cast<float>(amplitude * std::sin(2.0 * kPi * hz * f / rate));
    }
    return out;
}

inline double Rms(const std::vector<float>& v, size_t from) {
    double sum = 0.0;
    for (size_t i = from; i < v.size(); ++i) sum += static_cast<double>(v[i]) * v[i];
    return std::sqrt(sum / static_cast<double>(v.size() - from));
}

// The gain in dB of a mono sine at `hz` through a fresh band, measured after the
// filter has settled.
inline double MeasuredGainDb(const ae::dsp::PeakingParams& params, int rate, double hz) {
    const size_t frames = static_cast<size_t>(rate);  // one second
    std::vector<float> in = Sine(rate, frames, hz, 0.25);
    std::vector<float> out = in;
    ae::dsp::PeakingEq eq(rate, 1, params);
    eq.Process(out.data(), out.size());
    const size_t settled = frames / 2;
    return 20.0 * std::log10(Rms(out, settled) / Rms(in, settled));
}

// The cookbook peakingEQ's magnitude in dB at `hz`, from the formulas in double.
inline double AnalyticGainDb(const ae::dsp::PeakingParams& p, double rate, double hz) {
    const double A = std::pow(10.0, p.gainDb / 40.0);
    const double w0 = 2.0 * kPi * p.centerHz / rate;
    const double alpha =
        std::sin(w0) *
        std::sinh(std::log(2.0) / 2.0 * (p.bandwidthSemitones / 12.0) * w0 / std::sin(w0));
    const double b0 = 1 + alpha * A, b1 = -2 * std::cos(w0), b2 = 1 - alpha * A;
    const double a0 = 1 + alpha / A, a1 = -2 * std::cos(w0), a2 = 1 - alpha / A;
    const double w = 2.0 * kPi * hz / rate;
    auto magnitude = [w](double c0, double c1, double c2) {
        const double re = c0 + c1 * std::cos(w) + c2 * std::cos(2 * w);
        const double im = -c1 * std::sin(w) - c2 * std::sin(2 * w);
        return std::hypot(re, im);
    };
    return 20.0 * std::log10(magnitude(b0, b1, b2) / magnitude(a0, a1, a2));
}

}  // namespace dsptest
