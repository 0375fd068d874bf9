// SPDX-License-Identifier: MIT
// Level meter, spectrum and the peaking equaliser, measured where the sound is heard
// (the manual output makes the heard position exact).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "tests/audioengine/api/EngineTestSupport.h"

using namespace enginetest;
using testaudio::Format;

namespace {

constexpr DWORD kNotPlaying = ~DWORD{0};

DWORD Left(DWORD level) { return level & 0xffff; }
DWORD Right(DWORD level) { return level >> 16; }

// Interleaved frames with a separate sine amplitude on each channel.
std::vector<float> PerChannelSine(int rate, const std::vector<double>& amplitudes, int64_t frames,
                                  double hz) {
    const size_t channels = amplitudes.size();
    std::vector<float> out(static_cast<size_t>(frames) * channels);
    for (int64_t i = 0; i < frames; ++i)
        for (size_t c = 0; c < channels; ++c)
            out[static_cast<size_t>(i) * channels + c] =
                static_cast<float>(amplitudes[c] * std::sin(2.0 * M_PI * hz * i / rate));
    return out;
}

std::vector<float> Spectrum(DWORD h) {
    std::vector<float> bins(256, -1.0f);
    EXPECT_EQ(BASS_ChannelGetData(h, bins.data(), BASS_DATA_FFT512), 1024u)
        << "error " << BASS_ErrorGetCode();
    return bins;
}

size_t Loudest(const std::vector<float>& bins) {
    return static_cast<size_t>(std::max_element(bins.begin(), bins.end()) - bins.begin());
}

TEST(Level, PeakOfWhatIsHeardPerChannel) {
    testaudio::TempDir dir;
    Stream half(WriteFile(dir, "half", Format::WavFloat, kOutputRate, 2,
                          testaudio::Sine(kOutputRate, 2, kOutputRate, 1000, 0.5)));
    Stream full(WriteFile(dir, "full", Format::WavFloat, kOutputRate, 2,
                          testaudio::Sine(kOutputRate, 2, kOutputRate, 1000, 1.0)));
    Stream mono(
        WriteFile(dir, "mono", Format::Wav, 22050, 1, testaudio::Sine(22050, 1, 22050, 1000, 0.5)));
    Stream sides(WriteFile(dir, "sides", Format::WavFloat, kOutputRate, 2,
                           PerChannelSine(kOutputRate, {0.5, 0.25}, kOutputRate, 1000)));
    Stream six(WriteFile(dir, "six", Format::WavFloat, 48000, 6,
                         PerChannelSine(48000, {0.2, 0.1, 0.6, 0.3, 0.05, 0.4}, 48000, 1000)));
    const std::vector<const Stream*> all = {&half, &full, &mono, &sides, &six};
    for (const Stream* s : all) {
        ASSERT_NE(s->handle(), 0u);
        EXPECT_EQ(BASS_ChannelGetLevel(s->handle()), kNotPlaying) << "not played yet";
        ASSERT_TRUE(BASS_ChannelPlay(s->handle(), FALSE));
        // Volume is not part of the level.
        ASSERT_TRUE(BASS_ChannelSetAttribute(s->handle(), BASS_ATTRIB_VOL, 0.1f));
    }
    ASSERT_FALSE(Render(kOutputRate / 4).empty());

    auto expect_level = [](const Stream& s, double left, double right, const char* what) {
        const DWORD level = BASS_ChannelGetLevel(s.handle());
        ASSERT_NE(level, kNotPlaying) << what;
        EXPECT_NEAR(Left(level), left, left * 0.01 + 1) << what << " left";
        EXPECT_NEAR(Right(level), right, right * 0.01 + 1) << what << " right";
    };
    expect_level(half, 16384, 16384, "0.5 sine");
    expect_level(full, 32768, 32768, "full-scale sine");
    expect_level(mono, 16384, 16384, "mono, duplicated");
    expect_level(sides, 16384, 8192, "left 0.5, right 0.25");
    expect_level(six, 0.6 * 32768, 0.4 * 32768, "six channels: even left, odd right");

    ASSERT_TRUE(BASS_ChannelPause(half.handle()));
    EXPECT_EQ(BASS_ChannelGetLevel(half.handle()), kNotPlaying) << "paused";
    ASSERT_TRUE(BASS_ChannelStop(full.handle()));
    EXPECT_EQ(BASS_ChannelGetLevel(full.handle()), kNotPlaying) << "stopped";
    ASSERT_FALSE(Render(kOutputRate).empty());
    EXPECT_EQ(BASS_ChannelIsActive(mono.handle()), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    EXPECT_EQ(BASS_ChannelGetLevel(mono.handle()), kNotPlaying) << "ended";
}

// The meter and the spectrum read the audio at the heard position, not what the
// decoder has already prepared: a file of silence then a tone shows the tone only
// once it is heard.
TEST(Level, FollowsTheHeardPositionNotTheDecoder) {
    testaudio::TempDir dir;
    const int64_t silence = 22050;
    std::vector<float> frames(static_cast<size_t>(silence * 2), 0.0f);
    const auto tone = testaudio::Sine(kOutputRate, 2, kOutputRate, 775.1953125, 0.5);
    frames.insert(frames.end(), tone.begin(), tone.end());
    Stream s(WriteFile(dir, "late", Format::WavFloat, kOutputRate, 2, frames));
    ASSERT_NE(s.handle(), 0u);
    ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
    ASSERT_FALSE(Render(silence - 1024).empty());
    EXPECT_EQ(BASS_ChannelGetLevel(s.handle()), 0u);
    EXPECT_LT(Spectrum(s.handle())[9], 1e-6f);
    ASSERT_FALSE(Render(2048).empty());
    EXPECT_NEAR(Left(BASS_ChannelGetLevel(s.handle())), 16384, 164);
    ASSERT_FALSE(Render(512).empty());
    EXPECT_NEAR(Spectrum(s.handle())[9], 0.5f, 0.005f);
}

// A sine centred on bin 9 peaks there at its amplitude; bins are spaced at the
// stream's own rate; paused and stopped streams answer from the last audio heard.
TEST(Spectrum, PeaksAtTheBinOfTheStreamsRate) {
    struct Case {
        int rate;
        int bin;
        Format format;
    };
    for (const Case c : {Case{44100, 9, Format::WavFloat}, Case{48000, 9, Format::WavFloat},
                         Case{48000, 81, Format::WavFloat}, Case{22050, 40, Format::WavFloat}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " Hz, bin " + std::to_string(c.bin));
        testaudio::TempDir dir;
        const double hz = c.bin * static_cast<double>(c.rate) / 512.0;
        Stream s(WriteFile(dir, "tone", c.format, c.rate, 2,
                           testaudio::Sine(c.rate, 2, c.rate, hz, 1.0)));
        ASSERT_NE(s.handle(), 0u);
        ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
        ASSERT_FALSE(Render(kOutputRate / 5).empty());
        const std::vector<float> bins = Spectrum(s.handle());
        EXPECT_EQ(Loudest(bins), static_cast<size_t>(c.bin));
        EXPECT_NEAR(bins[c.bin], 1.0f, 0.01f);
        // The Hann window puts half the amplitude in each neighbour and nearly nothing
        // further out.
        EXPECT_NEAR(bins[c.bin - 1], 0.5f, 0.01f);
        EXPECT_NEAR(bins[c.bin + 1], 0.5f, 0.01f);
        EXPECT_LT(bins[c.bin + 3], 0.01f);
        for (const float v : bins) EXPECT_GE(v, 0.0f);

        ASSERT_TRUE(BASS_ChannelPause(s.handle()));
        const std::vector<float> paused = Spectrum(s.handle());
        ASSERT_FALSE(Render(4096).empty());
        EXPECT_EQ(Spectrum(s.handle()), paused) << "a paused stream keeps its last spectrum";
        EXPECT_NEAR(paused[c.bin], 1.0f, 0.01f);
        ASSERT_TRUE(BASS_ChannelStop(s.handle()));
        EXPECT_NEAR(Spectrum(s.handle())[c.bin], 1.0f, 0.01f) << "stopped";
    }
}

// Two channels are averaged: opposite signals on the sides cancel.
TEST(Spectrum, AveragesTheChannels) {
    testaudio::TempDir dir;
    const double hz = 20 * 44100.0 / 512.0;
    Stream s(WriteFile(dir, "anti", Format::WavFloat, kOutputRate, 2,
                       PerChannelSine(kOutputRate, {0.8, -0.8}, kOutputRate, hz)));
    Stream t(WriteFile(dir, "one", Format::WavFloat, kOutputRate, 2,
                       PerChannelSine(kOutputRate, {0.8, 0.0}, kOutputRate, hz)));
    ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
    ASSERT_TRUE(BASS_ChannelPlay(t.handle(), FALSE));
    ASSERT_FALSE(Render(8192).empty());
    EXPECT_LT(Spectrum(s.handle())[20], 1e-4f);
    EXPECT_NEAR(Spectrum(t.handle())[20], 0.4f, 0.004f);
}

BASS_DX8_PARAMEQ Params(HFX fx) {
    BASS_DX8_PARAMEQ p{-1.0f, -1.0f, -1.0f};
    EXPECT_TRUE(BASS_FXGetParameters(fx, &p)) << "error " << BASS_ErrorGetCode();
    return p;
}

void ExpectParams(HFX fx, float centre, float bandwidth, float gain) {
    const BASS_DX8_PARAMEQ p = Params(fx);
    EXPECT_EQ(p.fCenter, centre);
    EXPECT_EQ(p.fBandwidth, bandwidth);
    EXPECT_EQ(p.fGain, gain);
}

TEST(Effects, StartNeutralAndValidateTheirParameters) {
    testaudio::TempDir dir;
    Stream s(WriteFile(dir, "tone", Format::Wav, kOutputRate, 2,
                       testaudio::Sine(kOutputRate, 2, 4410, 1000, 0.5)));
    Stream s32(WriteFile(dir, "tone32", Format::Wav, 32000, 1,
                         testaudio::Sine(32000, 1, 3200, 1000, 0.5)));
    ASSERT_NE(s.handle(), 0u);
    ASSERT_NE(s32.handle(), 0u);

    EXPECT_EQ(BASS_ChannelSetFX(s.handle(), 99, 0), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLTYPE);

    const HFX fx = BASS_ChannelSetFX(s.handle(), BASS_FX_DX8_PARAMEQ, 3);
    ASSERT_NE(fx, 0u) << "error " << BASS_ErrorGetCode();
    ExpectParams(fx, 8000.0f, 12.0f, 0.0f);

    const BASS_DX8_PARAMEQ good{1000.0f, 36.0f, -15.0f};
    ASSERT_TRUE(BASS_FXSetParameters(fx, &good));
    ExpectParams(fx, 1000.0f, 36.0f, -15.0f);
    for (const BASS_DX8_PARAMEQ edge :
         {BASS_DX8_PARAMEQ{80.0f, 1.0f, 15.0f}, BASS_DX8_PARAMEQ{16000.0f, 36.0f, -15.0f}}) {
        EXPECT_TRUE(BASS_FXSetParameters(fx, &edge)) << edge.fCenter;
        ExpectParams(fx, edge.fCenter, edge.fBandwidth, edge.fGain);
    }
    ASSERT_TRUE(BASS_FXSetParameters(fx, &good));

    const BASS_DX8_PARAMEQ bad[] = {
        {79.9f, 12.0f, 0.0f},      {16000.5f, 12.0f, 0.0f},  {NAN, 12.0f, 0.0f},
        {1000.0f, 0.99f, 0.0f},    {1000.0f, 36.1f, 0.0f},   {1000.0f, NAN, 0.0f},
        {1000.0f, 12.0f, -15.01f}, {1000.0f, 12.0f, 15.01f}, {1000.0f, 12.0f, INFINITY},
        {1000.0f, 12.0f, NAN},
    };
    for (const BASS_DX8_PARAMEQ& p : bad) {
        EXPECT_FALSE(BASS_FXSetParameters(fx, &p))
            << p.fCenter << " " << p.fBandwidth << " " << p.fGain;
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
        ExpectParams(fx, 1000.0f, 36.0f, -15.0f);
    }
    EXPECT_FALSE(BASS_FXSetParameters(fx, nullptr));
    EXPECT_FALSE(BASS_FXGetParameters(fx, nullptr));
    ExpectParams(fx, 1000.0f, 36.0f, -15.0f);

    // The centre must stay below half the stream's own rate.
    const HFX fx32 = BASS_ChannelSetFX(s32.handle(), BASS_FX_DX8_PARAMEQ, 1);
    ASSERT_NE(fx32, 0u);
    const BASS_DX8_PARAMEQ nyquist{16000.0f, 12.0f, 3.0f}, below{15999.0f, 12.0f, 3.0f};
    EXPECT_FALSE(BASS_FXSetParameters(fx32, &nyquist));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ILLPARAM);
    ExpectParams(fx32, 8000.0f, 12.0f, 0.0f);
    EXPECT_TRUE(BASS_FXSetParameters(fx32, &below));

    // Removing: once, from its own stream only.
    EXPECT_FALSE(BASS_ChannelRemoveFX(s32.handle(), fx));
    EXPECT_TRUE(BASS_ChannelRemoveFX(s.handle(), fx));
    EXPECT_FALSE(BASS_ChannelRemoveFX(s.handle(), fx));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    BASS_DX8_PARAMEQ p{};
    EXPECT_FALSE(BASS_FXGetParameters(fx, &p));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
    ExpectParams(fx32, 15999.0f, 12.0f, 3.0f);
}

// Renders `frames` of a freshly played stream of `path` with the given bands, in
// render blocks of `block` frames; the left side.
std::vector<float> RenderThroughBands(const std::string& path,
                                      const std::vector<BASS_DX8_PARAMEQ>& bands, int64_t frames,
                                      int64_t block) {
    Stream s(path);
    EXPECT_NE(s.handle(), 0u);
    int priority = 1;
    for (const BASS_DX8_PARAMEQ& band : bands) {
        const HFX fx = BASS_ChannelSetFX(s.handle(), BASS_FX_DX8_PARAMEQ, priority++);
        EXPECT_NE(fx, 0u);
        EXPECT_TRUE(BASS_FXSetParameters(fx, &band));
    }
    EXPECT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
    const std::vector<float> heard = Side(Render(frames, block), 0);
    EXPECT_TRUE(BASS_ChannelStop(s.handle()));
    Render(kFadeFrames);  // the stop's fade-out: the next render starts from silence
    return heard;
}

double Db(double ratio) { return 20.0 * std::log10(ratio); }

// -15 dB at 1 kHz lowers a 1 kHz sine by 15 dB in what is heard and in the meter;
// a neutral band changes nothing; a removed band stops acting within the ring.
TEST(Effects, PeakingBandShapesWhatIsHeard) {
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "tone", Format::WavFloat, kOutputRate, 2,
                                       testaudio::Sine(kOutputRate, 2, kOutputRate * 3, 1000, 0.5));
    const std::vector<float> dry = RenderThroughBands(path, {}, 8820, 512);
    const std::vector<float> neutral =
        RenderThroughBands(path, {BASS_DX8_PARAMEQ{8000.0f, 12.0f, 0.0f}}, 8820, 512);
    for (size_t i = 0; i < dry.size(); ++i) ASSERT_NEAR(neutral[i], dry[i], 1e-5) << i;

