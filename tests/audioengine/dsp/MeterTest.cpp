// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "audioengine/dsp/PeakLevel.h"
#include "tests/audioengine/dsp/DspTestSignals.h"

namespace {

using ae::dsp::LevelFromAmplitude;
using ae::dsp::PeakLevel;
using ae::dsp::PeakMeter;

uint32_t Left(uint32_t level) { return level & 0xffffu; }
uint32_t Right(uint32_t level) { return level >> 16; }

// Interleaves one sine per channel, channel c at amplitudes[c].
std::vector<float> Sines(const std::vector<double>& amplitudes, size_t frames) {
    const size_t channels = amplitudes.size();
    std::vector<float> out(frames * channels);
    for (size_t ch = 0; ch < channels; ++ch) {
        // 20 ms at 44.1 kHz of a tone that does not land on its peak exactly.
        const std::vector<float> s = dsptest::Sine(44100, frames, 441.7 + 100 * ch, amplitudes[ch]);
        for (size_t f = 0; f < frames; ++f) out[f * channels + ch] = s[f];
    }
    return out;
}

TEST(MeterTest, HalfScaleSineReadsHalfOfFullScale) {
    const uint32_t level = PeakLevel(Sines({0.5}, 882).data(), 882, 1);
    EXPECT_NEAR(Left(level), 16384.0, 164.0);
    EXPECT_EQ(Right(level), Left(level)) << "mono reads on both sides";
}

TEST(MeterTest, SidesFollowTheChannels) {
    uint32_t level = PeakLevel(Sines({0.5, 0.25}, 882).data(), 882, 2);
    EXPECT_NEAR(Left(level), 16384.0, 164.0);
    EXPECT_NEAR(Right(level), 8192.0, 82.0);

    // Even channels on the left, odd on the right.
    level = PeakLevel(Sines({0.1, 0.6, 0.3, 0.2, 0.05}, 882).data(), 882, 5);
    EXPECT_NEAR(Left(level), 0.3 * 32768, 0.01 * 0.3 * 32768);
    EXPECT_NEAR(Right(level), 0.6 * 32768, 0.01 * 0.6 * 32768);
}

TEST(MeterTest, ClampsIgnoresNaNAndAccumulates) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float loud[] = {0.1f, 0.2f, -1.7f, nan};  // stereo: left -1.7, right 0.2
    uint32_t level = PeakLevel(loud, 2, 2);
    EXPECT_EQ(Left(level), 32768u);
    EXPECT_NEAR(Right(level), 0.2 * 32768, 1.0);
    EXPECT_EQ(PeakLevel(loud, 0, 2), 0u);
    EXPECT_EQ(PeakLevel(nullptr, 10, 2), 0u);
    EXPECT_EQ(LevelFromAmplitude(std::numeric_limits<float>::infinity()), 32768u);
    EXPECT_EQ(LevelFromAmplitude(nan), 0u);
    EXPECT_EQ(LevelFromAmplitude(0.5f), 16384u);
    // Every amplitude rounds as lround(amplitude x 32768), clamped: a sweep over the
    // bit patterns of the floats from 0 to past 1 (every 251st), their negatives, and
    // the values next to a rounding or clamping edge.
    const auto reference = [](float a) -> uint32_t {
        if (!(a > 0.0f)) return 0;
        return a >= 1.0f ? 32768u : static_cast<uint32_t>(std::lround(a * 32768.0f));
    };
    const auto bitsOf = [](float a) {
        uint32_t bits;
        std::memcpy(&bits, &a, sizeof bits);
        return bits;
    };
    for (uint32_t bits = 0; bits <= bitsOf(1.5f); bits += 251) {
        float a;
        std::memcpy(&a, &bits, sizeof a);
        ASSERT_EQ(LevelFromAmplitude(a), reference(a)) << a;
        ASSERT_EQ(LevelFromAmplitude(-a), 0u) << -a;
    }
    for (const float a : {std::nextafter(1.0f, 0.0f), 0.5f / 32768,
                          std::nextafter(0.5f / 32768, 0.0f), 1.5f / 32768, 32767.5f / 32768}) {
        EXPECT_EQ(LevelFromAmplitude(a), reference(a)) << a;
    }

    // Two runs (a ring buffer's two segments) read as one.
    const std::vector<float> frames = Sines({0.8, 0.4}, 600);
    PeakMeter meter;
    meter.Add(frames.data(), 250, 2);
    meter.Add(frames.data() + 500, 350, 2);
    EXPECT_EQ(meter.Packed(), PeakLevel(frames.data(), 600, 2));
    meter.Clear();
    EXPECT_EQ(meter.Packed(), 0u);
}

}  // namespace
