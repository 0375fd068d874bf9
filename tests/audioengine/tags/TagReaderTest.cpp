// SPDX-License-Identifier: MIT
// The tag reader and its cache on generated files tagged by real tools, without the engine.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/flacpicture.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "audioengine/tags/LegacyText.h"
#include "audioengine/tags/TagCache.h"
#include "audioengine/tags/TagReader.h"
#include "tests/audioengine/tags/TagFixtures.h"

namespace {

using audioengine::ParseTagKey;
using audioengine::ReadTags;
using audioengine::TagCache;
using audioengine::TagKey;
using audioengine::TagSet;
using tagtest::Values;
using testaudio::Format;
namespace fs = std::filesystem;

Values Read(const std::string& path) {
    const TagSet set = ReadTags(path);
    Values values;
    for (std::size_t i = 0; i < values.size(); ++i) values[i] = set.values[i];
    return values;
}

const Values kEmpty{};

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int OpenDescriptors() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

// Captures what the process writes on stdout and stderr while it lives.
class OutputCapture {
  public:
    explicit OutputCapture(const std::string& path) : path_(path) {
        std::fflush(stdout);
        std::fflush(stderr);
        savedOut_ = dup(1);
        savedErr_ = dup(2);
        FILE* sink = std::fopen(path.c_str(), "w");
        dup2(fileno(sink), 1);
        dup2(fileno(sink), 2);
        std::fclose(sink);
    }
    std::string Finish() {
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(savedOut_, 1);
        dup2(savedErr_, 2);
        close(savedOut_);
        close(savedErr_);
        return ReadBytes(path_);
    }

  private:
    std::string path_;
    int savedOut_, savedErr_;
};

TEST(TagKeys, OnlyTheSevenExactKeysAreAccepted) {
    for (std::size_t i = 0; i < tagtest::kKeys.size(); ++i) {
        TagKey key{};
        ASSERT_TRUE(ParseTagKey(tagtest::kKeys[i], &key)) << tagtest::kKeys[i];
        EXPECT_EQ(static_cast<std::size_t>(key), i);
    }
    for (const char* wrong : {"%titl", "%TITL ", " %TITL", "TITL", "%TITLE", "", "%", "%TITL%ARTI",
                              "%TIT", "%COMM", "%GENR"}) {
        EXPECT_FALSE(ParseTagKey(wrong, nullptr)) << '"' << wrong << '"';
    }
    EXPECT_FALSE(ParseTagKey(nullptr, nullptr));
}

class TaggedFiles : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new testaudio::TempDir();
        files_ = tagtest::MakeTaggedFiles(*dir_);
    }
    static void TearDownTestSuite() {
        delete dir_;
        dir_ = nullptr;
    }
    void SetUp() override { ASSERT_EQ(files_.size(), 16u) << "the tagged files were not all made"; }
    static const tagtest::TaggedFile& File(const std::string& label) {
        for (const auto& file : files_) {
            if (file.label == label) return file;
        }
        throw std::runtime_error("no tagged file " + label);
    }

    static testaudio::TempDir* dir_;
    static std::vector<tagtest::TaggedFile> files_;
};
testaudio::TempDir* TaggedFiles::dir_ = nullptr;
std::vector<tagtest::TaggedFile> TaggedFiles::files_;

// ID3v2.3 and ID3v1 by id3v2 (Latin-1 texts), ID3v2.4 in UTF-8, APE, FLAC and Ogg
// Vorbis comments by their tools, Opus comments, RIFF INFO and ID3v2 in WAV and AIFF,
// AIFF's text chunks, MP4, ASF and the APE tags of WavPack, TTA and Musepack as
// ffmpeg and mpcenc write them: every value as written, in UTF-8.
TEST_F(TaggedFiles, EveryContainerGivesAllSevenValues) {
    for (const auto& file : files_) {
        SCOPED_TRACE(file.label);
        EXPECT_EQ(Read(file.path), file.expected);
    }
}

