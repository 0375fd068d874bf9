// SPDX-License-Identifier: MIT
// The table of bad files: each row is a file a user might hand the host, and the one
// outcome it must have. A file the engine refuses leaves the plug-in's slot empty
// (CreateChannel false, the slot answers as empty) and gives the engine's error code;
// a file that opens plays to a clean end: it stops by itself, its position within its
// length, the mix, level and spectrum in range all the way.
//
// Both sides are checked in one process, as a host runs them: Plugin.so loaded as a
// host loads it, over our engine on the manual output (rendered here, so every run
// is the same), and the engine API called directly on the same engine.
//
// Files whose reads stall or fail (a network share, a failing disk) are made with the
// read shim, which this executable links: the engine's reads of that one file go
// through it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <thread>

#include "audioengine/include/audioengine_ext.h"
#include "tests/integration/LoadedPlugin.h"
#include "tests/integration/PluginHost.h"
#include "tests/support/AudioFiles.h"
#include "tests/support/ReadShim.h"

using integration::PluginHost;
using testaudio::Format;

namespace {

constexpr int kSlot = 7;
constexpr DWORD kBlock = 1024;
constexpr int kMaxBlocks = 44100 * 30 / kBlock;  // 30 s of output: far past every file here
constexpr QWORD kBadPosition = ~QWORD{0};

[[maybe_unused]] const bool g_loaded = integration::LoadedPlugin::Register(PLUGIN_PATH, "manual");

PluginHost& Plugin() { return integration::LoadedPlugin::Host(); }

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

int RateOf(Format format) { return format == Format::Opus ? 48000 : 44100; }

// `seconds` of a stereo tone in `format`.
std::string Tone(const testaudio::TempDir& dir, const std::string& name, Format format,
                 int seconds = 1) {
    const std::string path = dir.File(name);
    const int rate = RateOf(format);
    EXPECT_TRUE(testaudio::Write(path, format, rate, 2,
                                 testaudio::Sine(rate, 2, int64_t{rate} * seconds, 440, 0.5)))
        << path;
    return path;
}

// Renders one block and checks what a listener and a host see: a finite mix within
// [-1, 1], a level within 0..32768 (or none), a spectrum of finite magnitudes.
void RenderAndCheck(HSTREAM stream) {
    std::vector<float> out(2 * kBlock);
    ASSERT_TRUE(AE_Render(out.data(), kBlock)) << "error " << BASS_ErrorGetCode();
    for (const float sample : out) {
        ASSERT_TRUE(sample >= -1.0f && sample <= 1.0f) << sample;
    }
    const DWORD level = BASS_ChannelGetLevel(stream);
    if (level != ~DWORD{0}) {
        EXPECT_LE(level & 0xffff, 32768u);
        EXPECT_LE(level >> 16, 32768u);
    }
    float spectrum[256];
    if (BASS_ChannelGetData(stream, spectrum, BASS_DATA_FFT512) != ~DWORD{0}) {
        for (const float bin : spectrum) {
            ASSERT_TRUE(std::isfinite(bin) && bin >= 0.0f) << bin;
        }
    }
}

// The slot answers as an empty one.
void ExpectSlotEmpty(int slot) {
    EXPECT_EQ(Plugin().Query("GetFreqChannel", {slot}), "0");
    EXPECT_EQ(Plugin().Query("GetChansChannel", {slot}), "0 channels");
    EXPECT_EQ(Plugin().Query("GetLengthTimeChannel", {slot}), "0#00:00#");
    EXPECT_EQ(Plugin().Query("GetLevelChannel", {slot}), "65535#65535#");
}

enum class Outcome {
    Refused,      // no stream: the engine's error code, an empty slot
    PlaysToEnd,   // plays and stops by itself at its full length
    EndsCleanly,  // plays and stops by itself, where its damage ends it
    EndsEarly,    // plays and stops by itself short of its length: its damage is met
    Stalls        // its reads take so long that renders go on without it: it keeps its place
};

struct Row {
    using Make = std::function<std::string(const testaudio::TempDir&)>;
    Row(std::string name_, Make make_, Outcome outcome_, int error_ = BASS_OK)
        : name(std::move(name_)), make(std::move(make_)), outcome(outcome_), error(error_) {}

