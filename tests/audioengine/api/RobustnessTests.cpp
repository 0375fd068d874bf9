// SPDX-License-Identifier: MIT
// Hostile input and misuse: stale and unknown handles, files that are not audio or
// not files at all, files that change while they play, and the promises of the
// audio callback (it never allocates).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>

#include "tests/audioengine/api/AllocationCounter.h"
#include "tests/audioengine/api/EngineTestSupport.h"

using namespace enginetest;
using testaudio::Format;

namespace {

constexpr QWORD kBadPosition = ~QWORD{0};
constexpr DWORD kBadLevel = ~DWORD{0};

// Every call of the API on `h` fails with HANDLE.
void ExpectEveryCallFailsWithHandle(DWORD h) {
    SCOPED_TRACE("handle " + std::to_string(h));
    auto expect_handle_error = [](const char* call) {
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE)
            << call << ": " << AE_ErrorName(BASS_ErrorGetCode());
    };
    EXPECT_FALSE(BASS_ChannelPlay(h, FALSE));
    expect_handle_error("Play");
    EXPECT_FALSE(BASS_ChannelPlay(h, TRUE));
    expect_handle_error("Play restart");
    EXPECT_FALSE(BASS_ChannelPause(h));
    expect_handle_error("Pause");
    EXPECT_FALSE(BASS_ChannelStop(h));
    expect_handle_error("Stop");
    EXPECT_EQ(BASS_ChannelIsActive(h), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    expect_handle_error("IsActive");
    EXPECT_EQ(BASS_ChannelSeconds2Bytes(h, 1.0), kBadPosition);
    expect_handle_error("Seconds2Bytes");
    EXPECT_LT(BASS_ChannelBytes2Seconds(h, 1000), 0.0);
    expect_handle_error("Bytes2Seconds");
    EXPECT_FALSE(BASS_ChannelSetPosition(h, 0, BASS_POS_BYTE));
    expect_handle_error("SetPosition");
    EXPECT_EQ(BASS_ChannelGetPosition(h, BASS_POS_BYTE), kBadPosition);
    expect_handle_error("GetPosition");
    EXPECT_EQ(BASS_ChannelGetLength(h, BASS_POS_BYTE), kBadPosition);
    expect_handle_error("GetLength");
    EXPECT_FALSE(BASS_ChannelSetAttribute(h, BASS_ATTRIB_VOL, 0.5f));
    expect_handle_error("SetAttribute");
    float volume = 0.0f;
    EXPECT_FALSE(BASS_ChannelGetAttribute(h, BASS_ATTRIB_VOL, &volume));
    expect_handle_error("GetAttribute");
    EXPECT_EQ(BASS_ChannelGetLevel(h), kBadLevel);
    expect_handle_error("GetLevel");
    float spectrum[256] = {};
    EXPECT_EQ(BASS_ChannelGetData(h, spectrum, BASS_DATA_FFT512), kBadLevel);
    expect_handle_error("GetData");
    BASS_CHANNELINFO info{};
    EXPECT_FALSE(BASS_ChannelGetInfo(h, &info));
    expect_handle_error("GetInfo");
    EXPECT_EQ(BASS_StreamGetFilePosition(h, BASS_FILEPOS_END), kBadPosition);
    expect_handle_error("GetFilePosition");
    EXPECT_EQ(BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 1), 0u);
    expect_handle_error("SetFX");
    EXPECT_FALSE(BASS_ChannelRemoveFX(h, h));
    expect_handle_error("RemoveFX");
    BASS_DX8_PARAMEQ eq{1000.0f, 12.0f, 0.0f};
    EXPECT_FALSE(BASS_FXSetParameters(h, &eq));
    expect_handle_error("FXSetParameters");
    EXPECT_FALSE(BASS_FXGetParameters(h, &eq));
    expect_handle_error("FXGetParameters");
    EXPECT_FALSE(BASS_StreamFree(h));
    expect_handle_error("StreamFree");
}

