// SPDX-License-Identifier: MIT
// WAV, AIFF, Opus and the other containers libsndfile reads (AU, CAF, RF64, ...),
// through our FileSource so that the file is opened once, without blocking.
#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <new>

#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/FrameDecoder.h"
#include "audioengine/decode/OpusPackets.h"
#include "audioengine/decode/SndfileContainers.h"
#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"

namespace ae {

namespace {

sf_count_t VioLength(void* user) { return static_cast<FileSource*>(user)->Size(); }
sf_count_t VioSeek(sf_count_t offset, int whence, void* user) {
    return static_cast<FileSource*>(user)->Seek(offset, whence);
}
sf_count_t VioRead(void* out, sf_count_t bytes, void* user) {
    const int64_t n = static_cast<FileSource*>(user)->Read(out, bytes);
    return n < 0 ? 0 : n;
}
sf_count_t VioWrite(const void*, sf_count_t, void*) { return 0; }
sf_count_t VioTell(void* user) { return static_cast<FileSource*>(user)->Tell(); }

SF_VIRTUAL_IO kVirtualIo = {VioLength, VioSeek, VioRead, VioWrite, VioTell};

// The WAVE format tag that a libsndfile subformat stands for, for WAV files that
// hold neither PCM nor float.
uint32_t WavFormatTagOfSubformat(int subformat) {
    switch (subformat) {
        case SF_FORMAT_MS_ADPCM:
            return 0x0002;
        case SF_FORMAT_ALAW:
            return 0x0006;
        case SF_FORMAT_ULAW:
            return 0x0007;
        case SF_FORMAT_IMA_ADPCM:
            return 0x0011;
        case SF_FORMAT_GSM610:
            return 0x0031;
        case SF_FORMAT_MPEG_LAYER_I:
        case SF_FORMAT_MPEG_LAYER_II:
            return 0x0050;
        case SF_FORMAT_MPEG_LAYER_III:
            return 0x0055;
        default:
            return 0;
    }
}

uint32_t BitsPerSample(int subformat) {
    switch (subformat) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
        case SF_FORMAT_DPCM_8:
            return 8;
        case SF_FORMAT_PCM_16:
        case SF_FORMAT_DPCM_16:
        case SF_FORMAT_ALAC_16:
            return 16;
        case SF_FORMAT_ALAC_20:
            return 20;
        case SF_FORMAT_PCM_24:
        case SF_FORMAT_ALAC_24:
            return 24;
        case SF_FORMAT_PCM_32:
        case SF_FORMAT_FLOAT:
        case SF_FORMAT_ALAC_32:
            return 32;
        case SF_FORMAT_DOUBLE:
            return 64;
        default:
            return 0;
    }
}

// The code of a WAVE file, and of RF64 and Wave64, which are WAVE with 64-bit sizes.
uint32_t WaveType(int subformat) {
    if (subformat == SF_FORMAT_FLOAT || subformat == SF_FORMAT_DOUBLE)
        return BASS_CTYPE_STREAM_WAV_FLOAT;
    if (subformat == SF_FORMAT_PCM_S8 || subformat == SF_FORMAT_PCM_U8 ||
        subformat == SF_FORMAT_PCM_16 || subformat == SF_FORMAT_PCM_24 ||
        subformat == SF_FORMAT_PCM_32)
        return BASS_CTYPE_STREAM_WAV_PCM;
    return BASS_CTYPE_STREAM_WAV | WavFormatTagOfSubformat(subformat);
}

// The code of one of the other containers, by libsndfile's major format.
uint32_t OtherContainerType(int major, int subformat) {
    switch (major) {
        case SF_FORMAT_RF64:
        case SF_FORMAT_W64:
            return WaveType(subformat);
        case SF_FORMAT_CAF:
            if (subformat >= SF_FORMAT_ALAC_16 && subformat <= SF_FORMAT_ALAC_32)
                return BASS_CTYPE_STREAM_ALAC;
            return AE_CTYPE_STREAM_CAF;
        case SF_FORMAT_AU:
            return AE_CTYPE_STREAM_AU;
        case SF_FORMAT_IRCAM:
            return AE_CTYPE_STREAM_IRCAM;
        case SF_FORMAT_VOC:
            return AE_CTYPE_STREAM_VOC;
        case SF_FORMAT_PAF:
            return AE_CTYPE_STREAM_PAF;
        case SF_FORMAT_SVX:
            return AE_CTYPE_STREAM_IFF;
        case SF_FORMAT_NIST:
            return AE_CTYPE_STREAM_NIST;
        case SF_FORMAT_WVE:
            return AE_CTYPE_STREAM_WVE;
        case SF_FORMAT_MAT4:
            return AE_CTYPE_STREAM_MAT4;
        case SF_FORMAT_MAT5:
            return AE_CTYPE_STREAM_MAT5;
        case SF_FORMAT_PVF:
            return AE_CTYPE_STREAM_PVF;
        case SF_FORMAT_XI:
            return AE_CTYPE_STREAM_XI;
        case SF_FORMAT_HTK:
            return AE_CTYPE_STREAM_HTK;
        case SF_FORMAT_AVR:
            return AE_CTYPE_STREAM_AVR;
        case SF_FORMAT_MPC2K:
            return AE_CTYPE_STREAM_MPC2K;
        default:
            return 0;
    }
}

uint32_t ContainerType(SndfileKind kind, int major, int subformat) {
    switch (kind) {
        case SndfileKind::Wav:
            return WaveType(subformat);
        case SndfileKind::Aiff:
            return BASS_CTYPE_STREAM_AIFF;
        case SndfileKind::OggOpus:
            return BASS_CTYPE_STREAM_OPUS;
        case SndfileKind::Container:
            return OtherContainerType(major, subformat);
    }
    return 0;
}

class SndfileDecoder final : public FrameDecoder {
  public:
    SndfileDecoder(std::unique_ptr<FileSource> file, bool vorbisChannelOrder)
        : file_(std::move(file)), vorbisChannelOrder_(vorbisChannelOrder) {}
    ~SndfileDecoder() override {
        if (sf_) sf_close(sf_);
    }

