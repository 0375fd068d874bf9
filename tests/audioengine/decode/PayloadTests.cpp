// SPDX-License-Identifier: MIT
// The audio payload of a file: its size less the tag blocks around the audio, which
// can be large (cover art) and would distort a bit rate.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/audioengine/decode/DecodeTestSupport.h"

namespace decodetest {
namespace {

using Bytes = std::vector<unsigned char>;

Bytes Id3v2(uint32_t body, bool footer) {
    Bytes tag = {'I',
                 'D',
                 '3',
                 4,
                 0,
                 static_cast<unsigned char>(footer ? 0x10 : 0),
                 static_cast<unsigned char>((body >> 21) & 0x7F),
                 static_cast<unsigned char>((body >> 14) & 0x7F),
                 static_cast<unsigned char>((body >> 7) & 0x7F),
                 static_cast<unsigned char>(body & 0x7F)};
    tag.resize(10 + body, 'x');
    if (footer) {
        Bytes foot(tag.begin(), tag.begin() + 10);
        std::memcpy(foot.data(), "3DI", 3);
        tag.insert(tag.end(), foot.begin(), foot.end());
    }
    return tag;
}

Bytes Id3v1() {
    Bytes tag(128, ' ');
    std::memcpy(tag.data(), "TAG", 3);
    return tag;
}

void PutLe32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// An APEv2 tag with `items` bytes of items, with or without its optional header.
Bytes Ape(uint32_t items, bool header) {
    auto block = [&](bool is_header) {
        Bytes b(32, 0);
        std::memcpy(b.data(), "APETAGEX", 8);
        PutLe32(&b[8], 2000);
        PutLe32(&b[12], items + 32);
        PutLe32(&b[16], 1);
        PutLe32(&b[20], (header ? 0x80000000u : 0) | (is_header ? 0x20000000u : 0));
        return b;
    };
    Bytes tag;
    if (header) tag = block(true);
    tag.resize(tag.size() + items, 'a');
    const Bytes footer = block(false);
    tag.insert(tag.end(), footer.begin(), footer.end());
    return tag;
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(AudioPayloadBytes, TagBlocksAtEitherEndAreNotCounted) {
    testaudio::TempDir dir;
    const std::string path = dir.File("tagged");
    const Bytes audio(5000, 0x55);
    const struct {
        const char* name;
        Bytes file;
    } cases[] = {
        {"plain", audio},
        {"id3v2", Join({Id3v2(3000, false), audio})},
        {"id3v2 with footer", Join({Id3v2(3000, true), audio})},
        {"two id3v2", Join({Id3v2(100, false), Id3v2(200, false), audio})},
        {"id3v1", Join({audio, Id3v1()})},
        {"ape with header", Join({audio, Ape(700, true)})},
        {"ape without header", Join({audio, Ape(700, false)})},
        {"ape then id3v1", Join({audio, Ape(300, true), Id3v1()})},
        {"appended id3v2", Join({audio, Id3v2(400, true)})},
        {"everything", Join({Id3v2(1000, false), audio, Ape(300, true), Id3v1()})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteBytes(path, c.file);
        EXPECT_EQ(ae::AudioPayloadBytes(path), 5000);
    }
}

TEST(AudioPayloadBytes, DamagedOrImplausibleTagsCountAsAudio) {
    testaudio::TempDir dir;
    const std::string path = dir.File("odd");
    const Bytes audio(5000, 0x55);

    Bytes bad_size = Id3v2(100, false);
    bad_size[8] = 0x80;  // not synchsafe: not an ID3v2 header
    WriteBytes(path, Join({bad_size, audio}));
    EXPECT_EQ(ae::AudioPayloadBytes(path), 5000 + 110);

    Bytes huge_ape = Ape(10, false);  // claims more than the file holds
    PutLe32(&huge_ape[huge_ape.size() - 32 + 12], 1u << 30);
    WriteBytes(path, Join({audio, huge_ape}));
    EXPECT_EQ(ae::AudioPayloadBytes(path), 5000 + 42);

    // A tag that claims the whole file leaves nothing, never a negative size.
    Bytes id3_beyond = Id3v2(10, false);
    id3_beyond[7] = 0x7F;
    WriteBytes(path, Join({id3_beyond, audio}));
    EXPECT_EQ(ae::AudioPayloadBytes(path), 0);

    WriteBytes(path, {});
    EXPECT_EQ(ae::AudioPayloadBytes(path), 0);
    EXPECT_EQ(ae::AudioPayloadBytes(dir.File("missing")), -1);
    EXPECT_EQ(ae::AudioPayloadBytes(dir.path()), -1);
}

// A file tagged by the real tools keeps decoding and its payload is what the
// encoder wrote.
TEST(AudioPayloadBytes, RealId3TagsFromTheTaggingTool) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("in.wav"), mp3 = dir.File("out.mp3");
    ASSERT_FALSE(WriteTestFile(wav, testaudio::Format::Wav, 2, 44100).empty());
    if (!RunQuietly("lame --quiet -b 128 --cbr '" + wav + "' '" + mp3 + "'"))
        GTEST_SKIP() << "no lame";
    const int64_t untagged = static_cast<int64_t>(ReadBytes(mp3).size());
    EXPECT_EQ(ae::AudioPayloadBytes(mp3), untagged);
    if (!RunQuietly("id3v2 -a Artist -A Album -t Title -c Comment '" + mp3 + "'") ||
        !RunQuietly("id3v2 -1 -a Artist '" + mp3 + "'"))
        GTEST_SKIP() << "no id3v2";
    const Bytes tagged = ReadBytes(mp3);
    ASSERT_EQ(std::memcmp(tagged.data(), "ID3", 3), 0);
    ASSERT_EQ(std::memcmp(&tagged[tagged.size() - 128], "TAG", 3), 0);
    ASSERT_GT(static_cast<int64_t>(tagged.size()), untagged + 128);
    EXPECT_EQ(ae::AudioPayloadBytes(mp3), untagged);
}

}  // namespace
}  // namespace decodetest
