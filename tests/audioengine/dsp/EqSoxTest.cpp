// SPDX-License-Identifier: MIT
// The equaliser against sox's `equalizer` effect (the same cookbook filter, run by
// sox in double precision) on files written at test time.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "audioengine/dsp/EqChain.h"
#include "tests/audioengine/dsp/DspTestSignals.h"
#include "tests/support/AudioFiles.h"

namespace {

using ae::dsp::EqChain;
using ae::dsp::PeakingParams;

bool ReadFloatWav(const std::string& path, int* rate, int* channels, std::vector<float>* out) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) return false;
    out->assign(static_cast<size_t>(info.frames * info.channels), 0.0f);
    const sf_count_t read = sf_readf_float(file, out->data(), info.frames);
    sf_close(file);
    *rate = info.samplerate;
    *channels = info.channels;
    return read == info.frames;
}

std::string FileText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs sox with one `equalizer` per band, in order, from `in` to a 32-bit float WAV.
// sox's width suffix "o" takes octaves: semitones / 12.
bool RunSox(const std::string& in, const std::string& out, const std::vector<PeakingParams>& bands,
            const std::string& errors) {
    std::ostringstream command;
    command.precision(9);
    command << "sox -D '" << in << "' -e floating-point -b 32 '" << out << "'";
    for (const PeakingParams& b : bands) {
        command << " equalizer " << b.centerHz << " " << b.bandwidthSemitones / 12.0 << "o "
                << b.gainDb;
    }
    command << " 2>'" << errors << "'";
    return std::system(command.str().c_str()) == 0;
}

struct SoxCase {
    const char* name;
    int rate;
    int channels;
    std::vector<PeakingParams> bands;
};

class EqSoxTest : public ::testing::TestWithParam<SoxCase> {};

TEST_P(EqSoxTest, MatchesSoxEqualizer) {
    const SoxCase& c = GetParam();
    ASSERT_EQ(std::system("command -v sox >/dev/null 2>&1"), 0) << "sox is needed (scripts/deps)";

    testaudio::TempDir dir;
    const size_t frames = static_cast<size_t>(c.rate) * 2;
    // Quiet enough that sox's fixed-point path between effects never clips.
    const std::vector<float> in = dsptest::RichSignal(c.rate, c.channels, frames, 0.15f);
    const std::string inPath = dir.File("in.wav"), outPath = dir.File("sox.wav");
    ASSERT_TRUE(testaudio::Write(inPath, testaudio::Format::WavFloat, c.rate, c.channels, in));
    ASSERT_TRUE(RunSox(inPath, outPath, c.bands, dir.File("sox.err")))
        << FileText(dir.File("sox.err"));
    int rate = 0, channels = 0;
    std::vector<float> expected;
    ASSERT_TRUE(ReadFloatWav(outPath, &rate, &channels, &expected));
    ASSERT_EQ(rate, c.rate);
    ASSERT_EQ(channels, c.channels);
    ASSERT_EQ(expected.size(), in.size());

    // Bands in the same order as sox's effects: descending priorities.
    EqChain chain(c.rate, c.channels);
    int priority = 100;
    for (const PeakingParams& b : c.bands) {
        const int slot = chain.AddBand(priority--);
        ASSERT_TRUE(chain.SetParams(slot, b));
    }
    // The chain starts from neutral and glides to its settings; sox starts there.
    // Settle on silence first, then reset the history.
    std::vector<float> settle(static_cast<size_t>(c.rate) * c.channels, 0.0f);
    chain.Process(settle.data(), static_cast<size_t>(c.rate));
    chain.Reset();
    std::vector<float> out = in;
    chain.Process(out.data(), frames);

    double signal = 0.0, error = 0.0, change = 0.0;
    for (size_t i = 0; i < out.size(); ++i) {
        signal += static_cast<double>(expected[i]) * expected[i];
        error += (static_cast<double>(out[i]) - expected[i]) * (out[i] - expected[i]);
        change += (static_cast<double>(in[i]) - expected[i]) * (in[i] - expected[i]);
    }
    const double errorDb = 10.0 * std::log10(error / signal);
    std::printf("[ sox      ] %s: error energy %.1f dB\n", c.name, errorDb);
    EXPECT_LT(errorDb, -80.0);
    // The bands really changed the signal: the comparison is not of two copies.
    EXPECT_GT(10.0 * std::log10(change / signal), -30.0);
}

std::vector<PeakingParams> TenBands(float gain, float semitones) {
    const float centres[] = {80, 170, 310, 600, 1000, 3000, 6000, 12000, 14000, 16000};
    std::vector<PeakingParams> bands;
    for (int i = 0; i < 10; ++i) bands.push_back({centres[i], semitones, (i & 1) ? -gain : gain});
    return bands;
}

INSTANTIATE_TEST_SUITE_P(
    Bands, EqSoxTest,
    ::testing::Values(
        SoxCase{"ten_bands_3_octaves_stereo", 44100, 2, TenBands(6, 36)},
        SoxCase{"ten_bands_1_octave_stereo", 44100, 2, TenBands(15, 12)},
        SoxCase{"mixed_mono_48k",
                48000,
                1,
                {{80, 1, 15},
                 {170, 6, -15},
                 {310, 18, 3},
                 {600, 24, -9},
                 {1000, 12, 12},
                 {3000, 2, -4.5f},
                 {6000, 30, 7},
                 {12000, 9, -12},
                 {14000, 4, 1},
                 {16000, 36, -3}}},
        SoxCase{"four_channels_22k", 22050, 4, {{90, 12, 10}, {2000, 24, -10}, {10000, 36, 6}}}),
    [](const ::testing::TestParamInfo<SoxCase>& instance) {
        return std::string(instance.param.name);
    });

}  // namespace
