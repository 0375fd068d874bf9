// SPDX-License-Identifier: MIT
// The WAV output's file: its header fields, what readers make of it, and the switch
// to RF64 past 4 GiB (checked on the header alone: no test writes 4 GiB).
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audioengine/core/WavWriter.h"
#include "tests/support/AudioFiles.h"

namespace {

uint64_t Little(const uint8_t* bytes, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | bytes[i];
    return value;
}

std::string Tag(const uint8_t* bytes) {
    return std::string(reinterpret_cast<const char*>(bytes), 4);
}

// Runs a command; its exit status, with what it wrote on stdout and stderr in *output.
int RunCommand(const std::string& command, std::string* output) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return -1;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A recording closed normally: a float WAV with an 18-byte fmt chunk and a fact chunk
// of the right length, whose samples libsndfile reads back exactly and which sox
// reads without a warning.
TEST(WavWriter, WritesAFloatWavReadersTakeWithoutComplaint) {
    testaudio::TempDir dir;
    const std::string path = dir.File("mix.wav");
    const int rate = 48000, frames = 4801;
    std::vector<float> samples(2 * frames);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<float>(i % 200) / 100 - 1;
    {
        ae::WavWriter writer;
        ASSERT_TRUE(writer.Open(path, rate, 2));
        ASSERT_TRUE(writer.Append(samples.data(), 1000));
        writer.UpdateHeader();  // as while recording: the header is rewritten in place
        ASSERT_TRUE(writer.Append(samples.data() + 2000, frames - 1000));
    }  // closing finalises the header

    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> file{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(file.size(), ae::kWavHeaderBytes + samples.size() * 4);
    const uint8_t* b = file.data();
    EXPECT_EQ(Tag(b), "RIFF");
    EXPECT_EQ(Little(b + 4, 4), file.size() - 8);
    EXPECT_EQ(Tag(b + 8), "WAVE");
    EXPECT_EQ(Tag(b + 12), "JUNK") << "room for the 64-bit sizes";
    EXPECT_EQ(Tag(b + 48), "fmt ");
    EXPECT_EQ(Little(b + 52, 4), 18u) << "fmt size";
    EXPECT_EQ(Little(b + 56, 2), 3u) << "IEEE float";
    EXPECT_EQ(Little(b + 58, 2), 2u) << "channels";
    EXPECT_EQ(Little(b + 60, 4), uint64_t(rate));
    EXPECT_EQ(Little(b + 64, 4), uint64_t(rate) * 8) << "bytes per second";
    EXPECT_EQ(Little(b + 68, 2), 8u) << "block align";
    EXPECT_EQ(Little(b + 70, 2), 32u) << "bits";
    EXPECT_EQ(Little(b + 72, 2), 0u) << "cbSize";
    EXPECT_EQ(Tag(b + 74), "fact");
    EXPECT_EQ(Little(b + 78, 4), 4u);
    EXPECT_EQ(Little(b + 82, 4), uint64_t(frames)) << "sample frames";
    EXPECT_EQ(Tag(b + 86), "data");
    EXPECT_EQ(Little(b + 90, 4), samples.size() * 4);

    SF_INFO info{};
    SNDFILE* read = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(read, nullptr) << sf_strerror(nullptr);
    std::vector<float> back(samples.size() + 2);
    EXPECT_EQ(sf_readf_float(read, back.data(), frames + 1), frames);
    sf_close(read);
    back.resize(samples.size());
    EXPECT_EQ(back, samples);

    for (const std::string& command : {"sox --i '" + path + "'", "sox '" + path + "' -n stat"}) {
        std::string output;
        EXPECT_EQ(RunCommand(command, &output), 0)
            << command << " (sox is installed by scripts/deps)\n"
            << output;
        EXPECT_EQ(output.find("WARN"), std::string::npos) << command << "\n" << output;
    }
}

// The sizes stay in the RIFF header up to its 32-bit limit; one frame more and the
// header is RF64, its sizes in ds64 and -1 in the 32-bit fields.
TEST(WavWriter, HeaderTurnsRf64PastThe32BitLimit) {
    const uint64_t largestRiff = (0xFFFFFFFFull - (ae::kWavHeaderBytes - 8)) / 8 * 8;
    struct Case {
        uint64_t dataBytes;
        bool rf64;
    };
    for (const Case c :
         {Case{0, false}, Case{8000, false}, Case{largestRiff, false}, Case{largestRiff + 8, true},
          Case{(5ull << 30) + 8000, true}, Case{40ull << 30, true}}) {
        SCOPED_TRACE(c.dataBytes);
        const auto h = ae::WavFloatHeader(44100, 2, c.dataBytes);
        const uint64_t riffSize = ae::kWavHeaderBytes - 8 + c.dataBytes;
        const uint64_t frames = c.dataBytes / 8;
        EXPECT_EQ(Tag(&h[0]), c.rf64 ? "RF64" : "RIFF");
        EXPECT_EQ(Tag(&h[12]), c.rf64 ? "ds64" : "JUNK");
        EXPECT_EQ(Little(&h[16], 4), 28u);
        if (c.rf64) {
            EXPECT_EQ(Little(&h[4], 4), 0xFFFFFFFFu);
            EXPECT_EQ(Little(&h[20], 8), riffSize);
            EXPECT_EQ(Little(&h[28], 8), c.dataBytes);
            EXPECT_EQ(Little(&h[36], 8), frames);
            EXPECT_EQ(Little(&h[82], 4), 0xFFFFFFFFu) << "fact";
            EXPECT_EQ(Little(&h[90], 4), 0xFFFFFFFFu) << "data";
        } else {
            EXPECT_EQ(Little(&h[4], 4), riffSize);
            EXPECT_TRUE(std::all_of(&h[20], &h[48], [](uint8_t x) { return x == 0; }))
                << "JUNK holds zeros";
            EXPECT_EQ(Little(&h[82], 4), frames) << "fact";
            EXPECT_EQ(Little(&h[90], 4), c.dataBytes) << "data";
        }
        EXPECT_EQ(Little(&h[44], 4), 0u) << "no table of chunk sizes";
        EXPECT_EQ(Tag(&h[48]), "fmt ");
        EXPECT_EQ(Tag(&h[86]), "data");
    }
}

}  // namespace
