// SPDX-License-Identifier: MIT
#include "tests/audioengine/tags/TagFixtures.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <taglib/aifffile.h>
#include <taglib/apetag.h>
#include <taglib/commentsframe.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <functional>

namespace tagtest {

using TagLib::String;

Values FullValues() {
    return {"3/12", "Café Ünïcødé", "Ärtist Ø", "Album Name", "Rock", "2001", "A comment"};
}

Values Id3v1Values() {
    Values values = FullValues();
    values[kTrack] = "3";
    return values;
}

std::string WriteAudio(const testaudio::TempDir& dir, const std::string& name,
                       testaudio::Format format) {
    const int rate = format == testaudio::Format::Opus ? 48000 : 44100;
    const std::string path = dir.File(name);
    const auto tone = testaudio::Sine(rate, 2, rate / 5, 440.0, 0.5);
    return testaudio::Write(path, format, rate, 2, tone) ? path : std::string();
}

static String Utf8(const std::string& text) { return String(text, String::UTF8); }

bool TagWithId3v2Tool(const std::string& mp3, const Values& values, bool id3v1, bool id3v2) {
    // id3lib stores texts as Latin-1, so the tool is given Latin-1 bytes.
    auto latin1 = [](const std::string& text) { return Utf8(text).to8Bit(false); };
    std::vector<std::string> argv = {"id3v2"};
    if (id3v1 && !id3v2) argv.push_back("-1");
    if (id3v2 && !id3v1) argv.push_back("-2");
    const std::vector<std::string> options = {"-T", values[kTrack],
                                              "-t", latin1(values[kTitle]),
                                              "-a", latin1(values[kArtist]),
                                              "-A", latin1(values[kAlbum]),
                                              "-g", "17",  // Rock
                                              "-y", values[kYear],
                                              "-c", latin1(values[kComment]),
                                              mp3};
    argv.insert(argv.end(), options.begin(), options.end());
    return testaudio::RunQuietly(argv) == 0;
}

bool TagWithMetaflac(const std::string& flac, const Values& values) {
    return testaudio::RunQuietly(
               {"metaflac", "--no-utf8-convert", "--remove-all-tags",
                "--set-tag=TRACKNUMBER=" + values[kTrack], "--set-tag=TITLE=" + values[kTitle],
                "--set-tag=ARTIST=" + values[kArtist], "--set-tag=ALBUM=" + values[kAlbum],
                "--set-tag=GENRE=" + values[kGenre], "--set-tag=DATE=" + values[kYear],
                "--set-tag=COMMENT=" + values[kComment], flac}) == 0;
}

bool TagWithVorbiscomment(const std::string& ogg, const Values& values) {
    return testaudio::RunQuietly(
               {"vorbiscomment", "-w", "-R", "-t", "TRACKNUMBER=" + values[kTrack], "-t",
                "TITLE=" + values[kTitle], "-t", "ARTIST=" + values[kArtist], "-t",
                "ALBUM=" + values[kAlbum], "-t", "GENRE=" + values[kGenre], "-t",
                "DATE=" + values[kYear], "-t", "COMMENT=" + values[kComment], ogg}) == 0;
}

static void SetId3v2(TagLib::ID3v2::Tag* tag, const Values& values) {
    auto text = [tag](const char* id, const std::string& value) {
        tag->removeFrames(id);
        auto* frame = new TagLib::ID3v2::TextIdentificationFrame(id, String::UTF8);
        frame->setText(Utf8(value));
        tag->addFrame(frame);
    };
    text("TRCK", values[kTrack]);
    text("TIT2", values[kTitle]);
    text("TPE1", values[kArtist]);
    text("TALB", values[kAlbum]);
    text("TCON", values[kGenre]);
    text("TDRC", values[kYear]);
    tag->removeFrames("COMM");
    auto* comment = new TagLib::ID3v2::CommentsFrame(String::UTF8);
    comment->setLanguage("eng");
    comment->setText(Utf8(values[kComment]));
    tag->addFrame(comment);
}

bool TagRiffInfo(const std::string& wav, const Values& values) {
    TagLib::RIFF::WAV::File file(wav.c_str(), false);
    if (!file.isValid()) return false;
    TagLib::RIFF::Info::Tag* info = file.InfoTag();
    info->setFieldText("IPRT", Utf8(values[kTrack]));
    info->setFieldText("INAM", Utf8(values[kTitle]));
    info->setFieldText("IART", Utf8(values[kArtist]));
    info->setFieldText("IPRD", Utf8(values[kAlbum]));
    info->setFieldText("IGNR", Utf8(values[kGenre]));
    info->setFieldText("ICRD", Utf8(values[kYear]));
    info->setFieldText("ICMT", Utf8(values[kComment]));
    return file.save(TagLib::RIFF::WAV::File::Info, TagLib::File::StripNone);
}

bool TagAiffId3v2(const std::string& aiff, const Values& values) {
    TagLib::RIFF::AIFF::File file(aiff.c_str(), false);
    if (!file.isValid()) return false;
    SetId3v2(file.tag(), values);
    return file.save();
}

bool TagOpus(const std::string& opus, const Values& values) {
    TagLib::Ogg::Opus::File file(opus.c_str(), false);
    if (!file.isValid()) return false;
    TagLib::Ogg::XiphComment* comments = file.tag();
    comments->addField("TRACKNUMBER", Utf8(values[kTrack]));
    comments->addField("TITLE", Utf8(values[kTitle]));
    comments->addField("ARTIST", Utf8(values[kArtist]));
    comments->addField("ALBUM", Utf8(values[kAlbum]));
    comments->addField("GENRE", Utf8(values[kGenre]));
    comments->addField("DATE", Utf8(values[kYear]));
    comments->addField("COMMENT", Utf8(values[kComment]));
    return file.save();
}

bool TagApe(const std::string& mp3, const Values& values) {
    TagLib::MPEG::File file(mp3.c_str(), false);
    if (!file.isValid()) return false;
    TagLib::APE::Tag* ape = file.APETag(true);
    ape->addValue("TRACK", Utf8(values[kTrack]));
    ape->addValue("TITLE", Utf8(values[kTitle]));
    ape->addValue("ARTIST", Utf8(values[kArtist]));
    ape->addValue("ALBUM", Utf8(values[kAlbum]));
    ape->addValue("GENRE", Utf8(values[kGenre]));
    ape->addValue("YEAR", Utf8(values[kYear]));
    ape->addValue("COMMENT", Utf8(values[kComment]));
    return file.save(TagLib::MPEG::File::APE, TagLib::File::StripNone, TagLib::ID3v2::v4,
                     TagLib::File::DoNotDuplicate);
}

bool TagId3v24(const std::string& path, const Values& values) {
    const bool wav = path.size() > 4 && path.compare(path.size() - 4, 4, ".wav") == 0;
    if (wav) {
        TagLib::RIFF::WAV::File file(path.c_str(), false);
        if (!file.isValid()) return false;
        SetId3v2(file.ID3v2Tag(), values);
        return file.save(TagLib::RIFF::WAV::File::ID3v2, TagLib::File::StripNone);
    }
    TagLib::MPEG::File file(path.c_str(), false);
    if (!file.isValid()) return false;
    SetId3v2(file.ID3v2Tag(true), values);
    return file.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, TagLib::ID3v2::v4,
                     TagLib::File::DoNotDuplicate);
}