TEST_F(TaggedFiles, ContainerIsFoundByContentNotName) {
    const std::vector<std::pair<std::string, std::string>> renames = {
        {"flac_metaflac", "flac.mp3"},  {"vorbis_vorbiscomment", "vorbis.wav"},
        {"mp3_id3v2_tool", "mp3.flac"}, {"wav_riff_info", "wav.ogg"},
        {"opus_taglib", "opus"},
    };
    for (const auto& [label, name] : renames) {
        SCOPED_TRACE(name);
        const std::string copy = dir_->File(name);
        fs::copy_file(File(label).path, copy, fs::copy_options::overwrite_existing);
        EXPECT_EQ(Read(copy), File(label).expected);
    }
}

TEST(TagReader, UntaggedFilesGiveEmptyValues) {
    testaudio::TempDir dir;
    for (Format format : testaudio::AllFormats()) {
        SCOPED_TRACE(testaudio::Name(format));
        const std::string path = tagtest::WriteAudio(
            dir, std::string("plain_") + testaudio::Name(format) + testaudio::Extension(format),
            format);
        ASSERT_FALSE(path.empty());
        EXPECT_EQ(Read(path), kEmpty);
    }
}

// When a file has several tag blocks, each value comes from ID3v2 first, then APE,
// then ID3v1: a block only completes what the preferred ones lack.
TEST(TagReader, Id3v2WinsOverApeAndId3v1FieldByField) {
    testaudio::TempDir dir;
    const std::string mp3 = tagtest::WriteAudio(dir, "layers.mp3", Format::Mp3);
    ASSERT_FALSE(mp3.empty());
    Values v1 = tagtest::FullValues();
    v1[tagtest::kTitle] = "Title One";
    v1[tagtest::kAlbum] = "Album One";
    ASSERT_TRUE(tagtest::TagWithId3v2Tool(mp3, v1, true, false));

    Values v2 = tagtest::FullValues();
    v2[tagtest::kTitle] = "Title Two";
    ASSERT_TRUE(tagtest::TagWithId3v2Tool(mp3, v2, false, true));
    // Leave the ID3v2 block without an album.
    ASSERT_EQ(testaudio::RunQuietly({"id3v2", "-r", "TALB", mp3}), 0);
    EXPECT_EQ(Read(mp3)[tagtest::kAlbum], "Album One");

    Values ape{};
    ape[tagtest::kTitle] = "Title Ape";
    ape[tagtest::kAlbum] = "Album Ape";
    ASSERT_TRUE(tagtest::TagApe(mp3, ape));

    Values expected = tagtest::Id3v1Values();  // artist, genre, year, comment from ID3v1
    expected[tagtest::kTrack] = "3/12";        // from ID3v2
    expected[tagtest::kTitle] = "Title Two";   // ID3v2 over APE and ID3v1
    expected[tagtest::kAlbum] = "Album Ape";   // APE over ID3v1
    EXPECT_EQ(Read(mp3), expected);
}

TEST(TagReader, WavPrefersId3v2OverRiffInfo) {
    testaudio::TempDir dir;
    const std::string wav = tagtest::WriteAudio(dir, "both.wav", Format::Wav);
    ASSERT_FALSE(wav.empty());
    ASSERT_TRUE(tagtest::TagRiffInfo(wav, tagtest::FullValues()));
    Values id3 = tagtest::FullValues();
    id3[tagtest::kTitle] = "From ID3v2";
    ASSERT_TRUE(tagtest::TagId3v24(wav, id3));
    EXPECT_EQ(Read(wav), id3);
}

