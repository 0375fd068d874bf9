// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "audioengine/dsp/PeakingEq.h"
#include "tests/audioengine/dsp/DspTestSignals.h"

namespace {

using ae::dsp::PeakingEq;
using ae::dsp::PeakingParams;
using ae::dsp::ValidPeakingParams;
using namespace dsptest;

TEST(PeakingParamsTest, AcceptsExactlyTheDocumentedRanges) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(ValidPeakingParams({80, 1, -15}, 44100));
    EXPECT_TRUE(ValidPeakingParams({16000, 36, 15}, 44100));
    EXPECT_TRUE(ValidPeakingParams(ae::dsp::kNeutralParams, 44100));
    EXPECT_TRUE(ValidPeakingParams({15999, 12, 0}, 32000));

    EXPECT_FALSE(ValidPeakingParams({79.99f, 12, 0}, 44100));
    EXPECT_FALSE(ValidPeakingParams({16000.01f, 12, 0}, 44100));
    EXPECT_FALSE(ValidPeakingParams({16000, 12, 0}, 32000)) << "half the rate is excluded";
    EXPECT_FALSE(ValidPeakingParams({8000, 12, 0}, 11025));
    EXPECT_FALSE(ValidPeakingParams({1000, 0.99f, 0}, 44100));
    EXPECT_FALSE(ValidPeakingParams({1000, 36.01f, 0}, 44100));
    EXPECT_FALSE(ValidPeakingParams({1000, 12, 15.01f}, 44100));
    EXPECT_FALSE(ValidPeakingParams({1000, 12, -15.01f}, 44100));
    for (float bad : {nan, inf, -inf}) {
        EXPECT_FALSE(ValidPeakingParams({bad, 12, 0}, 44100));
        EXPECT_FALSE(ValidPeakingParams({1000, bad, 0}, 44100));
        EXPECT_FALSE(ValidPeakingParams({1000, 12, bad}, 44100));
    }
    EXPECT_FALSE(ValidPeakingParams({1000, 12, 0}, 0));
    EXPECT_FALSE(ValidPeakingParams({1000, 12, 0}, std::nan("")));
}

TEST(PeakingEqTest, GainAtTheCentreIsTheSetting) {
    const struct {
        PeakingParams params;
        int rate;
    } cases[] = {
        {{1000, 12, 15}, 44100},  {{1000, 12, -15}, 44100}, {{80, 1, 6}, 44100},
        {{16000, 36, -6}, 44100}, {{250, 36, 9}, 48000},    {{12000, 3, -12}, 48000},
        {{3000, 24, 3}, 22050},   {{5000, 12, -9}, 96000},
    };
    for (const auto& c : cases) {
        EXPECT_NEAR(MeasuredGainDb(c.params, c.rate, c.params.centerHz), c.params.gainDb, 0.1)
            << c.params.centerHz << " Hz, " << c.params.bandwidthSemitones << " st, "
            << c.params.gainDb << " dB at " << c.rate;
    }
}

TEST(PeakingEqTest, ResponseFollowsTheCookbookFilterEverywhere) {
    const PeakingParams settings[] = {{1000, 12, 12}, {200, 36, -15}, {8000, 4, 15}, {90, 24, -8}};
    const double probes[] = {40, 120, 450, 900, 1300, 2600, 5500, 9000, 14000, 19000};
    for (const PeakingParams& p : settings) {
        for (double hz : probes) {
            EXPECT_NEAR(MeasuredGainDb(p, 44100, hz), AnalyticGainDb(p, 44100, hz), 0.1)
                << p.centerHz << " Hz, " << p.bandwidthSemitones << " st, " << p.gainDb
                << " dB, probe " << hz;
        }
    }
}

TEST(PeakingEqTest, ZeroGainIsAnExactIdentity) {
    for (int channels : {1, 2, 6}) {
        const std::vector<float> in = RichSignal(44100, channels, 20000, 0.9f);
        std::vector<float> out = in;
        PeakingEq eq(44100, channels, {1000, 7, 0});
        eq.Process(out.data(), 20000);
        EXPECT_EQ(out, in) << channels << " channels";
    }
}

// Largest step between neighbouring samples in [from, to).
double LargestStep(const std::vector<float>& v, size_t from, size_t to) {
    double step = 0.0;
    for (size_t i = std::max<size_t>(from, 1); i < to; ++i) {
        step = std::max(step, static_cast<double>(std::fabs(v[i] - v[i - 1])));
    }
    return step;
}