TEST(Handles, StaleAndUnknownHandlesFailOnEveryCall) {
    for (const DWORD unknown : {0u, 1u, 12345u, 0x7fffffffu, 0xffffffffu})
        ExpectEveryCallFailsWithHandle(unknown);

    testaudio::TempDir dir;
    const std::string path = WriteFile(dir, "tone", Format::Wav, kOutputRate, 2,
                                       testaudio::Sine(kOutputRate, 2, 44100, 440, 0.5));
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    ASSERT_NE(h, 0u);
    const HFX fx = BASS_ChannelSetFX(h, BASS_FX_DX8_PARAMEQ, 0);
    ASSERT_NE(fx, 0u) << "error " << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    ASSERT_FALSE(Render(1024).empty());
    ASSERT_TRUE(BASS_StreamFree(h));
    ExpectEveryCallFailsWithHandle(h);
    ExpectEveryCallFailsWithHandle(fx);  // the effect died with its stream

    // Handles are never 0 and never reused while the engine runs.
    std::set<DWORD> seen = {h, fx};
    for (int i = 0; i < 50; ++i) {
        const HSTREAM again = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
        ASSERT_NE(again, 0u);
        EXPECT_TRUE(seen.insert(again).second) << "handle " << again << " was reused";
        const HFX effect = BASS_ChannelSetFX(again, BASS_FX_DX8_PARAMEQ, 0);
        ASSERT_NE(effect, 0u);
        EXPECT_TRUE(seen.insert(effect).second) << "effect handle " << effect << " was reused";
        ASSERT_TRUE(BASS_StreamFree(again));
    }
}

// Opens `path` and expects a failure with one of `codes`.
void ExpectOpenFails(const std::string& path, std::set<int> codes) {
    const HSTREAM h = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    EXPECT_EQ(h, 0u) << path << " opened";
    if (h) {
        BASS_StreamFree(h);
        return;
    }
    const int code = BASS_ErrorGetCode();
    EXPECT_TRUE(codes.count(code)) << path << ": " << AE_ErrorName(code);
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

const std::set<int> kNotAFile = {BASS_ERROR_FILEOPEN, BASS_ERROR_NOTFILE, BASS_ERROR_FILEFORM};
const std::set<int> kNotAudio = {BASS_ERROR_FILEFORM, BASS_ERROR_FORMAT, BASS_ERROR_CODEC};

// Every bad input fails with an error code, and failed opens leave no thread and
// no memory behind.
TEST(BadInput, FilesThatDoNotOpenFailCleanly) {
    testaudio::TempDir dir;
    const std::string text = dir.File("notes.txt");
    WriteBytes(text, "These are notes, not audio.\nLine two.\n");
    WriteBytes(dir.File("empty.wav"), "");
    std::filesystem::copy_file(text, dir.File("notes.mp3"));
    std::filesystem::copy_file(text, dir.File("notes.flac"));
    std::filesystem::copy_file(text, dir.File("notes.ogg"));
    std::filesystem::create_directory(dir.File("folder.wav"));

    // Each format cut inside its header: nothing there identifies a stream.
    std::vector<std::string> truncated;
    for (const Format format : testaudio::AllFormats()) {
        const int rate = format == Format::Opus ? 48000 : kOutputRate;
        const std::string path =
            WriteFile(dir, std::string("whole_") + testaudio::Name(format), format, rate, 2,
                      testaudio::Sine(rate, 2, rate, 440, 0.5));
        const std::string bytes = ReadBytes(path);
        for (const size_t cut : {size_t{4}, size_t{11}, size_t{27}}) {
            const std::string cut_path =
                dir.File("cut" + std::to_string(cut) + "_" + testaudio::Name(format) +
                         testaudio::Extension(format));
            WriteBytes(cut_path, bytes.substr(0, cut));
            truncated.push_back(cut_path);
        }
    }

    auto open_all = [&] {
        ExpectOpenFails(dir.File("missing.wav"), {BASS_ERROR_FILEOPEN});
        ExpectOpenFails(dir.File("folder.wav"), kNotAFile);
        ExpectOpenFails("/dev/urandom", kNotAFile);
        ExpectOpenFails("/dev/null", kNotAFile);
        ExpectOpenFails(dir.File("empty.wav"), kNotAudio);
        for (const char* name : {"notes.txt", "notes.mp3", "notes.flac", "notes.ogg"})
            ExpectOpenFails(dir.File(name), kNotAudio);
        for (const std::string& path : truncated) ExpectOpenFails(path, kNotAudio);
        EXPECT_EQ(BASS_StreamCreateFile(FALSE, nullptr, 0, 0, 0), 0u);
        EXPECT_NE(BASS_ErrorGetCode(), BASS_OK);
        EXPECT_EQ(BASS_StreamCreateFile(FALSE, "", 0, 0, 0), 0u);
        EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_FILEOPEN);
    };
    open_all();
    const int threads = ThreadCount();
    const long resident = ResidentKiB();
    for (int round = 0; round < 30; ++round) open_all();
    EXPECT_EQ(ThreadCount(), threads) << "a failed open left a thread behind";
    // The sanitizers hold freed memory back, so resident size only means something
    // without them; with them, the leak checker at exit covers the same ground.
#ifndef ENGINETEST_SANITIZED
    EXPECT_LT(ResidentKiB() - resident, 4096) << "failed opens leak memory";
#else
    (void)resident;
#endif
    // A failure is reported as one: the next success clears the error.
    Stream ok(dir.File("whole_wav.wav"));
    ASSERT_NE(ok.handle(), 0u);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_OK);
}