TEST(TagReader, TrackAndYearAreKeptAsWritten) {
    testaudio::TempDir dir;
    Values values = tagtest::FullValues();
    values[tagtest::kTrack] = "03/12";
    values[tagtest::kYear] = "2001-05-06";

    const std::string mp3 = tagtest::WriteAudio(dir, "dates.mp3", Format::Mp3);
    const std::string flac = tagtest::WriteAudio(dir, "dates.flac", Format::Flac);
    const std::string wav = tagtest::WriteAudio(dir, "dates.wav", Format::Wav);
    ASSERT_TRUE(tagtest::TagId3v24(mp3, values));
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, values));
    ASSERT_TRUE(tagtest::TagRiffInfo(wav, values));
    for (const std::string& path : {mp3, flac, wav}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(Read(path), values);
    }

    // A vinyl side's track, the only frame of its block.
    Values sideOnly{};
    sideOnly[tagtest::kTrack] = "A1";
    const std::string vinyl = tagtest::WriteAudio(dir, "vinyl.mp3", Format::Mp3);
    ASSERT_TRUE(tagtest::TagId3v24(vinyl, sideOnly));
    EXPECT_EQ(Read(vinyl), sideOnly);
}

// Cover art makes the tag block ahead of the audio large; the container is still
// recognised behind it and the texts read.
TEST(TagReader, LargeCoverArtDoesNotHideTheTexts) {
    testaudio::TempDir dir;
    const TagLib::ByteVector picture(512 * 1024, 'x');
    const std::string mp3 = tagtest::WriteAudio(dir, "cover.mp3", Format::Mp3);
    const std::string flac = tagtest::WriteAudio(dir, "cover.flac", Format::Flac);
    ASSERT_TRUE(tagtest::TagId3v24(mp3, tagtest::FullValues()));
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, tagtest::FullValues()));
    {
        TagLib::MPEG::File file(mp3.c_str(), false);
        auto* frame = new TagLib::ID3v2::AttachedPictureFrame();
        frame->setMimeType("image/jpeg");
        frame->setPicture(picture);
        file.ID3v2Tag()->addFrame(frame);
        ASSERT_TRUE(file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone));
    }
    {
        TagLib::FLAC::File file(flac.c_str(), false);
        auto* block = new TagLib::FLAC::Picture();
        block->setMimeType("image/jpeg");
        block->setData(picture);
        file.addPicture(block);
        ASSERT_TRUE(file.save());
    }
    for (const std::string& path : {mp3, flac}) {
        SCOPED_TRACE(path);
        ASSERT_GT(fs::file_size(path), picture.size());
        EXPECT_EQ(Read(path), tagtest::FullValues());
    }
}

