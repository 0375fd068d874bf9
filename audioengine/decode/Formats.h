// The decoders behind OpenDecoder, one per codec library, and the shared frame
// bookkeeping they all follow.
#pragma once

#include <memory>

#include "audioengine/decode/Decoder.h"
#include "audioengine/decode/FileSource.h"

namespace ae {

// Containers libsndfile decodes for us.
enum class SndfileKind { Wav, Aiff, OggOpus };

// `vorbis_channel_order`: libsndfile hands the channels over as the file stores them,
// and Opus files with more than two channels store them in Vorbis order.
std::unique_ptr<Decoder> OpenSndfile(std::unique_ptr<FileSource> file, SndfileKind kind, int* error,
                                     bool vorbis_channel_order = false);
std::unique_ptr<Decoder> OpenFlac(std::unique_ptr<FileSource> file, bool ogg, int* error);
std::unique_ptr<Decoder> OpenMpg123(std::unique_ptr<FileSource> file, int* error);
std::unique_ptr<Decoder> OpenVorbis(std::unique_ptr<FileSource> file, int* error);

// Keeps the position and the end-of-data state common to every decoder: reads never
// go past info().frames, a short read ends the stream until the next seek, and a
// seek outside 0..frames fails before the codec is asked.
class FrameDecoder : public Decoder {
  public:
    const DecoderInfo& info() const final { return info_; }
    int64_t Read(float* out, int64_t frames) final;
    bool Seek(int64_t frame) final;

  protected:
    // Decodes up to `frames` frames at the codec's position; 0 at the end or on error.
    virtual int64_t DecodeFrames(float* out, int64_t frames) = 0;
    // Moves the codec to `frame` (0 <= frame < info().frames).
    virtual bool SeekCodec(int64_t frame) = 0;

    DecoderInfo info_;

  private:
    int64_t position_ = 0;
    bool ended_ = false;
};

// Vorbis and Opus order channels beyond stereo differently from WAV; these give, for
// each WAV-order output channel, the source channel it comes from.
const int* VorbisToWavOrder(int channels);

}  // namespace ae
