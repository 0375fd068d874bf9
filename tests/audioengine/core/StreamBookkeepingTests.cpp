// SPDX-License-Identifier: MIT
// A stream driven by hand, playing the parts of the decode worker (Pump) and of the
// audio callback (Mix), to check what the callback records and how the heard
// position is derived from it, including the wall-clock part no manual render uses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "audioengine/core/Stream.h"
#include "plugin/engine/Bass.h"
#include "tests/support/AudioFiles.h"

namespace {

using ae::MixTiming;
using ae::Stream;

constexpr int kOutputRate = 44100;
constexpr int64_t kMs = 1000000;

class StreamBookkeeping : public ::testing::Test {
  protected:
    std::unique_ptr<Stream> Open(int rate, int64_t frames, int channels = 2) {
        const std::string path = dir_.File("tone" + std::to_string(rate) + ".wav");
        EXPECT_TRUE(testaudio::Write(path, testaudio::Format::Wav, rate, channels,
                                     testaudio::Sine(rate, channels, frames, 440, 0.5)));
        ae::Result<std::unique_ptr<Stream>> stream =
            Stream::Open(path, ae::StreamSetup{kOutputRate, 0});
        EXPECT_TRUE(stream.ok()) << "error " << stream.code();
        return std::move(stream).value();
    }
    static void Fill(Stream& stream) {
        while (stream.Pump()) {
        }
    }
    // Mixes `frames` as a manual render does: heard as soon as rendered.
    std::vector<float> Mix(Stream& stream, int frames, int64_t heardNs = 0) {
        std::vector<float> out(static_cast<size_t>(frames) * 2, 0.0f);
        stream.Mix(out.data(), 0, MixTiming{heardNs});  // as callbacks go on
        Fill(stream);
        stream.Mix(out.data(), frames, MixTiming{heardNs});
        return out;
    }