// Texts in legacy frames (ID3v1, ID3v2 marked Latin-1, AIFF text chunks) as Windows
// wrote them: Windows-1252, or the code page AUDIOENGINE_TAG_CODEPAGE names. Valid
// UTF-8 stays UTF-8; bytes the chosen code page cannot read fall back to 1252.
TEST(TagReader, LegacyTextsReadInTheWindowsOrTheChosenCodePage) {
    testaudio::TempDir dir;
    const std::string plain = tagtest::WriteAudio(dir, "plain.mp3", Format::Mp3);
    ASSERT_FALSE(plain.empty());
    const char* saved = std::getenv(audioengine::kTagCodePageVariable);
    const std::string restore = saved ? saved : "";
    const struct {
        const char* codePage;  // nullptr: the variable is not set
        const char* where;     // "id3v1", "id3v2" or "aiff"
        std::string bytes;
        std::string expected;
    } cases[] = {
        {nullptr, "id3v1", "Don\x92t Stop \x96 Live", "Don\u2019t Stop \u2013 Live"},
        {nullptr, "id3v2", "Don\x92t Stop \x96 Live", "Don\u2019t Stop \u2013 Live"},
        {nullptr, "aiff", "\x93Quoted\x94 \x80\x85", "\u201cQuoted\u201d \u20ac\u2026"},
        {nullptr, "id3v2", "Caf\xc3\xa9 (UTF-8 in a Latin-1 frame)",
         "Caf\u00e9 (UTF-8 in a Latin-1 frame)"},
        {nullptr, "id3v1", "Undefined \x81\x8d", "Undefined \u0081\u008d"},
        {"1251", "id3v1", "\xcf\xf0\xe8\xe2\xe5\xf2", "\u041f\u0440\u0438\u0432\u0435\u0442"},
        {"1251", "aiff", "\xcf\xf0\xe8\xe2\xe5\xf2", "\u041f\u0440\u0438\u0432\u0435\u0442"},
        {"KOI8-R", "id3v2", "\xf0\xd2\xc9\xd7\xc5\xd4", "\u041f\u0440\u0438\u0432\u0435\u0442"},
        {"932", "id3v2", "\x93\xfa\x96\x7b", "\u65e5\u672c"},
        {"932", "id3v2", "Cut \x82", "Cut \u201a"},  // half a character after ASCII: 1252
        // Cut by ID3v1's 30 bytes inside its fifteenth character: the whole ones.
        {"932", "id3v1",
         "1\x93\xfa\x96\x7b\x82\xcc\x89\xcc\x93\xfa\x96\x7b\x82\xcc\x89\xcc\x93\xfa"
         "\x96\x7b\x82\xcc\x89\xcc\x93\xfa\x96\x7b\x82\xcc\x89\xcc",
         "1\u65e5\u672c\u306e\u6b4c\u65e5\u672c\u306e\u6b4c\u65e5\u672c\u306e\u6b4c\u65e5\u672c"},
        {"932", "id3v2", "Caf\xe9", "Caf\u00e9"},  // 1252 text ending in a 932 lead byte
        {"no-such-code-page", "id3v2", "\x92", "\u2019"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.codePage ? c.codePage : "unset") + " " + c.where + " " +
                     c.expected);
        if (c.codePage) {
            setenv(audioengine::kTagCodePageVariable, c.codePage, 1);
        } else {
            unsetenv(audioengine::kTagCodePageVariable);
        }
        Values expected{};
        expected[tagtest::kTitle] = c.expected;
        std::string path;
        if (std::string(c.where) == "aiff") {
            path = dir.File("legacy.aiff");
            Values values{};
            values[tagtest::kTitle] = c.bytes;
            ASSERT_TRUE(tagtest::WriteAiffTextChunks(path, values));
        } else {
            path = dir.File("legacy.mp3");
            fs::copy_file(plain, path, fs::copy_options::overwrite_existing);
            ASSERT_EQ(testaudio::RunQuietly({"id3v2", c.where == std::string("id3v1") ? "-1" : "-2",
                                             "-t", c.bytes, path}),
                      0);
        }
        EXPECT_EQ(Read(path), expected);
    }
    if (saved) {
        setenv(audioengine::kTagCodePageVariable, restore.c_str(), 1);
    } else {
        unsetenv(audioengine::kTagCodePageVariable);
    }
}

// A FLAC file's own Vorbis comment wins over an ID3v2 block a tagger put in front of
// it; the block only completes what the comment lacks.
TEST(TagReader, FlacVorbisCommentWinsOverId3v2InFront) {
    testaudio::TempDir dir;
    const std::string flac = tagtest::WriteAudio(dir, "both.flac", Format::Flac);
    ASSERT_FALSE(flac.empty());
    Values own = tagtest::FullValues();
    own[tagtest::kComment].clear();
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, own));
    ASSERT_EQ(testaudio::RunQuietly({"metaflac", "--remove-tag=COMMENT", flac}), 0);
    Values id3 = tagtest::FullValues();
    id3[tagtest::kTitle] = "Title From ID3v2";
    id3[tagtest::kArtist] = "Artist From ID3v2";
    id3[tagtest::kComment] = "Comment from ID3v2";
    {
        TagLib::FLAC::File file(flac.c_str(), false);
        TagLib::ID3v2::Tag* tag = file.ID3v2Tag(true);
        tag->setTitle(TagLib::String(id3[tagtest::kTitle]));
        tag->setArtist(TagLib::String(id3[tagtest::kArtist]));
        tag->setComment(TagLib::String(id3[tagtest::kComment]));
        ASSERT_TRUE(file.save());
    }
    ASSERT_EQ(ReadBytes(flac).substr(0, 3), "ID3");
    Values expected = own;
    expected[tagtest::kComment] = id3[tagtest::kComment];
    EXPECT_EQ(Read(flac), expected);
}

