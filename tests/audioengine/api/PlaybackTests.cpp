// SPDX-License-Identifier: MIT
// Transport, the mixer and volume, heard through the manual output.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "tests/audioengine/api/EngineTestSupport.h"

using namespace enginetest;
using testaudio::Format;

namespace {

std::vector<float> Constant(int channels, int64_t frames, float value) {
    return std::vector<float>(static_cast<size_t>(frames * channels), value);
}

DWORD Active(DWORD h) { return BASS_ChannelIsActive(h); }

TEST(Transport, PlayPauseStopAndTheEnd) {
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "tone", Format::Wav, kOutputRate, 2,
                                       testaudio::Sine(kOutputRate, 2, 20000, 440, 0.5));
    Stream stream(path);
    ASSERT_NE(stream.handle(), 0u);
    const HSTREAM h = stream.handle();

    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(Active(h), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
    ASSERT_FALSE(Render(5000).empty());

    // Pause keeps the position and silences the stream.
    ASSERT_TRUE(BASS_ChannelPause(h));
    EXPECT_EQ(Active(h), static_cast<DWORD>(BASS_ACTIVE_PAUSED));
    EXPECT_EQ(PositionFrames(h), 5000);
    const std::vector<float> paused = Render(2048);
    ASSERT_FALSE(paused.empty());
    EXPECT_EQ(Peak(paused, 2 * kFadeFrames), 0.0) << "after its fade a paused stream is silent";
    EXPECT_EQ(PositionFrames(h), 5000);

    // Resume continues where it paused.
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    ASSERT_FALSE(Render(1000).empty());
    EXPECT_EQ(PositionFrames(h), 6000);

    // Stop keeps the position too; play resumes from it.
    ASSERT_TRUE(BASS_ChannelStop(h));
    EXPECT_EQ(Active(h), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    EXPECT_EQ(PositionFrames(h), 6000);
    EXPECT_EQ(Peak(Render(1024), 2 * kFadeFrames), 0.0);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    ASSERT_FALSE(Render(1000).empty());
    EXPECT_EQ(PositionFrames(h), 7000);

    // The end stops the stream by itself, at the length.
    ASSERT_FALSE(Render(20000).empty());
    EXPECT_EQ(Active(h), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    EXPECT_EQ(PositionFrames(h), 20000);

    // Play after the end starts again from 0, and the file is heard again.
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(Active(h), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
    EXPECT_EQ(PositionFrames(h), 0);
    const std::vector<float> again = Render(4410);
    EXPECT_EQ(PositionFrames(h), 4410);
    EXPECT_NEAR(ToneAmplitude(Side(again, 0), kOutputRate, 440), 0.5, 0.01);

    // Restart plays from the start whatever the position.
    ASSERT_TRUE(BASS_ChannelPlay(h, TRUE));
    EXPECT_EQ(PositionFrames(h), 0);
}

// Two streams are summed sample by sample, and the sum is clamped to [-1, 1].
TEST(Mixer, SumsStreamsAndClamps) {
    testaudio::TempDir dir;
    const int64_t frames = 8820;
    const auto a = testaudio::Sine(kOutputRate, 2, frames, 441, 0.3);
    const auto b = testaudio::Sine(kOutputRate, 2, frames, 1102.5, 0.4);
    Stream sa(WriteFile(dir, "a", Format::WavFloat, kOutputRate, 2, a));
    Stream sb(WriteFile(dir, "b", Format::WavFloat, kOutputRate, 2, b));
    ASSERT_NE(sa.handle(), 0u);
    ASSERT_NE(sb.handle(), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(sa.handle(), FALSE));
    ASSERT_TRUE(BASS_ChannelPlay(sb.handle(), FALSE));
    const std::vector<float> mix = Render(frames);
    ASSERT_EQ(mix.size(), a.size());
    for (size_t i = 0; i < mix.size(); ++i)
        ASSERT_NEAR(mix[i], a[i] + b[i], 1e-6) << "sample " << i;

    Stream c(WriteFile(dir, "c", Format::WavFloat, kOutputRate, 2, Constant(2, 4410, 0.8f)));
    Stream d(WriteFile(dir, "d", Format::WavFloat, kOutputRate, 2, Constant(2, 4410, 0.7f)));
    Stream e(WriteFile(dir, "e", Format::WavFloat, kOutputRate, 2, Constant(2, 4410, -0.9f)));
    ASSERT_TRUE(BASS_ChannelPlay(c.handle(), FALSE));
    ASSERT_TRUE(BASS_ChannelPlay(d.handle(), FALSE));
    const std::vector<float> loud = Render(2000);
    ASSERT_FALSE(loud.empty());
    for (float v : loud) ASSERT_EQ(v, 1.0f) << "0.8 + 0.7 is clamped to 1";
    ASSERT_TRUE(BASS_ChannelPause(c.handle()));
    ASSERT_TRUE(BASS_ChannelPlay(e.handle(), FALSE));
    ASSERT_TRUE(BASS_ChannelSetAttribute(e.handle(), BASS_ATTRIB_VOL, 2.0f));
    ASSERT_TRUE(BASS_ChannelPause(d.handle()));
    const std::vector<float> low = Render(2048);
    ASSERT_FALSE(low.empty());
    for (size_t i = 1024; i < low.size(); ++i) ASSERT_EQ(low[i], -1.0f) << "-1.8 is clamped to -1";
}

// A stream at another rate is resampled to the output rate and keeps its pitch, and
// its position still counts its own frames.
TEST(Mixer, ResamplingKeepsTheFrequency) {
    for (const int rate : {48000, 22050, 32000}) {
        testaudio::TempDir dir;
        Stream s(WriteFile(dir, "tone", Format::Wav, rate, 2,
                           testaudio::Sine(rate, 2, rate * 2, 1000, 0.5)));
        ASSERT_NE(s.handle(), 0u);
        ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
        const std::vector<float> out = Render(kOutputRate);
        ASSERT_FALSE(out.empty());
        std::vector<float> left = Side(out, 0);
        left.erase(left.begin(), left.begin() + 2000);  // past the resampler's start
        EXPECT_NEAR(ZeroCrossingFrequency(left, kOutputRate), 1000.0, 0.5) << rate << " Hz";
        EXPECT_NEAR(ToneAmplitude(left, kOutputRate, 1000), 0.5, 0.01) << rate << " Hz";
        EXPECT_NEAR(static_cast<double>(PositionFrames(s.handle())), rate, rate * 0.002)
            << "one second of output is one second of the stream at " << rate << " Hz";
        // Played to its end it reaches its exact length: the resampler is flushed.
        ASSERT_FALSE(Render(kOutputRate + 4096).empty());
        EXPECT_EQ(BASS_ChannelIsActive(s.handle()), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
        EXPECT_EQ(PositionFrames(s.handle()), rate * 2) << rate << " Hz";
    }
}

// Mono goes to both sides; six channels are folded down without swapping sides, the
// front pair at full level.
TEST(Mixer, MonoToBothSidesAndSixChannelsDownmixed) {
    testaudio::TempDir dir;
    const auto mono = testaudio::Sine(kOutputRate, 1, 4410, 441, 0.5);
    Stream m(WriteFile(dir, "mono", Format::WavFloat, kOutputRate, 1, mono));
    ASSERT_NE(m.handle(), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(m.handle(), FALSE));
    const std::vector<float> out = Render(4410);
    ASSERT_EQ(out.size(), 8820u);
    for (size_t i = 0; i < mono.size(); ++i) {
        ASSERT_NEAR(out[2 * i], mono[i], 1e-6) << "left, frame " << i;
        ASSERT_NEAR(out[2 * i + 1], mono[i], 1e-6) << "right, frame " << i;
    }

    // Front left only, then front right only.
    for (const int side : {0, 1}) {
        const int64_t frames = 8820;
        std::vector<float> six(static_cast<size_t>(frames * 6), 0.0f);
        const auto tone = testaudio::Sine(kOutputRate, 1, frames, 441, 0.5);
        for (int64_t i = 0; i < frames; ++i) six[static_cast<size_t>(i * 6 + side)] = tone[i];
        Stream s(WriteFile(dir, side ? "fr" : "fl", Format::WavFloat, kOutputRate, 6, six));
        ASSERT_NE(s.handle(), 0u);
        EXPECT_EQ(Channels(s.handle()), 6);
        ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
        const std::vector<float> mixed = Render(frames);
        ASSERT_FALSE(mixed.empty());
        const double own = Rms(Side(mixed, side)), other = Rms(Side(mixed, 1 - side));
        EXPECT_NEAR(own, Rms(tone), 1e-3) << "channel " << side << " is heard in full on its side";
        EXPECT_LT(other, own * 0.01) << "channel " << side << " does not leak to the other side";
        EXPECT_LE(Peak(Side(mixed, side)), 1.0);
    }
}

// Volume: 0 is silent, 0.5 halves, 2 doubles; a change is ramped, so a jump of the
// gain never moves a sample by more than the ramp allows.
TEST(Volume, ScalesAndRampsWithoutClicks) {
    testaudio::TempDir dir;
    Stream s(WriteFile(dir, "dc", Format::WavFloat, kOutputRate, 2,
                       Constant(2, kOutputRate * 3, 0.25f)));
    ASSERT_NE(s.handle(), 0u);
    const HSTREAM h = s.handle();
    float volume = -1.0f;
    ASSERT_TRUE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &volume));
    EXPECT_EQ(volume, 1.0f);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));

    std::vector<float> heard = Render(2048, 256);
    for (const float target : {0.5f, 0.0f, 2.0f, 1.0f, 3.0f, 0.1f}) {
        ASSERT_TRUE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, target));
        ASSERT_TRUE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &volume));
        EXPECT_EQ(volume, target);
        const std::vector<float> block = Render(2048, 256);
        ASSERT_FALSE(block.empty());
        heard.insert(heard.end(), block.begin(), block.end());
        // Settled by the end of the block: the gain is applied exactly (and clamped).
        const float expected = std::min(0.25f * target, 1.0f);
        EXPECT_NEAR(block[block.size() - 2], expected, 1e-6) << "volume " << target;
        EXPECT_NEAR(block[block.size() - 1], expected, 1e-6) << "volume " << target;
    }
    // The largest jump is 0.75 -> 0.025 (3 -> 0.1); spread over a ramp of at least 32
    // frames no step exceeds 0.725 / 32. Without a ramp it would be the whole jump.
    double worst = 0.0;
    for (size_t i = 2; i < heard.size(); ++i)
        worst = std::max(worst, std::fabs(double{heard[i]} - heard[i - 2]));
    EXPECT_LE(worst, 0.725 / 32) << "a volume change clicks";

    // Negative or not finite volumes fail and leave the volume as it was.
    for (const float bad : {-0.5f, NAN, INFINITY}) {
        EXPECT_FALSE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, bad));
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    }
    ASSERT_TRUE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &volume));
    EXPECT_EQ(volume, 0.1f);
    EXPECT_FALSE(BASS_ChannelSetAttribute(h, 12345, 1.0f)) << "unknown attribute";
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);
}

