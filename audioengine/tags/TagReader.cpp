// SPDX-License-Identifier: MIT
#include "audioengine/tags/TagReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/apefile.h>
#include <taglib/apetag.h>
#include <taglib/asffile.h>
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
#include <unistd.h>

#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>

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

// Several values of one field (multiple artists, say) are shown joined.
std::string Join(const StringList& values) {
    std::string out;
    for (const String& value : values) {
        if (value.isEmpty()) continue;
        if (!out.empty()) out += "; ";
        out += Utf8(value);
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

TagSet FromId3v2(const TagLib::ID3v2::Tag* tag) {
    // Not tag->isEmpty(): it counts only numeric years and tracks, and a block holding
    // no more than a track such as "A1" would be passed over.
    TagSet set;
    if (tag == nullptr) return set;
    const auto& frames = tag->frameListMap();
    // The text of the first frame with this id that has one, as written in the file.
    auto text = [&frames](const char* id) -> std::string {
        auto it = frames.find(TagLib::ByteVector(id));
        if (it == frames.end()) return {};
        for (const TagLib::ID3v2::Frame* frame : it->second) {
            auto* textFrame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame);
            std::string value = textFrame ? Join(textFrame->fieldList()) : Utf8(frame->toString());
            if (!value.empty()) return value;
        }
        return {};
    };
    set[TagKey::Track] = text("TRCK");
    set[TagKey::Title] = text("TIT2");
    set[TagKey::Artist] = text("TPE1");
    set[TagKey::Album] = text("TALB");
    // TagLib resolves numeric genre references such as "(17)" to their names.
    set[TagKey::Genre] = Utf8(tag->genre());
    // ID3v2.3's TYER is read as the 2.4 recording time TDRC; TYER stays as a fallback
    // for frames TagLib did not convert.
    set[TagKey::Year] = text("TDRC");
    if (set[TagKey::Year].empty()) set[TagKey::Year] = text("TYER");
    // The comment without description, else the first one.
    set[TagKey::Comment] = Utf8(tag->comment());
    return set;
}

TagSet FromId3v1(const TagLib::ID3v1::Tag* tag) {
    TagSet set;
    if (tag == nullptr || tag->isEmpty()) return set;
    // ID3v1 texts are Latin-1; TagLib decodes them and Utf8() re-encodes.
    if (tag->track() > 0) set[TagKey::Track] = std::to_string(tag->track());
    set[TagKey::Title] = Utf8(tag->title());
    set[TagKey::Artist] = Utf8(tag->artist());
    set[TagKey::Album] = Utf8(tag->album());
    set[TagKey::Genre] = Utf8(tag->genre());
    if (tag->year() > 0) set[TagKey::Year] = std::to_string(tag->year());
    set[TagKey::Comment] = Utf8(tag->comment());
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
    set[TagKey::Year] = item("YEAR");
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
    set[TagKey::Year] = attribute("WM/Year");
    set[TagKey::Comment] = Utf8(tag->comment());
    return set;
}

// Each reader below opens one container and returns its tag blocks merged, the
// preferred block first. Properties are not read: only the tags are needed.
using IOStream = TagLib::IOStream;

TagSet ReadMpeg(IOStream* stream) {
    TagLib::MPEG::File file(stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromId3v2(file.ID3v2Tag());
    FillMissing(set, FromApe(file.APETag()));
    FillMissing(set, FromId3v1(file.ID3v1Tag()));
    return set;
}

TagSet ReadFlac(IOStream* stream) {
    TagLib::FLAC::File file(stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromId3v2(file.ID3v2Tag());
    FillMissing(set, FromXiph(file.xiphComment()));
    FillMissing(set, FromId3v1(file.ID3v1Tag()));
    return set;
}

TagSet ReadWav(IOStream* stream) {
    TagLib::RIFF::WAV::File file(stream, false);
    TagSet set;
    if (!file.isValid()) return set;
    // The generic tag() of a WAV file is its ID3v2 block only; INFO is asked for apart.
    set = FromId3v2(file.ID3v2Tag());
    FillMissing(set, FromRiffInfo(file.InfoTag()));
    return set;
}

TagSet ReadAiff(IOStream* stream) {
    TagLib::RIFF::AIFF::File file(stream, false);
    if (!file.isValid()) return {};
    return FromId3v2(file.tag());
}

template <typename OggFile>
TagSet ReadOgg(IOStream* stream) {
    OggFile file(stream, false);
    if (!file.isValid()) return {};
    return FromXiph(file.tag());
}

template <typename ApeTaggedFile>
TagSet ReadApeTagged(IOStream* stream) {
    ApeTaggedFile file(stream, false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromApe(file.APETag());
    FillMissing(set, FromId3v1(file.ID3v1Tag()));
    return set;
}

TagSet ReadTrueAudio(IOStream* stream) {
    TagLib::TrueAudio::File file(stream, TagLib::ID3v2::FrameFactory::instance(), false);
    TagSet set;
    if (!file.isValid()) return set;
    set = FromId3v2(file.ID3v2Tag());
    FillMissing(set, FromId3v1(file.ID3v1Tag()));
    return set;
}

TagSet ReadMp4(IOStream* stream) {
    TagLib::MP4::File file(stream, false);
    if (!file.isValid()) return {};
    return FromMp4(file.tag());
}

TagSet ReadAsf(IOStream* stream) {
    TagLib::ASF::File file(stream, false);
    if (!file.isValid()) return {};
    return FromAsf(file.tag());
}

struct Container {
    bool (*isSupported)(IOStream*);
    TagSet (*read)(IOStream*);
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

}  // namespace

TagSet ReadTags(const std::string& path) noexcept {
    try {
        SilenceTagLib();
        std::unique_ptr<TagLib::FileStream> stream = OpenRegularFile(path);
        if (!stream) return {};
        for (const Container& container : kContainers) {
            if (container.isSupported(stream.get())) return container.read(stream.get());
        }
    } catch (...) {
        // Out of memory or a TagLib failure on a hostile file: no tags.
    }
    return {};
}

}  // namespace audioengine