// Matroska and WebM (which TagLib 1.13 cannot read), and containers no TagLib reader
// takes, get their tags from the container metadata reader: FFmpeg's key names, or
// those of CAF's "info" chunk, any case, the container's pairs before the stream's.
struct FakeMetadata {
    static inline int calls = 0;
    static inline std::string path;
    static inline bool succeed = true;
    static inline bool caf = false;  // CAF's names for the track, comment and year
    static bool Read(const char* file, audioengine::MetadataVisitor visit, void* user) {
        ++calls;
        path = file;
        if (!succeed) return false;
        const Values full = tagtest::FullValues();
        const std::pair<const char*, std::string> pairs[] = {
            {"title", full[tagtest::kTitle]},
            {caf ? "track number" : "track", full[tagtest::kTrack]},
            {caf ? "comments" : "COMMENT", full[tagtest::kComment]},
            {"ARTIST", full[tagtest::kArtist]},
            {"ALBUM", full[tagtest::kAlbum]},
            {"GENRE", "Rock \x96 Live"},
            {caf ? "recorded date" : "DATE", full[tagtest::kYear]},
            {"ENCODER", "Lavf59.27.100"},
            {"title", "The stream's title"},
            {"DURATION", "00:00:00.200000000"}};
        for (const auto& [key, value] : pairs) visit(user, key, value.c_str());
        visit(user, nullptr, "ignored");
        return true;
    }
};

TEST(TagReader, MatroskaAndOtherContainersAskTheContainerMetadataReader) {
    testaudio::TempDir dir;
    const std::string wav = tagtest::WriteAudio(dir, "source.wav", Format::Wav);
    const std::string mka = dir.File("tagged.mka"), au = dir.File("plain.au");
    ASSERT_EQ(
        testaudio::RunQuietly({"ffmpeg", "-v", "error", "-i", wav, "-metadata", "title=T", mka}),
        0);
    ASSERT_EQ(testaudio::RunQuietly({"sox", wav, au}), 0);
    const std::string mp3 = tagtest::WriteAudio(dir, "tagged.mp3", Format::Mp3);
    ASSERT_TRUE(tagtest::TagId3v24(mp3, tagtest::FullValues()));

    EXPECT_EQ(Read(mka), kEmpty);  // no reader set
    audioengine::SetContainerMetadataReader(FakeMetadata::Read);
    Values expected = tagtest::FullValues();
    expected[tagtest::kGenre] = "Rock \u2013 Live";  // not UTF-8: read as Windows-1252
    EXPECT_EQ(Read(mka), expected);
    EXPECT_EQ(FakeMetadata::path, mka);
    EXPECT_EQ(Read(au), expected);
    EXPECT_EQ(FakeMetadata::path, au);
    FakeMetadata::caf = true;
    EXPECT_EQ(Read(au), expected);
    FakeMetadata::caf = false;
    const int calls = FakeMetadata::calls;
    EXPECT_EQ(Read(mp3), tagtest::FullValues());  // TagLib's: the reader is not asked
    EXPECT_EQ(FakeMetadata::calls, calls);
    FakeMetadata::succeed = false;
    EXPECT_EQ(Read(mka), kEmpty);
    audioengine::SetContainerMetadataReader(nullptr);
}

