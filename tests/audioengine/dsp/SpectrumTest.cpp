// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "audioengine/dsp/Spectrum512.h"
#include "tests/audioengine/dsp/DspTestSignals.h"

namespace {

using ae::dsp::Spectrum512;
using dsptest::kPi;

constexpr int kN = Spectrum512::kFrames;

// The magnitudes by a direct DFT in double of the channel average, Hann-windowed,
// with the same amplitude scaling.
std::vector<double> NaiveSpectrum(const std::vector<float>& interleaved, int channels) {
    std::vector<double> windowed(kN);
    double windowSum = 0.0;
    for (int n = 0; n < kN; ++n) {
        double mono = 0.0;
        for (int ch = 0; ch < channels; ++ch) mono += interleaved[n * channels + ch];
        const double w = 0.5 * (1.0 - std::cos(2.0 * kPi * n / kN));
        windowSum += w;
        windowed[n] = w * mono / channels;
    }
    std::vector<double> out(Spectrum512::kBins);
    for (int k = 0; k < Spectrum512::kBins; ++k) {
        double re = 0.0, im = 0.0;
        for (int n = 0; n < kN; ++n) {
            re += windowed[n] * std::cos(2.0 * kPi * k * n / kN);
            im -= windowed[n] * std::sin(2.0 * kPi * k * n / kN);
        }
        out[k] = std::hypot(re, im) * (k == 0 ? 1.0 : 2.0) / windowSum;
    }
    return out;
}

TEST(SpectrumTest, MatchesANaiveDft) {
    Spectrum512 spectrum;
    for (int channels : {1, 2, 5}) {
        std::vector<float> in = dsptest::Noise(kN * channels, 0.4f, channels);
        for (int n = 0; n < kN; ++n) {  // tones on and between bins, and an offset
            for (int ch = 0; ch < channels; ++ch) {
                in[n * channels + ch] +=
                    static_cast<float>(0.3 * std::sin(2 * kPi * 20 * n / kN) +
                                       0.2 * std::sin(2 * kPi * 77.37 * n / kN + ch) + 0.05);
            }
        }
        float out[Spectrum512::kBins];
        spectrum.Compute(in.data(), channels, out);
        const std::vector<double> ref = NaiveSpectrum(in, channels);
        double signal = 0.0, error = 0.0;
        for (int k = 0; k < Spectrum512::kBins; ++k) {
            signal += ref[k] * ref[k];
            error += (out[k] - ref[k]) * (out[k] - ref[k]);
        }
        const double snrDb = 10.0 * std::log10(signal / error);
        std::printf("[ fft      ] %d channels: SNR against the naive DFT %.1f dB\n", channels,
                    snrDb);
        EXPECT_GE(snrDb, 90.0) << channels << " channels";
    }
}

TEST(SpectrumTest, FullScaleSineOnABinReadsOne) {
    Spectrum512 spectrum;
    for (int bin : {9, 100, 255}) {
        for (int rate : {44100, 8000, 96000}) {
            // Bin k is at k x rate / 512, whatever the rate.
            const double hz = bin * static_cast<double>(rate) / kN;
            const std::vector<float> sine = dsptest::Sine(rate, kN, hz, 1.0);
            float out[Spectrum512::kBins];
            spectrum.ComputeMono(sine.data(), out);
            EXPECT_NEAR(out[bin], 1.0, 0.01) << "bin " << bin << " at " << rate;
            EXPECT_NEAR(out[bin - 1], 0.5, 0.01);  // the Hann window's spread
            for (int k = 0; k < Spectrum512::kBins; ++k) {
                if (std::abs(k - bin) > 1) {
                    EXPECT_LT(out[k], 1e-3) << "bin " << k;
                }
            }
        }
    }
    // A constant level reads as itself in bin 0.
    std::vector<float> dc(kN, -0.5f);
    float out[Spectrum512::kBins];
    spectrum.ComputeMono(dc.data(), out);
    EXPECT_NEAR(out[0], 0.5, 1e-4);
}

TEST(SpectrumTest, ChannelsAreAveragedAndRingSegmentsJoin) {
    Spectrum512 spectrum;
    const std::vector<float> sine = dsptest::Sine(44100, kN, 9 * 44100.0 / kN, 1.0);
    std::vector<float> stereo(2 * kN, 0.0f);
    for (int n = 0; n < kN; ++n) stereo[2 * n] = sine[n];  // left only
    float out[Spectrum512::kBins];
    spectrum.Compute(stereo.data(), 2, out);
    EXPECT_NEAR(out[9], 0.5, 0.005);
    for (int n = 0; n < kN; ++n) stereo[2 * n + 1] = -sine[n];  // cancels the left
    spectrum.Compute(stereo.data(), 2, out);
    EXPECT_LT(out[9], 1e-6);

    // Samples written into the transform's own input give the same spectrum.
    const std::vector<float> mono = dsptest::Noise(kN, 0.6f, 1);
    float fromMono[Spectrum512::kBins], fromInput[Spectrum512::kBins];
    spectrum.ComputeMono(mono.data(), fromMono);
    std::copy(mono.begin(), mono.end(), spectrum.input());
    spectrum.ComputeInput(fromInput);
    for (int k = 0; k < Spectrum512::kBins; ++k) {
        ASSERT_EQ(fromInput[k], fromMono[k]) << "bin " << k;
    }

    // A window that wraps around a ring buffer reads as the contiguous frames.
    const std::vector<float> noise = dsptest::Noise(3 * kN, 0.7f, 3);
    float whole[Spectrum512::kBins], split[Spectrum512::kBins];
    spectrum.Compute(noise.data(), 3, whole);
    for (size_t first : {size_t{0}, size_t{1}, size_t{200}, size_t{511}, size_t{512}}) {
        spectrum.Compute(noise.data(), first, noise.data() + first * 3, 3, split);
        for (int k = 0; k < Spectrum512::kBins; ++k) {
            ASSERT_EQ(split[k], whole[k]) << "split at " << first << ", bin " << k;
        }
    }
}

}  // namespace
