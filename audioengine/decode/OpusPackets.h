// SPDX-License-Identifier: MIT
// Ogg Opus decoded packet by packet with libopus: mono and stereo (channel mapping
// family 0) with its single-stream decoder, surround (family 1, up to 8 channels in
// Vorbis order) with its multistream decoder; chained streams included.
//
// libsndfile and libopusfile both decode through libopus's multistream decoder,
// which walks its streams by asking for the size of a decoder several times per
// packet; in the libopus builds that allow custom modes (Debian's), each such call
// probes the processor with CPUID, and under a hypervisor each probe is a trip out of
// the virtual machine: more than half of the decoding time went there. The
// single-stream decoder does none of that and gives the same samples. Surround needs
// the multistream decoder, and pays that price.
//
// The stream's facts (rate, channels, length) come from the caller, as libsndfile
// found them, or for a chain from the file itself; the samples are those of a decode from the start
// with the header's pre-skip dropped and its output gain applied, cut at the stated length. Seeks
// start from a page a second or more before the target (the decoder's state needs
// that long to reach the values of a decode from the start) and decode up to it.
#pragma once

#include <cstdint>
#include <memory>

#include "audioengine/decode/FileSource.h"

namespace ae {

class OpusPackets {
  public:
    // The file's Opus streams, found: the first Ogg Opus stream and those chained
    // after it (streams that follow one another in the file, each with headers of its
    // own: a recorded radio stream, files joined end to end), up to the first that
    // cannot go on with the chain (surround streams keep the first's channel count;
    // mono and stereo mix). Streams beside them (an Ogg Skeleton,
    // another codec) are left out. Null when the first is not such a stream or the
    // file cannot be read (the caller then decodes some other way). Reads the file
    // with positional reads only, so the caller may go on using `file`'s own
    // position. Threads: one at a time, like any decoder.
    static std::unique_ptr<OpusPackets> Open(const FileSource& file);
    // How many streams follow one another.
    size_t links() const;
    // Either Start is called once, before any Read or Seek.
    // Starts decoding the first stream at `rate` Hz (one libopus decodes at: 8000,
    // 12000, 16000, 24000 or 48000) and `channels`, for `frames` frames, as another
    // reader found them; false when they do not fit the stream.
    bool Start(int rate, int channels, int64_t frames);
    // Starts decoding the whole chain with facts of its own: the rate libsndfile gives
    // a single stream, for the stream that asks for the most; the first's channels, or
    // two when a mono chain has a stereo stream (a mono one then plays on both); the
    // sum of the streams' lengths, each from its last granule position. False when it
    // has no length.
    bool Start();
    int rate() const;
    int channels() const;
    int64_t frames() const;
    ~OpusPackets();
    OpusPackets(const OpusPackets&) = delete;
    OpusPackets& operator=(const OpusPackets&) = delete;

    // Decodes up to `frames` interleaved frames into `out`; fewer only at the stated
    // end or when the file cannot be read; 0 after. Damaged pages and packets are
    // concealed for as long as they last.
    int64_t Read(float* out, int64_t frames);
    // Moves to `frame` (0 <= frame < the stated length); false when the file cannot be
    // read there.
    bool Seek(int64_t frame);

  private:
    struct State;
    explicit OpusPackets(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace ae