bool EncodeTaggedWithFfmpeg(const std::string& wav, const std::string& out, const Values& values) {
    return testaudio::RunQuietly({"ffmpeg",    "-v",
                                  "error",     "-y",
                                  "-i",        wav,
                                  "-metadata", "track=" + values[kTrack],
                                  "-metadata", "title=" + values[kTitle],
                                  "-metadata", "artist=" + values[kArtist],
                                  "-metadata", "album=" + values[kAlbum],
                                  "-metadata", "genre=" + values[kGenre],
                                  "-metadata", "date=" + values[kYear],
                                  "-metadata", "comment=" + values[kComment],
                                  out}) == 0;
}

bool EncodeTaggedWithMpcenc(const std::string& wav, const std::string& mpc, const Values& values) {
    return testaudio::RunQuietly(
               {"mpcenc", "--silent", "--overwrite", "--tag", "Track=" + values[kTrack], "--tag",
                "Title=" + values[kTitle], "--tag", "Artist=" + values[kArtist], "--tag",
                "Album=" + values[kAlbum], "--tag", "Genre=" + values[kGenre], "--tag",
                "Year=" + values[kYear], "--tag", "Comment=" + values[kComment], wav, mpc}) == 0;
}

bool WriteAiffTextChunks(const std::string& aiff, const Values& values) {
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 1;
    info.format = SF_FORMAT_AIFF | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(aiff.c_str(), SFM_WRITE, &info);
    if (!file) return false;
    // Strings must be set before the audio is written; empty ones are left out.
    bool set = true;
    for (const auto& [type, field] :
         {std::pair{SF_STR_TITLE, kTitle}, std::pair{SF_STR_ARTIST, kArtist},
          std::pair{SF_STR_COMMENT, kComment}}) {
        if (!values[field].empty())
            set = sf_set_string(file, type, values[field].c_str()) == 0 && set;
    }
    const std::vector<float> tone = testaudio::Sine(44100, 1, 4410, 440.0, 0.5);
    const bool written = sf_writef_float(file, tone.data(), 4410) == 4410;
    return sf_close(file) == 0 && set && written;
}