// A change glides: no sample step larger than the filtered sine itself makes before
// or after the change (give or take a resonant band's slight overshoot). Switching from one steady
// output to the other at once does click, which shows that the measure finds clicks.
TEST(PeakingEqTest, ParameterChangeDoesNotClick) {
    constexpr int kRate = 44100;
    constexpr size_t kFrames = 44100, kChangeAt = 22050 + 11;  // near a crest of the sine
    const std::vector<float> in = Sine(kRate, kFrames, 1000.0, 0.2);
    const struct {
        PeakingParams from, to;
    } changes[] = {
        {{1000, 12, 0}, {1000, 12, 15}},
        {{1000, 12, 15}, {1000, 12, -15}},
        {{1000, 2, 15}, {8000, 2, 15}},
        {{300, 36, -15}, {16000, 12, 15}},
    };
    for (const auto& c : changes) {
        std::vector<float> out = in;
        PeakingEq eq(kRate, 1, c.from);
        eq.Process(out.data(), kChangeAt);
        eq.SetParams(c.to);
        EXPECT_TRUE(eq.gliding());
        eq.Process(out.data() + kChangeAt, kFrames - kChangeAt);
        EXPECT_FALSE(eq.gliding());

        const double before = LargestStep(out, kChangeAt - 4410, kChangeAt);
        const double after = LargestStep(out, kFrames - 4410, kFrames);
        const double during = LargestStep(out, kChangeAt, kChangeAt + 4410);
        EXPECT_LE(during, 1.1 * std::max(before, after))
            << c.from.centerHz << "/" << c.from.gainDb << " -> " << c.to.centerHz << "/"
            << c.to.gainDb;

        std::vector<float> switched = in;
        PeakingEq steady(kRate, 1, c.to);
        steady.Process(switched.data(), kFrames);
        std::copy(out.begin(), out.begin() + kChangeAt, switched.begin());
        EXPECT_GT(LargestStep(switched, kChangeAt, kChangeAt + 1), 1.5 * std::max(before, after));
    }
}

TEST(PeakingEqTest, SilenceAfterATonePutsTheStateToExactlyZero) {
    for (const PeakingParams& p : {PeakingParams{80, 1, 15}, PeakingParams{12000, 36, -15}}) {
        PeakingEq eq(48000, 2, p);
        std::vector<float> block(2 * 4800);
        const std::vector<float> tone = Sine(48000, 4800, p.centerHz, 0.9);
        for (size_t f = 0; f < tone.size(); ++f) block[2 * f] = block[2 * f + 1] = tone[f];
        eq.Process(block.data(), 4800);
        EXPECT_FALSE(eq.stateIsZero());

        // Up to twenty seconds of silence: the narrowest, lowest band decays slowest
        // (in about 13 s from full scale to nothing).
        for (int i = 0; i < 200 && !eq.stateIsZero(); ++i) {
            std::fill(block.begin(), block.end(), 0.0f);
            eq.Process(block.data(), 4800);
            for (float s : block) ASSERT_TRUE(std::isfinite(s));
        }
        EXPECT_TRUE(eq.stateIsZero()) << p.centerHz << " Hz";
        std::fill(block.begin(), block.end(), 0.0f);
        eq.Process(block.data(), 4800);
        EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](float s) { return s == 0.0f; }));
    }
}

TEST(PeakingEqTest, RecoversFromNonFiniteInputAndResetClearsEveryChannel) {
    PeakingEq eq(44100, 2, {1000, 12, 6});
    std::vector<float> block = RichSignal(44100, 2, 512, 0.5f);
    block[101] = std::numeric_limits<float>::quiet_NaN();
    block[300] = std::numeric_limits<float>::infinity();
    eq.Process(block.data(), 512);
    block = RichSignal(44100, 2, 512, 0.5f);
    eq.Process(block.data(), 512);
    for (float s : block) ASSERT_TRUE(std::isfinite(s));

    EXPECT_FALSE(eq.stateIsZero());
    eq.Reset();
    EXPECT_TRUE(eq.stateIsZero());
    // After a reset the band behaves as a fresh one.
    std::vector<float> a = RichSignal(44100, 2, 512, 0.5f), b = a;
    eq.Process(a.data(), 512);
    PeakingEq fresh(44100, 2, {1000, 12, 6});
    fresh.Process(b.data(), 512);
    EXPECT_EQ(a, b);
}

// Wide bands centred close to half the rate push the cookbook's bandwidth term
// towards infinity; the filter must stay finite and stable.
TEST(PeakingEqTest, ExtremeSettingsStayStable) {
    // +15 dB amplifies 5.6 times and noise peaks add up to a few times that; the
    // out-of-range settings are pulled to at most +60 dB.
    const struct {
        PeakingParams params;
        int rate;
        double bound;
    } cases[] = {
        {{3999.9f, 36, 15}, 8000, 200}, {{3999.9f, 36, -15}, 8000, 200},
        {{7990, 36, 15}, 16000, 200},   {{11000, 36, -15}, 22050, 200},
        {{80, 1, 15}, 384000, 200},     {{80, 1, -15}, 384000, 200},
        {{1e9f, -3, 400}, 44100, 2e5},  {{-5, 1e9f, -400}, 44100, 2e5},
    };
    for (const auto& c : cases) {
        PeakingEq eq(c.rate, 1, c.params);
        double peak = 0.0;
        for (int i = 0; i < 20; ++i) {
            std::vector<float> block = Noise(c.rate / 2, 0.5f, i + 1);
            eq.Process(block.data(), block.size());
            for (float s : block) {
                ASSERT_TRUE(std::isfinite(s)) << c.params.centerHz << " at " << c.rate;
                peak = std::max(peak, static_cast<double>(std::fabs(s)));
            }
        }
        EXPECT_LT(peak, c.bound) << c.params.centerHz << " at " << c.rate;
    }
}

}  // namespace
