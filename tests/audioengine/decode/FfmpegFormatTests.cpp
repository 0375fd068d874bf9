// SPDX-License-Identifier: MIT
// The formats read through the FFmpeg module: each file, made at test time by the
// ffmpeg tool (or mpcenc), decodes to the samples `ffmpeg -i FILE -f f32le` gives,
// with the length to the sample, gapless where the container says how (MP4's edit
// list), seeks land on the sample, and nothing is printed. Skipped with the reason
// when the module is not built.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/ContainerMetadata.h"
#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"
#include "tests/audioengine/decode/DecodeTestSupport.h"

namespace decodetest {
namespace {

// Where the expected length comes from.
enum class Length {
    Source,     // the source's: the container states encoder delay and padding exactly
    Container,  // the container's stated duration (ffprobe's duration_ts): MP4's edit
                // list, which FFmpeg's AAC encoder writes a few frames off the source
    Decoded,    // FFmpeg's own decode: raw streams, and containers stating no delay
};

struct Case {
    const char* name;
    const char* extension;
    int rate;
    const char* encode;  // ffmpeg's arguments after the input, or a command with {in} {out}
    uint32_t ctype;
    bool lossless;
    Length length;
    size_t id3Bytes = 0;  // an ID3v2 tag of this size put in front of the stream
    int64_t delay = 0;    // frames of FFmpeg's decode before ours starts
};

const Case kCases[] = {
    {"m4a_aac", ".m4a", 44100, "-c:a aac -b:a 128k", BASS_CTYPE_STREAM_MP4, false,
     Length::Container},
    // As iTunes writes AAC: no edit list, the delay (FFmpeg's encoder: 1024 frames) and
    // the length (133537 frames, 0x209A1) in the iTunSMPB tag.
    {"m4a_aac_itunsmpb", ".m4a", 44100,
     "-c:a aac -b:a 128k -use_editlist 0 -movflags use_metadata_tags -metadata "
     "iTunSMPB=' 00000000 00000400 00000000 00000000000209A1 00000000 00000000'",
     BASS_CTYPE_STREAM_MP4, false, Length::Source, 0, 1024},
    {"m4a_alac", ".m4a", 44100, "-c:a alac", BASS_CTYPE_STREAM_ALAC, true, Length::Source},
    // libsndfile reads its own ALAC in CAF but not FFmpeg's; FFmpeg states the last
    // packet's frames whole in the packet table.
    {"caf_alac", ".caf", 44100, "-c:a alac", BASS_CTYPE_STREAM_ALAC, true, Length::Source},
    {"adts_aac", ".aac", 44100, "-c:a aac -b:a 128k -f adts", BASS_CTYPE_STREAM_AAC, false,
     Length::Decoded},
    {"adts_aac_id3v2", ".aac", 44100, "-c:a aac -b:a 96k -f adts", BASS_CTYPE_STREAM_AAC, false,
     Length::Decoded, 2048},
    {"wma", ".wma", 44100, "-c:a wmav2 -b:a 128k", BASS_CTYPE_STREAM_WMA, false, Length::Decoded},
    {"wavpack", ".wv", 44100, "-c:a wavpack", BASS_CTYPE_STREAM_WV, true, Length::Source},
    {"tta", ".tta", 44100, "-c:a tta", BASS_CTYPE_STREAM_TTA, true, Length::Source},
    {"ac3", ".ac3", 48000, "-c:a ac3 -b:a 192k", BASS_CTYPE_STREAM_AC3, false, Length::Decoded},
    {"ac3_id3v2", ".ac3", 44100, "-c:a ac3 -b:a 192k -f ac3", BASS_CTYPE_STREAM_AC3, false,
     Length::Decoded, 300},
    // A WAV file holding AC-3 (a DVD's audio, ripped): libsndfile has no decoder for it.
    {"wav_ac3", ".wav", 48000, "-c:a ac3 -b:a 192k", BASS_CTYPE_STREAM_AC3, false, Length::Decoded},
    {"eac3", ".eac3", 48000, "-c:a eac3 -b:a 192k", AE_CTYPE_STREAM_EAC3, false, Length::Decoded},
    {"dts", ".dts", 48000, "-strict -2 -c:a dca -b:a 768k", AE_CTYPE_STREAM_DTS, false,
     Length::Decoded},
    {"webm_opus", ".webm", 48000, "-c:a libopus -b:a 96k", AE_CTYPE_STREAM_OPUS_OTHER, false,
     Length::Source},
    {"ogg_flac", ".oga", 44100, "-c:a flac -f ogg", BASS_CTYPE_STREAM_FLAC_OGG, true,
     Length::Source},
    {"mka_vorbis", ".mka", 44100, "-c:a libvorbis -q:a 4", AE_CTYPE_STREAM_VORBIS_OTHER, false,
     Length::Decoded},
    {"musepack", ".mpc", 44100, "mpcenc --silent --quality 5 {in} {out}", BASS_CTYPE_STREAM_MPC,
     false, Length::Decoded},
};

std::vector<float> ReadFloats(const std::string& path) {
    const std::vector<unsigned char> bytes = ReadBytes(path);
    std::vector<float> out(bytes.size() / sizeof(float));
    std::memcpy(out.data(), bytes.data(), out.size() * sizeof(float));
    return out;
}

float WorstDifference(const float* a, const float* b, size_t count) {
    float worst = 0;
    for (size_t i = 0; i < count; ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
    return worst;
}

class FfmpegFormat : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        std::string why;
        if (!ae::FfmpegModuleLoaded(&why)) GTEST_SKIP() << "FFmpeg module not loaded: " << why;
        if (!RunQuietly("ffmpeg -version")) GTEST_SKIP() << "no ffmpeg tool to make the files";
    }
    testaudio::TempDir dir_;
};

TEST_P(FfmpegFormat, DecodesAsFfmpegDoesAndSeeksToTheSample) {
    const Case& c = GetParam();
    const int channels = 2;
    const int64_t frames = 3 * c.rate + 1237;  // no multiple of any codec's frame
    const std::string wav = dir_.File("source.wav");
    const std::string encoded = dir_.File(std::string("encoded") + c.extension);
    ASSERT_TRUE(testaudio::Write(wav, testaudio::Format::Wav, c.rate, channels,
                                 TestSignal(c.rate, channels, frames)));
    std::string command = c.encode;
    if (command.find("{in}") != std::string::npos) {
        command.replace(command.find("{in}"), 4, "'" + wav + "'");
        command.replace(command.find("{out}"), 5, "'" + encoded + "'");
        if (!RunQuietly(command)) GTEST_SKIP() << "cannot run: " << command;
    } else {
        ASSERT_TRUE(
            RunQuietly("ffmpeg -nostdin -y -i '" + wav + "' " + command + " '" + encoded + "'"));
    }
    const std::string raw = dir_.File("reference.f32");
    ASSERT_TRUE(
        RunQuietly("ffmpeg -nostdin -y -threads 1 -i '" + encoded + "' -f f32le '" + raw + "'"));
    const std::vector<float> reference = ReadFloats(raw);
    std::string path = encoded;
    if (c.id3Bytes > 0) {
        // A tag in front (taggers do this to any file): the stream is still found.
        std::vector<unsigned char> bytes = {'I', 'D', '3', 3, 0, 0};
        const size_t body = c.id3Bytes - 10;
        for (int shift : {21, 14, 7, 0})
            bytes.push_back(static_cast<unsigned char>((body >> shift) & 0x7F));
        const std::string frame = "TIT2";
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        const size_t text = body - 10;
        bytes.insert(bytes.end(), {0, 0, static_cast<unsigned char>(text >> 8),
                                   static_cast<unsigned char>(text & 0xFF), 0, 0, 0});
        bytes.resize(c.id3Bytes, 'x');
        const std::vector<unsigned char> audio = ReadBytes(encoded);
        bytes.insert(bytes.end(), audio.begin(), audio.end());
        path = dir_.File("tagged");
        WriteBytes(path, bytes);
    }

    // What the module prints is collected around its calls only, so that this test's
    // own failure messages are not taken for it.
    std::string printed;
    auto quietly = [&printed](auto call) {
        CapturedOutput output;
        auto result = call();
        printed += output.Finish();
        return result;
    };
    auto opened = quietly([&] { return ae::OpenDecoder(path); });
    ASSERT_TRUE(opened.ok()) << "error " << opened.code() << " " << ae::LastRefusal();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    const ae::DecoderInfo& info = decoder->info();
    EXPECT_EQ(info.ctype, c.ctype);
    EXPECT_EQ(info.rate, c.rate);
    EXPECT_EQ(info.channels, channels);
    EXPECT_EQ(info.channelMask, 3u);
    int64_t expectedFrames = static_cast<int64_t>(reference.size()) / channels;
    if (c.length == Length::Source) expectedFrames = frames;
    if (c.length == Length::Container) {
        const std::string stated = dir_.File("duration.txt");
        ASSERT_TRUE(
            RunQuietly("ffprobe -v error -select_streams a:0 -show_entries "
                       "stream=duration_ts -of csv=p=0 -o '" +
                       stated + "' '" + encoded + "'"));
        const std::vector<unsigned char> text = ReadBytes(stated);
        expectedFrames = std::atoll(std::string(text.begin(), text.end()).c_str());
    }
    EXPECT_EQ(info.frames, expectedFrames);
    ASSERT_GE(static_cast<int64_t>(reference.size()), (c.delay + expectedFrames) * channels);

    const std::vector<float> decoded = quietly([&] { return DecodeRest(*decoder, 1000); });
    ASSERT_EQ(static_cast<int64_t>(decoded.size()), expectedFrames * channels);
    // The same decoder as the tool's: lossless formats are bit-exact, and so are lossy
    // ones decoded from the start (the tolerance covers float rounding only).
    const float tolerance = c.lossless ? 0.0f : 1e-6f;
    EXPECT_LE(
        WorstDifference(decoded.data(), reference.data() + c.delay * channels, decoded.size()),
        tolerance);
    if (c.length != Length::Decoded) {
        // Gapless: the encoder's delay is gone, so the source lines up to the frame.
        EXPECT_EQ(BestLag(TestSignal(c.rate, channels, frames), decoded, channels, 64), 0);
    }

    // Targets on and beside packet boundaries, far in, near the end and backwards.
    // Lossless codecs give the same samples. Lossy ones give them too once their state
    // is rebuilt over the pre-roll, but for what their decoders draw at random (AAC's
    // noise substitution, AC-3's dither), which a flushed decoder draws anew: they are
    // held to a tolerance, and to lining up with the decode from the start (a seek off
    // by one frame differs by up to 0.05 here, the test tones' step per frame).
    const float seekTolerance = c.lossless ? 0.0f : 0.02f;
    const int64_t targets[] = {1,
                               1023,
                               1024,
                               4097,
                               frames / 2,
                               expectedFrames / 3,
                               expectedFrames - 1000,
                               expectedFrames - 1,
                               100,
                               0};
    std::vector<float> block(static_cast<size_t>(1000 * channels));
    for (int64_t target : targets) {
        SCOPED_TRACE(target);
        ASSERT_TRUE(quietly([&] { return decoder->Seek(target); }));
        const int64_t want = std::min<int64_t>(1000, expectedFrames - target);
        ASSERT_EQ(quietly([&] { return decoder->Read(block.data(), 1000); }), want);
        EXPECT_LE(WorstDifference(block.data(), decoded.data() + target * channels,
                                  static_cast<size_t>(want * channels)),
                  seekTolerance);
        if (!c.lossless && want == 1000) {
            const std::vector<float> expected(decoded.begin() + target * channels,
                                              decoded.begin() + (target + want) * channels);
            EXPECT_EQ(BestLag(expected, block, channels, 3), 0);
        }
    }
    EXPECT_FALSE(decoder->Seek(expectedFrames + 1));

    // Damaged copies: cut short, or with noise over a stretch of the audio. Each may
    // open or not; an opened one decodes no more than its length and ends, and seeks
    // into it answer. Nothing is printed either way.
    const std::vector<unsigned char> whole = ReadBytes(path);
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        std::vector<unsigned char> bytes = whole;
        if (variant < 2) {
            bytes.resize(whole.size() * (variant == 0 ? 50 : 97) / 100);
        } else {
            const size_t from = whole.size() / (variant == 2 ? 2 : 10);
            for (size_t i = from; i < std::min(whole.size(), from + 700); ++i)
                bytes[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
        }
        const std::string damaged = dir_.File("damaged");
        WriteBytes(damaged, bytes);
        int64_t length = -1, got = -1;
        bool seekAnswered = true;
        quietly([&] {
            auto copy = ae::OpenDecoder(damaged);
            if (!copy.ok()) return 0;
            ae::Decoder& d = *copy.value();
            length = d.info().frames;
            got = static_cast<int64_t>(DecodeRest(d).size()) / d.info().channels;
            if (d.Seek(length / 2)) seekAnswered = d.Read(block.data(), 1000) <= 1000;
            return 0;
        });
        if (length >= 0) {
            EXPECT_LE(got, length);
            EXPECT_TRUE(seekAnswered);
        }
    }
    EXPECT_EQ(printed, "");
}

INSTANTIATE_TEST_SUITE_P(Formats, FfmpegFormat, ::testing::ValuesIn(kCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Writes a tenth of a second of the test signal to `wav` and has the ffmpeg tool
// encode it with `options` into `out`. "" when done; else why the file could not be
// made: no module to read it or no tool (the test is skipped), or the source could not
// be written (a failure).
std::string MakeWithFfmpeg(const std::string& wav, const std::string& options,
                           const std::string& out) {
    std::string why;
    if (!ae::FfmpegModuleLoaded(&why)) return "FFmpeg module not loaded: " + why;
    if (!testaudio::Write(wav, testaudio::Format::Wav, 44100, 2, TestSignal(44100, 2, 4410))) {
        ADD_FAILURE() << "cannot write " << wav;  // a fault of the test's own, not a skip
        return "cannot write " + wav;
    }
    if (!RunQuietly("ffmpeg -nostdin -y -i '" + wav + "' " + options + " '" + out + "'"))
        return "no ffmpeg tool to make the file";
    return "";
}

// Matroska tags and CAF's, which TagLib cannot read, come to the tag library through
// the module: the container's pairs, then the audio stream's.
TEST(FfmpegMetadata, MatroskaTagsReachTheTagLibrary) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("source.wav"), mka = dir.File("tagged.mka");
    const std::string made = MakeWithFfmpeg(
        wav, "-c:a flac -metadata title='Caf\xc3\xa9' -metadata:s:a:0 language=fra", mka);
    if (!made.empty()) GTEST_SKIP() << made;
    std::string seen;
    const AE_MetadataVisitor visit = [](void* user, const char* key, const char* value) {
        *static_cast<std::string*>(user) += std::string(key) + "=" + value + ";";
    };
    ASSERT_EQ(ae::ReadContainerMetadata(mka, visit, &seen), BASS_OK);
    EXPECT_NE(seen.find("title=Caf\xc3\xa9;"), std::string::npos) << seen;
    EXPECT_NE(seen.find("language=fra;"), std::string::npos) << seen;
    EXPECT_LT(seen.find("title="), seen.find("language=")) << seen;
    EXPECT_EQ(ae::ReadContainerMetadata(wav, visit, &seen), BASS_ERROR_FILEFORM);
    // CAF's "info" chunk, which TagLib does not read, in Apple's names.
    const std::string caf = dir.File("tagged.caf");
    ASSERT_TRUE(RunQuietly("ffmpeg -nostdin -v error -i '" + wav +
                           "' -c:a alac -metadata 'track number=3/12' '" + caf + "'"));
    seen.clear();
    ASSERT_EQ(ae::ReadContainerMetadata(caf, visit, &seen), BASS_OK);
    EXPECT_NE(seen.find("track number=3/12;"), std::string::npos) << seen;
}

// FFmpeg's ALAC in CAF as short as one packet (a sound effect) holds every frame: the
// length comes from that packet alone.
TEST(FfmpegCaf, OnePacketHoldsItsFrames) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("source.wav"), caf = dir.File("short.caf");
    const std::string made = MakeWithFfmpeg(wav, "-af atrim=end_sample=2000 -c:a alac", caf);
    if (!made.empty()) GTEST_SKIP() << made;
    auto opened = ae::OpenDecoder(caf);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    EXPECT_EQ(opened.value()->info().frames, 2000);
    EXPECT_EQ(DecodeRest(*opened.value()).size(), 2000u * 2);
}

// A file in a container FFmpeg reads, with a codec we do not decode, is refused with
// the codec error, and says what it was.
TEST(FfmpegRefusal, NamesTheContainerAndTheCodec) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("source.wav"), mov = dir.File("adpcm.mov");
    const std::string made = MakeWithFfmpeg(wav, "-c:a adpcm_ima_qt", mov);
    if (!made.empty()) GTEST_SKIP() << made;
    EXPECT_EQ(ae::OpenDecoder(mov).code(), BASS_ERROR_CODEC);
    EXPECT_EQ(ae::LastRefusal(), "MP4 with an unsupported codec: ADPCM IMA QuickTime");
    // Content nothing reads is recognised as nothing.
    WriteBytes(mov, std::vector<unsigned char>(5000, 'x'));
    EXPECT_EQ(ae::OpenDecoder(mov).code(), BASS_ERROR_FILEFORM);
    EXPECT_EQ(ae::LastRefusal(), "");
}

}  // namespace
}  // namespace decodetest