// A refused file that was recognised says what it was, for the calling thread; the
// next open, refused unrecognised or successful, clears it.
TEST(BadInput, RefusedFileSaysWhatItWasRecognisedAs) {
    testaudio::TempDir dir;
    const std::string wav = WriteFile(dir, "tone.wav", Format::Wav, kOutputRate, 2,
                                      testaudio::Sine(kOutputRate, 2, 4410, 440, 0.5));
    const std::string mov = dir.File("adpcm.mov");
    if (std::system(("ffmpeg -nostdin -v error -y -i '" + wav + "' -c:a adpcm_ima_qt '" + mov +
                     "' >/dev/null 2>&1")
                        .c_str()) != 0)
        GTEST_SKIP() << "no ffmpeg tool to make the file";
    EXPECT_EQ(BASS_StreamCreateFile(FALSE, mov.c_str(), 0, 0, 0), 0u);
    if (BASS_ErrorGetCode() != BASS_ERROR_CODEC) GTEST_SKIP() << "the FFmpeg module is not built";
    const std::string expected = "MP4 with an unsupported codec: ADPCM IMA QuickTime";
    char text[128] = {};
    EXPECT_EQ(AE_StreamRefusal(text, sizeof text), expected.size());
    EXPECT_EQ(text, expected);
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_CODEC);  // left as it was
    char cut[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(AE_StreamRefusal(cut, sizeof cut), expected.size());
    EXPECT_STREQ(cut, "MP4");
    std::async(std::launch::async, [] {
        char other[8] = "stale";
        EXPECT_EQ(AE_StreamRefusal(other, sizeof other), 0u) << "another thread's refusal";
        EXPECT_STREQ(other, "");
    }).get();

    WriteBytes(dir.File("notes.txt"), "These are notes.\n");
    ExpectOpenFails(dir.File("notes.txt"), kNotAudio);
    EXPECT_EQ(AE_StreamRefusal(text, sizeof text), 0u);
    EXPECT_EQ(BASS_StreamCreateFile(FALSE, mov.c_str(), 0, 0, 0), 0u);
    Stream ok(wav);
    ASSERT_NE(ok.handle(), 0u);
    EXPECT_EQ(AE_StreamRefusal(text, sizeof text), 0u);
}

// A FIFO is not a regular file: the open fails at once instead of waiting for a writer.
TEST(BadInput, FifoFailsWithoutBlocking) {
    testaudio::TempDir dir;
    const std::string fifo = dir.File("pipe.wav");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto opened = std::async(std::launch::async, [&] {
        const HSTREAM h = BASS_StreamCreateFile(FALSE, fifo.c_str(), 0, 0, 0);
        return std::make_pair(h, BASS_ErrorGetCode());
    });
    if (opened.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
        // Unblock the open so the test can end, then report the failure.
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) close(writer);
        ADD_FAILURE() << "opening a FIFO blocked";
    }
    const auto [h, code] = opened.get();
    EXPECT_EQ(h, 0u);
    EXPECT_TRUE(kNotAFile.count(code)) << "error " << code;
}

