// SPDX-License-Identifier: MIT
// Plugin.so on our real engine, driven only through its exports like a host, with the
// engine on the null output (paced in real time, heard by nobody).
#include <gtest/gtest.h>

#include <cfenv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/integration/LoadedPlugin.h"
#include "tests/integration/PluginFixture.h"
#include "tests/integration/PluginHost.h"
#include "tests/support/AudioFiles.h"

using integration::PluginHost;
using testaudio::Format;

namespace {

[[maybe_unused]] const bool g_loaded = integration::LoadedPlugin::Register(PLUGIN_PATH, "null");

PluginHost& Plugin() { return integration::LoadedPlugin::Host(); }

class PluginOnEngine : public integration::PluginFixture {
  protected:
    std::string Query(const char* name, int slot) { return Plugin().Query(name, {slot}); }

    // Right and left levels of a playing slot, as GetLevelChannel writes them.
    std::pair<int, int> Level(int slot) {
        const auto fields = PluginHost::Fields(Query("GetLevelChannel", slot));
        EXPECT_EQ(fields.size(), 2u);
        if (fields.size() != 2) return {-1, -1};
        return {std::atoi(fields[0].c_str()), std::atoi(fields[1].c_str())};
    }

    // The 20 spectrum fields as the magnitudes they encode.
    std::vector<float> Spectrum20(int slot) {
        const auto fields = PluginHost::Fields(Query("GetDataChannel20", slot));
        EXPECT_EQ(fields.size(), 20u);
        std::vector<float> values;
        for (const std::string& f : fields) {
            const int32_t bits = static_cast<int32_t>(std::strtol(f.c_str(), nullptr, 10));
            float v;
            std::memcpy(&v, &bits, sizeof v);
            values.push_back(v);
        }
        return values;
    }

