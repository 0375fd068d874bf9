// SPDX-License-Identifier: MIT
// Each layout decoded through the real decoder and mixed to stereo, against FFmpeg's
// own stereo downmix of the same file (`ffmpeg -ac 2`). Every channel carries a tone
// of its own, so the gain of each channel on each side can be read off the output.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "audioengine/dsp/StereoDownmix.h"
#include "tests/audioengine/decode/DecodeTestSupport.h"

namespace {

using testaudio::Format;

constexpr int kRate = 48000;
constexpr int64_t kFrames = 24000;
constexpr double kToneAmplitude = 0.2;
constexpr float kS = static_cast<float>(M_SQRT1_2);

double ToneHz(int channel) { return 500.0 + 250.0 * channel; }

std::vector<float> Tones(int channels) {
    std::vector<float> out(static_cast<size_t>(kFrames * channels));
    for (int64_t i = 0; i < kFrames; ++i)
        for (int c = 0; c < channels; ++c)
            out[static_cast<size_t>(i * channels + c)] = static_cast<float>(
                kToneAmplitude * std::sin(2 * M_PI * ToneHz(c) * i / kRate + 0.7 * c));
    return out;
}

// How the test file is made: WAV as libsndfile writes it (no speaker mask), WAV with
// the row's mask, a codec's own layout, or FLAC carrying the mask as a comment.
enum class Source { Wav, WavMask, Flac, FlacMaskComment, Vorbis, Opus };

struct Layout {
    const char* name;
    Source source;
    int channels;
    uint32_t mask;
    // Gains (left, right) per channel where they differ from FFmpeg's by design;
    // empty: FFmpeg's downmix is the reference.
    std::vector<std::array<float, 2>> expected;
};

void PrintTo(const Layout& layout, std::ostream* os) { *os << layout.name; }

// Writes a WAVE_FORMAT_EXTENSIBLE file and sets its speaker mask to `mask`.
bool WriteMaskedWav(const std::string& path, int channels, uint32_t mask,
                    const std::vector<float>& frames) {
    SF_INFO info{kFrames, kRate, channels, SF_FORMAT_WAVEX | SF_FORMAT_FLOAT, 0, 0};
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    const bool written = sf_writef_float(file, frames.data(), kFrames) == kFrames;
    if (sf_close(file) != 0 || !written) return false;
    std::vector<unsigned char> bytes = decodetest::ReadBytes(path);
    const std::string head(bytes.begin(), bytes.begin() + 64);
    const size_t at = head.find("fmt ") + 8 + 20;  // dwChannelMask in the fmt chunk
    if (at > 60) return false;
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<unsigned char>(mask >> (8 * i));
    decodetest::WriteBytes(path, bytes);
    return true;
}

bool WriteSource(const std::string& path, const Layout& l, const std::vector<float>& frames) {
    switch (l.source) {
        case Source::Wav:
            return testaudio::Write(path, Format::WavFloat, kRate, l.channels, frames);
        case Source::WavMask:
            return WriteMaskedWav(path, l.channels, l.mask, frames);
        case Source::Flac:
            return testaudio::Write(path, Format::Flac, kRate, l.channels, frames);
        case Source::FlacMaskComment: {
            char tag[64];
            std::snprintf(tag, sizeof tag, "WAVEFORMATEXTENSIBLE_CHANNEL_MASK=0x%04X", l.mask);
            return testaudio::Write(path + ".wav", Format::Wav, kRate, l.channels, frames) &&
                   decodetest::RunQuietly("ffmpeg -nostdin -v error -i '" + path +
                                          ".wav' -f flac -metadata " + tag + " '" + path + "'");
        }
        case Source::Vorbis:
            // Encoded by oggenc: libvorbisenc leaks a little setting up 5.1, which the
            // leak checker of a sanitized test would report.
            return testaudio::Write(path + ".wav", Format::Wav, kRate, l.channels, frames) &&
                   decodetest::RunQuietly("oggenc -Q -q 6 -o '" + path + "' '" + path + ".wav'");
        case Source::Opus:
            return testaudio::Write(path, Format::Opus, kRate, l.channels, frames);
    }
    return false;
}

// FFmpeg's stereo downmix of `path`, interleaved float.
std::vector<float> FfmpegDownmix(const std::string& path) {
    std::vector<float> out;
    FILE* pipe = popen(
        ("ffmpeg -nostdin -v error -i '" + path + "' -ac 2 -f f32le - 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    float block[4096];
    for (size_t n; (n = std::fread(block, sizeof(float), 4096, pipe)) > 0;)
        out.insert(out.end(), block, block + n);
    return pclose(pipe) == 0 ? out : std::vector<float>{};
}

// The gain of each channel's tone on each side, from its amplitude over the middle
// 0.4 s (a whole number of periods of every tone, so the tones do not leak).
std::vector<std::array<float, 2>> ToneGains(const std::vector<float>& stereo, int channels) {
    std::vector<std::array<float, 2>> gains(static_cast<size_t>(channels));
    const int64_t begin = 2400, count = 19200;
    if (static_cast<int64_t>(stereo.size()) < 2 * (begin + count)) return gains;
    for (int c = 0; c < channels; ++c)
        for (int side = 0; side < 2; ++side) {
            double re = 0, im = 0;
            for (int64_t i = begin; i < begin + count; ++i) {
                const double phase = 2 * M_PI * ToneHz(c) * i / kRate;
                re += stereo[static_cast<size_t>(2 * i + side)] * std::cos(phase);
                im += stereo[static_cast<size_t>(2 * i + side)] * std::sin(phase);
            }
            gains[c][side] = static_cast<float>(2 * std::hypot(re, im) / count / kToneAmplitude);
        }
    return gains;
}

class DownmixTest : public ::testing::TestWithParam<Layout> {};

TEST_P(DownmixTest, MatchesFfmpegStereoDownmix) {
    const Layout& l = GetParam();
    ASSERT_EQ(std::system("command -v ffmpeg >/dev/null 2>&1"), 0)
        << "ffmpeg is needed to check the downmix (scripts/deps)";
    testaudio::TempDir dir;
    const std::string path = dir.File("layout");
    ASSERT_TRUE(WriteSource(path, l, Tones(l.channels)));

    auto opened = ae::OpenDecoder(path);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    const ae::DecoderInfo info = decoder->info();
    ASSERT_EQ(info.channels, l.channels);
    const std::vector<float> decoded = decodetest::DecodeRest(*decoder);
    const int frames = static_cast<int>(decoded.size() / static_cast<size_t>(l.channels));
    std::vector<float> ours(2 * static_cast<size_t>(frames));
    ae::dsp::StereoDownmix(info.channels, info.channelMask)
        .Process(decoded.data(), frames, ours.data());

    // The reference gains: the row's own, or those of FFmpeg's downmix.
    std::vector<std::array<float, 2>> want = l.expected;
    std::vector<float> ffmpeg;
    if (want.empty()) {
        ffmpeg = FfmpegDownmix(path);
        ASSERT_FALSE(ffmpeg.empty()) << "ffmpeg could not downmix " << path;
        want = ToneGains(ffmpeg, l.channels);
    }
    const bool lossy = l.source == Source::Vorbis || l.source == Source::Opus;
    const auto got = ToneGains(ours, l.channels);
    for (int c = 0; c < l.channels; ++c)
        for (int side = 0; side < 2; ++side)
            EXPECT_NEAR(got[c][side], want[c][side], lossy ? 0.02 : 0.002)
                << "channel " << c << (side ? " on the right" : " on the left");
    // Two decoders' samples of a lossy file differ; those of a lossless one must not.
    if (lossy || ffmpeg.empty()) return;
    ASSERT_EQ(ours.size(), ffmpeg.size());
    float worst = 0;
    for (size_t i = 0; i < ours.size(); ++i) worst = std::max(worst, std::abs(ours[i] - ffmpeg[i]));
    EXPECT_LE(worst, 1e-4f) << "largest sample difference from FFmpeg's";
}

const Layout kLayouts[] = {
    // Mono to both sides at full level and stereo unchanged (FFmpeg takes mono -3 dB).
    {"mono", Source::Wav, 1, 0, {{1, 1}}},
    {"stereo", Source::Wav, 2, 0, {{1, 0}, {0, 1}}},
    {"wav_3_0", Source::WavMask, 3, 0x7, {}},
    {"flac_3_0", Source::Flac, 3, 0, {}},
    {"wav_quad", Source::WavMask, 4, 0x33, {}},
    {"vorbis_quad", Source::Vorbis, 4, 0, {}},
    {"flac_4_0_by_comment", Source::FlacMaskComment, 4, 0x107, {}},
    {"wav_5_0_side", Source::WavMask, 5, 0x607, {}},
    {"opus_5_0", Source::Opus, 5, 0, {}},
    {"wav_5_1_no_mask", Source::Wav, 6, 0, {}},
    {"vorbis_5_1", Source::Vorbis, 6, 0, {}},
    {"flac_5_1", Source::Flac, 6, 0, {}},
    {"wav_6_1", Source::WavMask, 7, 0x70F, {}},
    {"flac_6_1", Source::Flac, 7, 0, {}},
    {"wav_7_1", Source::WavMask, 8, 0x63F, {}},
    {"wav_7_1_wide", Source::WavMask, 8, 0xFF, {}},
    {"opus_7_1", Source::Opus, 8, 0, {}},
    // Height speakers, which FFmpeg drops: -3 dB to their own side.
    {"wav_5_1_2",
     Source::WavMask,
     8,
     0x503F,
     {{1, 0}, {0, 1}, {kS, kS}, {0, 0}, {kS, 0}, {0, kS}, {kS, 0}, {0, kS}}},
    // A mask naming three speakers for five channels: the layout is not known.
    {"wav_unknown", Source::WavMask, 5, 0x7, {{1, 0}, {0, 1}, {kS, kS}, {kS, kS}, {kS, kS}}},
};

INSTANTIATE_TEST_SUITE_P(Layouts, DownmixTest, ::testing::ValuesIn(kLayouts),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
