// SPDX-License-Identifier: MIT
// Streams from files: lengths, information, byte/second conversions, sample-exact
// seeks and the heard position, in every format, on the manual output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "tests/audioengine/api/EngineTestSupport.h"

using namespace enginetest;
using testaudio::ExpectedCtype;
using testaudio::Format;

namespace {

// A tone with a slow frequency sweep: no two stretches look alike, so a sample-exact
// comparison catches an offset of a single frame.
std::vector<float> Sweep(int rate, int channels, int64_t frames, double amplitude) {
    std::vector<float> out(static_cast<size_t>(frames * channels));
    double phase = 0.0;
    for (int64_t i = 0; i < frames; ++i) {
        const double hz = 300.0 + 900.0 * static_cast<double>(i) / static_cast<double>(frames);
        phase += 2.0 * M_PI * hz / rate;
        for (int c = 0; c < channels; ++c)
            out[static_cast<size_t>(i * channels + c)] =
                static_cast<float>(amplitude * std::sin(phase + c * 0.5));
    }
    return out;
}

int RateOf(Format format) { return format == Format::Opus ? 48000 : kOutputRate; }

// Renders until the stream has stopped by itself; the frames rendered, or -1 when
// it is still active after `limit` frames.
int64_t RenderUntilStopped(DWORD handle, int64_t limit) {
    int64_t done = 0;
    while (BASS_ChannelIsActive(handle) == BASS_ACTIVE_PLAYING) {
        if (done >= limit || Render(1024).empty()) return -1;
        done += 1024;
    }
    return done;
}

class EveryFormat : public ::testing::TestWithParam<Format> {};

INSTANTIATE_TEST_SUITE_P(Formats, EveryFormat, ::testing::ValuesIn(testaudio::AllFormats()),
                         [](const auto& instance) {
                             return std::string(testaudio::Name(instance.param));
                         });

// The length is exact (gapless for the lossy formats), information matches the file,
// and playing to the end is heard to the last frame.
TEST_P(EveryFormat, ExactLengthInformationAndPlayToTheEnd) {
    const Format format = GetParam();
    const int rate = RateOf(format);
    const int64_t frames = rate * 2 + 331;  // not a multiple of any codec's block
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "sweep", format, rate, 2, Sweep(rate, 2, frames, 0.5));
    Stream stream(path);
    ASSERT_NE(stream.handle(), 0u) << "error " << stream.error();
    const HSTREAM h = stream.handle();

    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), static_cast<QWORD>(frames * 4));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);

    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(info.freq, static_cast<DWORD>(rate));
    EXPECT_EQ(info.chans, 2u);
    EXPECT_EQ(info.flags, 0u);
    EXPECT_EQ(info.ctype, ExpectedCtype(format)) << std::hex << info.ctype;
    ASSERT_NE(info.filename, nullptr);
    EXPECT_EQ(std::string(info.filename), std::filesystem::canonical(path).string());

    // No tags were written, so the payload is the whole file, headers included.
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END),
              static_cast<QWORD>(std::filesystem::file_size(path)));

    EXPECT_EQ(BASS_ChannelIsActive(h), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    EXPECT_EQ(PositionFrames(h), 0);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(BASS_ChannelIsActive(h), static_cast<DWORD>(BASS_ACTIVE_PLAYING));
    const int64_t rendered = RenderUntilStopped(h, frames * 2);
    ASSERT_GE(rendered, 0) << "the stream did not stop at its end";
    EXPECT_EQ(BASS_ChannelIsActive(h), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    EXPECT_EQ(PositionFrames(h), frames) << "the last frame must be heard";
}

// Seeking lands on the exact frame: what is heard after a seek equals what is heard
// at that frame when the stream plays from the start. At the output rate the engine
// passes the samples through unchanged.
TEST_P(EveryFormat, SeeksAreSampleExact) {
    const Format format = GetParam();
    if (format == Format::Opus) GTEST_SKIP() << "Opus decodes at 48 kHz and is resampled";
    const int64_t frames = kOutputRate * 3;
    testaudio::TempDir dir;
    const std::string path =
        WriteFile(dir, "sweep", format, kOutputRate, 2, Sweep(kOutputRate, 2, frames, 0.5));
    Stream stream(path);
    ASSERT_NE(stream.handle(), 0u) << "error " << stream.error();
    const HSTREAM h = stream.handle();

    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    const std::vector<float> whole = Render(frames);
    ASSERT_EQ(whole.size(), static_cast<size_t>(frames * 2));

    if (!testaudio::IsLossy(format)) {
        // Lossless files: what is heard is the file's own samples, bit for bit.
        const std::vector<float> file = ReadWithSndfile(path);
        ASSERT_EQ(file.size(), whole.size());
        for (size_t i = 0; i < file.size(); ++i)
            ASSERT_FLOAT_EQ(whole[i], file[i]) << "sample " << i;
    }

    const float tolerance = testaudio::IsLossy(format) ? 2e-3f : 1e-6f;
    for (const int64_t target : {int64_t{1}, int64_t{4409}, int64_t{44100}, int64_t{100003},
                                 frames - 2000, int64_t{777}}) {
        ASSERT_TRUE(SeekFrames(h, target)) << "error " << BASS_ErrorGetCode();
        EXPECT_EQ(PositionFrames(h), target) << "right after a seek the position is the target";
        const std::vector<float> heard = Render(1500);
        ASSERT_EQ(heard.size(), 3000u);
        // Exact once the old audio has faded out and the new has faded in.
        double worst = 0.0;
        for (size_t i = 2 * kFadeFrames; i < heard.size(); ++i)
            worst = std::max(worst, std::fabs(double{heard[i]} - whole[target * 2 + i]));
        EXPECT_LE(worst, tolerance) << "seek to frame " << target;
        EXPECT_EQ(PositionFrames(h), target + 1500);
    }
}

// Opus decodes at 48 kHz and is resampled, so a seek restarts the resampler. A seek
// to a multiple of 160 frames (147 output frames) lands on an output frame of the
// continuous render; once the restarted resampler has settled the two agree, which
// they would not if the seek missed its frame by one (by 0.02 or more here).
TEST(Stream, OpusSeeksLandOnTheirFrame) {
    const int64_t frames = 48000 * 3;
    testaudio::TempDir dir;
    Stream stream(WriteFile(dir, "sweep", Format::Opus, 48000, 2, Sweep(48000, 2, frames, 0.5)));
    ASSERT_NE(stream.handle(), 0u) << "error " << stream.error();
    const HSTREAM h = stream.handle();
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    const std::vector<float> whole = Render(kOutputRate * 3 - 4410);
    ASSERT_FALSE(whole.empty());
    for (const int64_t m : {int64_t{30}, int64_t{301}, int64_t{555}}) {
        const int64_t target = 160 * m, output_frame = 147 * m;
        ASSERT_TRUE(SeekFrames(h, target));
        EXPECT_EQ(PositionFrames(h), target);
        const std::vector<float> heard = Render(2000);
        ASSERT_EQ(heard.size(), 4000u);
        double worst = 0.0;
        for (size_t i = 2 * 1000; i < heard.size(); ++i)
            worst = std::max(worst, std::fabs(double{heard[i]} - whole[output_frame * 2 + i]));
        EXPECT_LE(worst, 1e-3) << "seek to frame " << target;
    }
}

// Byte positions count 16-bit PCM at the file's own rate and channel count.
TEST(Stream, BytesAndSecondsAtTheStreamsOwnRateAndChannels) {
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "mono", Format::Wav, 22050, 1,
                                       testaudio::Sine(22050, 1, 22050 * 2, 440, 0.5));
    Stream stream(path);
    ASSERT_NE(stream.handle(), 0u);
    const HSTREAM h = stream.handle();
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), 88200u);
    EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0), 44100u);
    EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 0.0), 0u);
    // Rounded down to a whole frame: 1/3 s is 7350 frames of 2 bytes.
    EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0 / 3.0), 14700u);
    EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 0.99999 / 22050.0), 0u);
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(h, 44100), 1.0);
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(h, 88200), 2.0);
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(h, 0), 0.0);

    // Six channels at 48 kHz: a frame is 12 bytes.
    const std::string six =
        WriteFile(dir, "six", Format::Flac, 48000, 6, testaudio::Sine(48000, 6, 4800, 440, 0.5));
    Stream surround(six);
    ASSERT_NE(surround.handle(), 0u);
    EXPECT_EQ(BASS_ChannelSeconds2Bytes(surround.handle(), 0.05), 28800u);
    EXPECT_EQ(BASS_ChannelGetLength(surround.handle(), BASS_POS_BYTE), 57600u);
    EXPECT_DOUBLE_EQ(BASS_ChannelBytes2Seconds(surround.handle(), 576000), 1.0);
}