    Stream s(path);
    ASSERT_NE(s.handle(), 0u);
    const HFX cut = BASS_ChannelSetFX(s.handle(), BASS_FX_DX8_PARAMEQ, 1);
    const BASS_DX8_PARAMEQ minus15{1000.0f, 12.0f, -15.0f};
    ASSERT_TRUE(BASS_FXSetParameters(cut, &minus15));
    ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
    ASSERT_FALSE(Render(8820).empty());
    const std::vector<float> cut_out = Side(Render(8820), 0);
    EXPECT_NEAR(Db(ToneAmplitude(cut_out, kOutputRate, 1000) / 0.5), -15.0, 0.5);
    EXPECT_NEAR(Db(Left(BASS_ChannelGetLevel(s.handle())) / 16384.0), -15.0, 0.5) << "the meter";

    // A second band stacks, whatever its priority.
    const HFX second = BASS_ChannelSetFX(s.handle(), BASS_FX_DX8_PARAMEQ, -7);
    ASSERT_TRUE(BASS_FXSetParameters(second, &minus15));
    ASSERT_FALSE(Render(8820).empty());  // heard within the ring of at most 100 ms
    EXPECT_NEAR(Db(ToneAmplitude(Side(Render(8820), 0), kOutputRate, 1000) / 0.5), -30.0, 1.0);