    Status Open(SndfileKind kind) {
        // Opus decodes packet by packet (see OpusPackets.h), from the facts libsndfile
        // finds, or from its own when libsndfile cannot read the file alone: streams
        // chained one after another, or an Ogg Skeleton beside.
        std::unique_ptr<OpusPackets> opus =
            kind == SndfileKind::OggOpus ? OpusPackets::Open(*file_) : nullptr;
        if (opus && opus->links() > 1) return StartOpusAlone(std::move(opus));
        SF_INFO sf_info{};
        sf_ = sf_open_virtual(&kVirtualIo, SFM_READ, &sf_info, file_.get());
        if (!sf_) {
            if (opus) return StartOpusAlone(std::move(opus));
            // libsndfile knew the container but not the encoding inside it.
            return Error{sf_error(nullptr) == SF_ERR_UNSUPPORTED_ENCODING ? BASS_ERROR_CODEC
                                                                          : BASS_ERROR_FILEFORM};
        }
        // libsndfile finds no length for an Opus stream followed by one the chain
        // cannot take (surround after stereo, another codec): the chain is what plays.
        if (opus && sf_info.frames == SF_COUNT_MAX) {
            sf_close(sf_);
            sf_ = nullptr;
            return StartOpusAlone(std::move(opus));
        }
        if (sf_info.channels < 1 || sf_info.channels > 8) return Error{BASS_ERROR_FORMAT};
        if (sf_info.samplerate <= 0 || sf_info.frames < 0 || sf_info.frames == SF_COUNT_MAX)
            return Error{BASS_ERROR_FILEFORM};
        const int major = sf_info.format & SF_FORMAT_TYPEMASK;
        const int subformat = sf_info.format & SF_FORMAT_SUBMASK;
        // The container libsndfile found must be the one the magic named: the code
        // reported is that container's.
        if (kind == SndfileKind::Container && major != SndfileContainerOf(*file_))
            return Error{BASS_ERROR_FILEFORM};
        info_.rate = sf_info.samplerate;
        info_.channels = sf_info.channels;
        info_.frames = sf_info.frames;
        info_.ctype = ContainerType(kind, major, subformat);
        info_.origres = kind == SndfileKind::OggOpus ? 0 : BitsPerSample(subformat);
        if (vorbisChannelOrder_ && info_.channels > 2) order_ = VorbisToWavOrder(info_.channels);
        info_.channelMask = ChannelMask(kind);
        // libsndfile cannot seek in some encodings (the delta PCM of FastTracker
        // instruments); those are decoded again from the start.
        seekable_ = sf_info.seekable != 0;
        // A stereo 8SVX body holds the left channel, then the right; libsndfile reads
        // it as interleaved frames, which would play both halves mixed up.
        if (major == SF_FORMAT_SVX && info_.channels > 1) return Error{BASS_ERROR_CODEC};
        // An odd 8SVX body is padded to an even length, and libsndfile counts the pad
        // byte as one more sample; the body's own size says how many there are.
        if (major == SF_FORMAT_SVX && BitsPerSample(subformat) != 0) {
            const int64_t body = SvxBodyFrames(*file_, info_.channels,
                                               static_cast<int>(BitsPerSample(subformat)) / 8);
            if (body >= 0 && body < info_.frames) info_.frames = body;
        }
        if (opus && opus->Start(info_.rate, info_.channels, info_.frames)) {
            opus_ = std::move(opus);
            sf_close(sf_);
            sf_ = nullptr;
        }
        // Opus the packet decoder cannot take (its headers sharing a page with audio,
        // against the format's rules, or facts that do not fit it) is not left to
        // libsndfile: its Opus seek was seen to loop for good, without a read, on a
        // file whose granule positions jump about, which would hang the thread.
        if (kind == SndfileKind::OggOpus && !opus_) return Error{BASS_ERROR_FILEFORM};
        // Compressed streams state their length in a header; one that was cut short
        // cannot be decoded up to it. WAV and AIFF were checked from their chunks.
        if (kind != SndfileKind::Wav && kind != SndfileKind::Aiff && info_.frames > 0 &&
            !CanDecodeUpToTheEnd())
            return Error{BASS_ERROR_FILEFORM};
        return {};
    }

