// SPDX-License-Identifier: MIT
// Files that are not (whole) audio give no decoder and the right error code, never
// a hang or a crash; files that change under a decoder end its stream cleanly.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "plugin/engine/Bass.h"
#include "tests/audioengine/decode/DecodeTestSupport.h"

using testaudio::Format;

namespace decodetest {
namespace {

int OpenError(const std::string& path) {
    const auto decoder = ae::OpenDecoder(path);
    EXPECT_FALSE(decoder.ok()) << path;
    return decoder.code();
}

std::vector<unsigned char> RandomBytes(size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<unsigned char> bytes(count);
    for (auto& b : bytes) b = static_cast<unsigned char>(rng());
    return bytes;
}

TEST(BadInput, WhatIsNotARegularReadableFileFailsToOpenAtOnce) {
    testaudio::TempDir dir;
    EXPECT_EQ(OpenError(dir.File("missing.wav")), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(OpenError(""), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(OpenError(dir.path()), BASS_ERROR_FILEOPEN);
    // A FIFO without a writer would block a plain open() forever.
    const std::string fifo = dir.File("fifo.mp3");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(OpenError(fifo), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(OpenError("/dev/urandom"), BASS_ERROR_FILEOPEN);
    EXPECT_EQ(OpenError("/dev/null"), BASS_ERROR_FILEOPEN);
    if (geteuid() != 0) {  // root reads whatever the mode says
        const std::string locked = dir.File("locked.wav");
        ASSERT_TRUE(testaudio::Write(locked, Format::Wav, 44100, 1, TestSignal(44100, 1, 100)));
        chmod(locked.c_str(), 0);
        EXPECT_EQ(OpenError(locked), BASS_ERROR_FILEOPEN);
    }
}

TEST(BadInput, FilesThatAreNotAudioAreRefusedAsUnknownFormat) {
    testaudio::TempDir dir;
    const std::string path = dir.File("bad");
    const std::string text = "This is a text file, not audio.\nSecond line.\n";
    const std::vector<std::vector<unsigned char>> contents = {
        {},
        {0xFF},
        std::vector<unsigned char>(text.begin(), text.end()),
        RandomBytes(50000, 1),
        std::vector<unsigned char>(4096, 0),
    };
    for (size_t i = 0; i < contents.size(); ++i) {
        SCOPED_TRACE(i);
        WriteBytes(path, contents[i]);
        EXPECT_EQ(OpenError(path), BASS_ERROR_FILEFORM);
    }
}

// A container we read holding a codec, or a layout, we have no decoder for says so,
// rather than calling the file malformed (FFmpeg, when present, is asked first: these
// hold nothing it decodes either).
TEST(BadInput, KnownContainersWithAnUnknownCodecReportTheCodec) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("dts.wav");
    ASSERT_TRUE(testaudio::Write(wav, Format::Wav, 44100, 2, TestSignal(44100, 2, 1000)));
    std::vector<unsigned char> bytes = ReadBytes(wav);
    ASSERT_EQ(std::memcmp(&bytes[12], "fmt ", 4), 0);
    bytes[20] = 0x01;  // format tag 0x2001: DTS
    bytes[21] = 0x20;
    WriteBytes(wav, bytes);
    EXPECT_EQ(OpenError(wav), BASS_ERROR_CODEC);

    // A stereo 8SVX body holds one channel after the other, which libsndfile would
    // read interleaved.
    const std::string source = dir.File("source.wav");
    ASSERT_TRUE(testaudio::Write(source, Format::Wav, 44100, 2, TestSignal(44100, 2, 5000)));
    const std::string svx = dir.File("stereo.8svx");
    ASSERT_TRUE(RunQuietly("sox -D '" + source + "' -t 8svx '" + svx + "'"));
    EXPECT_EQ(OpenError(svx), BASS_ERROR_CODEC);
}

// The start of a real file of each format (its magic and first header bytes)
// followed by garbage.
TEST(BadInput, RightMagicFollowedByGarbageIsRefused) {
    testaudio::TempDir dir;
    const std::string path = dir.File("garbage");
    for (Format format : testaudio::AllFormats()) {
        SCOPED_TRACE(testaudio::Name(format));
        const std::string real = dir.File(std::string("real") + testaudio::Name(format));
        ASSERT_FALSE(WriteTestFile(real, format, 2, 20000).empty());
        const std::vector<unsigned char> good = ReadBytes(real);
        for (size_t keep : {size_t{4}, size_t{12}, size_t{40}}) {
            SCOPED_TRACE(keep);
            std::vector<unsigned char> bytes(good.begin(), good.begin() + keep);
            const std::vector<unsigned char> noise =
                RandomBytes(20000, static_cast<unsigned>(keep));
            bytes.insert(bytes.end(), noise.begin(), noise.end());
            WriteBytes(path, bytes);
            EXPECT_EQ(OpenError(path), BASS_ERROR_FILEFORM);
        }
    }
    // An ID3v2 tag in front of noise: there is no MPEG stream to find.
    std::vector<unsigned char> tagged = {'I', 'D', '3', 3, 0, 0, 0, 0, 0, 100};
    tagged.resize(110, 0);
    const std::vector<unsigned char> noise = RandomBytes(20000, 7);
    tagged.insert(tagged.end(), noise.begin(), noise.end());
    WriteBytes(path, tagged);
    EXPECT_EQ(OpenError(path), BASS_ERROR_FILEFORM);
}

TEST(BadInput, TruncatedFilesOfEveryFormatAreRefused) {
    testaudio::TempDir dir;
    std::vector<Format> formats = testaudio::AllFormats();
    // The containers besides that state the length of their audio.
    formats.insert(formats.end(), {Format::Aifc, Format::Au, Format::Caf, Format::Rf64, Format::W64,
                                   Format::CafAlac});
    for (Format format : formats) {
        SCOPED_TRACE(testaudio::Name(format));
        const std::string real = dir.File(std::string("whole") + testaudio::Name(format));
        ASSERT_FALSE(WriteTestFile(real, format, 2, RateFor(format)).empty());
        const std::vector<unsigned char> whole = ReadBytes(real);
        for (int percent : {10, 50, 99}) {
            SCOPED_TRACE(percent);
            const std::string path = dir.File("cut");
            WriteBytes(path, std::vector<unsigned char>(
                                 whole.begin(), whole.begin() + whole.size() * percent / 100));
            EXPECT_EQ(OpenError(path), BASS_ERROR_FILEFORM);
        }
    }
}

// Bytes overwritten with noise inside the audio of each format, the containers read
// through libsndfile too: the file may or may not open, but decoding and seeking never run past the
// stated length, hang or touch memory they should not (the sanitizer build checks the last).
TEST(BadInput, CorruptedAudioDataDecodesWithinItsLength) {
    testaudio::TempDir dir;
    // The codec libraries would report damage on stderr; the engine must stay quiet.
    CapturedOutput output;
    std::vector<Format> formats = testaudio::AllFormats();
    const std::vector<Format>& others = testaudio::SndfileContainerFormats();
    formats.insert(formats.end(), others.begin(), others.end());
    for (Format format : formats) {
        SCOPED_TRACE(testaudio::Name(format));
        const std::string real = dir.File(std::string("intact") + testaudio::Name(format));
        ASSERT_FALSE(
            WriteTestFile(real, format, testaudio::MaxChannels(format), RateFor(format)).empty());
        const std::vector<unsigned char> intact = ReadBytes(real);
        for (unsigned seed = 1; seed <= 6; ++seed) {
            SCOPED_TRACE(seed);
            std::vector<unsigned char> bytes = intact;
            std::mt19937 rng(seed);
            // Seeds 1..3 hit the audio data, 4..6 anywhere after the first 8 bytes.
            const size_t from = seed <= 3 ? bytes.size() / 5 : 8;
            for (int i = 0; i < 48; ++i)
                bytes[from + rng() % (bytes.size() - from)] = static_cast<unsigned char>(rng());
            const std::string path = dir.File("corrupt");
            WriteBytes(path, bytes);
            auto opened = ae::OpenDecoder(path);
            if (!opened.ok()) continue;  // refused with its error code
            // An error code of 0 would read as success without a decoder.
            std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
            ASSERT_NE(decoder, nullptr);
            const ae::DecoderInfo info = decoder->info();
            ASSERT_GE(info.channels, 1);
            ASSERT_LE(info.channels, 8);
            std::vector<float> block(static_cast<size_t>(4096 * info.channels));
            int64_t total = 0;
            for (int64_t n; (n = decoder->Read(block.data(), 4096)) > 0;) total += n;
            EXPECT_LE(total, info.frames);
            for (int64_t target : {info.frames / 2, int64_t{0}, info.frames - 1}) {
                if (target < 0 || !decoder->Seek(target)) continue;
                EXPECT_LE(decoder->Read(block.data(), 4096), info.frames - target);
            }
        }
    }
    EXPECT_EQ(output.Finish(), "");
}

class WhileDecoding : public ::testing::TestWithParam<Format> {};

// The file is cut to 40 % of its bytes after a quarter of it was decoded: the
// stream ends early with a short read, then reads nothing, and seeking into what
// is gone fails or reads nothing. Noise keeps lossy files large, so that the cut
// lies well beyond what the decoder has read ahead.
TEST_P(WhileDecoding, ATruncatedFileEndsTheStreamCleanly) {
    const Format format = GetParam();
    testaudio::TempDir dir;
    const std::string path = dir.File("shrinking");
    const int64_t frames = 10 * RateFor(format);
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> noise(-0.4f, 0.4f);
    std::vector<float> signal(static_cast<size_t>(frames * 2));
    for (float& v : signal) v = noise(rng);
    ASSERT_TRUE(testaudio::Write(path, format, RateFor(format), 2, signal));
    auto opened = ae::OpenDecoder(path);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    std::vector<float> block(2 * 4096);
    int64_t decoded = 0;
    while (decoded < frames / 4) decoded += decoder->Read(block.data(), 4096);

    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    ASSERT_EQ(truncate(path.c_str(), st.st_size * 4 / 10), 0);
    for (int64_t n; (n = decoder->Read(block.data(), 4096)) > 0;) decoded += n;
    EXPECT_LT(decoded, frames);
    EXPECT_EQ(decoder->Read(block.data(), 4096), 0);
    if (decoder->Seek(frames - 10)) {
        EXPECT_EQ(decoder->Read(block.data(), 4096), 0);
    }
    // What is still there plays again from the start.
    ASSERT_TRUE(decoder->Seek(0));
    EXPECT_EQ(decoder->Read(block.data(), 100), 100);
}

// A deleted file stays readable through the open descriptor: the stream plays to
// its end.
TEST_P(WhileDecoding, ADeletedFilePlaysToItsEnd) {
    const Format format = GetParam();
    testaudio::TempDir dir;
    const std::string path = dir.File("deleted");
    const int64_t frames = RateFor(format);
    ASSERT_FALSE(WriteTestFile(path, format, 2, frames).empty());
    auto opened = ae::OpenDecoder(path);
    ASSERT_TRUE(opened.ok()) << "error " << opened.code();
    std::unique_ptr<ae::Decoder> decoder = std::move(opened).value();
    std::vector<float> block(2 * 1000);
    int64_t decoded = decoder->Read(block.data(), 1000);
    ASSERT_EQ(unlink(path.c_str()), 0);
    for (int64_t n; (n = decoder->Read(block.data(), 1000)) > 0;) decoded += n;
    EXPECT_EQ(decoded, frames);
}

INSTANTIATE_TEST_SUITE_P(Formats, WhileDecoding, ::testing::ValuesIn(testaudio::AllFormats()),
                         [](const auto& param) {
                             return std::string(testaudio::Name(param.param));
                         });

}  // namespace
}  // namespace decodetest