    ASSERT_TRUE(BASS_ChannelRemoveFX(s.handle(), cut));
    ASSERT_TRUE(BASS_ChannelRemoveFX(s.handle(), second));
    ASSERT_FALSE(Render(8820).empty());
    EXPECT_NEAR(ToneAmplitude(Side(Render(8820), 0), kOutputRate, 1000), 0.5, 0.005);

    // Past full scale the meter clamps at 32768.
    Stream loud(WriteFile(dir, "loud", Format::WavFloat, kOutputRate, 2,
                          testaudio::Sine(kOutputRate, 2, kOutputRate, 1000, 0.9)));
    const HFX boost = BASS_ChannelSetFX(loud.handle(), BASS_FX_DX8_PARAMEQ, 1);
    const BASS_DX8_PARAMEQ plus15{1000.0f, 12.0f, 15.0f};
    ASSERT_TRUE(BASS_FXSetParameters(boost, &plus15));
    ASSERT_TRUE(BASS_ChannelPlay(loud.handle(), FALSE));
    ASSERT_FALSE(Render(8820).empty());
    const DWORD level = BASS_ChannelGetLevel(loud.handle());
    EXPECT_EQ(Left(level), 32768u);
    EXPECT_EQ(Right(level), 32768u);
}

// The output does not depend on how the audio callback slices it.
TEST(Effects, OutputIndependentOfRenderBlockSize) {
    testaudio::TempDir dir;
    std::vector<float> mix = testaudio::Sine(kOutputRate, 2, 22050, 300, 0.3);
    const auto high = testaudio::Sine(kOutputRate, 2, 22050, 5000, 0.2);
    for (size_t i = 0; i < mix.size(); ++i) mix[i] += high[i];
    const std::string path = WriteFile(dir, "mix", Format::WavFloat, kOutputRate, 2, mix);
    const std::vector<BASS_DX8_PARAMEQ> bands = {{300.0f, 12.0f, 9.0f}, {5000.0f, 24.0f, -12.0f}};
    const std::vector<float> reference = RenderThroughBands(path, bands, 22050, 22050);
    for (const int64_t block : {1, 7, 256}) {
        const std::vector<float> sliced = RenderThroughBands(path, bands, 22050, block);
        ASSERT_EQ(sliced.size(), reference.size());
        for (size_t i = 0; i < sliced.size(); ++i)
            ASSERT_EQ(sliced[i], reference[i]) << "block " << block << ", frame " << i;
    }
}