    std::string name;
    // Makes the file in the directory and returns the path to open.
    std::function<std::string(const testaudio::TempDir&)> make;
    Outcome outcome;
    int error;  // for Refused
    // Done to the file after the first blocks have played (deleted, truncated, ...).
    std::function<void(const std::string&)> whilePlaying;
    // What the file's reads do from then on (slow, failing); the file must be read
    // again after it, or the row proves nothing.
    std::function<void(readshim::WatchedFile&)> reads;
};

// Watches the row's file when the row changes its reads.
std::unique_ptr<readshim::WatchedFile> WatchReads(const Row& row, const std::string& path) {
    if (!row.reads) return nullptr;
    auto file = std::make_unique<readshim::WatchedFile>(path);
    EXPECT_TRUE(file->ok()) << path;
    return file;
}

// Done after the first blocks: the row's change to the file and to its reads.
void DamageWhilePlaying(const Row& row, const std::string& path, readshim::WatchedFile* file,
                        int64_t* readsBefore) {
    if (row.whilePlaying) row.whilePlaying(path);
    if (row.reads && file) {
        *readsBefore = file->reads();
        row.reads(*file);
    }
}

std::ostream& operator<<(std::ostream& out, const Row& row) { return out << row.name; }

// Renders a row plays for: a stalled stream is not waited for past 50 ms a render.
int BlocksFor(const Row& row, int most) { return row.outcome == Outcome::Stalls ? 40 : most; }

// Opens the file on the engine and plays it through; the checks of its outcome.
void CheckOnEngine(const Row& row, const std::string& path) {
    const HSTREAM stream = BASS_StreamCreateFile(FALSE, path.c_str(), 0, 0, 0);
    const int error = BASS_ErrorGetCode();
    if (row.outcome == Outcome::Refused) {
        EXPECT_EQ(stream, 0u) << "the engine opened it";
        EXPECT_EQ(error, row.error);
        if (stream) BASS_StreamFree(stream);
        return;
    }
    ASSERT_NE(stream, 0u) << "the engine refused it, error " << error;
    const QWORD length = BASS_ChannelGetLength(stream, BASS_POS_BYTE);
    ASSERT_NE(length, kBadPosition);
    ASSERT_GT(length, 0u);
    const std::unique_ptr<readshim::WatchedFile> file = WatchReads(row, path);
    int64_t readsBefore = 0;
    ASSERT_TRUE(BASS_ChannelPlay(stream, FALSE));
    const DWORD skips = AE_RenderSkips();
    int blocks = 0;
    for (;
         blocks < BlocksFor(row, kMaxBlocks) && BASS_ChannelIsActive(stream) == BASS_ACTIVE_PLAYING;
         ++blocks) {
        if (blocks == 4) DamageWhilePlaying(row, path, file.get(), &readsBefore);
        ASSERT_NO_FATAL_FAILURE(RenderAndCheck(stream));
    }
    if (file) {
        EXPECT_GT(file->reads(), readsBefore) << "the file was not read after its change";
    }
    const QWORD position = BASS_ChannelGetPosition(stream, BASS_POS_BYTE);
    ASSERT_NE(position, kBadPosition);
    if (row.outcome == Outcome::Stalls) {
        EXPECT_LT(position, length);
        EXPECT_GT(AE_RenderSkips(), skips) << "the renders waited for it";
        EXPECT_TRUE(BASS_StreamFree(stream));
        return;
    }
    EXPECT_EQ(BASS_ChannelIsActive(stream), static_cast<DWORD>(BASS_ACTIVE_STOPPED))
        << "still playing after " << blocks << " blocks";
    if (row.outcome == Outcome::PlaysToEnd) {
        EXPECT_EQ(position, length);
    } else if (row.outcome == Outcome::EndsEarly) {
        EXPECT_LT(position, length);
    } else {
        EXPECT_LE(position, length);
    }
    EXPECT_TRUE(BASS_StreamFree(stream));
}

// The same file through the plug-in, into a slot that held a good stream before.
void CheckThroughPlugin(const Row& row, const std::string& path, const std::string& good) {
    Plugin().SetFile(good.c_str());
    Plugin().SetData(kSlot);
    ASSERT_TRUE(Plugin().CreateChannel());
    Plugin().SetFile(path.c_str());
    Plugin().SetData(kSlot);
    const bool created = Plugin().CreateChannel();
    if (row.outcome == Outcome::Refused) {
        EXPECT_FALSE(created);
        ExpectSlotEmpty(kSlot);
        return;
    }
    ASSERT_TRUE(created);
    EXPECT_NE(Plugin().Query("GetFreqChannel", {kSlot}), "0");
    Plugin().SetData(kSlot);
    Plugin().Call("PlayChannel");
    const std::unique_ptr<readshim::WatchedFile> file = WatchReads(row, path);
    int64_t readsBefore = 0;
    std::vector<float> out(2 * kBlock);
    for (int block = 0; block < BlocksFor(row, kMaxBlocks / 4); ++block) {
        if (block == 4) DamageWhilePlaying(row, path, file.get(), &readsBefore);
        ASSERT_TRUE(AE_Render(out.data(), kBlock));
        Plugin().Query("GetLevelChannel", {kSlot});
        Plugin().Query("GetDataChannel20", {kSlot});
        Plugin().Query("GetPosTimeChannel", {kSlot});
    }
    // Stopped by itself at its end: the position reads the length, in whole seconds.
    const std::string length = Plugin().Query("GetLengthTimeChannel", {kSlot});
    if (row.outcome == Outcome::PlaysToEnd) {
        EXPECT_EQ(Plugin().Query("GetPosTimeChannel", {kSlot}), length);
    }
    Plugin().SetData(kSlot);
    Plugin().Call("FreeChannel");
    ExpectSlotEmpty(kSlot);
}

class BadFiles : public ::testing::TestWithParam<Row> {
  protected:
    void SetUp() override { ASSERT_TRUE(Plugin().ok()) << Plugin().error(); }
    void TearDown() override {
        if (!Plugin().ok()) return;
        Plugin().SetData(kSlot);
        Plugin().Call("FreeChannel");
    }
    testaudio::TempDir dir_;
};

TEST_P(BadFiles, HaveTheirOneOutcome) {
    const Row& row = GetParam();
    const std::string good = Tone(dir_, "good.wav", Format::Wav);
    // Each side gets a fresh copy: a row may damage its file while it plays.
    const std::string onEngine = row.make(dir_);
    ASSERT_NO_FATAL_FAILURE(CheckOnEngine(row, onEngine));
    testaudio::TempDir second;
    const std::string throughPlugin = row.make(second);
    ASSERT_NO_FATAL_FAILURE(CheckThroughPlugin(row, throughPlugin, good));
}

// ---- The rows ------------------------------------------------------------------

std::function<std::string(const testaudio::TempDir&)> Bytes(const std::string& name,
                                                            const std::string& bytes) {
    return [=](const testaudio::TempDir& dir) {
        WriteBytes(dir.File(name), bytes);
        return dir.File(name);
    };
}

// `format` cut to `percent` of its bytes.
std::function<std::string(const testaudio::TempDir&)> Cut(Format format, int percent) {
    return [=](const testaudio::TempDir& dir) {
        const std::string whole =
            Tone(dir, std::string("whole") + testaudio::Extension(format), format);
        const std::string bytes = ReadBytes(whole);
        const std::string path = dir.File(std::string("cut") + testaudio::Extension(format));
        WriteBytes(path, bytes.substr(0, bytes.size() * static_cast<size_t>(percent) / 100));
        return path;
    };
}

// The first `keep` bytes of a real file of `format`, then deterministic garbage.
std::function<std::string(const testaudio::TempDir&)> MagicThenGarbage(Format format, size_t keep) {
    return [=](const testaudio::TempDir& dir) {
        const std::string whole =
            Tone(dir, std::string("whole") + testaudio::Extension(format), format);
        std::string bytes = ReadBytes(whole).substr(0, keep);
        uint32_t x = 2463534242u;
        for (int i = 0; i < 8192; ++i) {
            x ^= x << 13, x ^= x >> 17, x ^= x << 5;
            bytes += static_cast<char>(x);
        }
        const std::string path = dir.File(std::string("garbage") + testaudio::Extension(format));
        WriteBytes(path, bytes);
        return path;
    };
}

// A 16-bit PCM WAV file of `frames` silent frames, whatever its header claims.
std::string WavHeader(uint32_t rate, uint16_t channels, uint32_t frames) {
    std::string bytes;
    auto put = [&bytes](uint32_t value, int size) {
        for (int i = 0; i < size; ++i) bytes += static_cast<char>(value >> (8 * i));
    };
    const uint32_t data = frames * channels * 2;
    bytes += "RIFF";
    put(36 + data, 4);
    bytes += "WAVEfmt ";
    put(16, 4);
    put(1, 2);  // PCM
    put(channels, 2);
    put(rate, 4);
    put(rate * channels * 2, 4);
    put(channels * 2, 2);
    put(16, 2);
    bytes += "data";
    put(data, 4);
    bytes += std::string(data, '\0');
    return bytes;
}

std::string Label(Format format) { return testaudio::Name(format); }

std::vector<Row> Rows() {
    std::vector<Row> rows;
    rows.push_back({"missing_path", [](const testaudio::TempDir& d) { return d.File("none.wav"); },
                    Outcome::Refused, BASS_ERROR_FILEOPEN});
    rows.push_back({"directory",
                    [](const testaudio::TempDir& d) {
                        std::filesystem::create_directory(d.File("folder.wav"));
                        return d.File("folder.wav");
                    },
                    Outcome::Refused, BASS_ERROR_FILEOPEN});
    rows.push_back({"empty_file", Bytes("empty.wav", ""), Outcome::Refused, BASS_ERROR_FILEFORM});
    rows.push_back(
        {"one_byte_file", Bytes("one.mp3", "\xff"), Outcome::Refused, BASS_ERROR_FILEFORM});

    for (const Format format : testaudio::AllFormats()) {
        for (const int percent : {10, 50, 99})
            rows.push_back({"cut" + std::to_string(percent) + "_" + Label(format),
                            Cut(format, percent), Outcome::Refused, BASS_ERROR_FILEFORM});
    }
    // Magic bytes of each container, then garbage where its header continues.
    for (const Format format : testaudio::AllFormats())
        rows.push_back({"magic_then_garbage_" + Label(format), MagicThenGarbage(format, 4),
                        Outcome::Refused, BASS_ERROR_FILEFORM});

    rows.push_back({"flac_named_mp3",
                    [](const testaudio::TempDir& d) {
                        const std::string flac = Tone(d, "tone.flac", Format::Flac);
                        std::filesystem::rename(flac, d.File("tone.mp3"));
                        return d.File("tone.mp3");
                    },
                    Outcome::PlaysToEnd});
    rows.push_back({"text_file", Bytes("notes.txt", "These are notes.\nNot audio.\n"),
                    Outcome::Refused, BASS_ERROR_FILEFORM});
    rows.push_back({"text_named_wav", Bytes("notes.wav", "These are notes.\nNot audio.\n"),
                    Outcome::Refused, BASS_ERROR_FILEFORM});
    rows.push_back(
        {"name_of_100KB",
         [](const testaudio::TempDir& d) { return d.File(std::string(100 * 1024, 'n')); },
         Outcome::Refused, BASS_ERROR_FILEOPEN});
    rows.push_back({"name_not_utf8",
                    [](const testaudio::TempDir& d) {
                        const std::string tone = Tone(d, "tone.ogg", Format::OggVorbis);
                        const std::string odd = d.File("t\xff\xfe\xc3(\x80.ogg");
                        std::filesystem::rename(tone, odd);
                        return odd;
                    },
                    Outcome::PlaysToEnd});
    rows.push_back({"missing_name_not_utf8",
                    [](const testaudio::TempDir& d) { return d.File("\xc0\xaf\xff.wav"); },
                    Outcome::Refused, BASS_ERROR_FILEOPEN});
    // Float samples that are not finite or far out of range: heard clamped, measured
    // in range, never NaN.
    rows.push_back({"float_wav_of_nan_inf_huge",
                    [](const testaudio::TempDir& d) {
                        std::vector<float> frames = testaudio::Sine(44100, 2, 44100, 440, 0.5);
                        const float odd[] = {std::numeric_limits<float>::quiet_NaN(),
                                             std::numeric_limits<float>::infinity(),
                                             -std::numeric_limits<float>::infinity(),
                                             3.0e38f,
                                             -3.0e38f,
                                             1.0e20f};
                        for (size_t i = 0; i < frames.size(); i += 7) frames[i] = odd[(i / 7) % 6];
                        const std::string path = d.File("odd.wav");
                        EXPECT_TRUE(testaudio::Write(path, Format::WavFloat, 44100, 2, frames));
                        return path;
                    },
                    Outcome::PlaysToEnd});
    // A header claiming a rate of hundreds of MHz: refused before the stream sizes its
    // buffers by that rate, never gigabytes for a file of a few KB.
    rows.push_back({"wav_rate_of_620_MHz", Bytes("fast.wav", WavHeader(620773000, 2, 4000)),
                    Outcome::Refused, BASS_ERROR_FORMAT});
    rows.push_back(
        {"wav_rate_of_1_Hz", Bytes("slow.wav", WavHeader(1, 1, 3)), Outcome::PlaysToEnd});
    rows.push_back({"wav_rate_of_768_kHz", Bytes("dxd.wav", WavHeader(768000, 2, 768000)),
                    Outcome::PlaysToEnd});
    for (const Format format : testaudio::AllFormats()) {
        Row deleted{"deleted_while_playing_" + Label(format),
                    [format](const testaudio::TempDir& d) {
                        return Tone(d, std::string("tone") + testaudio::Extension(format), format);
                    },
                    Outcome::PlaysToEnd};
        deleted.whilePlaying = [](const std::string& path) { std::filesystem::remove(path); };
        rows.push_back(deleted);
        Row truncated = deleted;
        truncated.name = "truncated_while_playing_" + Label(format);
        truncated.outcome = Outcome::EndsCleanly;
        truncated.whilePlaying = [](const std::string& path) {
            std::filesystem::resize_file(path, std::filesystem::file_size(path) / 3);
        };
        rows.push_back(truncated);
        // A disk that starts failing mid-play: a short read, then EIO on every read.
        // Long enough that the file is read again well after the first blocks (Vorbis
        // codes a tone in about 3 KB a second).
        const int seconds = format == Format::OggVorbis ? 40 : 10;
        Row failing{"read_error_mid_play_" + Label(format),
                    [format, seconds](const testaudio::TempDir& d) {
                        return Tone(d, std::string("tone") + testaudio::Extension(format), format,
                                    seconds);
                    },
                    Outcome::EndsEarly};
        failing.reads = [](readshim::WatchedFile& file) { file.FailAfter(4096, EIO); };
        rows.push_back(failing);
    }
    // A share that answers each read after a second: the decoder spends seconds in one
    // call, renders go on without the stream, and it keeps its place.
    Row slow{"reads_of_a_second_wav",
             [](const testaudio::TempDir& d) { return Tone(d, "tone.wav", Format::Wav); },
             Outcome::Stalls};
    slow.reads = [](readshim::WatchedFile& file) {
        file.SetReadDelay(std::chrono::milliseconds(1000));
    };
    rows.push_back(slow);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Table, BadFiles, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& instance) {
                             return instance.param.name;
                         });

