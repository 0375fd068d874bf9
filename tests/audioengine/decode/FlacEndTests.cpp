// SPDX-License-Identifier: MIT
// Opening a FLAC stream proves that the file reaches the length its STREAMINFO
// states. These files have no seek table, so the proof comes from the last frame
// read straight from the file's tail; whatever that cannot prove is left to a seek.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "plugin/engine/Bass.h"
#include "tests/audioengine/decode/DecodeTestSupport.h"
#include "tests/support/ReadShim.h"

namespace {

using decodetest::ReadBytes;
using decodetest::WriteBytes;
using decodetest::WriteTestFile;
using testaudio::Format;

// Rewrites STREAMINFO's 36-bit total sample count (it starts in the low nibble of
// byte 21: "fLaC", the block header, 10 bytes of sizes, 28 bits of rate/channels/bits).
void SetTotalSamples(std::vector<unsigned char>& file, uint64_t total) {
    ASSERT_GE(file.size(), 26u);
    ASSERT_EQ(std::string(file.begin(), file.begin() + 4), "fLaC");
    ASSERT_EQ(file[4] & 0x7F, 0);  // the first block is STREAMINFO
    file[21] = static_cast<unsigned char>((file[21] & 0xF0) | ((total >> 32) & 0x0F));
    for (int i = 0; i < 4; ++i) file[22 + i] = static_cast<unsigned char>(total >> (24 - 8 * i));
}

int64_t OpenedLength(const std::string& path, int* error) {
    const auto decoder = ae::OpenDecoder(path);
    *error = decoder.code();
    return decoder.ok() ? decoder.value()->info().frames : -1;
}

TEST(FlacEnd, WholeFilesOpenWithTheirLengthEvenWithATagAfterTheAudio) {
    testaudio::TempDir dir;
    // 100000 frames: the last block is shorter than the others.
    const std::string path = dir.File("whole.flac");
    ASSERT_FALSE(WriteTestFile(path, Format::Flac, 2, 100000).empty());
    int error = 0;
    EXPECT_EQ(OpenedLength(path, &error), 100000) << error;

    std::vector<unsigned char> tagged = ReadBytes(path);
    std::vector<unsigned char> id3v1(128, 0);
    id3v1[0] = 'T', id3v1[1] = 'A', id3v1[2] = 'G';
    tagged.insert(tagged.end(), id3v1.begin(), id3v1.end());
    const std::string taggedPath = dir.File("tagged.flac");
    WriteBytes(taggedPath, tagged);
    EXPECT_EQ(OpenedLength(taggedPath, &error), 100000) << error;
    // And it really plays to that length.
    const auto decoder = ae::OpenDecoder(taggedPath);
    ASSERT_TRUE(decoder.ok());
    EXPECT_EQ(decodetest::DecodeRest(*decoder.value()).size(), 2u * 100000);
}

// A file that ends with whole frames but states more samples than they hold was cut
// at a frame boundary; one that ends in a damaged frame was cut or broken. Both
// are refused as before.
TEST(FlacEnd, FilesThatEndShortOfTheirStatedLengthAreRefused) {
    testaudio::TempDir dir;
    const std::string path = dir.File("whole.flac");
    ASSERT_FALSE(WriteTestFile(path, Format::Flac, 2, 100000).empty());
    const std::vector<unsigned char> whole = ReadBytes(path);
    int error = 0;

    for (const uint64_t stated : {100001ull, 104096ull, 1000000ull}) {
        SCOPED_TRACE(stated);
        std::vector<unsigned char> bytes = whole;
        SetTotalSamples(bytes, stated);
        const std::string longer = dir.File("longer.flac");
        WriteBytes(longer, bytes);
        EXPECT_EQ(OpenedLength(longer, &error), -1);
        EXPECT_EQ(error, BASS_ERROR_FILEFORM);
    }

    std::vector<unsigned char> damaged = whole;
    damaged[damaged.size() - 1] ^= 0x5A;  // the last frame's CRC-16 no longer matches
    const std::string damagedPath = dir.File("damaged.flac");
    WriteBytes(damagedPath, damaged);
    EXPECT_EQ(OpenedLength(damagedPath, &error), -1);
    EXPECT_EQ(error, BASS_ERROR_FILEFORM);
}

}  // namespace

// A seek into the last frame of a file without a seek table reads the file a few
// times, as a seek anywhere else does, and lands on the exact frame. libFLAC's own
// search walked there a frame at a time, reading the whole file, when its guess fell
// inside the last frame: here a minute of a tone ends in a block of noise, far
// larger than the frames before it.
TEST(FlacEnd, SeeksIntoTheLastFrameReadLittleOfTheFile) {
    testaudio::TempDir dir;
    const std::string path = dir.File("minute.flac");
    const int64_t frames = 60 * 44100 + 4000;  // the last block holds 4000 frames
    std::vector<float> signal = testaudio::Sine(44100, 2, frames, 440, 0.5);
    uint32_t x = 2463534242u;
    for (size_t i = signal.size() - 2 * 4000; i < signal.size(); ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        signal[i] = static_cast<float>(x % 20001) / 20000.0f - 0.5f;
    }
    ASSERT_TRUE(testaudio::Write(path, Format::Flac, 44100, 2, signal));
    auto opened = ae::OpenDecoder(path);
    ASSERT_TRUE(opened.ok()) << opened.code();
    ae::Decoder& decoder = *opened.value();
    const std::vector<float> all = decodetest::DecodeRest(decoder, 65536);
    ASSERT_EQ(static_cast<int64_t>(all.size()), 2 * frames);

    readshim::WatchedFile file(path);
    ASSERT_TRUE(file.ok());
    std::vector<float> block(2 * 1000);
    for (const int64_t target : {frames - 1, frames - 100, frames - 3999, frames / 2}) {
        SCOPED_TRACE(target);
        const int64_t readsBefore = file.reads();
        ASSERT_TRUE(decoder.Seek(target));
        const int64_t n = std::min<int64_t>(1000, frames - target);
        ASSERT_EQ(decoder.Read(block.data(), n), n);
        EXPECT_LE(file.reads() - readsBefore, 40);
        EXPECT_EQ(std::vector<float>(block.begin(), block.begin() + 2 * n),
                  std::vector<float>(all.begin() + 2 * target, all.begin() + 2 * (target + n)));
    }
}