std::vector<TaggedFile> MakeTaggedFiles(const testaudio::TempDir& dir) {
    using testaudio::Format;
    const Values full = FullValues();
    std::vector<TaggedFile> files;
    auto make = [&](const std::string& label, const std::string& name, Format format,
                    const std::function<bool(const std::string&)>& tag, const Values& expected) {
        const std::string path = WriteAudio(dir, name, format);
        ASSERT_FALSE(path.empty()) << "cannot write " << name;
        ASSERT_TRUE(tag(path)) << "cannot tag " << name;
        files.push_back({label, path, expected});
    };
    make(
        "mp3_id3v2_tool", "id3v2.mp3", Format::Mp3,
        [&](const std::string& p) { return TagWithId3v2Tool(p, full, false, true); }, full);
    make(
        "mp3_id3v1_tool", "id3v1.mp3", Format::Mp3,
        [&](const std::string& p) { return TagWithId3v2Tool(p, full, true, false); },
        Id3v1Values());
    make(
        "mp3_id3v24", "id3v24.mp3", Format::Mp3,
        [&](const std::string& p) { return TagId3v24(p, full); }, full);
    make(
        "mp3_ape", "ape.mp3", Format::Mp3, [&](const std::string& p) { return TagApe(p, full); },
        full);
    make(
        "flac_metaflac", "tagged.flac", Format::Flac,
        [&](const std::string& p) { return TagWithMetaflac(p, full); }, full);
    make(
        "vorbis_vorbiscomment", "tagged.ogg", Format::OggVorbis,
        [&](const std::string& p) { return TagWithVorbiscomment(p, full); }, full);
    make(
        "opus_taglib", "tagged.opus", Format::Opus,
        [&](const std::string& p) { return TagOpus(p, full); }, full);
    make(
        "wav_riff_info", "info.wav", Format::Wav,
        [&](const std::string& p) { return TagRiffInfo(p, full); }, full);
    make(
        "wavfloat_id3v2", "id3v2.wav", Format::WavFloat,
        [&](const std::string& p) { return TagId3v24(p, full); }, full);
    make(
        "aiff_id3v2", "tagged.aiff", Format::Aiff,
        [&](const std::string& p) { return TagAiffId3v2(p, full); }, full);

    auto add = [&](const std::string& label, const std::string& path,
                   const std::function<bool()>& write, const Values& expected,
                   bool needsFfmpegModule = false) {
        ASSERT_TRUE(write()) << "cannot write " << path;
        files.push_back({label, path, expected, needsFfmpegModule});
    };
    Values aiffTexts{};
    aiffTexts[kTitle] = full[kTitle];
    aiffTexts[kArtist] = full[kArtist];
    aiffTexts[kComment] = full[kComment];
    const std::string aiff = dir.File("texts.aiff");
    add(
        "aiff_text_chunks", aiff, [&] { return WriteAiffTextChunks(aiff, full); }, aiffTexts);

    const std::string wav = WriteAudio(dir, "source.wav", Format::Wav);
    for (const char* extension : {"m4a", "wma", "wv", "tta"}) {
        const std::string path = dir.File(std::string("ffmpeg.") + extension);
        add(
            std::string(extension) + "_ffmpeg", path,
            [&] { return EncodeTaggedWithFfmpeg(wav, path, full); }, full, true);
    }
    const std::string mpc = dir.File("tagged.mpc");
    add(
        "mpc_mpcenc", mpc, [&] { return EncodeTaggedWithMpcenc(wav, mpc, full); }, full, true);
    return files;
}

}  // namespace tagtest
