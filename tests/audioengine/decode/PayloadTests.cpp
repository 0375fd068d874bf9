// SPDX-License-Identifier: MIT
// The audio payload of a file: its size less the metadata around and inside the
// audio (tag blocks, cover art), which can be large and would distort a bit rate.
#include <gtest/gtest.h>
#include <taglib/asffile.h>
#include <taglib/asfpicture.h>
#include <taglib/asftag.h>

#include <cstring>
#include <functional>

#include "tests/audioengine/decode/DecodeTestSupport.h"

namespace decodetest {
namespace {

using Bytes = std::vector<unsigned char>;

void PutLe(unsigned char* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
void PutBe(unsigned char* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * (bytes - 1 - i)));
}
Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Id3v2(uint32_t body, bool footer) {
    Bytes tag = {'I', 'D', '3', 4, 0, static_cast<unsigned char>(footer ? 0x10 : 0), 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) tag[6 + i] = (body >> (7 * (3 - i))) & 0x7F;  // synchsafe
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

// An APEv2 tag with `items` bytes of items, with or without its optional header.
Bytes Ape(uint32_t items, bool header) {
    auto block = [&](bool is_header) {
        Bytes b(32, 0);
        std::memcpy(b.data(), "APETAGEX", 8);
        PutLe(&b[8], 2000, 4);
        PutLe(&b[12], items + 32, 4);
        PutLe(&b[16], 1, 4);
        PutLe(&b[20], (header ? 0x80000000u : 0) | (is_header ? 0x20000000u : 0), 4);
        return b;
    };
    Bytes tag;
    if (header) tag = block(true);
    tag.resize(tag.size() + items, 'a');
    return Join({tag, block(false)});
}

// A FLAC metadata block of `type` with a body of `length` bytes.
Bytes FlacBlock(int type, uint32_t length, bool last) {
    Bytes b(4 + length, 0x11);
    b[0] = static_cast<unsigned char>(type | (last ? 0x80 : 0));
    PutBe(&b[1], length, 3);
    return b;
}

// An MP4 box, with a 32-bit size or the 64-bit form.
Bytes Box(const char* type, const Bytes& body, bool large = false) {
    Bytes b(large ? 16 : 8, 0);
    std::memcpy(&b[4], type, 4);
    if (large) {
        PutBe(&b[0], 1, 4);
        PutBe(&b[8], body.size() + 16, 8);
    } else {
        PutBe(&b[0], body.size() + 8, 4);
    }
    return Join({b, body});
}
Bytes Filler(size_t bytes) { return Bytes(bytes, 0x22); }

// An ASF object: its GUID as stored (mixed-endian), a 64-bit size, the body.
Bytes AsfObject(const Bytes& guid, const Bytes& body) {
    Bytes b = guid;
    b.resize(24, 0);
    PutLe(&b[16], body.size() + 24, 8);
    return Join({b, body});
}
const Bytes kHeader = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                       0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Bytes kContentDescription = {0x33, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                   0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Bytes kExtendedContent = {0x40, 0xA4, 0xD0, 0xD2, 0x07, 0xE3, 0xD2, 0x11,
                                0x97, 0xF0, 0x00, 0xA0, 0xC9, 0x5E, 0xA8, 0x50};
const Bytes kStreamProperties = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Bytes kHeaderExtension = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Bytes kMetadataLibrary = {0x94, 0x1C, 0x23, 0x44, 0x98, 0x94, 0xD1, 0x49,
                                0xA1, 0x41, 0x1D, 0x13, 0x4E, 0x45, 0x70, 0x54};
const Bytes kData = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                     0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
// The header object around `objects`: count and 2 reserved bytes after the size.
Bytes AsfHeader(std::initializer_list<Bytes> objects) {
    Bytes body(6, 0);
    PutLe(&body[0], objects.size(), 4);
    for (const Bytes& o : objects) body.insert(body.end(), o.begin(), o.end());
    return AsfObject(kHeader, body);
}
// A header extension: reserved GUID and field, then the size of its objects.
Bytes AsfHeaderExtension(const Bytes& objects) {
    Bytes body(22, 0);
    PutLe(&body[18], objects.size(), 4);
    return AsfObject(kHeaderExtension, Join({body, objects}));
}

// One table: a file kind, what is added to it, and how many of its bytes are not
// audio. Tag blocks at either end and metadata inside FLAC, MP4 and ASF files are
// left out; container headers, padding and damaged blocks count as the file.
TEST(AudioPayloadBytes, MetadataAroundAndInsideTheAudioIsNotCounted) {
    testaudio::TempDir dir;
    const std::string path = dir.File("file");
    const Bytes audio(5000, 0x55);
    const Bytes v2 = Id3v2(3000, false), v2footer = Id3v2(3000, true), v1 = Id3v1();
    const Bytes v2a = Id3v2(100, false), v2b = Id3v2(200, false), appended = Id3v2(400, true);
    const Bytes ape = Ape(700, true), bareApe = Ape(700, false);

    const Bytes flac = Join({{'f', 'L', 'a', 'C'}, FlacBlock(0, 34, false)});
    const Bytes picture = FlacBlock(6, 9000, false), smallPicture = FlacBlock(6, 70, false);
    const Bytes comment = FlacBlock(4, 40, false), lastPadding = FlacBlock(1, 500, true);
    const Bytes lastPicture = FlacBlock(6, 9000, true), lastComment = FlacBlock(4, 40, true);
    Bytes overlong = FlacBlock(6, 100, true);
    PutBe(&overlong[1], 20000, 3);

    const Bytes ftyp = Box("ftyp", Bytes{'M', '4', 'A', ' ', 0, 0, 0, 0});
    const Bytes mdat = Box("mdat", audio), bigMdat = Box("mdat", audio, true);
    const Bytes mvhd = Box("mvhd", Filler(100)), tkhd = Box("tkhd", Filler(80));
    const Bytes covr = Box("covr", Box("data", Filler(3000)));
    const Bytes name = Box("\251nam", Box("data", Filler(20)));
    const Bytes hdlr = Box("hdlr", Filler(25));
    const Bytes movieUdta = Box("udta", Box("meta", Join({Bytes(4, 0), hdlr, Box("ilst", covr)})));
    const Bytes trackUdta = Box("udta", Filler(50));
    Bytes overlongUdta = trackUdta;
    PutBe(&overlongUdta[0], 5000, 4);
    const Bytes fullMeta = Box("meta", Join({Bytes(4, 0), hdlr, Box("ilst", Join({name, covr}))}));
    const Bytes quickTimeMeta = Box("meta", Join({hdlr, Box("ilst", Join({covr, name}))}), true);

    const Bytes streamProperties = AsfObject(kStreamProperties, Filler(80));
    const Bytes description = AsfObject(kContentDescription, Filler(60));
    const Bytes extended = AsfObject(kExtendedContent, Filler(9000));
    const Bytes library = AsfObject(kMetadataLibrary, Filler(700));
    const Bytes asfData = AsfObject(kData, audio);

    const struct {
        const char* kind;
        const char* added;
        Bytes file;
        size_t notAudio;
    } cases[] = {
        {"any", "nothing", audio, 0},
        {"any", "ID3v2", Join({v2, audio}), v2.size()},
        {"any", "ID3v2 with a footer", Join({v2footer, audio}), v2footer.size()},
        {"any", "two ID3v2", Join({v2a, v2b, audio}), v2a.size() + v2b.size()},
        {"any", "ID3v1", Join({audio, v1}), v1.size()},
        {"any", "APE with a header", Join({audio, ape}), ape.size()},
        {"any", "APE without a header", Join({audio, bareApe}), bareApe.size()},
        {"any", "APE then ID3v1", Join({audio, ape, v1}), ape.size() + v1.size()},
        {"any", "appended ID3v2", Join({audio, appended}), appended.size()},
        {"any", "ID3v2, APE, ID3v1", Join({v2, audio, ape, v1}),
         v2.size() + ape.size() + v1.size()},
        {"flac", "two pictures (comment, padding stay)",
         Join({flac, picture, comment, smallPicture, lastPadding, audio}),
         picture.size() + smallPicture.size()},
        {"flac", "ID3v2 in front, a picture", Join({v2, flac, lastPicture, audio}),
         v2.size() + lastPicture.size()},
        {"flac", "a picture after the last block (frames, not metadata)",
         Join({flac, lastComment, picture, audio}), 0},
        {"flac", "a picture longer than the file (damaged)", Join({flac, overlong}), 0},
        {"mp4", "udta of the movie (cover art) and of a track",
         Join({ftyp, mdat,
               Box("moov", Join({mvhd, Box("trak", Join({tkhd, trackUdta})), movieUdta}))}),
         movieUdta.size() + trackUdta.size()},
        {"mp4", "cover in a movie-level meta, 64-bit sizes",
         Join({ftyp, bigMdat, Box("moov", Join({mvhd, fullMeta}), true)}), covr.size()},
        {"mp4", "cover in a QuickTime meta",
         Join({ftyp, Box("moov", Join({mvhd, quickTimeMeta})), mdat}), covr.size()},
        {"mp4", "udta beyond its parent (damaged)",
         Join({ftyp, mdat, Box("moov", Join({mvhd, overlongUdta}))}), 0},
        {"asf", "descriptions and a metadata library",
         Join({AsfHeader({streamProperties, description, extended, AsfHeaderExtension(library)}),
               asfData}),
         description.size() + extended.size() + library.size()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + ": " + c.added);
        WriteBytes(path, c.file);
        EXPECT_EQ(ae::AudioPayloadBytes(path), static_cast<int64_t>(c.file.size() - c.notAudio));
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
    PutLe(&huge_ape[huge_ape.size() - 32 + 12], 1u << 30, 4);
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

// Metadata added by the tools people use leaves the payload of the same audio as it
// was: id3v2 on an MP3, metaflac's cover art on a FLAC, ffmpeg's tags and cover on
// an M4A and tags on a WMA, and a large cover that TagLib puts in the WMA's metadata
// library. The untagged file's payload is its size less at most a few small headers.
TEST(AudioPayloadBytes, MetadataAddedByRealToolsIsNotCounted) {
    testaudio::TempDir dir;
    const std::string wav = dir.File("in.wav"), cover = dir.File("cover.png");
    ASSERT_FALSE(WriteTestFile(wav, testaudio::Format::Wav, 2, 44100).empty());
    ASSERT_TRUE(
        RunQuietly("ffmpeg -v error -f lavfi -i testsrc=size=640x480 -frames:v 1 '" + cover + "'"));
    const std::string ffmpeg = "ffmpeg -v error -y -fflags +bitexact -i '" + wav + "' ";
    const std::string withCover = "-i '" + cover +
                                  "' -map 0 -map 1 -c:v copy -disposition:v attached_pic "
                                  "-metadata title=Title -metadata artist=Artist ";
    auto wmaCover = [](const std::string& path) {
        TagLib::ASF::File file(path.c_str());
        TagLib::ASF::Picture picture;
        picture.setMimeType("image/jpeg");
        picture.setPicture(TagLib::ByteVector(100000, 'j'));
        file.tag()->setAttribute("WM/Picture", TagLib::ASF::Attribute(picture));
        return file.save();
    };
    const struct {
        const char* kind;
        const char* added;
        std::string untagged;  // command line making the untagged file {}
        std::string tag;       // command line adding the metadata to {}
        std::function<bool(const std::string&)> tagInProcess;
    } cases[] = {
        {"mp3", "ID3v2 and ID3v1 by id3v2", "lame --quiet -b 128 --cbr '" + wav + "' {}",
         "id3v2 -a Artist -A Album -t Title -c Comment {} && id3v2 -1 -a Artist {}", nullptr},
        {"flac", "a cover by metaflac", "flac -s --no-padding -o {} '" + wav + "'",
         "metaflac --import-picture-from='" + cover + "' {}", nullptr},
        {"m4a", "tags and a cover by ffmpeg", ffmpeg + "-map_metadata -1 -c:a aac {}",
         ffmpeg + withCover + "-c:a aac {}", nullptr},
        {"wma", "tags by ffmpeg", ffmpeg + "-map_metadata -1 {}",
         ffmpeg + "-metadata title=Title -metadata artist=Artist -metadata comment=C {}", nullptr},
        {"wma", "a 100 KB cover by TagLib", ffmpeg + "-map_metadata -1 {}", "", wmaCover},
    };
    auto command = [](std::string line, const std::string& path) {
        for (size_t at; (at = line.find("{}")) != std::string::npos;)
            line.replace(at, 2, "'" + path + "'");
        return line;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + ": " + c.added);
        const std::string plain = dir.File(std::string("plain.") + c.kind);
        const std::string tagged = dir.File(std::string("tagged.") + c.kind);
        ASSERT_TRUE(RunQuietly(command(c.untagged, plain)));
        ASSERT_TRUE(RunQuietly(command(c.untagged, tagged)));
        ASSERT_TRUE(c.tagInProcess ? c.tagInProcess(tagged) : RunQuietly(command(c.tag, tagged)));
        const int64_t plainSize = static_cast<int64_t>(ReadBytes(plain).size());
        ASSERT_GT(static_cast<int64_t>(ReadBytes(tagged).size()), plainSize + 100);
        const int64_t payload = ae::AudioPayloadBytes(plain);
        EXPECT_LE(payload, plainSize);
        EXPECT_GE(payload, plainSize - 200);
        EXPECT_EQ(ae::AudioPayloadBytes(tagged), payload);
    }
}

}  // namespace
}  // namespace decodetest