// Every transport cut fades: the largest step between neighbouring samples around
// pause, stop, resume, a seek while playing, a seek then play, a restart and a free
// stays that of the tone itself plus a fade's share (a hard cut of a 0.5 tone steps
// by up to 0.5). A first play from frame 0 is not faded, and a volume set before it
// holds from the first sample.
TEST(Transport, CutsFadeInsteadOfClicking) {
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "tone", Format::WavFloat, kOutputRate, 2,
                                       testaudio::Sine(kOutputRate, 2, kOutputRate * 4, 440, 0.5));
    // Two tones' largest step (a fade-out overlaps what follows) and a fade's share.
    const double bound = 2 * 0.5 * 2 * M_PI * 440 / kOutputRate + 1.5 * 0.5 / kFadeFrames;
    static std::vector<float> heard;
    const auto hear = [](int64_t frames) {
        const std::vector<float> block = Render(frames);
        heard.insert(heard.end(), block.begin(), block.end());
    };
    struct Cut {
        const char* name;
        bool (*act)(HSTREAM);
    };
    static const Cut cuts[] = {
        {"pause", [](HSTREAM h) { return BASS_ChannelPause(h) != FALSE; }},
        {"stop", [](HSTREAM h) { return BASS_ChannelStop(h) != FALSE; }},
        {"seek while playing", [](HSTREAM h) { return SeekFrames(h, 50000); }},
        {"restart", [](HSTREAM h) { return BASS_ChannelPlay(h, TRUE) != FALSE; }},
        {"pause then resume",
         [](HSTREAM h) {
             const bool paused = BASS_ChannelPause(h) != FALSE;
             const std::vector<float> gap = Render(1000);
             heard.insert(heard.end(), gap.begin(), gap.end());
             return paused && BASS_ChannelPlay(h, FALSE) != FALSE;
         }},
        {"pause, seek, resume",
         [](HSTREAM h) {
             const bool paused = BASS_ChannelPause(h) != FALSE;
             const std::vector<float> gap = Render(1000);
             heard.insert(heard.end(), gap.begin(), gap.end());
             return paused && SeekFrames(h, 70001) && BASS_ChannelPlay(h, FALSE) != FALSE;
         }},
        {"free", [](HSTREAM h) { return BASS_StreamFree(h) != FALSE; }},
    };
    for (const Cut& cut : cuts) {
        SCOPED_TRACE(cut.name);
        Stream stream(path);
        const HSTREAM h = stream.handle();
        ASSERT_NE(h, 0u);
        ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
        heard.clear();
        hear(4410 + 37);  // cut mid-waveform
        ASSERT_TRUE(cut.act(h));
        hear(4410);
        double worst = 0.0;
        for (size_t i = 2; i < heard.size(); ++i)
            worst = std::max(worst, std::fabs(double{heard[i]} - heard[i - 2]));
        EXPECT_LE(worst, bound);
    }

    Stream quiet(path);
    ASSERT_TRUE(BASS_ChannelSetAttribute(quiet.handle(), BASS_ATTRIB_VOL, 0.0f));
    ASSERT_TRUE(BASS_ChannelPlay(quiet.handle(), FALSE));
    EXPECT_EQ(Peak(Render(2000)), 0.0) << "a volume set before play holds from the first sample";
    BASS_ChannelStop(quiet.handle());
    Render(kFadeFrames);
    Stream exact(path);
    ASSERT_TRUE(BASS_ChannelPlay(exact.handle(), FALSE));
    const std::vector<float> start = Render(64);
    const std::vector<float> file = ReadWithSndfile(path);
    for (size_t i = 0; i < start.size(); ++i)
        ASSERT_EQ(start[i], file[i]) << "a first play is exact";
}