// A stream stuck in a read (a stalled network share) holds up no other stream and
// no call: its seek returns at once and reads back its target, the other stream plays
// every block of its tone and answers its queries, and the render goes on without the
// stuck one (counted).
TEST(StuckRead, OtherStreamsPlayOn) {
    ASSERT_TRUE(Plugin().ok()) << Plugin().error();
    testaudio::TempDir dir;
    const std::string stuckPath = Tone(dir, "stuck.flac", Format::Flac, 10);
    const std::string good = Tone(dir, "good.wav", Format::Wav);
    const HSTREAM stuck = BASS_StreamCreateFile(FALSE, stuckPath.c_str(), 0, 0, 0);
    ASSERT_NE(stuck, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(stuck, FALSE));
    std::vector<float> out(2 * kBlock);
    ASSERT_TRUE(AE_Render(out.data(), kBlock));
    readshim::WatchedFile file(stuckPath);
    ASSERT_TRUE(file.ok());
    file.Latch();
    struct Unstick {
        readshim::WatchedFile& file;
        ~Unstick() { file.Release(); }
    } unstick{file};
    // A FLAC seek reads the file near its target, far from what was read so far.
    const QWORD target = BASS_ChannelSeconds2Bytes(stuck, 8.0);
    ASSERT_TRUE(BASS_ChannelSetPosition(stuck, target, BASS_POS_BYTE));
    EXPECT_EQ(BASS_ChannelGetPosition(stuck, BASS_POS_BYTE), target);
    ASSERT_TRUE(file.WaitUntilBlocked(std::chrono::seconds(10))) << "no read of the file";

    const HSTREAM other = BASS_StreamCreateFile(FALSE, good.c_str(), 0, 0, 0);
    ASSERT_NE(other, 0u) << BASS_ErrorGetCode();
    ASSERT_TRUE(BASS_ChannelPlay(other, FALSE));
    const DWORD skips = AE_RenderSkips();
    for (int block = 0; block < 4; ++block) {
        ASSERT_TRUE(AE_Render(out.data(), kBlock));
        float peak = 0;
        for (const float sample : out) peak = std::max(peak, std::fabs(sample));
        ASSERT_GT(peak, 0.45f) << "block " << block << " of the other stream is missing";
        EXPECT_NE(BASS_ChannelGetLevel(other), DWORD(-1));
    }
    EXPECT_GT(AE_RenderSkips(), skips) << "the stuck stream was waited for, not skipped";
    EXPECT_TRUE(BASS_StreamFree(other));
    file.Release();
    EXPECT_TRUE(BASS_StreamFree(stuck));
}

}  // namespace