// Files cut in the middle of their audio, and random bytes in a regular file, either
// fail to open or play to an end of their own; neither crashes nor hangs.
TEST(BadInput, DamagedFilesPlayToAnEndOrFail) {
    testaudio::TempDir dir;
    std::vector<std::string> paths;
    for (const Format format : testaudio::AllFormats()) {
        const int rate = format == Format::Opus ? 48000 : kOutputRate;
        const std::string path = WriteFile(dir, testaudio::Name(format), format, rate, 2,
                                           testaudio::Sine(rate, 2, rate, 440, 0.5));
        const std::string bytes = ReadBytes(path);
        const std::string cut = dir.File(std::string("half_") + testaudio::Name(format));
        WriteBytes(cut, bytes.substr(0, bytes.size() / 2 + 3));
        paths.push_back(cut);
        std::string garbled = bytes;
        for (size_t i = garbled.size() / 3; i < garbled.size(); i += 7) garbled[i] ^= 0x5a;
        const std::string damaged = dir.File(std::string("garbled_") + testaudio::Name(format));
        WriteBytes(damaged, garbled);
        paths.push_back(damaged);
    }
    std::string random_bytes(64 * 1024, '\0');
    {
        std::ifstream urandom("/dev/urandom", std::ios::binary);
        urandom.read(random_bytes.data(), static_cast<std::streamsize>(random_bytes.size()));
    }
    WriteBytes(dir.File("random.mp3"), random_bytes);
    paths.push_back(dir.File("random.mp3"));

    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        Stream s(path);
        if (!s.handle()) {
            EXPECT_NE(s.error(), BASS_OK);
            continue;
        }
        const int64_t length = LengthFrames(s.handle());
        EXPECT_GE(length, 0);
        ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
        for (int i = 0; i < 200 && BASS_ChannelIsActive(s.handle()) == BASS_ACTIVE_PLAYING; ++i)
            ASSERT_FALSE(Render(4096).empty());
        EXPECT_EQ(BASS_ChannelIsActive(s.handle()), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
        EXPECT_LE(PositionFrames(s.handle()), length);
    }
}

