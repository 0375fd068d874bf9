// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <vector>

#include "audioengine/core/AnalysisHistory.h"
#include "audioengine/dsp/PeakLevel.h"

namespace {

using ae::AnalysisHistory;

// Frame i of every channel c holds (c + 1) * sign * (i + 1) / 1000, so peaks and
// means are easy to predict.
std::vector<float> Ramp(int frames, int channels, int64_t first = 0) {
    std::vector<float> x(static_cast<size_t>(frames * channels));
    for (int f = 0; f < frames; ++f) {
        for (int c = 0; c < channels; ++c) {
            const float sign = (c % 2) ? -1.0f : 1.0f;
            x[static_cast<size_t>(f * channels + c)] =
                sign * static_cast<float>(c + 1) * static_cast<float>(first + f + 1) / 1000.0f;
        }
    }
    return x;
}

TEST(AnalysisHistory, PeaksPerSideForEveryLayout) {
    struct Case {
        int channels;
        float left, right;  // peaks of the last frame written (frame 100)
    } cases[] = {
        {1, 0.1f, 0.1f},  // mono reads the same on both sides
        {2, 0.1f, 0.2f},  // left, right
        {6, 0.5f, 0.6f},  // even channels left (1, 3, 5 x), odd right (2, 4, 6 x)
    };
    for (const Case& c : cases) {
        AnalysisHistory history(256);
        history.Reset(0);
        const std::vector<float> x = Ramp(100, c.channels);
        history.Append(x.data(), 100, c.channels);
        uint32_t left = 1, right = 1;
        history.Levels(100, 10, &left, &right);
        EXPECT_EQ(left, ae::dsp::LevelFromAmplitude(c.left)) << c.channels << " channels";
        EXPECT_EQ(right, ae::dsp::LevelFromAmplitude(c.right)) << c.channels << " channels";
        // The window ends where asked: 10 frames ending at frame 50 peak at frame 49.
        history.Levels(50, 10, &left, &right);
        EXPECT_EQ(left, ae::dsp::LevelFromAmplitude(c.left * 50 / 100))
            << c.channels << " channels";
    }
}

TEST(AnalysisHistory, FramesNotHeldReadAsSilence) {
    AnalysisHistory history(64);
    history.Reset(1000);  // a stream that was just moved to frame 1000
    const std::vector<float> x = Ramp(100, 2, 1000);
    history.Append(x.data(), 100, 2);  // frames 1000..1099; only the last 64 fit
    uint32_t left = 1, right = 1;
    history.Levels(1036, 36, &left, &right);
    EXPECT_EQ(left, 0u) << "overwritten frames are gone";
    history.Levels(2000, 100, &left, &right);
    EXPECT_EQ(left, 0u) << "frames not decoded yet";

    std::vector<float> mean(16);
    EXPECT_TRUE(history.Mean(1100, 16, mean.data()));
    // mean of (f + 1) and -2 (f + 1), over 1000 -> -(f + 1) / 2000
    EXPECT_FLOAT_EQ(mean[15], -1100.0f / 2000.0f);
    EXPECT_FALSE(history.Mean(1040, 16, mean.data())) << "the window reaches overwritten frames";
    EXPECT_EQ(mean[0], 0.0f);

    history.Reset(0);
    EXPECT_TRUE(history.Mean(0, 16, mean.data()))
        << "frames before the stream's start are silence, not missing";
    EXPECT_FALSE(history.Mean(20, 16, mean.data())) << "nothing decoded since the reset";
}

TEST(AnalysisHistory, MeansAcrossTheRingsWrapAreTheFramesInOrder) {
    // 40 frames of room, 100 written: frames 60..99 are held, the oldest of them at
    // ring index 20, so a window over them wraps round the end of the ring. Scaled by
    // 10 too: blocks of several hundred frames, stored a piece at a time.
    for (const int scale : {1, 10}) {
        AnalysisHistory history(40 * scale);
        history.Reset(0);
        const std::vector<float> x = Ramp(100 * scale, 1);
        history.Append(x.data(), 70 * scale, 1);  // two appends: the second wraps mid-block
        history.Append(x.data() + 70 * scale, 30 * scale, 1);
        struct Case {
            int64_t end;
            int frames;
            bool complete;
        } cases[] = {
            {100, 40, true},   // every frame held, across the wrap
            {95, 32, true},    // inside, wrapping
            {110, 30, false},  // runs past the newest frame
            {70, 20, false},   // starts before the oldest frame held
            {120, 80, false},  // both ends missing
        };
        for (const Case& c : cases) {
            const int64_t end = c.end * scale;
            const int frames = c.frames * scale;
            std::vector<float> mean(static_cast<size_t>(frames), -9.0f);
            EXPECT_EQ(history.Mean(end, frames, mean.data()), c.complete) << end;
            for (int i = 0; i < frames; ++i) {
                const int64_t frame = end - frames + i;
                const float expected =
                    frame >= 60 * scale && frame < 100 * scale ? x[static_cast<size_t>(frame)] : 0;
                ASSERT_EQ(mean[static_cast<size_t>(i)], expected)
                    << "frame " << frame << " of window ending " << end;
            }
        }
        // The meter's levels come from the same frames.
        uint32_t left = 1, right = 1;
        history.Levels(100 * scale, 10, &left, &right);
        EXPECT_EQ(left, ae::dsp::LevelFromAmplitude(x[static_cast<size_t>(100 * scale - 1)]));
        EXPECT_EQ(right, left) << "mono reads on both sides";
    }
}

}  // namespace