  protected:
    int64_t DecodeFrames(float* out, int64_t frames) override {
        const int64_t n = opus_ ? opus_->Read(out, frames) : sf_readf_float(sf_, out, frames);
        if (n <= 0) return 0;
        codecPosition_ += n;
        if (order_) {
            const int channels = info_.channels;
            float frame[8];
            for (int64_t f = 0; f < n; ++f) {
                float* samples = out + f * channels;
                std::copy(samples, samples + channels, frame);
                for (int c = 0; c < channels; ++c) samples[c] = frame[order_[c]];
            }
        }
        return n;
    }
    bool SeekCodec(int64_t frame) override {
        if (opus_) {
            codecPosition_ = frame;
            return opus_->Seek(frame);
        }
        if (!seekable_) {
            if (frame < codecPosition_ && !Reopen()) return false;
            return Skip(frame - codecPosition_);
        }
        // (Opus is always the packet decoder's.)
        codecPosition_ = sf_seek(sf_, frame, SEEK_SET);
        return codecPosition_ == frame;
    }

  private:
    Status StartOpusAlone(std::unique_ptr<OpusPackets> opus) {
        if (!opus->Start()) return Error{BASS_ERROR_FILEFORM};
        opus_ = std::move(opus);
        info_.rate = opus_->rate();
        info_.channels = opus_->channels();
        info_.frames = opus_->frames();
        info_.ctype = BASS_CTYPE_STREAM_OPUS;
        info_.origres = 0;
        if (vorbisChannelOrder_ && info_.channels > 2) order_ = VorbisToWavOrder(info_.channels);
        info_.channelMask = ChannelMask(SndfileKind::OggOpus);
        return {};
    }

    // Decodes and drops `frames` frames.
    bool Skip(int64_t frames) {
        float skipped[1024 * 8];
        const int64_t chunk = 1024;
        for (int64_t left = frames; left > 0;) {
            const sf_count_t n = sf_readf_float(sf_, skipped, left < chunk ? left : chunk);
            if (n <= 0) return false;
            codecPosition_ += n;
            left -= n;
        }
        return true;
    }

    // Opens libsndfile on the file again, at its first frame.
    bool Reopen() {
        sf_close(sf_);
        codecPosition_ = 0;
        SF_INFO sf_info{};
        sf_ = file_->Seek(0, SEEK_SET) == 0
                  ? sf_open_virtual(&kVirtualIo, SFM_READ, &sf_info, file_.get())
                  : nullptr;
        return sf_ != nullptr;
    }

    // Whether the stated length can be decoded: its last frame is read, then the
    // decoder goes back to the start, each by the way SeekCodec moves this decoder
    // (the packet decoder's seek for Opus; an encoding that cannot seek is decoded
    // from the start, which is cheap for the small sample files that use one).
    bool CanDecodeUpToTheEnd() {
        float frame[8];
        return SeekCodec(info_.frames - 1) && DecodeFrames(frame, 1) == 1 && SeekCodec(0);
    }

    // WAV (from a WAVE_FORMAT_EXTENSIBLE mask) and AIFF (from a CHAN chunk) may name
    // their speakers, which libsndfile hands over as a channel map; without one they
    // are in the usual order for their channel count. Opus beyond stereo has a known
    // layout only in mapping family 1, which DecodeFrames puts in WAV order.
    uint32_t ChannelMask(SndfileKind kind) {
        const int channels = info_.channels;
        if (kind == SndfileKind::OggOpus)
            return channels <= 2 || order_ ? DefaultChannelMask(channels) : 0;
        int map[8];
        if (sf_command(sf_, SFC_GET_CHANNEL_MAP_INFO, map,
                       static_cast<int>(sizeof(int)) * channels) == SF_TRUE)
            return ChannelMaskFromSndfileMap(map, channels);
        return DefaultChannelMask(channels);
    }

    std::unique_ptr<FileSource> file_;
    SNDFILE* sf_ = nullptr;
    std::unique_ptr<OpusPackets> opus_;  // Opus, once opened
    bool vorbisChannelOrder_ = false;
    bool seekable_ = true;
    int64_t codecPosition_ = 0;   // the frame libsndfile decodes next
    const int* order_ = nullptr;  // WAV-order channel -> source channel, or null
};

}  // namespace

Result<std::unique_ptr<Decoder>> OpenSndfileDecoder(std::unique_ptr<FileSource> file,
                                                    SndfileKind kind, bool vorbisChannelOrder) {
    auto decoder = std::make_unique<SndfileDecoder>(std::move(file), vorbisChannelOrder);
    const Status opened = decoder->Open(kind);
    if (!opened.ok()) return Error{opened.code()};
    return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace ae