TEST(TagReader, Mp4ItemsIncludingTrackPair) {
    // The smallest MP4 TagLib accepts: a file type box and a movie box with a header.
    auto box = [](const char* type, const std::string& body) {
        const std::uint32_t size = static_cast<std::uint32_t>(body.size() + 8);
        std::string out = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                           static_cast<char>(size >> 8), static_cast<char>(size)};
        return out + type + body;
    };
    std::string movieHeader(100, '\0');
    movieHeader[14] = 0x03;  // time scale 1000
    movieHeader[15] = static_cast<char>(0xe8);
    testaudio::TempDir dir;
    const std::string path = dir.File("tagged.m4a");
    WriteBytes(path, box("ftyp", std::string("M4A \0\0\0\0M4A isom", 16)) +
                         box("moov", box("mvhd", movieHeader)));
    {
        TagLib::MP4::File file(path.c_str(), false);
        ASSERT_TRUE(file.isValid());
        TagLib::MP4::Tag* tag = file.tag();
        tag->setItem("trkn", TagLib::MP4::Item(3, 12));
        tag->setItem("\251nam",
                     TagLib::StringList(TagLib::String("Café Ünïcødé", TagLib::String::UTF8)));
        tag->setItem("\251ART",
                     TagLib::StringList(TagLib::String("Ärtist Ø", TagLib::String::UTF8)));
        tag->setItem("\251alb", TagLib::StringList(TagLib::String("Album Name")));
        tag->setItem("\251gen", TagLib::StringList(TagLib::String("Rock")));
        tag->setItem("\251day", TagLib::StringList(TagLib::String("2001")));
        tag->setItem("\251cmt", TagLib::StringList(TagLib::String("A comment")));
        ASSERT_TRUE(file.save());
    }
    EXPECT_EQ(Read(path), tagtest::FullValues());
}