    static void Wait(int milliseconds) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

TEST_F(PluginOnEngine, LengthRateAndLayout) {
    EXPECT_TRUE(Open(
        1, Write("long", Format::Flac, 44100, 2, testaudio::Sine(44100, 2, 44100 * 75, 440, 0.3))));
    EXPECT_EQ(Query("GetLengthTimeChannel", 1), "75#01:15#");
    EXPECT_EQ(Query("GetFreqChannel", 1), "44100");
    EXPECT_EQ(Query("GetChansChannel", 1), "Stereo");

    Open(2,
         Write("mono", Format::Wav, 22050, 1, testaudio::Sine(22050, 1, 22050 * 3 / 2, 440, 0.3)));
    EXPECT_EQ(Query("GetLengthTimeChannel", 2), "2#00:02#") << "1.5 s rounds half to even";
    EXPECT_EQ(Query("GetFreqChannel", 2), "22050");
    EXPECT_EQ(Query("GetChansChannel", 2), "Mono");

    Open(3, Write("six", Format::WavFloat, 48000, 6,
                  testaudio::Sine(48000, 6, 48000 * 5 / 2, 440, 0.3)));
    EXPECT_EQ(Query("GetLengthTimeChannel", 3), "2#00:02#") << "2.5 s rounds half to even";
    EXPECT_EQ(Query("GetFreqChannel", 3), "48000");
    EXPECT_EQ(Query("GetChansChannel", 3), "6 channels");

    Open(4, Write("opus", Format::Opus, 48000, 2, testaudio::Sine(48000, 2, 48000 * 61, 440, 0.3)));
    EXPECT_EQ(Query("GetLengthTimeChannel", 4), "61#01:01#");
    EXPECT_EQ(Query("GetFreqChannel", 4), "48000");

    // A file that does not open leaves the slot empty, and a slot freed is empty.
    EXPECT_FALSE(Open(3, dir_.File("missing.wav")));
    EXPECT_EQ(Query("GetLengthTimeChannel", 3), "0#00:00#");
    Call("FreeChannel", {2});
    EXPECT_EQ(Query("GetLengthTimeChannel", 2), "0#00:00#");
}

// Size of the tag blocks the bit rate leaves out: ID3v2 at the start, APE and ID3v1
// at the end.
uint64_t TagBytes(const std::string& bytes) {
    uint64_t tags = 0;
    if (bytes.size() >= 10 && bytes.compare(0, 3, "ID3") == 0) {
        const auto b = [&](size_t i) {
            return static_cast<uint64_t>(static_cast<uint8_t>(bytes[i]));
        };
        tags += 10 + (b(6) << 21 | b(7) << 14 | b(8) << 7 | b(9)) + ((b(5) & 0x10) ? 10 : 0);
    }
    size_t end = bytes.size();
    if (end >= 128 && bytes.compare(end - 128, 3, "TAG") == 0) {
        tags += 128;
        end -= 128;
    }
    if (end >= 32 && bytes.compare(end - 32, 8, "APETAGEX") == 0) {
        uint32_t size, flags;
        std::memcpy(&size, bytes.data() + end - 32 + 12, 4);
        std::memcpy(&flags, bytes.data() + end - 32 + 20, 4);
        tags += size + ((flags & 0x80000000u) ? 32 : 0);
    }
    return tags;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

int Shell(const std::string& command) {
    const int status = std::system((command + " >/dev/null 2>&1").c_str());
    return status == -1 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

// The bit rate of a CBR 128 kbps MP3 by the plug-in's formula, from the file's own
// numbers: payload bytes / (125 x seconds) + 0.5, rounded half to even. Tags do not
// change it.
TEST_F(PluginOnEngine, BitRateOfAConstantBitRateMp3) {
    const int64_t frames = 44100 * 10 + 123;
    const std::string path =
        Write("cbr", Format::Mp3, 44100, 2, testaudio::Sine(44100, 2, frames, 440, 0.5));
    auto expected = [&] {
        const std::string bytes = ReadBytes(path);
        const float seconds = static_cast<float>(static_cast<double>(frames) / 44100.0);
        const double q =
            static_cast<double>(bytes.size() - TagBytes(bytes)) / (125.0 * seconds) + 0.5;
        EXPECT_EQ(std::fegetround(), FE_TONEAREST);
        return std::to_string(std::llrint(q));
    };
    const std::string plain = expected();
    Open(1, path);
    EXPECT_EQ(Query("GetBitrateChannel", 1), plain);
    const int kbps = std::atoi(plain.c_str());
    EXPECT_TRUE(kbps == 128 || kbps == 129) << plain;

    // With ID3v2 and ID3v1 tags (a long comment makes the ID3v2 block large).
    if (Shell("id3v2 --version") != 0) GTEST_SKIP() << "id3v2 is not installed";
    const std::string comment(20000, 'c');
    ASSERT_EQ(Shell("id3v2 -t Title -c '" + comment + "' '" + path + "'"), 0);
    ASSERT_GT(TagBytes(ReadBytes(path)), 20000u);
    EXPECT_EQ(expected(), plain);
    Open(2, path);
    EXPECT_EQ(Query("GetBitrateChannel", 2), plain);
}

struct TagCase {
    const char* name;
    Format format;
    const char* title;
    const char* tool;  // command line, {} is the file
};

// Every key reads its tag, in ID3v2 (MP3), FLAC and Ogg Vorbis comments, UTF-8 kept;
// keys that are not exact read nothing.
TEST_F(PluginOnEngine, EveryTagKey) {
    const TagCase cases[] = {
        // id3v2 writes Latin-1 frames only, so its title stays ASCII.
        {"mp3", Format::Mp3, "Cafe Song",
         "id3v2 -2 --TIT2 'Cafe Song' --TPE1 'The Artist' --TALB 'An Album' --TCON 'Jazz' "
         "--TYER 1999 --COMM 'A comment' --TRCK 3/12 {}"},
        {"flac", Format::Flac, "Caf\xc3\xa9 Song",
         "metaflac --set-tag='TITLE=Caf\xc3\xa9 Song' --set-tag='ARTIST=The Artist' "
         "--set-tag='ALBUM=An Album' --set-tag=GENRE=Jazz --set-tag=DATE=1999 "
         "--set-tag='COMMENT=A comment' --set-tag=TRACKNUMBER=3/12 {}"},
        {"ogg", Format::OggVorbis, "Caf\xc3\xa9 Song",
         "vorbiscomment -w -t 'TITLE=Caf\xc3\xa9 Song' -t 'ARTIST=The Artist' -t 'ALBUM=An Album' "
         "-t GENRE=Jazz -t DATE=1999 -t 'COMMENT=A comment' -t TRACKNUMBER=3/12 {}"},
    };
    int slot = 1;
    for (const TagCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(std::string("tagged_") + c.name, c.format, 44100, 2,
                                       testaudio::Sine(44100, 2, 44100, 440, 0.3));
        std::string command = c.tool;
        command.replace(command.find("{}"), 2, "'" + path + "'");
        if (Shell(command) != 0) {
            ADD_FAILURE() << "could not tag: " << command;
            continue;
        }
        Open(slot, path);
        const std::pair<const char*, const char*> keys[] = {
            {"%TITL", c.title}, {"%ARTI", "The Artist"}, {"%ALBM", "An Album"}, {"%GNRE", "Jazz"},
            {"%YEAR", "1999"},  {"%CMNT", "A comment"},  {"%TRCK", "3/12"}};
        for (const auto& [key, value] : keys)
            EXPECT_EQ(Plugin().Query("GetTagChannel", {slot}, key), value) << key;
        for (const char* wrong : {"%titl", "%TITL ", "TITL", ""})
            EXPECT_EQ(Plugin().Query("GetTagChannel", {slot}, wrong), "") << "'" << wrong << "'";
        ++slot;
    }
    // An untagged file reads empty texts.
    Open(slot, Write("plain", Format::Wav, 44100, 2, testaudio::Sine(44100, 2, 4410, 440, 0.3)));
    EXPECT_EQ(Plugin().Query("GetTagChannel", {slot}, "%TITL"), "");
}

// The plug-in plays a real file on the null output: the position advances, pause
// holds it, a seek lands on its second, and stop then play starts again from 0.
TEST_F(PluginOnEngine, PlaysAndThePositionAdvances) {
    Open(1, Write("tone", Format::Mp3, 44100, 2, testaudio::Sine(44100, 2, 44100 * 20, 440, 0.3)));
    EXPECT_EQ(Query("GetPosTimeChannel", 1), "0#00:00#");
    Call("PlayChannel", {1});
    Wait(1300);
    const int played = std::atoi(PluginHost::Fields(Query("GetPosTimeChannel", 1))[0].c_str());
    EXPECT_GE(played, 1);
    EXPECT_LE(played, 10);

    Call("PauseChannel", {1});
    const std::string paused = Query("GetPosTimeChannel", 1);
    Wait(600);
    EXPECT_EQ(Query("GetPosTimeChannel", 1), paused);

    Call("SetPositionForChannel", {1, 12});
    EXPECT_EQ(Query("GetPosTimeChannel", 1), "12#00:12#");

    Call("StopChannel", {1});
    Call("PlayChannel", {1});
    const int restarted = std::atoi(PluginHost::Fields(Query("GetPosTimeChannel", 1))[0].c_str());
    EXPECT_LT(restarted, 3) << "play after stop starts from the beginning";
}

// GetLevelChannel of a playing full-scale sine reads full scale on both sides, and
// a stream that is not playing reads -1 in each half.
TEST_F(PluginOnEngine, LevelOfAFullScaleSine) {
    Open(1, Write("full", Format::WavFloat, 44100, 2,
                  testaudio::Sine(44100, 2, 44100 * 10, 1000, 1.0)));
    EXPECT_EQ(Query("GetLevelChannel", 1), "65535#65535#") << "not playing";
    Call("PlayChannel", {1});
    Wait(300);
    const auto [right, left] = Level(1);
    EXPECT_NEAR(right, 32768, 328);
    EXPECT_NEAR(left, 32768, 328);
    Call("SetValumeChannel", {1, 30});  // volume is not part of the level
    Wait(200);
    EXPECT_NEAR(Level(1).first, 32768, 328);
}

// GetDataChannel20: a 775.2 Hz sine at 44.1 kHz sits in bin 9, the second field; at
// 48 kHz the bins are spaced at 48 kHz (bin 81, the last field, is 7593.75 Hz).
TEST_F(PluginOnEngine, SpectrumFieldsAtTheStreamsRate) {
    Open(1,
         Write("s441", Format::Wav, 44100, 2, testaudio::Sine(44100, 2, 44100 * 10, 775.2, 0.9)));
    Open(2,
         Write("s48", Format::Wav, 48000, 2, testaudio::Sine(48000, 2, 48000 * 10, 7593.75, 0.9)));
    Open(3,
         Write("s48b", Format::Wav, 48000, 2, testaudio::Sine(48000, 2, 48000 * 10, 843.75, 0.9)));
    for (int slot = 1; slot <= 3; ++slot) Call("PlayChannel", {slot});
    Wait(300);
    const size_t expected_field[] = {1, 19, 1};
    for (int slot = 1; slot <= 3; ++slot) {
        SCOPED_TRACE("slot " + std::to_string(slot));
        const std::vector<float> values = Spectrum20(slot);
        ASSERT_EQ(values.size(), 20u);
        const size_t loudest =
            static_cast<size_t>(std::max_element(values.begin(), values.end()) - values.begin());
        EXPECT_EQ(loudest, expected_field[slot - 1]);
        EXPECT_NEAR(values[loudest], 0.9f, 0.02f);
    }
    // An empty slot reads twenty zeros.
    EXPECT_EQ(Query("GetDataChannel20", 9), "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");
}

// EqSetChannel with -15 on band 5 (1 kHz) lowers a playing 1 kHz sine's level by 15 dB.
TEST_F(PluginOnEngine, EqualiserBandFiveCutsOneKilohertz) {
    Open(1, Write("tone", Format::WavFloat, 44100, 2,
                  testaudio::Sine(44100, 2, 44100 * 10, 1000, 0.5)));
    Call("EqCreateChannel", {1});
    Call("PlayChannel", {1});
    Wait(300);
    const auto [right_before, left_before] = Level(1);
    EXPECT_NEAR(left_before, 16384, 164) << "a new equaliser is neutral";
    EXPECT_EQ(Plugin().Query("EqSetChannel", {1, 5, -15}), "");
    Wait(400);
    const auto [right_after, left_after] = Level(1);
    EXPECT_NEAR(20.0 * std::log10(static_cast<double>(left_after) / left_before), -15.0, 0.5);
    EXPECT_NEAR(20.0 * std::log10(static_cast<double>(right_after) / right_before), -15.0, 0.5);

    // A second EqCreateChannel replaces the equaliser instead of stacking another.
    Call("EqCreateChannel", {1});
    Wait(400);
    EXPECT_NEAR(Level(1).second, 16384, 164);
}

}  // namespace