// A seek beyond the end fails with POSITION and moves nothing; the end itself and
// positions that are not frame-aligned are handled without harm.
TEST(Stream, SeekBeyondTheEndFails) {
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "tone", Format::Wav, kOutputRate, 2,
                                       testaudio::Sine(kOutputRate, 2, 10000, 440, 0.5));
    Stream stream(path);
    ASSERT_NE(stream.handle(), 0u);
    const HSTREAM h = stream.handle();
    ASSERT_TRUE(SeekFrames(h, 5000));
    EXPECT_FALSE(BASS_ChannelSetPosition(h, 40004, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
    EXPECT_FALSE(BASS_ChannelSetPosition(h, ~QWORD{0} - 3, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_POSITION);
    EXPECT_EQ(PositionFrames(h), 5000);
    EXPECT_TRUE(BASS_ChannelSetPosition(h, 40000, BASS_POS_BYTE)) << "the end itself is a position";
    EXPECT_TRUE(BASS_ChannelSetPosition(h, 4003, BASS_POS_BYTE));
    const QWORD pos = BASS_ChannelGetPosition(h, BASS_POS_BYTE);
    EXPECT_EQ(pos % 4, 0u) << "positions stay on whole frames";
    EXPECT_LE(pos, 4003u);
}

// Little-endian 32-bit field, as APE tags store them.
std::string Le32(uint32_t v) {
    std::string out(4, '\0');
    for (int i = 0; i < 4; ++i) out[static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    return out;
}

// An APEv2 tag with a header, one item and a footer.
std::string ApeTag() {
    const std::string item = Le32(6) + Le32(0) + std::string("Title") + '\0' + "Ape ok";
    auto block = [&](bool header) {
        const uint32_t flags = 0x80000000u | (header ? 0x20000000u : 0u);
        return std::string("APETAGEX") + Le32(2000) +
               Le32(static_cast<uint32_t>(item.size() + 32)) + Le32(1) + Le32(flags) +
               std::string(8, '\0');
    };
    return block(true) + item + block(false);
}

// BASS_FILEPOS_END leaves out the ID3v2 block at the start and the APE and ID3v1
// blocks at the end, and none of them is decoded as audio.
TEST(Stream, FileLengthExcludesTagBlocks) {
    if (Shell("id3v2 --version") != 0) GTEST_SKIP() << "id3v2 is not installed";
    testaudio::TempDir dir;
    const int64_t frames = 44100 + 555;
    const std::string path =
        WriteFile(dir, "tagged", Format::Mp3, kOutputRate, 2, Sweep(kOutputRate, 2, frames, 0.5));
    const auto audio_bytes = std::filesystem::file_size(path);
    {
        std::ofstream out(path, std::ios::binary | std::ios::app);
        std::string id3v1 = "TAG" + std::string(125, '\0');
        id3v1.replace(3, 9, "v1 title!");
        out << ApeTag() << id3v1;
    }
    // A large ID3v2 block, as cover art would make it.
    ASSERT_EQ(Shell("id3v2 -2 -t 'v2 title' -c '" + std::string(30000, 'x') + "' '" + path + "'"),
              0);
    ASSERT_GT(std::filesystem::file_size(path), audio_bytes + 30000);

    Stream s(path);
    ASSERT_NE(s.handle(), 0u) << "error " << s.error();
    EXPECT_EQ(BASS_StreamGetFilePosition(s.handle(), BASS_FILEPOS_END), audio_bytes);
    EXPECT_EQ(LengthFrames(s.handle()), frames) << "tags are not audio";
    EXPECT_EQ(BASS_StreamGetFilePosition(s.handle(), 12345), ~QWORD{0}) << "unknown mode";
}

// The stream keeps the file's absolute path, whatever path it was opened with.
TEST(Stream, FilenameIsAbsolute) {
    testaudio::TempDir dir;
    WriteFile(dir, "tone", Format::Flac, kOutputRate, 1,
              testaudio::Sine(kOutputRate, 1, 4410, 440, 0.5));
    const std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    const HSTREAM h = BASS_StreamCreateFile(FALSE, "./tone.flac", 0, 0, 0);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    ASSERT_NE(h, 0u) << "error " << BASS_ErrorGetCode();
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(h, &info));
    EXPECT_EQ(std::string(info.filename),
              std::filesystem::canonical(dir.File("tone.flac")).string());
    EXPECT_EQ(info.chans, 1u);
    EXPECT_TRUE(BASS_StreamFree(h));
}

// The format comes from the content: a FLAC file named .mp3 and an MP3 named .wav open.
TEST(Stream, FormatComesFromTheContent) {
    testaudio::TempDir dir;
    const auto tone = testaudio::Sine(kOutputRate, 2, 22050, 440, 0.5);
    const std::string flac = WriteFile(dir, "a", Format::Flac, kOutputRate, 2, tone);
    const std::string mp3 = WriteFile(dir, "b", Format::Mp3, kOutputRate, 2, tone);
    std::filesystem::rename(flac, dir.File("flac.mp3"));
    std::filesystem::rename(mp3, dir.File("mp3.wav"));
    Stream a(dir.File("flac.mp3")), b(dir.File("mp3.wav"));
    ASSERT_NE(a.handle(), 0u) << "error " << a.error();
    ASSERT_NE(b.handle(), 0u) << "error " << b.error();
    BASS_CHANNELINFO info{};
    ASSERT_TRUE(BASS_ChannelGetInfo(a.handle(), &info));
    EXPECT_EQ(info.ctype, BASS_CTYPE_STREAM_FLAC);
    ASSERT_TRUE(BASS_ChannelGetInfo(b.handle(), &info));
    EXPECT_EQ(info.ctype, BASS_CTYPE_STREAM_MP3);
    EXPECT_EQ(LengthFrames(b.handle()), 22050);
}

// Heard positions on the manual output: after N rendered frames the position reads
// N; pausing and stopping hold it; a seek reads its target at once.
TEST(Stream, HeardPositionFollowsWhatWasRendered) {
    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "tone", Format::Wav, kOutputRate, 2,
                                       testaudio::Sine(kOutputRate, 2, kOutputRate * 2, 440, 0.5));
    Stream stream(path);
    ASSERT_NE(stream.handle(), 0u);
    const HSTREAM h = stream.handle();
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    EXPECT_EQ(PositionFrames(h), 0);
    ASSERT_FALSE(Render(1000).empty());
    EXPECT_EQ(PositionFrames(h), 1000);
    usleep(30000);  // the wall clock never moves the position past what was output
    EXPECT_EQ(PositionFrames(h), 1000);
    ASSERT_FALSE(Render(3410, 3410).empty());
    EXPECT_EQ(PositionFrames(h), 4410);

    ASSERT_TRUE(BASS_ChannelPause(h));
    ASSERT_FALSE(Render(2000).empty());
    EXPECT_EQ(PositionFrames(h), 4410);
    ASSERT_TRUE(SeekFrames(h, 30000));
    EXPECT_EQ(PositionFrames(h), 30000);
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    ASSERT_FALSE(Render(100, 7).empty());
    EXPECT_EQ(PositionFrames(h), 30100);
    // Seconds round-trip through the byte position.
    EXPECT_NEAR(BASS_ChannelBytes2Seconds(h, BASS_ChannelGetPosition(h, BASS_POS_BYTE)),
                30100.0 / kOutputRate, 1e-9);
}

}  // namespace