// Ten bands at the plug-in's centres, heard through the engine, match sox's
// `equalizer` with the same settings within -80 dB. The first second is left out of
// the comparison: it leaves room for bands that glide into their settings.
TEST(Effects, TenBandsMatchSoxEqualizer) {
    if (Shell("sox --version") != 0) GTEST_SKIP() << "sox is not installed";
    testaudio::TempDir dir;
    const int64_t frames = kOutputRate * 2;
    std::vector<float> signal(static_cast<size_t>(frames * 2), 0.0f);
    for (const double hz : {60.0, 170.0, 450.0, 1000.0, 2500.0, 7000.0, 13000.0, 15500.0}) {
        const auto tone = testaudio::Sine(kOutputRate, 2, frames, hz, 0.03);
        for (size_t i = 0; i < signal.size(); ++i) signal[i] += tone[i];
    }
    const std::string input = WriteFile(dir, "in", Format::WavFloat, kOutputRate, 2, signal);
    const float centres[10] = {80, 170, 310, 600, 1000, 3000, 6000, 12000, 14000, 16000};
    const float gains[10] = {6, -4, 3, -15, 5, 2, -6, 8, -3, 4};
    std::vector<BASS_DX8_PARAMEQ> bands;
    std::string command = "sox -D " + input + " -e floating-point -b 32 " + dir.File("sox.wav");
    for (int b = 0; b < 10; ++b) {
        bands.push_back({centres[b], 36.0f, gains[b]});
        command += " equalizer " + std::to_string(centres[b]) + " 3o " + std::to_string(gains[b]);
    }
    ASSERT_EQ(Shell(command), 0) << command;
    const std::vector<float> expected = Side(ReadWithSndfile(dir.File("sox.wav")), 0);
    const std::vector<float> heard = RenderThroughBands(input, bands, frames, 512);
    ASSERT_EQ(expected.size(), heard.size());
    double error = 0.0, power = 0.0;
    for (size_t i = static_cast<size_t>(kOutputRate); i < heard.size(); ++i) {
        error += (double{heard[i]} - expected[i]) * (double{heard[i]} - expected[i]);
        power += double{expected[i]} * expected[i];
    }
    EXPECT_LT(10.0 * std::log10(error / power), -80.0);
}

}  // namespace
