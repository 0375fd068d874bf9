// SPDX-License-Identifier: MIT
#include "tests/fuzz/FuzzFiles.h"

#include <taglib/fileref.h>
#include <taglib/tag.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "tests/support/AudioFiles.h"

namespace fuzzfiles {

namespace {

using testaudio::Format;

struct Spec {
    const char* name;
    Format format;
    int rate;
    int channels;
    int frames;
    bool tagged;
};

// A few hundredths of a second each: enough for several decoder blocks and the
// analysis windows, small enough to decode whole on every fuzz run. Most are at the
// output rate: designing a resampler's filter costs milliseconds on every open and
// seek, so three files (Vorbis at 22.05 kHz, the two Opus files at 48 kHz) keep the
// resampled path covered without making it the bulk of every run.
const Spec kFiles[] = {
    {"tone.wav", Format::Wav, 44100, 2, 2205, false},
    {"tone_float.wav", Format::WavFloat, 22050, 1, 1500, false},
    {"tone.aiff", Format::Aiff, 44100, 1, 2205, false},
    {"tone.flac", Format::Flac, 44100, 2, 4410, false},
    {"tone.ogg", Format::OggVorbis, 22050, 1, 2205, false},
    {"tone.opus", Format::Opus, 48000, 2, 2400, false},
    {"tone.mp3", Format::Mp3, 44100, 2, 4410, false},
    {"tagged.flac", Format::Flac, 44100, 2, 2205, true},
    {"tagged.mp3", Format::Mp3, 44100, 1, 2205, true},
    {"tagged.ogg", Format::OggVorbis, 44100, 2, 2205, true},
    {"tagged.wav", Format::Wav, 44100, 2, 2205, true},
    {"tagged.opus", Format::Opus, 48000, 1, 2400, true},
    {"tone_6ch.wav", Format::Wav, 44100, 6, 2205, false},
    // The other containers libsndfile reads: the common ones, ALAC, an 8-bit one and
    // one whose encoding cannot seek.
    {"tone.au", Format::Au, 44100, 2, 2205, false},
    {"tone.caf", Format::Caf, 44100, 1, 2205, false},
    {"tone_alac.caf", Format::CafAlac, 44100, 2, 2205, false},
    {"tone.rf64", Format::Rf64, 44100, 2, 2205, false},
    {"tone.w64", Format::W64, 44100, 1, 2205, false},
    {"tone.nist", Format::Nist, 44100, 1, 2205, false},
    {"tone.8svx", Format::Svx8, 44100, 1, 2205, false},
    {"tone.xi", Format::Xi, 44100, 1, 2205, false},
};

bool Tag(const std::string& path) {
    TagLib::FileRef file(path.c_str());
    if (file.isNull() || !file.tag()) return false;
    TagLib::Tag* tag = file.tag();
    tag->setTitle(TagLib::String("Fuzz \xc3\xa9t\xc3\xa9", TagLib::String::UTF8));
    tag->setArtist("Seed Artist");
    tag->setAlbum("Seed Album");
    tag->setGenre("Rock");
    tag->setYear(2026);
    tag->setTrack(3);
    tag->setComment("a comment");
    return file.save();
}

}  // namespace

std::vector<std::string> WriteSmallFiles(const std::string& dir) {
    std::vector<std::string> paths;
    for (const Spec& spec : kFiles) {
        const std::string path = dir + "/" + spec.name;
        const std::vector<float> frames =
            testaudio::Sine(spec.rate, spec.channels, spec.frames, 997.0, 0.5);
        if (!testaudio::Write(path, spec.format, spec.rate, spec.channels, frames)) return {};
        if (spec.tagged && !Tag(path)) return {};
        paths.push_back(path);
    }
    return paths;
}

std::string MakeTempDir(const char* prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "XXXXXX";
    if (!mkdtemp(pattern.data())) return std::string();
    return pattern;
}

void RemoveDir(const std::string& dir) {
    std::error_code ignored;
    if (!dir.empty()) std::filesystem::remove_all(dir, ignored);
}

}  // namespace fuzzfiles