// Nothing that is not a readable audio file yields a value, blocks, leaks a
// descriptor or prints anything.
TEST(TagReader, BadInputGivesEmptyValuesQuietly) {
    testaudio::TempDir dir;
    const std::string fifo = dir.File("fifo.mp3");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string empty = dir.File("empty.mp3");
    WriteBytes(empty, "");
    const std::string text = dir.File("notes.flac");
    WriteBytes(text, "These are notes about a song, not audio.\n");
    std::mt19937 random(7);
    std::string noise(64 * 1024, '\0');
    for (char& byte : noise) byte = static_cast<char>(random() & 0x7f);  // no frame sync
    std::vector<std::string> noiseFiles;
    for (const char* name : {"noise.mp3", "noise.ogg", "noise.wav", "noise.m4a"}) {
        noiseFiles.push_back(dir.File(name));
        WriteBytes(noiseFiles.back(), noise);
    }

    const int descriptors = OpenDescriptors();
    OutputCapture capture(dir.File("output.txt"));
    std::vector<Values> results;
    for (const std::string& path :
         {dir.File("missing.mp3"), std::string(), dir.path(), fifo, std::string("/dev/null"),
          std::string("/dev/zero"), empty, text}) {
        results.push_back(Read(path));
    }
    for (const std::string& path : noiseFiles) results.push_back(Read(path));
    const std::string printed = capture.Finish();

    for (std::size_t i = 0; i < results.size(); ++i) EXPECT_EQ(results[i], kEmpty) << "input " << i;
    EXPECT_EQ(printed, "");
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Truncated and corrupted tagged files: whatever they yield, nothing crashes, prints
// or leaks (the sanitizer builds check the memory side).
TEST_F(TaggedFiles, DamagedFilesAreReadSafely) {
    const int descriptors = OpenDescriptors();
    OutputCapture capture(dir_->File("damaged_output.txt"));
    std::mt19937 random(11);
    for (const auto& file : files_) {
        const std::string bytes = ReadBytes(file.path);
        const std::string damaged = dir_->File("damaged_" + file.label);
        for (std::size_t cut : {std::size_t{4}, std::size_t{12}, std::size_t{40}, std::size_t{200},
                                bytes.size() / 2, bytes.size() - 100}) {
            WriteBytes(damaged, bytes.substr(0, std::min(cut, bytes.size())));
            ReadTags(damaged);
        }
        // Bytes flipped in the first 4 KiB, where the tag blocks and headers are.
        for (int round = 0; round < 20; ++round) {
            std::string flipped = bytes;
            for (int i = 0; i < 16; ++i) {
                flipped[random() % std::min<std::size_t>(4096, flipped.size())] ^=
                    static_cast<char>(1 + random() % 255);
            }
            WriteBytes(damaged, flipped);
            ReadTags(damaged);
        }
    }
    EXPECT_EQ(capture.Finish(), "");
    EXPECT_EQ(OpenDescriptors(), descriptors);
}

TEST(TagCacheTest, ReadsEachHandleOnceAndAnswersEveryKey) {
    int reads = 0;
    TagCache cache(8, [&reads](const std::string& path) {
        ++reads;
        TagSet set;
        set[TagKey::Title] = "title of " + path;
        set[TagKey::Track] = "7";
        return set;
    });
    for (int round = 0; round < 50; ++round) {
        EXPECT_EQ(cache.Get(1, "/a.flac", TagKey::Title), "title of /a.flac");
        EXPECT_EQ(cache.Get(1, "/a.flac", TagKey::Track), "7");
        EXPECT_EQ(cache.Get(1, "/a.flac", TagKey::Comment), "");
    }
    EXPECT_EQ(reads, 1);
    // Another stream of the same file is another handle, read on its own.
    EXPECT_EQ(cache.Get(2, "/a.flac", TagKey::Title), "title of /a.flac");
    EXPECT_EQ(reads, 2);
    // An engine that reused a handle for another file gets the new file's tags.
    EXPECT_EQ(cache.Get(1, "/b.flac", TagKey::Title), "title of /b.flac");
    EXPECT_EQ(reads, 3);
    EXPECT_EQ(cache.size(), 2u);
}

TEST(TagCacheTest, DropsTheLeastRecentlyAskedBeyondCapacity) {
    std::vector<std::string> reads;
    TagCache cache(3, [&reads](const std::string& path) {
        reads.push_back(path);
        return TagSet{};
    });
    cache.Get(1, "1", TagKey::Title);
    cache.Get(2, "2", TagKey::Title);
    cache.Get(3, "3", TagKey::Title);
    cache.Get(1, "1", TagKey::Title);  // 2 is now the least recently asked
    cache.Get(4, "4", TagKey::Title);
    EXPECT_EQ(cache.size(), 3u);
    cache.Get(1, "1", TagKey::Title);
    cache.Get(3, "3", TagKey::Title);
    cache.Get(4, "4", TagKey::Title);
    EXPECT_EQ(reads, (std::vector<std::string>{"1", "2", "3", "4"}));
    cache.Get(2, "2", TagKey::Title);
    EXPECT_EQ(reads.back(), "2");
    EXPECT_EQ(reads.size(), 5u);
    EXPECT_EQ(cache.size(), 3u);
}

TEST(TagCacheTest, KeepsTheFirstAnswerWhenTheFileChanges) {
    testaudio::TempDir dir;
    const std::string flac = tagtest::WriteAudio(dir, "changing.flac", Format::Flac);
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, tagtest::FullValues()));
    TagCache cache(4);
    EXPECT_EQ(cache.Get(10, flac, TagKey::Title), "Café Ünïcødé");

    Values changed = tagtest::FullValues();
    changed[tagtest::kTitle] = "Changed";
    ASSERT_TRUE(tagtest::TagWithMetaflac(flac, changed));
    EXPECT_EQ(cache.Get(10, flac, TagKey::Title), "Café Ünïcødé");
    EXPECT_EQ(cache.Get(11, flac, TagKey::Title), "Changed");
}

TEST(TagCacheTest, ConcurrentRequestsAgree) {
    std::atomic<int> reads{0};
    TagCache cache(16, [&reads](const std::string& path) {
        ++reads;
        TagSet set;
        set[TagKey::Artist] = path;
        return set;
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&cache, &wrong, t] {
            for (int i = 0; i < 2000; ++i) {
                const std::uint32_t handle = static_cast<std::uint32_t>((i * 7 + t) % 40 + 1);
                const std::string path = "/music/" + std::to_string(handle);
                if (cache.Get(handle, path, TagKey::Artist) != path) ++wrong;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(cache.size(), 16u);
    EXPECT_GE(reads.load(), 40);
}

}  // namespace
