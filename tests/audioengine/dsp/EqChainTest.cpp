// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "audioengine/dsp/EqChain.h"
#include "tests/audioengine/dsp/DspTestSignals.h"

namespace {

using ae::dsp::EqChain;
using ae::dsp::PeakingEq;
using ae::dsp::PeakingParams;
using namespace dsptest;

const PeakingParams kTenBands[] = {
    {80, 36, 6},    {170, 36, -6}, {310, 36, 6},    {600, 36, -6},  {1000, 36, 6},
    {3000, 36, -6}, {6000, 36, 6}, {12000, 36, -6}, {14000, 36, 6}, {16000, 36, -6},
};

TEST(EqChainTest, SlotsParametersAndValidation) {
    EqChain chain(32000, 2);
    int slots[EqChain::kMaxBands];
    for (int& s : slots) {
        s = chain.AddBand(0);
        ASSERT_GE(s, 0);
    }
    EXPECT_EQ(chain.bandCount(), EqChain::kMaxBands);
    EXPECT_EQ(chain.AddBand(0), -1) << "the chain is full";

    PeakingParams p;
    ASSERT_TRUE(chain.GetParams(slots[3], &p));
    EXPECT_EQ(p, ae::dsp::kNeutralParams) << "a new band starts neutral";

    ASSERT_TRUE(chain.SetParams(slots[3], {1200, 5, -7.5f}));
    // Rejected values leave the last good ones in place; 16000 is half this rate.
    EXPECT_FALSE(chain.SetParams(slots[3], {16000, 5, 3}));
    EXPECT_FALSE(chain.SetParams(slots[3], {1200, 40, 3}));
    EXPECT_FALSE(chain.SetParams(slots[3], {1200, 5, std::nanf("")}));
    ASSERT_TRUE(chain.GetParams(slots[3], &p));
    EXPECT_EQ(p, (PeakingParams{1200, 5, -7.5f}));

    EXPECT_TRUE(chain.RemoveBand(slots[3]));
    EXPECT_FALSE(chain.RemoveBand(slots[3]));
    EXPECT_FALSE(chain.SetParams(slots[3], {1200, 5, 1}));
    EXPECT_FALSE(chain.GetParams(slots[3], &p));
    for (int bad : {-1, EqChain::kMaxBands, 1000}) {
        EXPECT_FALSE(chain.RemoveBand(bad));
        EXPECT_FALSE(chain.SetParams(bad, {1200, 5, 1}));
        EXPECT_FALSE(chain.GetParams(bad, &p));
    }
    EXPECT_EQ(chain.bandCount(), EqChain::kMaxBands - 1);
    // The freed slot is used again, neutral.
    const int again = chain.AddBand(5);
    EXPECT_EQ(again, slots[3]);
    ASSERT_TRUE(chain.GetParams(again, &p));
    EXPECT_EQ(p, ae::dsp::kNeutralParams);
}

// Float rounding makes the order of bands visible bit for bit: the chain must equal
// the bands run one after the other from the highest priority down (first added
// first among equals), and differ from the reverse order.
TEST(EqChainTest, HigherPriorityRunsFirst) {
    const std::vector<float> in = RichSignal(44100, 2, 8192, 0.3f);
    const int priorities[] = {1, 9, 4, 9, -2};

    EqChain chain(44100, 2);
    for (int i = 0; i < 5; ++i) {
        const int slot = chain.AddBand(priorities[i]);
        ASSERT_TRUE(chain.SetParams(slot, kTenBands[2 * i]));
    }
    std::vector<float> chained = in;
    chain.Process(chained.data(), 8192);

    auto sequential = [&](const std::vector<int>& order) {
        std::vector<float> out = in;
        for (int i : order) {
            PeakingEq eq(44100, 2);
            eq.SetParams(kTenBands[2 * i]);  // glides from neutral, as in the chain
            eq.Process(out.data(), 8192);
        }
        return out;
    };
    EXPECT_EQ(chained, sequential({1, 3, 2, 0, 4}));
    EXPECT_NE(chained, sequential({4, 0, 2, 3, 1}));
}

// The output must not depend on how the caller cuts the signal, even across a
// parameter change made at the same frame: one band alone and ten bands, for every
// lane layout (1, 2, 3-4 and 5-8 channels).
TEST(EqChainTest, OutputIsIndependentOfBlockSizeAcrossAChange) {
    for (int channels : {1, 2, 3, 6}) {
        constexpr size_t kFrames = 20000;
        constexpr size_t kChangeAt = 1792 * 4;  // a multiple of 1, 7 and 256
        const std::vector<float> in = RichSignal(44100, channels, kFrames, 0.2f);
        auto run = [&](size_t block, int bands) {
            EqChain chain(44100, channels);
            int slots[10];
            for (int i = 0; i < bands; ++i) {
                slots[i] = chain.AddBand(10 - i);
                chain.SetParams(slots[i], kTenBands[i]);
            }
            // A band at 0 dB is left out of the processing until it changes again.
            if (bands > 7) chain.SetParams(slots[5], {4000, 12, 0});
            std::vector<float> out = in;
            for (size_t at = 0; at < kFrames;) {
                if (at == kChangeAt) {
                    chain.SetParams(slots[0], {1000, 12, -15});
                    if (bands > 7) {
                        chain.SetParams(slots[7], {9000, 3, 15});
                        chain.SetParams(slots[5], {4000, 12, 6});  // back in
                        chain.SetParams(slots[3], {600, 24, 0});   // glides out
                    }
                }
                size_t n = std::min(block, kFrames - at);
                if (at < kChangeAt) n = std::min(n, kChangeAt - at);
                chain.Process(out.data() + at * channels, n);
                at += n;
            }
            return out;
        };
        for (int bands : {1, 10}) {
            const std::vector<float> whole = run(kFrames, bands);
            EXPECT_NE(whole, in);
            for (size_t block : {1, 7, 256}) {
                EXPECT_EQ(run(block, bands), whole)
                    << channels << " channels, " << bands << " bands, blocks of " << block;
            }
        }
    }
}

// Writers on other threads while the decode thread processes: a reader never sees
// a mix of two writes, the processing never waits or breaks, and the last write is
// what the filter ends up with.
TEST(EqChainTest, ParameterUpdatesFromOtherThreadsAreAtomic) {
    const PeakingParams first{500, 3, 12}, second{9000, 30, -12}, last{1000, 12, -15};
    EqChain chain(44100, 1);
    const int slot = chain.AddBand(0);
    // Set before the threads start, so that the reader never sees the new band's
    // neutral parameters (a late writer thread on a busy machine made that look torn).
    ASSERT_TRUE(chain.SetParams(slot, first));
    std::atomic<bool> stop{false};
    std::atomic<int> torn{0};

    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; !stop.load(); ++i) {
                chain.SetParams(slot, ((i + w) & 1) ? first : second);
            }
        });
    }
    threads.emplace_back([&] {
        PeakingParams p;
        while (!stop.load()) {
            if (chain.GetParams(slot, &p) && p != first && p != second) ++torn;
        }
    });
    const std::vector<float> tone = Sine(44100, 64, 1000, 0.5);
    for (int i = 0; i < 3000; ++i) {
        std::vector<float> block = tone;
        chain.Process(block.data(), block.size());
        for (float s : block) ASSERT_TRUE(std::isfinite(s));
    }
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(torn.load(), 0);

    ASSERT_TRUE(chain.SetParams(slot, last));
    std::vector<float> in = Sine(44100, 44100, 1000, 0.25), out = in;
    chain.Process(out.data(), out.size());
    EXPECT_NEAR(20 * std::log10(Rms(out, 22050) / Rms(in, 22050)), -15.0, 0.1);
}

