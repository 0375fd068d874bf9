// SPDX-License-Identifier: MIT
#include "audioengine/tags/TagReader.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsFile.h"
#include "audioengine/platform/WindowsText.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif
#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apefooter.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mp4file.h>
#include <taglib/mpcfile.h>
#include <taglib/mpegfile.h>
#include <taglib/oggflacfile.h>
#include <taglib/opusfile.h>
#include <taglib/speexfile.h>
#include <taglib/tdebuglistener.h>
#include <taglib/textidentificationframe.h>
#include <taglib/tfilestream.h>
#include <taglib/trueaudiofile.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/wavpackfile.h>
#include <taglib/xiphcomment.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "audioengine/tags/LegacyText.h"

namespace audioengine {

bool ParseTagKey(const char* text, TagKey* key) {
    static constexpr const char* kKeys[kTagKeyCount] = {"%TRCK", "%TITL", "%ARTI", "%ALBM",
                                                        "%GNRE", "%YEAR", "%CMNT"};
    if (text == nullptr) return false;
    for (std::size_t i = 0; i < kTagKeyCount; ++i) {
        if (std::strcmp(text, kKeys[i]) == 0) {
            if (key != nullptr) *key = static_cast<TagKey>(i);
            return true;
        }
    }
    return false;
}

namespace {

using TagLib::String;
using TagLib::StringList;

// TagLib reports parse problems through a process-wide debug listener that prints
// to stderr in builds without NDEBUG; the engine never prints, so it is replaced
// by one that drops the messages.
class SilentListener : public TagLib::DebugListener {
  public:
    void printMessage(const String&) override {}
};

void SilenceTagLib() {
    static std::once_flag once;
    std::call_once(once, [] {
        static SilentListener silent;
        TagLib::setDebugListener(&silent);
    });
}

std::string Utf8(const String& text) { return text.to8Bit(true); }

// A text TagLib decoded as Latin-1, one character per byte: those bytes again, decoded
// in the legacy code page.
std::string Legacy(const String& latin1, const LegacyCodePage& page) {
    return page.ToUtf8(latin1.to8Bit(false));
}

// Several values of one field (multiple artists, say) are shown joined.
std::string Join(const StringList& values, const LegacyCodePage* legacy = nullptr) {
    std::string out;
    for (const String& value : values) {
        if (value.isEmpty()) continue;
        if (!out.empty()) out += "; ";
        out += legacy ? Legacy(value, *legacy) : Utf8(value);
    }
    return out;
}

// Fills the values `into` lacks from `from`, so an earlier, preferred tag block wins
// field by field and a later one only completes it.
void FillMissing(TagSet& into, const TagSet& from) {
    for (std::size_t i = 0; i < kTagKeyCount; ++i) {
        if (into.values[i].empty()) into.values[i] = from.values[i];
    }
}

TagSet FromId3v2(const TagLib::ID3v2::Tag* tag, const LegacyCodePage& page) {
    // Not tag->isEmpty(): it counts only numeric years and tracks, and a block holding
    // no more than a track such as "A1" would be passed over.
    TagSet set;
    if (tag == nullptr) return set;
    const auto& frames = tag->frameListMap();
    auto latin1 = [](const TagLib::ID3v2::Frame* frame) {
        auto* textFrame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
        return textFrame && textFrame->textEncoding() == String::Latin1;
    };
    // The text of the first frame with this id that has one, as written in the file.
    auto text = [&](const char* id) -> std::string {
        auto it = frames.find(TagLib::ByteVector(id));
        if (it == frames.end()) return {};
        for (const TagLib::ID3v2::Frame* frame : it->second) {
            auto* textFrame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
            std::string value = textFrame
                                    ? Join(textFrame->fieldList(), latin1(frame) ? &page : nullptr)
                                    : Utf8(frame->toString());
            if (!value.empty()) return value;
        }
        return {};
    };
    set[TagKey::Track] = text("TRCK");
    set[TagKey::Title] = text("TIT2");
    set[TagKey::Artist] = text("TPE1");
    set[TagKey::Album] = text("TALB");
    // TagLib resolves numeric genre references such as "(17)" to their names.
    auto genre = frames.find("TCON");
    const bool latin1Genre =
        genre != frames.end() && !genre->second.isEmpty() && latin1(genre->second.front());
    set[TagKey::Genre] = latin1Genre ? Legacy(tag->genre(), page) : Utf8(tag->genre());
    // ID3v2.3's TYER is read as the 2.4 recording time TDRC; TYER stays as a fallback
    // for frames TagLib did not convert.
    set[TagKey::Year] = text("TDRC");
    if (set[TagKey::Year].empty()) set[TagKey::Year] = text("TYER");
    // The comment without description, else the first one.
    auto comments = frames.find("COMM");
    if (comments != frames.end()) {
        const TagLib::ID3v2::CommentsFrame* chosen = nullptr;
        for (const TagLib::ID3v2::Frame* frame : comments->second) {
            auto* comment = dynamic_cast<const TagLib::ID3v2::CommentsFrame*>(frame);
            if (comment &&
                (!chosen || (comment->description().isEmpty() && !chosen->description().isEmpty())))
                chosen = comment;
        }
        if (chosen)
            set[TagKey::Comment] = chosen->textEncoding() == String::Latin1
                                       ? Legacy(chosen->text(), page)
                                       : Utf8(chosen->text());
    }
    return set;
}

TagSet FromId3v1(const TagLib::ID3v1::Tag* tag, const LegacyCodePage& page) {
    TagSet set;
    if (tag == nullptr || tag->isEmpty()) return set;
    // TagLib reads ID3v1 texts as Latin-1, one character per byte.
    if (tag->track() > 0) set[TagKey::Track] = std::to_string(tag->track());
    set[TagKey::Title] = Legacy(tag->title(), page);
    set[TagKey::Artist] = Legacy(tag->artist(), page);
    set[TagKey::Album] = Legacy(tag->album(), page);
    set[TagKey::Genre] = Utf8(tag->genre());  // a name from the standard list
    if (tag->year() > 0) set[TagKey::Year] = std::to_string(tag->year());
    set[TagKey::Comment] = Legacy(tag->comment(), page);
    return set;
}

TagSet FromXiph(const TagLib::Ogg::XiphComment* tag) {
    TagSet set;
    if (tag == nullptr || tag->isEmpty()) return set;
    const TagLib::Ogg::FieldListMap& fields = tag->fieldListMap();
    // The first of the field names that is present (field names are upper case).
    auto field = [&fields](std::initializer_list<const char*> names) -> std::string {
        for (const char* name : names) {
            auto it = fields.find(name);
            if (it == fields.end()) continue;
            std::string value = Join(it->second);
            if (!value.empty()) return value;
        }
        return {};
    };
    set[TagKey::Track] = field({"TRACKNUMBER"});
    set[TagKey::Title] = field({"TITLE"});
    set[TagKey::Artist] = field({"ARTIST"});
    set[TagKey::Album] = field({"ALBUM"});
    set[TagKey::Genre] = field({"GENRE"});
    set[TagKey::Year] = field({"DATE", "YEAR"});
    set[TagKey::Comment] = field({"COMMENT", "DESCRIPTION"});
    return set;
}

TagSet FromApe(const TagLib::APE::Tag* tag) {
    TagSet set;
    if (tag == nullptr || tag->isEmpty()) return set;
    const auto& items = tag->itemListMap();  // keys are upper case
    auto item = [&items](const char* key) -> std::string {
        auto it = items.find(key);
        if (it == items.end() || it->second.type() != TagLib::APE::Item::Text) return {};
        return Join(it->second.values());
    };
    set[TagKey::Track] = item("TRACK");
    set[TagKey::Title] = item("TITLE");
    set[TagKey::Artist] = item("ARTIST");
    set[TagKey::Album] = item("ALBUM");
    set[TagKey::Genre] = item("GENRE");
    // FFmpeg writes the year as "date".
    set[TagKey::Year] = item("YEAR");
    if (set[TagKey::Year].empty()) set[TagKey::Year] = item("DATE");
    set[TagKey::Comment] = item("COMMENT");
    return set;
}

TagSet FromRiffInfo(const TagLib::RIFF::Info::Tag* tag) {
    TagSet set;
    if (tag == nullptr || tag->isEmpty()) return set;
    auto field = [tag](std::initializer_list<const char*> ids) -> std::string {
        for (const char* id : ids) {
            std::string value = Utf8(tag->fieldText(id));
            if (!value.empty()) return value;
        }
        return {};
    };
    set[TagKey::Track] = field({"IPRT", "ITRK"});
    set[TagKey::Title] = field({"INAM"});
    set[TagKey::Artist] = field({"IART"});
    set[TagKey::Album] = field({"IPRD"});
    set[TagKey::Genre] = field({"IGNR"});
    set[TagKey::Year] = field({"ICRD"});
    set[TagKey::Comment] = field({"ICMT"});
    return set;
}

TagSet FromMp4(const TagLib::MP4::Tag* tag) {
    TagSet set;
    if (tag == nullptr || tag->isEmpty()) return set;
    const TagLib::MP4::ItemMap& items = tag->itemMap();
    auto text = [&items](const char* key) -> std::string {
        auto it = items.find(key);
        return it == items.end() ? std::string() : Join(it->second.toStringList());
    };
    // The track is stored as a number pair; shown "3/12" when the total is known.
    auto track = items.find("trkn");
    if (track != items.end()) {
        const TagLib::MP4::Item::IntPair pair = track->second.toIntPair();
        if (pair.first > 0) {
            set[TagKey::Track] = std::to_string(pair.first);
            if (pair.second > 0) set[TagKey::Track] += "/" + std::to_string(pair.second);
        }
    }
    set[TagKey::Title] = text("\251nam");
    set[TagKey::Artist] = text("\251ART");
    set[TagKey::Album] = text("\251alb");
    // TagLib turns the older numeric "gnre" item into a named "\251gen" as it reads.
    set[TagKey::Genre] = text("\251gen");
    set[TagKey::Year] = text("\251day");
    set[TagKey::Comment] = text("\251cmt");
    return set;
}

TagSet FromAsf(const TagLib::ASF::Tag* tag) {
    TagSet set;
    if (tag == nullptr) return set;
    auto attribute = [tag](const char* name) -> std::string {
        for (const TagLib::ASF::Attribute& value : tag->attribute(name)) {
            if (value.type() == TagLib::ASF::Attribute::UnicodeType) {
                if (!value.toString().isEmpty()) return Utf8(value.toString());
            } else if (value.type() == TagLib::ASF::Attribute::DWordType) {
                return std::to_string(value.toUInt());
            }
        }
        return {};
    };
    set[TagKey::Track] = attribute("WM/TrackNumber");
    set[TagKey::Title] = Utf8(tag->title());
    set[TagKey::Artist] = Utf8(tag->artist());
    set[TagKey::Album] = Utf8(tag->album());
    set[TagKey::Genre] = Utf8(tag->genre());
    // FFmpeg writes the year as "date" and the comment as a "Description" attribute.
    set[TagKey::Year] = attribute("WM/Year");
    if (set[TagKey::Year].empty()) set[TagKey::Year] = attribute("date");
    set[TagKey::Comment] = Utf8(tag->comment());
    if (set[TagKey::Comment].empty()) set[TagKey::Comment] = attribute("Description");
    return set;
}

// The AIFF text chunks NAME, AUTH and ANNO (the first of these with text), read
// after TagLib has left the stream: TagLib reads an AIFF's ID3 chunk only.
TagSet FromAiffTextChunks(TagLib::IOStream* stream, const LegacyCodePage& page) {
    constexpr unsigned kMaxText = 64 * 1024;  // bytes: longer chunks are not texts
    TagSet set;
    // 64-bit sums: a chunk size near 4 GiB must not wrap a 32-bit long (Windows').
    const int64_t length = stream->length();
    int64_t offset = 12;
    for (int chunks = 0; chunks < 1000 && offset + 8 <= length; ++chunks) {
        stream->seek(static_cast<long>(offset));
        const TagLib::ByteVector header = stream->readBlock(8);
        if (header.size() != 8) break;
        const unsigned size = header.toUInt(4U, true);
        const TagLib::ByteVector id = header.mid(0, 4);
        const TagKey key = id == "NAME"   ? TagKey::Title
                           : id == "AUTH" ? TagKey::Artist
                           : id == "ANNO" ? TagKey::Comment
                                          : TagKey::Track;
        if (key != TagKey::Track && size <= kMaxText && offset + 8 + int64_t{size} <= length &&
            set[key].empty()) {
            const TagLib::ByteVector body = stream->readBlock(size);
            std::string text(body.data(), body.size());
            text.resize(std::strlen(text.c_str()));  // up to a NUL, if any
            while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
                text.pop_back();
            set[key] = page.ToUtf8(text);
        }
        offset += 8 + int64_t{size} + (size & 1);
    }
    return set;
}

// An APE tag at the end of `file`, before an ID3v1 tag if there is one, for the
// containers whose TagLib class does not look for it (TTA, as FFmpeg tags it).
TagSet FromApeAtEnd(TagLib::File& file, bool id3v1) {
    const long end = file.length() - (id3v1 ? 128 : 0);
    const long footer = end - static_cast<long>(TagLib::APE::Footer::size());
    if (footer < 0) return {};
    file.seek(footer);
    if (!file.readBlock(8).startsWith(TagLib::APE::Tag::fileIdentifier())) return {};
    const TagLib::APE::Tag tag(&file, footer);
    return FromApe(&tag);
}

// Each reader below opens one container and returns its tag blocks merged, the
// preferred block first. Properties are not read: only the tags are needed.
using IOStream = TagLib::IOStream;

TagSet ReadMpeg(IOStream* stream, const LegacyCodePage& page) {
    TagLib::MPEG::File file(stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromId3v2(file.ID3v2Tag(), page);
    FillMissing(set, FromApe(file.APETag()));
    FillMissing(set, FromId3v1(file.ID3v1Tag(), page));
    return set;
}

// A FLAC file's own Vorbis comment wins over an ID3v2 block some tagger put in front.
TagSet ReadFlac(IOStream* stream, const LegacyCodePage& page) {
    TagLib::FLAC::File file(stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromXiph(file.xiphComment());
    FillMissing(set, FromId3v2(file.ID3v2Tag(), page));
    FillMissing(set, FromId3v1(file.ID3v1Tag(), page));
    return set;
}

TagSet ReadWav(IOStream* stream, const LegacyCodePage& page) {
    TagLib::RIFF::WAV::File file(stream, false);
    TagSet set;
    if (!file.isValid()) return set;
    // The generic tag() of a WAV file is its ID3v2 block only; INFO is asked for apart.
    set = FromId3v2(file.ID3v2Tag(), page);
    FillMissing(set, FromRiffInfo(file.InfoTag()));
    return set;
}

TagSet ReadAiff(IOStream* stream, const LegacyCodePage& page) {
    TagSet set;
    {
        TagLib::RIFF::AIFF::File file(stream, false);
        if (!file.isValid()) return set;
        set = FromId3v2(file.tag(), page);
    }
    FillMissing(set, FromAiffTextChunks(stream, page));
    return set;
}

template <typename OggFile>
TagSet ReadOgg(IOStream* stream, const LegacyCodePage&) {
    OggFile file(stream, false);
    if (!file.isValid()) return {};
    return FromXiph(file.tag());
}

template <typename ApeTaggedFile>
TagSet ReadApeTagged(IOStream* stream, const LegacyCodePage& page) {
    ApeTaggedFile file(stream, false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromApe(file.APETag());
    FillMissing(set, FromId3v1(file.ID3v1Tag(), page));
    return set;
}

TagSet ReadTrueAudio(IOStream* stream, const LegacyCodePage& page) {
    TagLib::TrueAudio::File file(stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromId3v2(file.ID3v2Tag(), page);
    FillMissing(set, FromApeAtEnd(file, file.hasID3v1Tag()));
    FillMissing(set, FromId3v1(file.ID3v1Tag(), page));
    return set;
}

TagSet ReadMp4(IOStream* stream, const LegacyCodePage&) {
    TagLib::MP4::File file(stream, false);
    if (!file.isValid()) return {};
    return FromMp4(file.tag());
}

TagSet ReadAsf(IOStream* stream, const LegacyCodePage&) {
    TagLib::ASF::File file(stream, false);
    if (!file.isValid()) return {};
    return FromAsf(file.tag());
}

struct Container {
    bool (*isSupported)(IOStream*);
    TagSet (*read)(IOStream*, const LegacyCodePage&);
};

// Content checks in order: the containers with a distinct signature first, MPEG
// last, because its check only looks for a frame sync, which other data can mimic.
const Container kContainers[] = {
    {TagLib::RIFF::WAV::File::isSupported, ReadWav},
    {TagLib::RIFF::AIFF::File::isSupported, ReadAiff},
    {TagLib::FLAC::File::isSupported, ReadFlac},
    {TagLib::Ogg::Vorbis::File::isSupported, ReadOgg<TagLib::Ogg::Vorbis::File>},
    {TagLib::Ogg::Opus::File::isSupported, ReadOgg<TagLib::Ogg::Opus::File>},
    {TagLib::Ogg::FLAC::File::isSupported, ReadOgg<TagLib::Ogg::FLAC::File>},
    {TagLib::Ogg::Speex::File::isSupported, ReadOgg<TagLib::Ogg::Speex::File>},
    {TagLib::MP4::File::isSupported, ReadMp4},
    {TagLib::ASF::File::isSupported, ReadAsf},
    {TagLib::APE::File::isSupported, ReadApeTagged<TagLib::APE::File>},
    {TagLib::WavPack::File::isSupported, ReadApeTagged<TagLib::WavPack::File>},
    {TagLib::MPC::File::isSupported, ReadApeTagged<TagLib::MPC::File>},
    {TagLib::TrueAudio::File::isSupported, ReadTrueAudio},
    {TagLib::MPEG::File::isSupported, ReadMpeg},
};

#ifdef _WIN32
// Opens `path` (in the ANSI code page, as the host passes it) read-only as a TagLib
// stream if it names a file on disk: never a pipe, console or device, whose open or
// read could wait.
std::unique_ptr<TagLib::FileStream> OpenRegularFile(const std::string& path) {
    const std::wstring wide = ae::FileSystemPath(path);
    if (wide.empty()) return nullptr;
    void* probe = ae::OpenDiskFile(path);
    if (probe == nullptr) return nullptr;
    ae::CloseDiskFile(probe);
    auto stream = std::make_unique<TagLib::FileStream>(TagLib::FileName(wide.c_str()), true);
    if (!stream->isOpen()) return nullptr;
    return stream;
}
#else
// Opens `path` read-only as a TagLib stream if it is a regular file. The open does
// not block, whatever the path names (a FIFO would otherwise wait for a writer).
std::unique_ptr<TagLib::FileStream> OpenRegularFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    // The stream takes the descriptor over and closes it, unless it failed to open.
    auto stream = std::make_unique<TagLib::FileStream>(fd, true);
    if (!stream->isOpen()) {
        ::close(fd);
        return nullptr;
    }
    return stream;
}

#endif

std::atomic<ContainerMetadataReader> gMetadataReader{nullptr};

// The tags among a container's metadata key/value pairs, as FFmpeg names them, or as
// CAF's "info" chunk does ("track number", "comments", "recorded date"); keys in any
// case, the container's own pairs before its stream's.
TagSet FromContainerMetadata(const std::string& path, const LegacyCodePage& page) {
    const ContainerMetadataReader reader = gMetadataReader.load();
    if (reader == nullptr) return {};
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    Pairs pairs;
    // Called from the reader's C code: nothing may be thrown through it.
    const MetadataVisitor visit = [](void* user, const char* key, const char* value) {
        constexpr size_t kMaxPairs = 1000, kMaxValue = 64 * 1024;
        auto* into = static_cast<Pairs*>(user);
        if (key == nullptr || value == nullptr || into->size() >= kMaxPairs) return;
        try {
            std::string name(key);
            for (char& ch : name) ch = static_cast<char>(std::tolower(ch));
            into->emplace_back(std::move(name), std::string(value, strnlen(value, kMaxValue)));
        } catch (...) {
        }
    };
    if (!reader(path.c_str(), visit, &pairs)) return {};
    auto field = [&](std::initializer_list<const char*> names) -> std::string {
        for (const char* name : names)
            for (const auto& [key, value] : pairs)
                if (key == name && !value.empty()) {
                    // The reader hands out UTF-8, as FFmpeg converts what the container
                    // stores, on every platform; only bytes that are not UTF-8 (a
                    // container's raw legacy text) are decoded in the code page.
                    return IsValidUtf8(value) ? value : page.ToUtf8(value);
                }
        return {};
    };
    TagSet set;
    set[TagKey::Track] = field({"track", "track number"});
    set[TagKey::Title] = field({"title"});
    set[TagKey::Artist] = field({"artist", "performer"});
    set[TagKey::Album] = field({"album"});
    set[TagKey::Genre] = field({"genre"});
    set[TagKey::Year] = field({"date", "year", "date_released", "date_recorded", "recorded date"});
    set[TagKey::Comment] = field({"comment", "comments", "description"});
    return set;
}

// Matroska and WebM start with an EBML header.
bool IsMatroska(TagLib::IOStream* stream) {
    stream->seek(0);
    const bool ebml = stream->readBlock(4) == TagLib::ByteVector("\x1A\x45\xDF\xA3", 4);
    stream->seek(0);
    return ebml;
}

}  // namespace

void SetContainerMetadataReader(ContainerMetadataReader reader) noexcept {
    gMetadataReader.store(reader);
}

TagSet ReadTags(const std::string& path) noexcept {
    try {
        SilenceTagLib();
        std::unique_ptr<TagLib::FileStream> stream = OpenRegularFile(path);
        if (!stream) return {};
        const LegacyCodePage page = LegacyCodePage::FromEnvironment();
        // TagLib has no Matroska; nor does it know the containers no entry takes.
        if (IsMatroska(stream.get())) return FromContainerMetadata(path, page);
        for (const Container& container : kContainers) {
            if (container.isSupported(stream.get())) return container.read(stream.get(), page);
        }
        return FromContainerMetadata(path, page);
    } catch (...) {
        // Out of memory or a TagLib failure on a hostile file: no tags.
    }
    return {};
}

}  // namespace audioengine
