// SPDX-License-Identifier: MIT
// Generated audio files carrying known tags, written by the tagging tools people use
// (id3v2, metaflac, vorbiscomment, ffmpeg, mpcenc, libsndfile) and, for the
// containers they do not cover, TagLib.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "tests/support/AudioFiles.h"

namespace tagtest {

// The seven request keys, and the values of a file in that order.
constexpr std::array<const char*, 7> kKeys = {"%TRCK", "%TITL", "%ARTI", "%ALBM",
                                              "%GNRE", "%YEAR", "%CMNT"};
using Values = std::array<std::string, 7>;
enum Field { kTrack, kTitle, kArtist, kAlbum, kGenre, kYear, kComment };

// A full set: track "3/12", texts beyond ASCII, genre "Rock" (ID3v1 genre 17).
Values FullValues();
// The same set as ID3v1 can hold it: the track number alone.
Values Id3v1Values();

// Writes 0.2 s of a generated tone as `name` in `format`; "" on failure.
std::string WriteAudio(const testaudio::TempDir& dir, const std::string& name,
                       testaudio::Format format);

// Each returns false when the tool fails. Values must be the FullValues() shape.
// id3v2 (id3lib) writes ID3v2.3 and/or ID3v1, texts as Latin-1.
bool TagWithId3v2Tool(const std::string& mp3, const Values& values, bool id3v1, bool id3v2);
bool TagWithMetaflac(const std::string& flac, const Values& values);
bool TagWithVorbiscomment(const std::string& ogg, const Values& values);
// TagLib: RIFF INFO only in a WAV file; ID3v2 in AIFF; Vorbis comments in Opus; an
// APE block appended to an MP3; an ID3v2.4 block with UTF-8 texts in an MP3 or WAV.
bool TagRiffInfo(const std::string& wav, const Values& values);
bool TagAiffId3v2(const std::string& aiff, const Values& values);
bool TagOpus(const std::string& opus, const Values& values);
bool TagApe(const std::string& mp3, const Values& values);
bool TagId3v24(const std::string& path, const Values& values);
// Files the way FFmpeg writes them (MP4 atoms, ASF attributes, APE tags on WavPack
// and TTA), from a WAV, by file name extension; and Musepack by mpcenc (APE tags).
bool EncodeTaggedWithFfmpeg(const std::string& wav, const std::string& out, const Values& values);
bool EncodeTaggedWithMpcenc(const std::string& wav, const std::string& mpc, const Values& values);
// An AIFF file written by libsndfile with NAME, AUTH and ANNO chunks holding the
// title, artist and comment (the only ones AIFF has), as bytes; the other values are
// ignored, and so are empty ones.
bool WriteAiffTextChunks(const std::string& aiff, const Values& values);

// One tagged file per container, as the tests of every container use them.
struct TaggedFile {
    std::string label;  // usable in a test name
    std::string path;
    Values expected;
    // A format the engine plays through its FFmpeg module only (MP4, ASF, WavPack,
    // TTA, Musepack), which a build without the module refuses.
    bool needsFfmpegModule = false;
};
// Writes them all into `dir`; fails the calling test when one cannot be made.
std::vector<TaggedFile> MakeTaggedFiles(const testaudio::TempDir& dir);

}  // namespace tagtest
