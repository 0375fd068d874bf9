// SPDX-License-Identifier: MIT
// Decoders turn a file into interleaved float frames at the file's own rate and
// channel count. One decoder is used by one thread at a time (the stream's decode
// thread); opening may happen on any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "audioengine/core/Result.h"

namespace ae {

struct DecoderInfo {
    int rate = 0;          // Hz, as decoded
    int channels = 0;      // interleaved channel count, 1..8 (more is rejected)
    int64_t frames = 0;    // exact length in frames (gapless for MP3)
    uint32_t ctype = 0;    // container/codec code reported by BASS_ChannelGetInfo
    uint32_t origres = 0;  // bits per sample of the source, 0 when not meaningful
    // The speaker of each channel as delivered, as a WAVE_FORMAT_EXTENSIBLE speaker
    // mask (see ChannelOrder.h): 0 when the file's layout is not known, else a mask
    // naming exactly `channels` speakers.
    uint32_t channelMask = 0;
};

class Decoder {
  public:
    virtual ~Decoder() = default;
    virtual const DecoderInfo& info() const = 0;
    // Decodes up to `frames` frames into `out` (frames x channels floats, nominally
    // -1..1). Returns the frames written: fewer than asked only at the end of the
    // file or on a read error (a file truncated or deleted while playing); 0 after.
    virtual int64_t Read(float* out, int64_t frames) = 0;
    // Moves to an exact frame, 0..frames (frames itself means the end). False when
    // out of range or the file cannot be read there; the position is then undefined
    // until the next successful seek.
    virtual bool Seek(int64_t frame) = 0;
};

// Limits of every opened stream's format, whatever its header claims: the engine
// sizes buffers by the rate and the channel count, so a damaged header claiming
// hundreds of MHz would make a tiny file cost gigabytes. No real recording goes past
// 768 kHz or eight channels.
constexpr int kMaxDecodedRate = 768000;  // Hz
constexpr int kMaxDecodedChannels = 8;

// Opens `path` and picks the decoder by the file's content, not its name. Only
// regular files are opened, without blocking. A failure gives an engine error code
// (BASS_ERROR_FILEOPEN, BASS_ERROR_FILEFORM, ...); a file outside the limits above
// gives BASS_ERROR_FORMAT. An opened decoder's info has a rate of
// 1..kMaxDecodedRate, 1..kMaxDecodedChannels channels and frames >= 0.
Result<std::unique_ptr<Decoder>> OpenDecoder(const std::string& path);

// What the calling thread's last OpenDecoder that failed recognised the file as ("MP4
// with an unsupported codec: Dolby AC-4"); "" when nothing was recognised or that
// call succeeded. The entry point that opens streams clears it first.
// Threads: any; each thread has its own.
std::string& LastRefusal();

// The bytes of the file that are audio, for BASS_FILEPOS_END and so for the bit
// rate: the file's size less what is metadata rather than audio, which can be large
// (cover art) and would make a bit rate wrong:
// - an ID3v2 block at the start (some taggers stack several); ID3v1, APE and
//   appended ID3v2 blocks at the end;
// - FLAC: PICTURE metadata blocks;
// - MP4: the user data boxes ("udta") of the movie and its tracks, where tags,
//   chapters and cover art are kept, and cover art in a movie-level "meta" box;
// - ASF: the header objects of tags and pictures (content description, extended
//   content description, content branding, metadata, metadata library).
// All other container headers, padding and indexes count as the file. A block that
// does not fit the file is damaged and counts as the file too. -1 when the file
// cannot be read.
// Threads: any; reads the file at `path` on its own.
int64_t AudioPayloadBytes(const std::string& path);

}  // namespace ae