    testaudio::TempDir dir_;
};

TEST_F(StreamBookkeeping, PositionFollowsTransportAndSeeks) {
    auto stream = Open(kOutputRate, kOutputRate);
    Mix(*stream, 256);
    EXPECT_EQ(stream->Position(), 0) << "a stopped stream is not mixed";
    stream->Play(false);
    Mix(*stream, 1000);
    EXPECT_EQ(stream->Position(), 1000);
    stream->Pause();
    Mix(*stream, 1000);
    EXPECT_EQ(stream->Position(), 1000) << "pause keeps the position";
    EXPECT_EQ(stream->Activity(), BASS_ACTIVE_PAUSED);

    ASSERT_TRUE(stream->Seek(30000).ok());
    EXPECT_EQ(stream->Position(), 30000) << "right after a seek: the target";
    stream->Play(false);
    EXPECT_EQ(stream->Position(), 30000) << "nothing of the new place has been output yet";
    Mix(*stream, 500);
    EXPECT_EQ(stream->Position(), 30500) << "no audio from before the seek is played";

    ASSERT_TRUE(stream->Seek(10).ok()) << "a seek while playing";
    EXPECT_EQ(stream->Position(), 10);
    Mix(*stream, 100);
    EXPECT_EQ(stream->Position(), 110);
    stream->Stop();
    EXPECT_EQ(stream->Position(), 110) << "stop keeps the position";

    EXPECT_EQ(stream->Seek(kOutputRate + 1).code(), BASS_ERROR_POSITION);
    EXPECT_EQ(stream->Position(), 110) << "a failed seek changes nothing";
    EXPECT_TRUE(stream->Seek(kOutputRate).ok()) << "the end itself is a valid place";
}

TEST_F(StreamBookkeeping, TheEndStopsTheStreamOnlyWhenMoreIsAsked) {
    const int64_t length = 3000;
    auto stream = Open(kOutputRate, length);
    stream->Play(false);
    Mix(*stream, 2000);
    const std::vector<float> tail = Mix(*stream, 1000);
    EXPECT_NE(tail[2 * 999], 0.0f) << "the last frame is heard";
    EXPECT_EQ(stream->Position(), length);
    EXPECT_TRUE(stream->playing()) << "a block ending on the last frame leaves it playing";
    const std::vector<float> after = Mix(*stream, 100);
    EXPECT_EQ(after[0], 0.0f);
    EXPECT_FALSE(stream->playing()) << "the end stops the stream by itself";
    EXPECT_EQ(stream->Position(), length);

    stream->Play(false);  // "play at the end starts again from 0"
    EXPECT_EQ(stream->Position(), 0);
    Mix(*stream, 64);
    EXPECT_EQ(stream->Position(), 64);
}

// At another rate the callback's output frames map back to the stream's own frames,
// and at the end the position reaches the length exactly.
TEST_F(StreamBookkeeping, ResampledStreamCountsItsOwnFrames) {
    const int64_t length = 48000;
    auto stream = Open(48000, length, 1);
    stream->Play(false);
    Mix(*stream, 2205);
    EXPECT_NEAR(static_cast<double>(stream->Position()), 2400.0, 1.0);
    for (int i = 0; i < 40 && stream->playing(); ++i) Mix(*stream, 2205);
    EXPECT_FALSE(stream->playing());
    EXPECT_EQ(stream->Position(), length);
}

// Outside the manual output the callback's record is a promise about the future: the
// frames are heard from `blockHeardNs` on, and the position moves with the clock in
// between, never before the block's start nor past what was output.
TEST_F(StreamBookkeeping, WallClockAdvancesWithinWhatWasOutput) {
    auto stream = Open(kOutputRate, kOutputRate);
    stream->Play(false);
    Mix(*stream, 2205, ae::MonotonicNs() + 3600 * 1000 * kMs);
    EXPECT_EQ(stream->Position(), 0) << "not heard yet: still at the start";

    Mix(*stream, 2205, ae::MonotonicNs() - 3600 * 1000 * kMs);
    EXPECT_EQ(stream->Position(), 4410) << "long heard: all of it, and no further";

    // A 50 ms block heard from 25 ms ago: the ear is inside it.
    Mix(*stream, 2205, ae::MonotonicNs() - 25 * kMs);
    const int64_t inside = stream->Position();
    EXPECT_GT(inside, 4410);
    EXPECT_LT(inside, 4410 + 2205);
    EXPECT_LE(inside, stream->Position()) << "the position never goes back";
    stream->Pause();
    const int64_t paused = stream->Position();
    EXPECT_GE(paused, inside);
    EXPECT_LE(paused, 4410 + 2205);
    EXPECT_EQ(stream->Position(), paused) << "a paused position stands still";
}

// An output that renders ahead, driven with chosen times: each 10 ms block is output
// 15 ms before it is heard, as the paced outputs do, and once the thread feeding the
// device is 40 ms late. The position follows the clock to the frame while audio is
// there, holds at the last frame output while none is, never goes back, and catches
// up with the late blocks.
TEST_F(StreamBookkeeping, RenderedAheadIsHeardWithTheClock) {
    auto stream = Open(kOutputRate, kOutputRate);
    stream->Play(false);
    const int64_t start = 7200 * 1000 * kMs;  // when frame 0 is heard
    const int64_t block = 10 * kMs, lead = 15 * kMs;
    const auto heardBy = [&](int64_t ns) {  // frames heard by `ns` with nothing missed
        return std::max<int64_t>(0, (ns - start) * kOutputRate / (1000 * kMs));
    };
    int blocks = 0;
    int64_t previous = 0;
    for (int64_t now = start - 30 * kMs; now < start + 300 * kMs; now += kMs / 4) {
        const bool late = now >= start + 100 * kMs && now < start + 140 * kMs;
        while (!late && start + blocks * block - lead <= now) {
            Mix(*stream, 441, start + blocks * block);
            ++blocks;
        }
        const int64_t position = stream->PositionAt(now);
        const int64_t output = 441 * blocks;
        ASSERT_NEAR(position, std::min(heardBy(now), output), 1) << "at " << (now - start);
        ASSERT_GE(position, previous) << "at " << (now - start);
        previous = position;
    }
    EXPECT_EQ(stream->PositionAt(start + 3600 * 1000 * kMs), 441 * blocks)
        << "never past what was output";
    EXPECT_EQ(stream->PositionAt(start - 3600 * 1000 * kMs), 0) << "nor before the start";
}

// The decoder fell behind: a block holds less of the stream than it lasts, and the
// next one goes on where it stopped. With both output ahead of the ear, the position
// is the first block's while it is heard, holds through the silence, then moves on.
TEST_F(StreamBookkeeping, SilenceBetweenOutputsHoldsThePosition) {
    auto stream = Open(kOutputRate, kOutputRate);
    stream->Play(false);
    const int64_t start = 7200 * 1000 * kMs;
    Mix(*stream, 8000, start);  // more than the ready ring holds
    const int64_t first = stream->PositionAt(start + 3600 * 1000 * kMs);
    ASSERT_GT(first, 1000);
    ASSERT_LT(first, 8000) << "the block should outlast the ready ring";
    const int64_t second = start + 8000 * 1000 * kMs / kOutputRate;
    Mix(*stream, 441, second);

    EXPECT_EQ(stream->PositionAt(start + 10 * kMs), 441) << "inside the first block";
    EXPECT_EQ(stream->PositionAt(second - kMs), first) << "in the silence";
    EXPECT_EQ(stream->PositionAt(second + 5 * kMs), first + 220) << "inside the second";
    EXPECT_EQ(stream->PositionAt(second + 20 * kMs), first + 441);
}

// A seek, a stop or a pause ends what was output before it, even if it is still to be
// heard: the position starts from the new place or the kept one, and moves on only
// with audio output afterwards.
TEST_F(StreamBookkeeping, OutputAheadEndsWithSeekAndStop) {
    auto stream = Open(kOutputRate, kOutputRate);
    stream->Play(false);
    // Far ahead of the real clock, which Stop reads.
    const int64_t start = ae::MonotonicNs() + 3600 * 1000 * kMs;
    Mix(*stream, 441, start);
    Mix(*stream, 441, start + 10 * kMs);
    ASSERT_TRUE(stream->Seek(30000).ok());
    EXPECT_EQ(stream->PositionAt(start + 15 * kMs), 30000) << "the old place is not heard";
    Mix(*stream, 441, start + 20 * kMs);
    EXPECT_EQ(stream->PositionAt(start), 30000) << "never before the new place";
    EXPECT_EQ(stream->PositionAt(start + 25 * kMs), 30220);

    stream->Stop();  // heard so far, by the real clock: nothing of the new place
    EXPECT_EQ(stream->Position(), 30000);
    EXPECT_EQ(stream->PositionAt(start + 25 * kMs), 30000) << "stopped: the kept place";
    stream->Play(false);
    EXPECT_EQ(stream->PositionAt(start + 25 * kMs), 30000)
        << "resumed: nothing output before the stop counts";
    // The frames output before the stop were played out after it; the next block
    // goes on after them, and the position comes up to it with the clock.
    const int64_t resumed = start + 100 * kMs;
    Mix(*stream, 441, resumed);
    EXPECT_EQ(stream->PositionAt(resumed - 1000 * kMs), 30000);
    EXPECT_EQ(stream->PositionAt(resumed - 5 * kMs), 30441 - 220);
    EXPECT_EQ(stream->PositionAt(resumed), 30441);
    EXPECT_EQ(stream->PositionAt(resumed + 5 * kMs), 30441 + 220);

    // An effect change while paused decodes the queued audio again from where the
    // output stopped taking it, not from the heard place: what the output's buffer
    // still held at the pause is not heard twice.
    stream->Pause();
    ASSERT_GE(stream->AddEffect(0), 0);
    stream->Play(false);
    Mix(*stream, 441);  // heard as output
    EXPECT_EQ(stream->Position(), 30882 + 441);
}

TEST_F(StreamBookkeeping, VolumeGlidesAndNeverStepsPastItsRamp) {
    // A constant signal makes every step of the output a step of the gain.
    const std::string path = dir_.File("dc.wav");
    ASSERT_TRUE(testaudio::Write(path, testaudio::Format::WavFloat, kOutputRate, 1,
                                 std::vector<float>(kOutputRate, 0.5f)));
    auto opened = Stream::Open(path, ae::StreamSetup{kOutputRate, 0});
    ASSERT_TRUE(opened.ok());
    std::unique_ptr<Stream> stream = std::move(opened).value();
    stream->Play(false);
    EXPECT_FLOAT_EQ(Mix(*stream, 16)[0], 0.5f);
    stream->SetVolume(2.0f);
    const int ramp = ae::VolumeRampFrames(kOutputRate);
    std::vector<float> out;
    for (int i = 0; i < ramp + 64; i += 7) {  // odd blocks: the ramp spans several
        const std::vector<float> block = Mix(*stream, 7);
        out.insert(out.end(), block.begin(), block.end());
    }
    const float maxStep = 0.5f * (2.0f - 1.0f) / static_cast<float>(ramp) * 1.001f;
    float previous = 0.5f;
    for (size_t i = 0; i < out.size(); i += 2) {
        ASSERT_LE(out[i] - previous, maxStep) << "frame " << i / 2;
        ASSERT_GE(out[i], previous) << "frame " << i / 2;
        previous = out[i];
    }
    EXPECT_FLOAT_EQ(previous, 1.0f) << "the glide ends on the new volume";
}

// Two streams of one file driven alike, one whose spectra the decode side computes
// ahead while they are asked for, one that computes every spectrum on demand: every
// answer is the same, bit for bit, while they play, seek, pause and change effects,
// and most of the first stream's answers were computed ahead.
TEST_F(StreamBookkeeping, SpectraComputedAheadEqualThoseComputedOnDemand) {
    const std::string path = dir_.File("chirp.wav");
    std::vector<float> audio(2 * 4 * static_cast<size_t>(kOutputRate));
    for (size_t i = 0; i < audio.size() / 2; ++i) {
        const double t = static_cast<double>(i) / kOutputRate;
        audio[2 * i] = static_cast<float>(0.5 * std::sin(2 * M_PI * (200 + 600 * t) * t));
        audio[2 * i + 1] = static_cast<float>(0.3 * std::sin(2 * M_PI * 3000 * t));
    }
    ASSERT_TRUE(testaudio::Write(path, testaudio::Format::WavFloat, kOutputRate, 2, audio));
    std::unique_ptr<Stream> streams[2];
    for (const bool ahead : {true, false}) {
        ae::Result<std::unique_ptr<Stream>> opened =
            Stream::Open(path, ae::StreamSetup{kOutputRate, 0, ahead});
        ASSERT_TRUE(opened.ok());
        streams[ahead ? 0 : 1] = std::move(opened).value();
    }
    int answers = 0;
    const auto both = [&](const auto& act) {
        for (auto& stream : streams) act(*stream);
    };
    // Mixes `frames` in blocks of `block`, comparing the two answers after each.
    const auto play = [&](int frames, int block) {
        for (int done = 0; done < frames; done += block) {
            both([&](Stream& s) { Mix(s, block); });
            float ahead[256], onDemand[256];
            streams[0]->SpectrumAtPosition(ahead);
            streams[1]->SpectrumAtPosition(onDemand);
            ASSERT_EQ(std::memcmp(ahead, onDemand, sizeof ahead), 0)
                << "answer " << answers << " at frame " << streams[1]->Position();
            ++answers;
        }
    };
    both([](Stream& s) { s.Play(false); });
    play(20000, 300);
    both([](Stream& s) { ASSERT_TRUE(s.Seek(70001).ok()); });  // off a step
    play(10000, 173);
    both([](Stream& s) { s.Pause(); });
    play(3000, 500);
    int slots[2] = {};
    for (int i = 0; i < 2; ++i) slots[i] = streams[i]->AddEffect(1);  // re-primes, paused
    play(2000, 500);
    both([&](Stream& s) {
        ASSERT_TRUE(s.SetEffectParams(slots[&s == streams[1].get()], {3000, 12, -12}));
    });
    play(2000, 500);
    both([](Stream& s) { s.Play(false); });
    play(20000, 256);
    both([](Stream& s) { ASSERT_TRUE(s.Seek(1000).ok()); });  // back, while playing
    both([](Stream& s) { s.Stop(); });
    play(2000, 400);
    both([](Stream& s) { s.Play(false); });
    play(20000, 600);
    ASSERT_GT(answers, 200);

    const ae::SpectrumWork ahead = streams[0]->spectrumWork();
    const ae::SpectrumWork onDemand = streams[1]->spectrumWork();
    EXPECT_EQ(onDemand.ahead, 0u);
    EXPECT_GT(onDemand.onDemand, static_cast<uint64_t>(answers / 2));
    EXPECT_GT(ahead.ahead, static_cast<uint64_t>(answers / 2));
    EXPECT_LT(ahead.onDemand, onDemand.onDemand / 4) << "most answers were computed ahead";
}

// A request subscribes the stream; a second of the output's time without one ends
// the subscription, and with it every spectrum the decode side computes.
TEST_F(StreamBookkeeping, SpectrumSubscriptionLapsesWithoutRequests) {
    auto stream = Open(kOutputRate, 6 * kOutputRate);
    stream->Play(false);
    Mix(*stream, 4096);
    EXPECT_EQ(stream->spectrumWork().ahead, 0u) << "nobody asked: no spectrum work";
    float bins[256];
    for (int i = 0; i < 40; ++i) {  // asked at every block
        stream->SpectrumAtPosition(bins);
        Mix(*stream, 1024);
    }
    const ae::SpectrumWork asked = stream->spectrumWork();
    EXPECT_GE(asked.ahead, 40u * 1024 / 256) << "the decode side computed the steps played";
    EXPECT_LE(asked.onDemand, 2u);
    // A second and the decoder's lead without a request: the subscription lapses.
    for (int i = 0; i < 60; ++i) Mix(*stream, 1024);
    const uint64_t lapsed = stream->spectrumWork().ahead;
    for (int i = 0; i < 60; ++i) Mix(*stream, 1024);
    EXPECT_EQ(stream->spectrumWork().ahead, lapsed) << "no spectrum work after the lapse";
    // The next request computes on its caller's thread and subscribes again.
    stream->SpectrumAtPosition(bins);
    EXPECT_EQ(stream->spectrumWork().onDemand, asked.onDemand + 1);
    for (int i = 0; i < 10; ++i) Mix(*stream, 1024);
    EXPECT_GT(stream->spectrumWork().ahead, lapsed);
}

#ifndef CORE_TESTS_SANITIZED
thread_local bool tCounting = false;
thread_local long tAllocations = 0;
#endif

TEST_F(StreamBookkeeping, MixingAllocatesNothing) {
#ifdef CORE_TESTS_SANITIZED
    GTEST_SKIP() << "the sanitizers own the allocator";
#else
    auto stream = Open(48000, 48000, 6);  // resampled, downmixed
    stream->Play(false);
    std::vector<float> out(2 * 512);
    long allocations = 0;
    for (int i = 0; i < 50; ++i) {
        Fill(*stream);
        tAllocations = 0;
        tCounting = true;
        stream->Mix(out.data(), 512, MixTiming{ae::MonotonicNs()});
        int64_t position = stream->Position();
        tCounting = false;
        allocations += tAllocations;
        EXPECT_GE(position, 0);
    }
    tCounting = true;
    // The counter itself works. A direct call, since an optimiser may drop a
    // new-expression whose result is deleted unused.
    ::operator delete(::operator new(sizeof(int)));
    tCounting = false;
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(tAllocations, 1);
#endif
}

}  // namespace

#ifndef CORE_TESTS_SANITIZED
// Out of line, so that the compiler does not pair an inlined malloc() or free() with
// the other side's operator.
__attribute__((noinline)) void* operator new(size_t size) {
    if (tCounting) ++tAllocations;
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif
