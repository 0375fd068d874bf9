// SPDX-License-Identifier: GPL-2.0-or-later
// libaudioengine-ffmpeg.so (audioengine-ffmpeg.dll on Windows): the engine's decoder
// for the formats its own decoders do not read (MP4/M4A, raw AAC, WMA, WavPack,
// Monkey's Audio, Musepack, TTA, Matroska/WebM, AC-3, DTS, FLAC in Ogg as FFmpeg
// writes it), on FFmpeg's libavformat and libavcodec.
//
// It runs inside a host's process, on files a user was handed, so:
// - it reads only through the engine's reader (our own AVIOContext): FFmpeg's
//   protocols are never used, and every attempt of a demuxer to open another file or
//   URL (hls, dash, concat, MP4 data references) is refused;
// - only the audio demuxers and decoders listed below are allowed;
// - what a file claims (streams, rate, channels, frame and packet sizes) is checked
//   before a decoder is opened for it;
// - one thread per decoder, and no process-wide state: FFmpeg's global log level and
//   callback are the host's. The contexts we own are quieted through their log level
//   offsets instead. A few messages on damaged files come from contexts FFmpeg makes
//   for itself or from none (a packet truncated at the end of the file, a Vorbis
//   parser's setup header); only the process-wide level quiets those, which a program
//   that owns its process asks for through quiet_process_log.
//
// Every decoder promises the engine an exact length at open and seeks that give the
// samples a decode from the start gives. Two ways serve that:
// - by timestamp, where the container's time base resolves single samples (MP4, Ogg,
//   WavPack, TTA, Monkey's Audio and the raw AAC, AC-3 and DTS streams): the length
//   is the container's (when it states it exactly) or the sum of the packet
//   durations, and a decoded frame's position is its timestamp;
// - by count, where timestamps are milliseconds (Matroska, ASF) or the frames of a
//   packet are only known by decoding (Musepack): one pass at open counts the frames
//   each packet decodes to, and keeps checkpoints (a packet's timestamp and the frame
//   it starts at) that seeks resynchronise on.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/vorbis_parser.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/intreadwrite.h>
#include <libavutil/mathematics.h>
}

#include "audioengine/ffmpeg/FfmpegModuleApi.h"
#include "audioengine/include/audioengine_ext.h"
#include "plugin/engine/Bass.h"

#ifdef _WIN32
#define AEFF_EXPORT extern "C"  // exported by the module definition
#else
#define AEFF_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// The demuxers a file may be read by, as FFmpeg names them; and with those, for a
// codec the engine's own decoders lack in a container they read (see AeffLimits);
// and for metadata, CAF's too (its "info" chunk, which TagLib does not read).
#define AEFF_FORMATS "mov,aac,asf,wv,ape,mpc,mpc8,tta,matroska,ac3,eac3,dts,ogg"
constexpr const char* kFormatWhitelist = AEFF_FORMATS;
constexpr const char* kWithOwnContainers = AEFF_FORMATS ",wav,caf";
constexpr const char* kMetadataWhitelist = AEFF_FORMATS ",caf";
#undef AEFF_FORMATS

// The decoders a stream may be given: the codecs those containers carry in the wild.
bool CodecAllowed(AVCodecID id) {
    switch (id) {
        case AV_CODEC_ID_AAC:
        case AV_CODEC_ID_AAC_LATM:
        case AV_CODEC_ID_ALAC:
        case AV_CODEC_ID_WMAV1:
        case AV_CODEC_ID_WMAV2:
        case AV_CODEC_ID_WMAPRO:
        case AV_CODEC_ID_WMALOSSLESS:
        case AV_CODEC_ID_WAVPACK:
        case AV_CODEC_ID_APE:
        case AV_CODEC_ID_MUSEPACK7:
        case AV_CODEC_ID_MUSEPACK8:
        case AV_CODEC_ID_TTA:
        case AV_CODEC_ID_OPUS:
        case AV_CODEC_ID_VORBIS:
        case AV_CODEC_ID_FLAC:
        case AV_CODEC_ID_AC3:
        case AV_CODEC_ID_EAC3:
        case AV_CODEC_ID_DTS:
        case AV_CODEC_ID_MP1:
        case AV_CODEC_ID_MP2:
        case AV_CODEC_ID_MP3:
        case AV_CODEC_ID_PCM_S16LE:
        case AV_CODEC_ID_PCM_S16BE:
        case AV_CODEC_ID_PCM_S24LE:
        case AV_CODEC_ID_PCM_S24BE:
        case AV_CODEC_ID_PCM_S32LE:
        case AV_CODEC_ID_PCM_S32BE:
        case AV_CODEC_ID_PCM_F32LE:
        case AV_CODEC_ID_PCM_F32BE:
        case AV_CODEC_ID_PCM_F64LE:
        case AV_CODEC_ID_PCM_F64BE:
        case AV_CODEC_ID_PCM_U8:
            return true;
        default:
            return false;
    }
}

// Whether a stream of `codec` in a file `format` reads is decoded. CAF only with ALAC,
// AAC and MP3: FFmpeg's own muxer states other codecs' packets shorter than they
// decode (FLAC: 4562 frames for 4608), and positions follow the timestamps.
bool CodecAllowedIn(const AVInputFormat* format, AVCodecID codec) {
    if (std::strcmp(format->name, "caf") == 0 && codec != AV_CODEC_ID_ALAC &&
        codec != AV_CODEC_ID_AAC && codec != AV_CODEC_ID_MP3)
        return false;
    return CodecAllowed(codec);
}

// The names of the decoders of CodecAllowed, for lavf's own use while it looks into a
// file (a video stream in an MP4 is never given to a video decoder).
const char* DecoderWhitelist() {
    static const std::string names = [] {
        std::string list;
        void* at = nullptr;
        while (const AVCodec* codec = av_codec_iterate(&at)) {
            if (!av_codec_is_decoder(codec) || !CodecAllowed(codec->id)) continue;
            if (!list.empty()) list += ',';
            list += codec->name;
        }
        return list;
    }();
    return names.c_str();
}

constexpr int kAvioBufferBytes = 32 * 1024;
static_assert(kAvioBufferBytes > AV_LOG_TRACE, "buffer_size doubles as the log level offset");
// Log messages of our contexts are raised by this many levels: past AV_LOG_TRACE
// (56) from AV_LOG_FATAL (8) up, so that no level a host may set shows them, and a
// host's own log callback can still tell them apart.
constexpr int kQuietLogOffset = 64;
// A file with more streams than this is not an audio file we play.
constexpr int kMaxStreams = 64;
// What a stream's header may claim before its decoder is opened.
constexpr int kMaxFrameSize = 1 << 20;            // samples per codec frame
constexpr int kMaxBlockAlign = 1 << 24;           // bytes
constexpr int kMaxExtradata = 1 << 24;            // bytes
constexpr int kMaxPacketBytes = 1 << 26;          // bytes; bigger packets are dropped
constexpr int kMaxDecodedFrame = 1 << 20;         // samples per decoded frame
constexpr int64_t kMaxFrames = int64_t{1} << 40;  // frames of a stream
constexpr int kMaxConsecutiveErrors = 64;         // undecodable packets in a row end a stream
constexpr int kPacketsPerCheckpoint = 32;         // counted streams: one checkpoint per this many

// FFmpeg keeps no log offset for format contexts; a private copy of their class that
// reads the offset from max_streams (which we set to kMaxStreams, and must stay above
// AV_LOG_TRACE) quiets a format context and every demuxer logging through it, without
// touching the process-wide log level or callback.
static_assert(kMaxStreams > AV_LOG_TRACE, "max_streams doubles as the log level offset");
static_assert(kMaxStreams == kQuietLogOffset, "one offset for format and codec contexts");
const AVClass* QuietFormatClass() {
    static const AVClass quiet = [] {
        AVClass c = *avformat_get_class();
        c.log_level_offset_offset = static_cast<int>(offsetof(AVFormatContext, max_streams));
        return c;
    }();
    return &quiet;
}

// Byte I/O contexts have no class of their own, and log through the context (a short
// read, say) unquieted: ours gets one whose offset is read from buffer_size, which is
// never below 32 KiB (kAvioBufferBytes) nor ever shrinks.
const AVClass* QuietIoClass() {
    static const AVClass quiet = [] {
        AVClass c{};
        c.class_name = "AVIOContext";
        c.item_name = av_default_item_name;
        c.version = LIBAVUTIL_VERSION_INT;
        c.log_level_offset_offset = static_cast<int>(offsetof(AVIOContext, buffer_size));
        return c;
    }();
    return &quiet;
}

int RefuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

// The names people know the containers by.
const char* ContainerName(const AVInputFormat* format) {
    const char* name = format->name;
    if (std::strncmp(name, "mov", 3) == 0) return "MP4";
    if (std::strcmp(name, "aac") == 0) return "AAC (ADTS)";
    if (std::strcmp(name, "asf") == 0) return "ASF (Windows Media)";
    if (std::strcmp(name, "wv") == 0) return "WavPack";
    if (std::strcmp(name, "ape") == 0) return "Monkey's Audio";
    if (std::strncmp(name, "mpc", 3) == 0) return "Musepack";
    if (std::strcmp(name, "tta") == 0) return "TTA";
    if (std::strncmp(name, "matroska", 8) == 0) return "Matroska/WebM";
    if (std::strcmp(name, "ac3") == 0) return "AC-3";
    if (std::strcmp(name, "eac3") == 0) return "E-AC-3";
    if (std::strcmp(name, "dts") == 0) return "DTS";
    if (std::strcmp(name, "ogg") == 0) return "Ogg";
    if (std::strcmp(name, "wav") == 0) return "WAV";
    if (std::strcmp(name, "caf") == 0) return "CAF";
    return name;
}

std::string CodecName(const AVCodecParameters* par) {
    if (const AVCodecDescriptor* d = avcodec_descriptor_get(par->codec_id)) {
        return d->long_name ? d->long_name : d->name;
    }
    char tag[AV_FOURCC_MAX_STRING_SIZE] = {};
    av_fourcc_make_string(tag, par->codec_tag);
    return std::string("an unknown codec (") + tag + ")";
}

uint32_t CtypeOf(const AVInputFormat* format, AVCodecID codec) {
    const bool mp4 = std::strncmp(format->name, "mov", 3) == 0;
    const bool ogg = std::strcmp(format->name, "ogg") == 0;
    switch (codec) {
        case AV_CODEC_ID_AAC:
        case AV_CODEC_ID_AAC_LATM:
            return mp4 ? BASS_CTYPE_STREAM_MP4 : BASS_CTYPE_STREAM_AAC;
        case AV_CODEC_ID_ALAC:
            return BASS_CTYPE_STREAM_ALAC;
        case AV_CODEC_ID_WMAV1:
        case AV_CODEC_ID_WMAV2:
        case AV_CODEC_ID_WMAPRO:
        case AV_CODEC_ID_WMALOSSLESS:
            return BASS_CTYPE_STREAM_WMA;
        case AV_CODEC_ID_WAVPACK:
            return BASS_CTYPE_STREAM_WV;
        case AV_CODEC_ID_APE:
            return BASS_CTYPE_STREAM_APE;
        case AV_CODEC_ID_MUSEPACK7:
        case AV_CODEC_ID_MUSEPACK8:
            return BASS_CTYPE_STREAM_MPC;
        case AV_CODEC_ID_TTA:
            return BASS_CTYPE_STREAM_TTA;
        case AV_CODEC_ID_AC3:
            return BASS_CTYPE_STREAM_AC3;
        case AV_CODEC_ID_EAC3:
            return AE_CTYPE_STREAM_EAC3;
        case AV_CODEC_ID_DTS:
            return AE_CTYPE_STREAM_DTS;
        case AV_CODEC_ID_FLAC:
            return ogg ? BASS_CTYPE_STREAM_FLAC_OGG : AE_CTYPE_STREAM_FLAC_OTHER;
        case AV_CODEC_ID_OPUS:
            return ogg ? BASS_CTYPE_STREAM_OPUS : AE_CTYPE_STREAM_OPUS_OTHER;
        case AV_CODEC_ID_VORBIS:
            return ogg ? BASS_CTYPE_STREAM_OGG : AE_CTYPE_STREAM_VORBIS_OTHER;
        case AV_CODEC_ID_MP1:
        case AV_CODEC_ID_MP2:
        case AV_CODEC_ID_MP3:
            return AE_CTYPE_STREAM_MPEG_OTHER;
        default:
            return AE_CTYPE_STREAM_FFMPEG_OTHER;
    }
}

// Containers whose stated duration is the exact length of what their decoder gives.
bool ContainerLengthExact(const AVInputFormat* format) {
    const char* name = format->name;
    return std::strncmp(name, "mov", 3) == 0 || std::strcmp(name, "ogg") == 0 ||
           std::strcmp(name, "wv") == 0 || std::strcmp(name, "tta") == 0 ||
           std::strcmp(name, "ape") == 0;
}

// A CAF file's packet table ("pakt" chunk): the frames of its audio (valid), and the
// encoder's priming frames before them, which the decoder still gives. FFmpeg's
// demuxer counts them, and the remainder after them, in its length, and gives its
// packets no durations. False when there is none.
bool ReadCafPacketTable(const AeffReader& reader, int64_t* valid, int64_t* priming) {
    unsigned char h[12];
    if (reader.read_at(reader.opaque, 0, h, 8) != 8 || std::memcmp(h, "caff", 4) != 0) return false;
    const int64_t size = reader.size(reader.opaque);
    // Chunks after the 8-byte file header: a type, a 64-bit big-endian size, the data.
    for (int64_t offset = 8, chunks = 0; chunks < 1000 && offset + 12 <= size; ++chunks) {
        if (reader.read_at(reader.opaque, offset, h, 12) != 12) return false;
        const int64_t bytes = static_cast<int64_t>(AV_RB64(h + 4));
        if (std::memcmp(h, "pakt", 4) == 0) {
            unsigned char table[24];  // packets, valid frames, priming, remainder
            if (bytes < 24 || reader.read_at(reader.opaque, offset + 12, table, 24) != 24)
                return false;
            *valid = static_cast<int64_t>(AV_RB64(table + 8));
            *priming = static_cast<int32_t>(AV_RB32(table + 16));
            return *valid >= 0 && *priming >= 0;
        }
        if (bytes < 0 || bytes > size - offset - 12) return false;  // "data" of unknown size
        offset += 12 + bytes;
    }
    return false;
}

// The samples of an Opus packet, from its table-of-contents byte (RFC 6716, 3.1), at
// 48 kHz; -1 when the packet is malformed.
int OpusPacketSamples(const uint8_t* data, int size) {
    if (size < 1) return -1;
    const int config = data[0] >> 3;
    static const int kSilk[4] = {480, 960, 1920, 2880};
    static const int kCelt[4] = {120, 240, 480, 960};
    const int frame = config < 12   ? kSilk[config & 3]
                      : config < 16 ? 480 << (config & 1)
                                    : kCelt[config & 3];
    int frames = 1;
    switch (data[0] & 3) {
        case 0:
            frames = 1;
            break;
        case 1:
        case 2:
            frames = 2;
            break;
        default:
            if (size < 2) return -1;
            frames = data[1] & 0x3F;
            break;
    }
    const int samples = frames * frame;
    return samples > 5760 ? -1 : samples;  // 120 ms at most
}

// The first sample of a FLAC frame, from its header: the frame number times the block
// size in a stream of fixed-size blocks, else the sample number itself; -1 when the
// packet does not start with a frame header. Ogg's timestamps after a seek can be
// frames off, the header never is.
int64_t FlacFrameStart(const uint8_t* p, int size, int64_t blockSize) {
    if (size < 6 || p[0] != 0xFF || (p[1] & 0xFE) != 0xF8) return -1;
    const bool variable = p[1] & 1;
    // The number is coded as UTF-8 is, extended to 36 bits.
    const uint8_t first = p[4];
    int extra = 0;
    while (extra < 7 && (first & (0x80 >> extra))) ++extra;
    if (extra == 1 || extra == 7 || 5 + extra > size) return -1;
    int64_t value = extra == 0 ? first : first & (0x7F >> extra);
    for (int i = 1; i < extra; ++i) {
        if ((p[4 + i] & 0xC0) != 0x80) return -1;
        value = (value << 6) | (p[4 + i] & 0x3F);
    }
    return variable ? value : blockSize > 0 ? value * blockSize : -1;
}

// The fixed block size a FLAC stream's STREAMINFO declares (minimum = maximum), from
// codec extradata that is STREAMINFO alone or follows the "fLaC" marker; 0 when the
// blocks vary or there is none.
int64_t FlacFixedBlockSize(const uint8_t* extradata, int size) {
    if (size >= 8 && std::memcmp(extradata, "fLaC", 4) == 0) {
        extradata += 8;
        size -= 8;
    }
    if (size < 34) return 0;
    const int minimum = (extradata[0] << 8) | extradata[1];
    const int maximum = (extradata[2] << 8) | extradata[3];
    return minimum == maximum ? minimum : 0;
}

void SetText(char* out, size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));
void SetText(char* out, size_t size, const char* format, ...) {
    if (!out || size == 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, size, format, args);
    va_end(args);
}

// Interleaved float from any of FFmpeg's sample formats: `count` frames from frame
// `first` of `frame` into `out`.
void ToFloat(const AVFrame* frame, int channels, int first, int count, float* out) {
    const auto format = static_cast<AVSampleFormat>(frame->format);
    const bool planar = av_sample_fmt_is_planar(format);
    for (int c = 0; c < channels; ++c) {
        const uint8_t* base = planar ? frame->extended_data[c] : frame->extended_data[0];
        const int step = planar ? 1 : channels;
        const int offset = planar ? first : first * channels + c;
        float* o = out + c;
        switch (av_get_packed_sample_fmt(format)) {
            case AV_SAMPLE_FMT_U8: {
                const uint8_t* s = base + offset;
                for (int i = 0; i < count; ++i)
                    o[i * channels] = (s[i * step] - 128) * (1.0f / 128);
                break;
            }
            case AV_SAMPLE_FMT_S16: {
                const int16_t* s = reinterpret_cast<const int16_t*>(base) + offset;
                for (int i = 0; i < count; ++i) o[i * channels] = s[i * step] * (1.0f / 32768);
                break;
            }
            case AV_SAMPLE_FMT_S32: {
                const int32_t* s = reinterpret_cast<const int32_t*>(base) + offset;
                for (int i = 0; i < count; ++i)
                    o[i * channels] = static_cast<float>(s[i * step]) * (1.0f / 2147483648.0f);
                break;
            }
            case AV_SAMPLE_FMT_S64: {
                const int64_t* s = reinterpret_cast<const int64_t*>(base) + offset;
                for (int i = 0; i < count; ++i)
                    o[i * channels] = static_cast<float>(static_cast<double>(s[i * step]) *
                                                         (1.0 / 9223372036854775808.0));
                break;
            }
            case AV_SAMPLE_FMT_FLT: {
                const float* s = reinterpret_cast<const float*>(base) + offset;
                for (int i = 0; i < count; ++i) o[i * channels] = s[i * step];
                break;
            }
            case AV_SAMPLE_FMT_DBL: {
                const double* s = reinterpret_cast<const double*>(base) + offset;
                for (int i = 0; i < count; ++i) o[i * channels] = static_cast<float>(s[i * step]);
                break;
            }
            default:
                for (int i = 0; i < count; ++i) o[i * channels] = 0.0f;
                break;
        }
    }
}

// Timestamps come from the file: arithmetic on them saturates instead of overflowing.
int64_t SaturatingAdd(int64_t a, int64_t b) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}
int64_t SaturatingSub(int64_t a, int64_t b) {
    int64_t difference = 0;
    if (__builtin_sub_overflow(a, b, &difference)) return b > 0 ? INT64_MIN : INT64_MAX;
    return difference;
}

struct Checkpoint {
    int64_t pts;       // the packet's timestamp, in the stream's time base
    int64_t position;  // the frame its decoded samples start at
};

}  // namespace

struct AeffDecoder {
    AeffReader reader{};
    int64_t offset = 0;  // the AVIOContext's byte position in the file
    AVIOContext* avio = nullptr;
    AVFormatContext* fc = nullptr;
    AVCodecContext* cc = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    AVStream* stream = nullptr;
    AeffInfo info{};
    AVRational sampleBase{1, 1};  // one decoded frame

    bool counted = false;      // positions by count (else by timestamp)
    bool flacHeaders = false;  // timestamped FLAC: positions from the frame headers
    int64_t flacBlockSize = 0;
    int64_t packetStart = -1;  // flacHeaders: where the last packet sent starts
    int64_t origin = 0;        // timestamped: the first frame's position
    int64_t preroll = 0;       // frames decoded before a seek target and dropped
    int64_t startPts = 0;      // the first packet's timestamp (counted: checkpoint 0)
    std::vector<Checkpoint> checkpoints;

    // Decoding state.
    int64_t cursor = 0;         // the frame the next read gives
    bool haveFrame = false;     // `frame` holds decoded samples not yet given out
    int64_t framePosition = 0;  // the frame `frame` starts at
    int64_t nextPosition = 0;   // timestamped: where a frame without timestamp goes;
                                // counted: where the next decoded frame starts
    bool synced = true;         // counted: positions are known
    Checkpoint syncAt{};        // counted: the packet that gives them back after a seek
    bool draining = false;
    int errors = 0;

    ~AeffDecoder() {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&cc);
        avformat_close_input(&fc);
        if (avio) av_freep(&avio->buffer);
        avio_context_free(&avio);
    }

    static int ReadPacket(void* opaque, uint8_t* buffer, int size) {
        auto* d = static_cast<AeffDecoder*>(opaque);
        const int64_t n = d->reader.read_at(d->reader.opaque, d->offset, buffer, size);
        if (n < 0) return AVERROR(EIO);
        if (n == 0) return AVERROR_EOF;
        d->offset += n;
        return static_cast<int>(n);
    }
    static int64_t SeekAvio(void* opaque, int64_t offset, int whence) {
        auto* d = static_cast<AeffDecoder*>(opaque);
        whence &= ~AVSEEK_FORCE;
        const int64_t size = d->reader.size(d->reader.opaque);
        if (whence == AVSEEK_SIZE) return size < 0 ? AVERROR(EIO) : size;
        int64_t base = 0;
        if (whence == SEEK_CUR) {
            base = d->offset;
        } else if (whence == SEEK_END) {
            if (size < 0) return AVERROR(EIO);
            base = size;
        } else if (whence != SEEK_SET) {
            return AVERROR(EINVAL);
        }
        if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset))
            return AVERROR(EINVAL);
        d->offset = base + offset;
        return d->offset;
    }

    int64_t ToFrames(int64_t ts) const {
        return av_rescale_q_rnd(ts, stream->time_base, sampleBase,
                                static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    }
    int64_t ToTimestamp(int64_t frames) const {
        return av_rescale_q_rnd(frames, sampleBase, stream->time_base,
                                static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
    }

    int OpenContainer(const char* formats);
    int VisitMetadata(AeffVisitor visit, void* user);
    int Open(const AeffLimits& limits, char* what, size_t whatSize);
    bool OpenCodec();
    void ApplyItunesGapless();
    int64_t CafEnd();
    bool ReadStreamPacket();
    bool NextFrame();
    bool FrameUsable() const;
    bool CountPackets(char* what, size_t whatSize, const char* container);
    bool SeekToStart();
    bool SeekTimestamped(int64_t target);
    bool SeekCounted(int64_t target);
    int64_t Read(float* out, int64_t frames);
    bool Seek(int64_t target);
};

// Reads the next packet of our stream into `packet`; false at the end or on a read
// error. Packets of other streams and oversized packets are dropped.
bool AeffDecoder::ReadStreamPacket() {
    for (;;) {
        av_packet_unref(packet);
        if (av_read_frame(fc, packet) < 0) return false;
        if (packet->stream_index == stream->index && packet->size <= kMaxPacketBytes) return true;
    }
}

bool AeffDecoder::FrameUsable() const {
    return frame->nb_samples > 0 && frame->nb_samples <= kMaxDecodedFrame &&
           frame->sample_rate == info.rate && frame->ch_layout.nb_channels == info.channels;
}

// Decodes the next frame into `frame` and sets framePosition; false at the end of the
// stream. A change of rate or channel count cannot go on in this stream and ends it.
bool AeffDecoder::NextFrame() {
    haveFrame = false;
    for (;;) {
        const int received = avcodec_receive_frame(cc, frame);
        if (received == 0) {
            if (!FrameUsable()) return false;
            errors = 0;
            if (counted) {
                if (!synced) continue;  // before the checkpoint a seek waits for
                framePosition = nextPosition;
            } else {
                const int64_t pts =
                    frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
                if (flacHeaders && packetStart >= 0) {
                    framePosition = SaturatingSub(packetStart, origin);
                    packetStart = -1;
                } else {
                    framePosition =
                        pts != AV_NOPTS_VALUE ? SaturatingSub(ToFrames(pts), origin) : nextPosition;
                }
            }
            nextPosition = SaturatingAdd(framePosition, frame->nb_samples);
            haveFrame = true;
            return true;
        }
        if (received == AVERROR_EOF) return false;
        if (received != AVERROR(EAGAIN)) {
            if (++errors > kMaxConsecutiveErrors) return false;
            continue;
        }
        if (draining) return false;
        if (!ReadStreamPacket()) {
            draining = true;
            avcodec_send_packet(cc, nullptr);
            continue;
        }
        if (counted && !synced && packet->pts != AV_NOPTS_VALUE) {
            if (packet->pts == syncAt.pts) {
                synced = true;
                nextPosition = syncAt.position;
            } else if (packet->pts > syncAt.pts) {
                return false;  // the demuxer went past it: the caller starts over
            }
        }
        if (flacHeaders) packetStart = FlacFrameStart(packet->data, packet->size, flacBlockSize);
        const int sent = avcodec_send_packet(cc, packet);
        av_packet_unref(packet);
        if (sent < 0 && sent != AVERROR(EAGAIN) && ++errors > kMaxConsecutiveErrors) return false;
    }
}

// iTunes states AAC's encoder delay and padding in an "iTunSMPB" tag (" 00000000 DELAY
// PADDING TOTAL ...", hexadecimal, in decoded frames) instead of an MP4 edit list.
// When the container's length still holds them, the delay is dropped from the start
// and the length is the stated total.
void AeffDecoder::ApplyItunesGapless() {
    const AVDictionaryEntry* tag = av_dict_get(fc->metadata, "iTunSMPB", nullptr, 0);
    if (!tag) tag = av_dict_get(stream->metadata, "iTunSMPB", nullptr, 0);
    unsigned zero = 0, delay = 0, padding = 0;
    unsigned long long total = 0;
    if (!tag || std::sscanf(tag->value, " %x %x %x %llx", &zero, &delay, &padding, &total) != 4)
        return;
    if (total == 0 || delay > (1u << 20) || total > static_cast<unsigned long long>(kMaxFrames))
        return;
    if (info.frames < static_cast<int64_t>(delay + total)) return;  // an edit list took it
    origin += delay;
    info.frames = static_cast<int64_t>(total);
}

// Where a CAF file's audio ends, in frames from the first packet's timestamp; -1 when
// it cannot be found. Its packets have timestamps but no durations: the last one is
// decoded on its own for its frames (ALAC codes each packet on its own; AAC and MP3
// packets hold a fixed count), or ends the audio where it begins when it does not
// decode (damaged). The priming the packet table states is dropped from the start,
// and its valid frames, when fewer, end the audio sooner (FFmpeg's own muxer counts
// the last packet whole).
int64_t AeffDecoder::CafEnd() {
    int64_t end = -1;
    if (!SeekToStart()) return end;
    AVPacket* last = av_packet_alloc();
    if (!last) return end;
    bool timed = true;
    while (timed && ReadStreamPacket()) {
        timed = packet->pts != AV_NOPTS_VALUE;
        av_packet_unref(last);
        av_packet_move_ref(last, packet);
    }
    int64_t samples = 0;
    if (timed && last->size > 0 && OpenCodec() && avcodec_send_packet(cc, last) >= 0 &&
        avcodec_send_packet(cc, nullptr) >= 0) {
        while (avcodec_receive_frame(cc, frame) == 0) samples += frame->nb_samples;
    }
    if (timed && last->size > 0) end = SaturatingAdd(ToFrames(last->pts), samples);
    av_packet_free(&last);
    int64_t valid = 0, priming = 0;
    if (end >= 0 && ReadCafPacketTable(reader, &valid, &priming)) {
        origin = SaturatingAdd(origin, priming);
        end = std::min(end, SaturatingAdd(origin, valid));
    }
    return end;
}

// A fresh decoder for the stream. A flushed one may keep state that changes its output
// (the pseudo-random generator of AAC's noise substitution, for one), so a decode from
// the start always gets a fresh one and gives the same samples every time.
bool AeffDecoder::OpenCodec() {
    avcodec_free_context(&cc);
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    cc = avcodec_alloc_context3(codec);
    if (!cc || avcodec_parameters_to_context(cc, stream->codecpar) < 0) return false;
    cc->thread_count = 1;
    cc->log_level_offset = kQuietLogOffset;
    cc->pkt_timebase = stream->time_base;
    return avcodec_open2(cc, codec, nullptr) >= 0;
}

bool AeffDecoder::SeekToStart() {
    if (av_seek_frame(fc, stream->index, startPts, AVSEEK_FLAG_BACKWARD) < 0 &&
        avformat_seek_file(fc, stream->index, INT64_MIN, startPts, startPts, 0) < 0)
        return false;
    if (!OpenCodec()) return false;
    haveFrame = false;
    draining = false;
    errors = 0;
    synced = true;
    nextPosition = 0;
    return true;
}

// Counts the frames every packet decodes to, keeping a checkpoint every
// kPacketsPerCheckpoint packets, and sets the length. Opus and Vorbis packets say
// their sample count (Opus in its first byte, Vorbis through its block sizes), and
// codecs with a fixed frame size keep it; other codecs are decoded. The first packets
// are decoded in any case: decoders drop the encoder delay there.
bool AeffDecoder::CountPackets(char* what, size_t whatSize, const char* container) {
    const AVCodecID id = stream->codecpar->codec_id;
    AVVorbisParseContext* vorbis = nullptr;
    if (id == AV_CODEC_ID_VORBIS) {
        vorbis =
            av_vorbis_parse_init(stream->codecpar->extradata, stream->codecpar->extradata_size);
        if (!vorbis) {
            SetText(what, whatSize, "%s with a damaged Vorbis header", container);
            return false;
        }
    }
    const bool fixedFrames = id == AV_CODEC_ID_AAC || id == AV_CODEC_ID_AC3 ||
                             id == AV_CODEC_ID_EAC3 || id == AV_CODEC_ID_DTS ||
                             id == AV_CODEC_ID_MP1 || id == AV_CODEC_ID_MP2 ||
                             id == AV_CODEC_ID_MP3;
    bool decoding = true;  // until a packet decodes to what its rule says
    int fixedSize = 0;
    int64_t position = 0, packets = 0, sinceCheckpoint = kPacketsPerCheckpoint;
    bool ok = true;
    while (ok && ReadStreamPacket()) {
        if (sinceCheckpoint >= kPacketsPerCheckpoint && packet->pts != AV_NOPTS_VALUE &&
            (checkpoints.empty() || packet->pts > checkpoints.back().pts)) {
            checkpoints.push_back({packet->pts, position});
            sinceCheckpoint = 0;
        } else if (packets == 0) {
            ok = false;  // the first packet has no timestamp to seek back to
            break;
        }
        ++packets;
        ++sinceCheckpoint;
        int rule = -1;
        if (id == AV_CODEC_ID_OPUS) {
            rule = OpusPacketSamples(packet->data, packet->size);
        } else if (vorbis) {
            rule = av_vorbis_parse_frame(vorbis, packet->data, packet->size);
        } else if (fixedFrames) {
            rule = fixedSize > 0 ? fixedSize : -1;
        }
        size_t skipBytes = 0;
        const uint8_t* skip = av_packet_get_side_data(packet, AV_PKT_DATA_SKIP_SAMPLES, &skipBytes);
        if (rule >= 0 && skip && skipBytes >= 10) {
            const int64_t dropped = int64_t{AV_RL32(skip)} + AV_RL32(skip + 4);
            rule = dropped >= rule ? 0 : rule - static_cast<int>(dropped);
        }
        if (!decoding && rule >= 0) {
            position += rule;
            continue;
        }
        int64_t got = 0;
        if (avcodec_send_packet(cc, packet) >= 0) {
            while (ok && avcodec_receive_frame(cc, frame) == 0) {
                ok = FrameUsable();
                got += frame->nb_samples;
                if (fixedFrames && fixedSize == 0) fixedSize = frame->nb_samples;
            }
        }
        position += got;
        // Past the decoder's delay a packet's rule holds; a stream whose packets never
        // decode to what the rule says is decoded through, slower but exact.
        if (rule >= 0 && got == rule) decoding = false;
    }
    av_packet_unref(packet);
    if (ok && decoding) {
        // Frames the decoder still holds at the end.
        avcodec_send_packet(cc, nullptr);
        while (avcodec_receive_frame(cc, frame) == 0) position += frame->nb_samples;
    }
    av_vorbis_parse_free(&vorbis);
    if (!ok || checkpoints.empty()) {
        SetText(what, whatSize, "%s whose audio packets cannot be read", container);
        return false;
    }
    info.frames = position;
    return true;
}

// Opens the container through our own I/O, with every safeguard that does not need
// its streams: BASS_OK, or the error code.
int AeffDecoder::OpenContainer(const char* formats) {
    packet = av_packet_alloc();
    frame = av_frame_alloc();
    auto* buffer = static_cast<unsigned char*>(av_malloc(kAvioBufferBytes));
    if (!packet || !frame || !buffer) {
        av_free(buffer);
        return BASS_ERROR_MEM;
    }
    avio = avio_alloc_context(buffer, kAvioBufferBytes, 0, this, ReadPacket, nullptr, SeekAvio);
    fc = avformat_alloc_context();
    if (!avio || !fc) {
        if (!avio) av_free(buffer);
        return BASS_ERROR_MEM;
    }
    avio->seekable = AVIO_SEEKABLE_NORMAL;
    avio->av_class = QuietIoClass();
    fc->av_class = QuietFormatClass();
    fc->max_streams = kMaxStreams;
    fc->pb = avio;
    fc->flags |= AVFMT_FLAG_CUSTOM_IO;
    fc->io_open = RefuseOpen;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", formats, 0);
    av_dict_set(&options, "codec_whitelist", DecoderWhitelist(), 0);
    av_dict_set(&options, "skip_estimate_duration_from_pts", "1", 0);
    const int opened = avformat_open_input(&fc, "", nullptr, &options);
    av_dict_free(&options);
    if (opened < 0) {
        // avformat_open_input frees the context on failure; ours was given to it.
        fc = nullptr;
        return opened == AVERROR(ENOMEM) ? BASS_ERROR_MEM : BASS_ERROR_FILEFORM;
    }
    // A demuxer that took the file on weak evidence (a raw stream's probe found a
    // frame or two in noise) is not trusted with it.
    if (fc->probe_score < AVPROBE_SCORE_RETRY) return BASS_ERROR_FILEFORM;
    return BASS_OK;
}

// The metadata the container's header holds, then that of its first audio stream.
int AeffDecoder::VisitMetadata(AeffVisitor visit, void* user) {
    const int opened = OpenContainer(kMetadataWhitelist);
    if (opened != BASS_OK) return opened;
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = av_dict_get(fc->metadata, "", entry, AV_DICT_IGNORE_SUFFIX)))
        visit(user, entry->key, entry->value);
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        if (fc->streams[i]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        entry = nullptr;
        while ((entry = av_dict_get(fc->streams[i]->metadata, "", entry, AV_DICT_IGNORE_SUFFIX)))
            visit(user, entry->key, entry->value);
        break;
    }
    return BASS_OK;
}

int AeffDecoder::Open(const AeffLimits& limits, char* what, size_t whatSize) {
    const int opened =
        OpenContainer(limits.codec_in_own_container != 0 ? kWithOwnContainers : kFormatWhitelist);
    if (opened != BASS_OK) return opened;
    const char* container = ContainerName(fc->iformat);
    if (fc->nb_streams > static_cast<unsigned>(kMaxStreams)) {
        SetText(what, whatSize, "%s with %u streams", container, fc->nb_streams);
        return BASS_ERROR_FILEFORM;
    }
    // Stream parameters come from the header; the decoders lavf opens to fill in the
    // rest run on one thread and are quiet too.
    std::vector<AVDictionary*> streamOptions(fc->nb_streams, nullptr);
    for (AVDictionary*& o : streamOptions) {
        av_dict_set(&o, "threads", "1", 0);
        av_dict_set_int(&o, "log_level_offset", kQuietLogOffset, 0);
    }
    // Headers claiming absurd sizes never reach a decoder, not even lavf's.
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        const AVCodecParameters* par = fc->streams[i]->codecpar;
        if (par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        if (par->frame_size < 0 || par->frame_size > kMaxFrameSize || par->block_align < 0 ||
            par->block_align > kMaxBlockAlign || par->extradata_size > kMaxExtradata ||
            par->sample_rate < 0 || par->sample_rate > limits.max_rate ||
            par->ch_layout.nb_channels < 0 || par->ch_layout.nb_channels > limits.max_channels ||
            !CodecAllowedIn(fc->iformat, par->codec_id))
            fc->streams[i]->discard = AVDISCARD_ALL;
    }
    const int found = avformat_find_stream_info(fc, streamOptions.data());
    for (AVDictionary*& o : streamOptions) av_dict_free(&o);
    if (found < 0) {
        SetText(what, whatSize, "%s that cannot be read", container);
        return BASS_ERROR_FILEFORM;
    }

    // The audio stream: the one FFmpeg would pick among those we allow.
    int index = -1;
    const AVStream* refused = nullptr;
    for (unsigned i = 0; i < fc->nb_streams; ++i) {
        AVStream* s = fc->streams[i];
        if (s->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        if (s->discard == AVDISCARD_ALL || !CodecAllowedIn(fc->iformat, s->codecpar->codec_id) ||
            !avcodec_find_decoder(s->codecpar->codec_id)) {
            if (!refused) refused = s;
            continue;
        }
        if (index < 0) index = static_cast<int>(i);
    }
    if (index >= 0) {
        const int best = av_find_best_stream(fc, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (best >= 0 && fc->streams[best]->discard != AVDISCARD_ALL &&
            CodecAllowedIn(fc->iformat, fc->streams[best]->codecpar->codec_id))
            index = best;
    }
    if (index < 0 && refused) {
        const AVCodecParameters* par = refused->codecpar;
        if (!CodecAllowedIn(fc->iformat, par->codec_id) || !avcodec_find_decoder(par->codec_id)) {
            SetText(what, whatSize, "%s with an unsupported codec: %s", container,
                    CodecName(par).c_str());
            return BASS_ERROR_CODEC;
        }
        if (par->ch_layout.nb_channels > limits.max_channels) {
            SetText(what, whatSize, "%s with %d channels (at most %d are played)", container,
                    par->ch_layout.nb_channels, limits.max_channels);
            return BASS_ERROR_FORMAT;
        }
        if (par->sample_rate > limits.max_rate) {
            SetText(what, whatSize, "%s at %d Hz (at most %d Hz is played)", container,
                    par->sample_rate, limits.max_rate);
            return BASS_ERROR_FORMAT;
        }
        SetText(what, whatSize, "%s with a damaged audio stream header", container);
        return BASS_ERROR_FILEFORM;
    }
    if (index < 0) {
        SetText(what, whatSize, "%s with no audio stream", container);
        return BASS_ERROR_CODEC;
    }
    stream = fc->streams[index];
    for (unsigned i = 0; i < fc->nb_streams; ++i)
        if (static_cast<int>(i) != index) fc->streams[i]->discard = AVDISCARD_ALL;
    const AVCodecParameters* par = stream->codecpar;
    const std::string codecName = CodecName(par);
    if (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0 || stream->time_base.num <= 0 ||
        stream->time_base.den <= 0) {
        SetText(what, whatSize, "%s (%s) with a damaged stream header", container,
                codecName.c_str());
        return BASS_ERROR_FILEFORM;
    }

    if (!OpenCodec()) {
        SetText(what, whatSize, "%s (%s) whose decoder refused the stream", container,
                codecName.c_str());
        return BASS_ERROR_FILEFORM;
    }

    // The first frame says what the decoder really gives (HE-AAC doubles the rate its
    // header states, for one).
    info.rate = par->sample_rate;
    info.channels = par->ch_layout.nb_channels;
    sampleBase = AVRational{1, info.rate};
    for (int tries = 0;; ++tries) {
        const int received = avcodec_receive_frame(cc, frame);
        if (received == 0) break;
        if ((received != AVERROR(EAGAIN) && received != AVERROR_INVALIDDATA) || tries > 256 ||
            !ReadStreamPacket()) {
            SetText(what, whatSize, "%s (%s) with no audio that can be decoded", container,
                    codecName.c_str());
            return BASS_ERROR_FILEFORM;
        }
        if (tries == 0) startPts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        avcodec_send_packet(cc, packet);
        av_packet_unref(packet);
    }
    if (frame->sample_rate <= 0 || frame->sample_rate > limits.max_rate ||
        frame->ch_layout.nb_channels <= 0 || frame->ch_layout.nb_channels > limits.max_channels ||
        frame->nb_samples <= 0 || frame->nb_samples > kMaxDecodedFrame) {
        SetText(what, whatSize, "%s (%s) decoded at %d Hz with %d channels", container,
                codecName.c_str(), frame->sample_rate, frame->ch_layout.nb_channels);
        return BASS_ERROR_FORMAT;
    }
    info.rate = frame->sample_rate;
    info.channels = frame->ch_layout.nb_channels;
    sampleBase = AVRational{1, info.rate};
    const int64_t firstPts =
        frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->best_effort_timestamp;
    if (startPts == AV_NOPTS_VALUE) startPts = stream->start_time;
    if (startPts == AV_NOPTS_VALUE) startPts = 0;

    info.ctype = CtypeOf(fc->iformat, par->codec_id);
    const AVCodecDescriptor* descriptor = avcodec_descriptor_get(par->codec_id);
    const bool lossless = descriptor && (descriptor->props & AV_CODEC_PROP_LOSSLESS) &&
                          !(descriptor->props & AV_CODEC_PROP_LOSSY);
    info.origres = 0;
    if (lossless) {
        const int bits = cc->bits_per_raw_sample > 0    ? cc->bits_per_raw_sample
                         : par->bits_per_raw_sample > 0 ? par->bits_per_raw_sample
                                                        : par->bits_per_coded_sample;
        info.origres = bits > 0 && bits <= 64 ? static_cast<uint32_t>(bits) : 0;
    }
    const AVChannelLayout& layout = frame->ch_layout;
    info.channel_mask = 0;
    if (layout.order == AV_CHANNEL_ORDER_NATIVE && (layout.u.mask & ~uint64_t{0x3FFFF}) == 0 &&
        av_popcount64(layout.u.mask) == info.channels)
        info.channel_mask = static_cast<uint32_t>(layout.u.mask);

    // Decoding from a seek target less this gives the decoder's state back: at least
    // two packets and the codec's own pre-roll (80 ms for Opus, more than one frame
    // for HE-AAC's spectral band replication). Lossless codecs code each frame on its
    // own, but for WMA Lossless, which predicts across frames. (FFmpeg calls lossy
    // codecs "intra only" too when every packet may start a decode: that says nothing
    // of the overlap their transforms need.)
    if (!lossless || par->codec_id == AV_CODEC_ID_WMALOSSLESS) {
        const int64_t packetFrames = std::max<int64_t>(frame->nb_samples, 1152);
        const int64_t codecPreroll =
            par->seek_preroll > 0 ? av_rescale(par->seek_preroll, info.rate, par->sample_rate) : 0;
        preroll = std::max<int64_t>({3 * packetFrames, codecPreroll, info.rate / 10});
    }

    // How positions are known: timestamps that are a whole number of ticks per sample,
    // else counting. (Raw AC-3 at 44.1 kHz has 90 kHz timestamps: 3134.69 ticks per
    // frame, which the demuxer rounds on every packet.)
    const bool fineTimestamps =
        stream->time_base.den % (int64_t{stream->time_base.num} * info.rate) == 0;
    const bool musepack =
        par->codec_id == AV_CODEC_ID_MUSEPACK7 || par->codec_id == AV_CODEC_ID_MUSEPACK8;
    counted = !fineTimestamps || musepack || firstPts == AV_NOPTS_VALUE;
    if (counted) {
        if (!SeekToStart()) return BASS_ERROR_FILEFORM;
        if (!CountPackets(what, whatSize, container)) return BASS_ERROR_FILEFORM;
        if (!SeekToStart()) return BASS_ERROR_FILEFORM;
    } else {
        origin = ToFrames(firstPts);
        if (par->codec_id == AV_CODEC_ID_FLAC) {
            flacBlockSize = FlacFixedBlockSize(par->extradata, par->extradata_size);
            flacHeaders = true;
        }
        if (ContainerLengthExact(fc->iformat) && stream->duration > 0 &&
            stream->duration != AV_NOPTS_VALUE) {
            const int64_t start = stream->start_time != AV_NOPTS_VALUE ? stream->start_time : 0;
            info.frames = SaturatingSub(ToFrames(SaturatingAdd(start, stream->duration)), origin);
            // A file cut short holds less than its index promises.
            const int entries = avformat_index_get_entries_count(stream);
            const int64_t size = reader.size(reader.opaque);
            if (entries > 0) {
                const AVIndexEntry* last = avformat_index_get_entry(stream, entries - 1);
                if (last && last->pos + last->size > size) {
                    SetText(what, whatSize, "%s (%s) that is cut short", container,
                            codecName.c_str());
                    return BASS_ERROR_FILEFORM;
                }
            }
            if (par->codec_id == AV_CODEC_ID_AAC) ApplyItunesGapless();
        } else if (std::strcmp(fc->iformat->name, "caf") == 0) {
            const int64_t end = CafEnd();
            if (end < 0) {
                SetText(what, whatSize, "%s (%s) whose end cannot be found", container,
                        codecName.c_str());
                return BASS_ERROR_FILEFORM;
            }
            info.frames = SaturatingSub(end, origin);
        } else {
            // Raw streams: the packets' durations (each one codec frame) add up to the
            // length; reading them is quick beside decoding them.
            int64_t end = INT64_MIN;
            while (ReadStreamPacket()) {
                const int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
                if (pts == AV_NOPTS_VALUE || packet->duration <= 0) {
                    end = INT64_MIN;
                    break;
                }
                end = std::max(end, SaturatingAdd(pts, packet->duration));
            }
            av_packet_unref(packet);
            if (end == INT64_MIN) {
                SetText(what, whatSize, "%s (%s) whose packets have no timing", container,
                        codecName.c_str());
                return BASS_ERROR_FILEFORM;
            }
            info.frames = SaturatingSub(ToFrames(end), origin);
        }
        if (!SeekToStart()) return BASS_ERROR_FILEFORM;
    }
    if (info.frames <= 0) {
        SetText(what, whatSize, "%s (%s) with no audio", container, codecName.c_str());
        return BASS_ERROR_FILEFORM;
    }
    // A header may claim any duration; a length the engine's 64-bit byte positions
    // could not carry (about 40 days at 768 kHz) is a damaged one.
    if (info.frames > kMaxFrames) {
        SetText(what, whatSize, "%s (%s) claiming a length of %lld frames", container,
                codecName.c_str(), static_cast<long long>(info.frames));
        return BASS_ERROR_FILEFORM;
    }
    cursor = 0;
    nextPosition = 0;
    SetText(what, whatSize, "%s (%s)", container, codecName.c_str());
    return BASS_OK;
}

int64_t AeffDecoder::Read(float* out, int64_t frames) {
    int64_t done = 0;
    while (done < frames && cursor < info.frames) {
        if (!haveFrame && !NextFrame()) break;
        const int64_t end = std::min(SaturatingAdd(framePosition, frame->nb_samples), info.frames);
        if (framePosition > cursor) cursor = framePosition;  // a hole in the timestamps
        if (cursor >= end) {
            haveFrame = false;
            continue;
        }
        const int64_t count = std::min(end - cursor, frames - done);
        ToFloat(frame, info.channels, static_cast<int>(cursor - framePosition),
                static_cast<int>(count), out + done * info.channels);
        done += count;
        cursor += count;
        if (cursor >= end) haveFrame = false;
    }
    return done;
}

// Seeks by timestamp to `target` less the pre-roll; the first frame decoded must
// start there or before it, or the demuxer is asked again from further back, and at
// last from the start.
bool AeffDecoder::SeekTimestamped(int64_t target) {
    const int64_t backs[] = {preroll, preroll * 4 + 8192, -1};
    for (const int64_t back : backs) {
        const int64_t from = back < 0 ? 0 : target - back;
        if (from <= 0) {
            if (!SeekToStart()) return false;
        } else {
            if (av_seek_frame(fc, stream->index, ToTimestamp(SaturatingAdd(from, origin)),
                              AVSEEK_FLAG_BACKWARD) < 0)
                continue;
            avcodec_flush_buffers(cc);
            haveFrame = false;
            draining = false;
            errors = 0;
        }
        cursor = target;
        const bool decoded = NextFrame();
        const bool timed = decoded && (frame->pts != AV_NOPTS_VALUE ||
                                       frame->best_effort_timestamp != AV_NOPTS_VALUE);
        if (from <= 0) return decoded && framePosition <= 0;
        if (timed && framePosition <= from) return true;
    }
    return false;
}

// Seeks by count: decoding starts at a checkpoint at least the pre-roll before the
// checkpoint at or before `target`, and positions come back at that second one.
bool AeffDecoder::SeekCounted(int64_t target) {
    size_t sync = 0;
    while (sync + 1 < checkpoints.size() && checkpoints[sync + 1].position <= target) ++sync;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (sync == 0 || attempt == 1) {
            if (!SeekToStart()) return false;
        } else {
            size_t warm = sync - 1;
            while (warm > 0 && checkpoints[sync].position - checkpoints[warm].position < preroll)
                --warm;
            if (av_seek_frame(fc, stream->index, checkpoints[warm].pts, AVSEEK_FLAG_BACKWARD) < 0)
                continue;
            avcodec_flush_buffers(cc);
            haveFrame = false;
            draining = false;
            errors = 0;
            synced = false;
            syncAt = checkpoints[sync];
        }
        cursor = target;
        if (NextFrame()) return true;
    }
    return false;
}

bool AeffDecoder::Seek(int64_t target) {
    if (target < 0 || target >= info.frames) return false;
    if (target == cursor && (haveFrame || cursor == 0)) return true;
    return counted ? SeekCounted(target) : SeekTimestamped(target);
}

namespace {

AeffDecoder* OpenDecoder(const AeffReader* reader, const AeffLimits* limits, AeffInfo* info,
                         int* error, char* what, size_t whatSize) {
    SetText(what, whatSize, "%s", "");
    if (!reader || !reader->read_at || !reader->size || !limits || !info || !error) {
        if (error) *error = BASS_ERROR_ILLPARAM;
        return nullptr;
    }
    try {
        auto* decoder = new AeffDecoder;
        decoder->reader = *reader;
        const int code = decoder->Open(*limits, what, whatSize);
        if (code != BASS_OK) {
            delete decoder;
            *error = code;
            return nullptr;
        }
        *info = decoder->info;
        *error = BASS_OK;
        return decoder;
    } catch (const std::bad_alloc&) {
        *error = BASS_ERROR_MEM;
    } catch (...) {
        *error = BASS_ERROR_UNKNOWN;
    }
    return nullptr;
}

int ReadMetadata(const AeffReader* reader, AeffVisitor visit, void* user) {
    if (!reader || !reader->read_at || !reader->size || !visit) return BASS_ERROR_ILLPARAM;
    try {
        AeffDecoder decoder;
        decoder.reader = *reader;
        return decoder.VisitMetadata(visit, user);
    } catch (const std::bad_alloc&) {
        return BASS_ERROR_MEM;
    } catch (...) {
        return BASS_ERROR_UNKNOWN;
    }
}

int64_t ReadDecoder(AeffDecoder* decoder, float* out, int64_t frames) {
    if (!decoder || !out || frames <= 0) return 0;
    try {
        return decoder->Read(out, frames);
    } catch (...) {
        return 0;
    }
}

int SeekDecoder(AeffDecoder* decoder, int64_t frame) {
    if (!decoder) return 0;
    try {
        return decoder->Seek(frame) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void CloseDecoder(AeffDecoder* decoder) { delete decoder; }

void QuietProcessLog() { av_log_set_level(AV_LOG_QUIET); }

const AeffApi kApi = {AEFF_API_VERSION, OpenDecoder,  ReadDecoder,    SeekDecoder,
                      CloseDecoder,     ReadMetadata, QuietProcessLog};

}  // namespace

AEFF_EXPORT const AeffApi* audioengine_ffmpeg_api(uint32_t version) {
    return version == AEFF_API_VERSION ? &kApi : nullptr;
}