// A file truncated or deleted while it plays ends its stream cleanly.
TEST(BadInput, FileTruncatedOrDeletedWhilePlaying) {
    for (const Format format : {Format::Wav, Format::Flac, Format::Mp3, Format::OggVorbis}) {
        for (const bool remove : {false, true}) {
            SCOPED_TRACE(std::string(testaudio::Name(format)) +
                         (remove ? " deleted" : " truncated"));
            testaudio::TempDir dir;
            const std::string path =
                WriteFile(dir, "long", format, kOutputRate, 2,
                          testaudio::Sine(kOutputRate, 2, kOutputRate * 8, 440, 0.5));
            Stream s(path);
            ASSERT_NE(s.handle(), 0u);
            ASSERT_TRUE(BASS_ChannelPlay(s.handle(), FALSE));
            ASSERT_FALSE(Render(kOutputRate / 2).empty());
            if (remove) {
                std::filesystem::remove(path);
            } else {
                ASSERT_EQ(truncate(path.c_str(),
                                   static_cast<off_t>(std::filesystem::file_size(path) / 4)),
                          0);
            }
            int blocks = 0;
            while (BASS_ChannelIsActive(s.handle()) == BASS_ACTIVE_PLAYING && blocks < 120) {
                ASSERT_FALSE(Render(4410).empty());
                ++blocks;
            }
            EXPECT_EQ(BASS_ChannelIsActive(s.handle()), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
            EXPECT_LE(PositionFrames(s.handle()), kOutputRate * 8);
            EXPECT_NE(BASS_ChannelGetLength(s.handle(), BASS_POS_BYTE), kBadPosition);
        }
    }
}

TEST(BadInput, SecondInitFailsWithAlreadyAndChangesNothing) {
    EXPECT_FALSE(BASS_Init(-1, 48000, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
    EXPECT_FALSE(BASS_Init(0, 44100, 0, nullptr, nullptr));
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_ALREADY);
    EXPECT_STREQ(AE_OutputName(), "manual");
    EXPECT_FALSE(BASS_StreamCreateFile(TRUE, "not memory", 0, 10, 0))
        << "memory streams are not offered";
    EXPECT_NE(BASS_ErrorGetCode(), BASS_OK);
}

// Each error code reads as the name of its constant, any other value as one fixed
// text; asking leaves the thread's error as it was.
TEST(ErrorNames, EachCodeByItsConstant) {
    const std::pair<int, const char*> named[] = {
        {0, "BASS_OK"},
        {1, "BASS_ERROR_MEM"},
        {2, "BASS_ERROR_FILEOPEN"},
        {3, "BASS_ERROR_DRIVER"},
        {5, "BASS_ERROR_HANDLE"},
        {6, "BASS_ERROR_FORMAT"},
        {7, "BASS_ERROR_POSITION"},
        {8, "BASS_ERROR_INIT"},
        {14, "BASS_ERROR_ALREADY"},
        {19, "BASS_ERROR_ILLTYPE"},
        {20, "BASS_ERROR_ILLPARAM"},
        {23, "BASS_ERROR_DEVICE"},
        {24, "BASS_ERROR_NOPLAY"},
        {27, "BASS_ERROR_NOTFILE"},
        {37, "BASS_ERROR_NOTAVAIL"},
        {41, "BASS_ERROR_FILEFORM"},
        {44, "BASS_ERROR_CODEC"},
        {45, "BASS_ERROR_ENDED"},
        {-1, "BASS_ERROR_UNKNOWN"},
    };
    EXPECT_FALSE(BASS_ChannelPlay(0, FALSE));
    for (const auto& [code, name] : named) EXPECT_STREQ(AE_ErrorName(code), name) << code;
    for (int code : {4, 9, 46, 1000, -2, INT_MIN, INT_MAX}) {
        EXPECT_STREQ(AE_ErrorName(code), "unknown error code") << code;
    }
    EXPECT_EQ(BASS_ErrorGetCode(), BASS_ERROR_HANDLE);
}

// The audio callback never allocates: rendering with streams that play, resample,
// run effects, change volume, seek, pause and end makes no allocation on its thread.
TEST(Callback, NeverAllocates) {
    if (!AllocationCountingAvailable()) GTEST_SKIP() << "the sanitizers own the allocator";
    StartCountingAllocations();
    static std::vector<int>* volatile probe;
    probe = new std::vector<int>(100);
    delete probe;
    ASSERT_GE(StopCountingAllocations(), 2) << "the counter does not see allocations";
    testaudio::TempDir dir;
    Stream a(WriteFile(dir, "a", Format::Wav, kOutputRate, 2,
                       testaudio::Sine(kOutputRate, 2, 30000, 440, 0.5)));
    Stream b(
        WriteFile(dir, "b", Format::Flac, 48000, 1, testaudio::Sine(48000, 1, 96000, 1000, 0.5)));
    Stream c(
        WriteFile(dir, "c", Format::Mp3, 22050, 2, testaudio::Sine(22050, 2, 44100, 300, 0.5)));
    ASSERT_NE(a.handle(), 0u);
    ASSERT_NE(b.handle(), 0u);
    ASSERT_NE(c.handle(), 0u);
    const HFX fx = BASS_ChannelSetFX(b.handle(), BASS_FX_DX8_PARAMEQ, 1);
    for (const HSTREAM h : {a.handle(), b.handle(), c.handle()})
        ASSERT_TRUE(BASS_ChannelPlay(h, FALSE));
    std::vector<float> out(2 * 512);

    long allocations = 0;
    auto render = [&](int blocks) {
        for (int i = 0; i < blocks; ++i) {
            StartCountingAllocations();
            const BOOL ok = AE_Render(out.data(), 512);
            allocations += StopCountingAllocations();
            ASSERT_TRUE(ok);
        }
    };
    render(20);
    ASSERT_TRUE(BASS_ChannelSetAttribute(a.handle(), BASS_ATTRIB_VOL, 0.3f));
    if (fx) {
        BASS_DX8_PARAMEQ eq{1000.0f, 12.0f, -10.0f};
        EXPECT_TRUE(BASS_FXSetParameters(fx, &eq));
    }
    render(20);
    ASSERT_TRUE(SeekFrames(b.handle(), 50000));
    ASSERT_TRUE(BASS_ChannelPause(c.handle()));
    render(20);
    ASSERT_TRUE(BASS_ChannelPlay(c.handle(), FALSE));
    render(100);  // a reaches its end here
    EXPECT_EQ(BASS_ChannelIsActive(a.handle()), static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    EXPECT_EQ(allocations, 0) << "the callback allocated";
}

}  // namespace