// Position reads never tear: a stream played from 0 to frame 256 is paused 3000 times
// while another thread reads its position; a read made while a pause is under way
// is 256, never the 0 it started from.
TEST(Transport, PositionReadsNeverTear) {
    testaudio::TempDir dir;
    Stream stream(WriteFile(dir, "tone", Format::Wav, kOutputRate, 2,
                            testaudio::Sine(kOutputRate, 2, kOutputRate, 440, 0.5)));
    const HSTREAM h = stream.handle();
    std::atomic<uint32_t> window{0};  // odd while a pause is under way
    std::atomic<bool> done{false};
    std::atomic<int> torn{0}, reads{0};
    // Two readers: on two cores the pausing thread meets a read at any point of a pause.
    const auto read = [&] {
        while (!done.load()) {
            const uint32_t before = window.load();
            const int64_t position = PositionFrames(h);
            reads.fetch_add(1);
            if ((before & 1) && window.load() == before && position != 256) torn.fetch_add(1);
        }
    };
    std::thread reader(read), second(read);
    for (int i = 0; i < 3000; ++i) {
        SeekFrames(h, 0);
        BASS_ChannelPlay(h, FALSE);
        Render(256);
        window.fetch_add(1);
        BASS_ChannelPause(h);
        window.fetch_add(1);
    }
    done.store(true);
    reader.join();
    second.join();
    EXPECT_GT(reads.load(), 0);
    EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " reads";
}

}  // namespace