TEST(EqChainTest, NewBandsAreNeutralAndResetAppliesParametersAtOnce) {
    const std::vector<float> in = RichSignal(44100, 2, 4096, 0.8f);
    EqChain chain(44100, 2);
    std::vector<float> out = in;
    chain.Process(out.data(), 4096);
    EXPECT_EQ(out, in) << "no bands";
    const int a = chain.AddBand(0);
    const int b = chain.AddBand(1);
    out = in;
    chain.Process(out.data(), 4096);
    EXPECT_EQ(out, in) << "neutral bands";

    // After a reset (a seek), what was set applies from the first frame, as if the
    // bands had been made with it: no glide, no trace of the earlier signal.
    chain.Process(out.data(), 4096);
    ASSERT_TRUE(chain.SetParams(a, {2000, 12, 9}));
    ASSERT_TRUE(chain.SetParams(b, {300, 30, -4}));
    chain.Reset();
    out = in;
    chain.Process(out.data(), 4096);
    std::vector<float> expected = in;
    PeakingEq first(44100, 2, {300, 30, -4}), second(44100, 2, {2000, 12, 9});
    first.Process(expected.data(), 4096);
    second.Process(expected.data(), 4096);
    EXPECT_EQ(out, expected);
}

// A removed band glides to 0 dB before it is dropped: the output does not jump, and
// once the band is gone the samples pass untouched.
TEST(EqChainTest, RemovedBandFadesOutWithoutAClick) {
    constexpr size_t kFrames = 22050, kRemoveAt = 11025 + 11;  // near a crest
    const std::vector<float> in = Sine(44100, kFrames, 1000, 0.2);
    std::vector<float> out = in;
    EqChain chain(44100, 1);
    const int slot = chain.AddBand(0);
    chain.SetParams(slot, {1000, 12, 15});
    chain.Process(out.data(), kRemoveAt);
    ASSERT_TRUE(chain.RemoveBand(slot));
    EXPECT_FALSE(chain.SetParams(slot, {1000, 12, 3})) << "gone for callers at once";
    EXPECT_EQ(chain.bandCount(), 1) << "still fading out";
    chain.Process(out.data() + kRemoveAt, kFrames - kRemoveAt);
    EXPECT_EQ(chain.bandCount(), 0);

    auto largestStep = [&](size_t from, size_t to) {
        double step = 0.0;
        for (size_t i = from; i < to; ++i) {
            step = std::max(step, static_cast<double>(std::fabs(out[i] - out[i - 1])));
        }
        return step;
    };
    EXPECT_LE(largestStep(kRemoveAt, kRemoveAt + 2205),
              1.1 * largestStep(kRemoveAt - 2205, kRemoveAt));
    const size_t faded = kRemoveAt + static_cast<size_t>(44100 * ae::dsp::kRampSeconds);
    EXPECT_TRUE(std::equal(out.begin() + faded, out.end(), in.begin() + faded));

    // A full chain reuses a slot whose band is still fading out.
    EqChain full(44100, 1);
    for (int i = 0; i < EqChain::kMaxBands; ++i) full.SetParams(full.AddBand(0), {500, 12, 6});
    std::vector<float> block = Sine(44100, 256, 500, 0.2);
    full.Process(block.data(), 256);
    ASSERT_TRUE(full.RemoveBand(7));
    EXPECT_EQ(full.AddBand(3), 7);
    EXPECT_EQ(full.bandCount(), EqChain::kMaxBands);
}

}  // namespace
