// Opening a file, telling its format from its content, and the checks every
// container gets before a decoder is handed out.
#include "audioengine/decode/Decoder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "audioengine/decode/Formats.h"
#include "audioengine/decode/Mpeg.h"
#include "plugin/engine/Bass.h"

namespace ae {

// ---- FileSource ----------------------------------------------------------------

std::unique_ptr<FileSource> FileSource::Open(const std::string& path, int* error) {
    *error = BASS_ERROR_FILEOPEN;
    if (path.empty()) return nullptr;
    // O_NONBLOCK so that opening a FIFO with no writer returns at once; it is
    // rejected right after by the regular-file check.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        ::close(fd);
        return nullptr;
    }
    std::unique_ptr<FileSource> file(new (std::nothrow) FileSource(fd));
    if (!file) {
        ::close(fd);
        *error = BASS_ERROR_MEM;
        return nullptr;
    }
    *error = 0;
    return file;
}

FileSource::~FileSource() { ::close(fd_); }

int64_t FileSource::ReadAt(int64_t offset, void* buffer, int64_t bytes) const {
    if (offset < 0 || bytes < 0) return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        const ssize_t n = ::pread(fd_, out + done, static_cast<size_t>(bytes - done),
                                  static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR) continue;
            return done > 0 ? done : -1;
        }
        if (n == 0) break;
        done += n;
    }
    return done;
}

int64_t FileSource::Read(void* buffer, int64_t bytes) {
    auto* out = static_cast<unsigned char*>(buffer);
    int64_t done = 0;
    while (done < bytes) {
        const int64_t left = bytes - done;
        if (offset_ >= buffer_start_ && offset_ < buffer_start_ + buffer_length_) {
            const int64_t n = std::min(left, buffer_start_ + buffer_length_ - offset_);
            std::memcpy(out + done, buffer_.get() + (offset_ - buffer_start_),
                        static_cast<size_t>(n));
            done += n;
            offset_ += n;
            continue;
        }
        // Called from inside C codec libraries: nothing here may throw.
        if (!buffer_) buffer_.reset(new (std::nothrow) unsigned char[kBufferBytes]);
        if (left >= kBufferBytes || !buffer_) {  // large reads go straight to the caller
            const int64_t n = ReadAt(offset_, out + done, left);
            if (n <= 0) return done > 0 ? done : n;
            done += n;
            offset_ += n;
            break;
        }
        buffer_start_ = offset_;
        buffer_length_ = ReadAt(offset_, buffer_.get(), kBufferBytes);
        if (buffer_length_ <= 0) {
            const int64_t result = done > 0 || buffer_length_ == 0 ? done : -1;
            buffer_length_ = 0;
            return result;
        }
    }
    return done;
}

int64_t FileSource::Seek(int64_t offset, int whence) {
    int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = offset_;
    } else if (whence == SEEK_END) {
        base = Size();
        if (base < 0) return -1;
    } else if (whence != SEEK_SET) {
        return -1;
    }
    if ((offset < 0 && base + offset < 0) || (offset > 0 && base > INT64_MAX - offset)) return -1;
    offset_ = base + offset;
    return offset_;
}

int64_t FileSource::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

// ---- Tag blocks around the audio -----------------------------------------------

static uint32_t BigEndian32(const unsigned char* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}
static uint32_t LittleEndian32(const unsigned char* p) {
    return (uint32_t{p[3]} << 24) | (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

// The size of an ID3v2 header or footer's block ("ID3" at the start, "3DI" at the
// end): 10 header bytes, the synchsafe body size, 10 more with a footer. 0 when the
// 10 bytes are not such a header.
static int64_t Id3v2BlockSize(const unsigned char* h, const char* magic) {
    if (std::memcmp(h, magic, 3) != 0 || h[3] == 0xFF || h[4] == 0xFF) return 0;
    for (int i = 6; i < 10; ++i)
        if (h[i] & 0x80) return 0;
    const int64_t body =
        (int64_t{h[6]} << 21) | (int64_t{h[7]} << 14) | (int64_t{h[8]} << 7) | h[9];
    return 10 + body + ((h[5] & 0x10) ? 10 : 0);
}

PayloadRange FindPayload(const FileSource& file) {
    PayloadRange range;
    const int64_t size = file.Size();
    if (size <= 0) return range;
    range.end = size;

    // ID3v2 at the start; some taggers stack more than one.
    for (int tags = 0; tags < 4; ++tags) {
        unsigned char h[10];
        if (range.begin + 10 > size || file.ReadAt(range.begin, h, 10) != 10) break;
        const int64_t block = Id3v2BlockSize(h, "ID3");
        if (block == 0) break;
        range.begin = std::min(size, range.begin + block);
    }

    // At the end, in any order: ID3v1 ("TAG", 128 bytes), APE (32-byte "APETAGEX"
    // footer, optional header) and an appended ID3v2 ending in a "3DI" footer.
    bool id3v1_seen = false;
    for (int tags = 0; tags < 8; ++tags) {
        const int64_t room = range.end - range.begin;
        unsigned char t[32];
        if (!id3v1_seen && room >= 128 && file.ReadAt(range.end - 128, t, 3) == 3 &&
            std::memcmp(t, "TAG", 3) == 0) {
            range.end -= 128;
            id3v1_seen = true;
            continue;
        }
        if (room >= 32 && file.ReadAt(range.end - 32, t, 32) == 32 &&
            std::memcmp(t, "APETAGEX", 8) == 0) {
            const int64_t body = LittleEndian32(t + 12);  // items + footer
            const bool has_header = (LittleEndian32(t + 20) & 0x80000000u) != 0;
            const int64_t block = body + (has_header ? 32 : 0);
            if (body < 32 || block > room) break;
            range.end -= block;
            continue;
        }
        if (room >= 10 && file.ReadAt(range.end - 10, t, 10) == 10) {
            const int64_t block = Id3v2BlockSize(t, "3DI");
            if (block > 0 && block <= room) {
                range.end -= block;
                continue;
            }
        }
        break;
    }
    return range;
}

int64_t AudioPayloadBytes(const std::string& path) {
    int error = 0;
    const std::unique_ptr<FileSource> file = FileSource::Open(path, &error);
    if (!file || file->Size() < 0) return -1;
    const PayloadRange range = FindPayload(*file);
    return range.end - range.begin;
}

// ---- Container checks ------------------------------------------------------------

// A RIFF/WAVE or FORM/AIFF file whose audio chunk claims more bytes than the file
// holds was cut short. Chunks after the audio do not matter. A size of 0 or
// 0xFFFFFFFF is how streaming writers say "unknown", so it is left to the decoder.
static bool ChunkedAudioComplete(const FileSource& file, bool big_endian, const char* audio_id) {
    const int64_t size = file.Size();
    int64_t offset = 12;
    while (offset + 8 <= size) {
        unsigned char h[8];
        if (file.ReadAt(offset, h, 8) != 8) return false;
        const uint32_t length = big_endian ? BigEndian32(h + 4) : LittleEndian32(h + 4);
        if (std::memcmp(h, audio_id, 4) == 0) {
            if (length == 0 || length == 0xFFFFFFFFu) return true;
            return offset + 8 + int64_t{length} <= size;
        }
        offset += 8 + int64_t{length} + (length & 1);
    }
    return false;  // no audio chunk within the file
}

// The format tag of a RIFF/WAVE file's "fmt " chunk; -1 when there is none.
static int WaveFormatTag(const FileSource& file) {
    const int64_t size = file.Size();
    int64_t offset = 12;
    while (offset + 10 <= size) {
        unsigned char h[10];
        if (file.ReadAt(offset, h, 10) != 10) return -1;
        const uint32_t length = LittleEndian32(h + 4);
        if (std::memcmp(h, "fmt ", 4) == 0) return length >= 2 ? (h[8] | (h[9] << 8)) : -1;
        offset += 8 + int64_t{length} + (length & 1);
    }
    return -1;
}

static uint32_t OggCrc(const unsigned char* data, size_t length) {
    static const struct Table {
        uint32_t v[256];
        Table() {
            for (uint32_t i = 0; i < 256; ++i) {
                uint32_t r = i << 24;
                for (int b = 0; b < 8; ++b) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
                v[i] = r;
            }
        }
    } table;
    uint32_t crc = 0;
    for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ table.v[((crc >> 24) ^ data[i]) & 0xFF];
    return crc;
}

// An Ogg file is complete when its audio ends exactly where a page ends. A file cut
// at an arbitrary byte ends inside a page: the last page header found promises more
// bytes than are left. (A damaged checksum alone is not a cut and is left to the
// decoder.)
static bool OggEndsOnPage(const FileSource& file, PayloadRange range) {
    constexpr int64_t kMaxPage = 27 + 255 + 255 * 255;
    const int64_t length = std::min(range.end - range.begin, kMaxPage);
    if (length < 27) return false;
    std::unique_ptr<unsigned char[]> tail(new unsigned char[length]);
    if (file.ReadAt(range.end - length, tail.get(), length) != length) return false;
    const unsigned char* buf = tail.get();
    for (int64_t p = length - 27; p >= 0; --p) {
        if (std::memcmp(buf + p, "OggS", 4) != 0 || buf[p + 4] != 0) continue;
        const int segments = buf[p + 26];
        if (p + 27 + segments > length) continue;
        int64_t page = 27 + segments;
        for (int s = 0; s < segments; ++s) page += buf[p + 27 + s];
        if (p + page == length) return true;
    }
    return false;
}

// ---- Detection -------------------------------------------------------------------

enum class Kind {
    Unknown,
    Wav,
    Aiff,
    Flac,
    OggVorbis,
    OggOpus,
    OggOpusVorbisOrder,
    OggFlac,
    OggOther,
    Mpeg
};

// The codec of an Ogg file, from the first packet of its first page. The page must
// be whole and pass its checksum: "OggS" followed by anything else is not Ogg.
static Kind OggStreamKind(const FileSource& file) {
    unsigned char header[27 + 255];
    const int64_t got = file.ReadAt(0, header, sizeof header);
    if (got < 27 || header[4] != 0) return Kind::Unknown;  // stream structure version 0
    const int segments = header[26];
    if (got < 27 + segments) return Kind::Unknown;
    int64_t page_bytes = 27 + segments;
    for (int s = 0; s < segments; ++s) page_bytes += header[27 + s];
    std::unique_ptr<unsigned char[]> page(new unsigned char[page_bytes]);
    if (file.ReadAt(0, page.get(), page_bytes) != page_bytes) return Kind::Unknown;
    const uint32_t stored = LittleEndian32(page.get() + 22);
    std::memset(page.get() + 22, 0, 4);
    if (OggCrc(page.get(), static_cast<size_t>(page_bytes)) != stored) return Kind::Unknown;

    const unsigned char* packet = page.get() + 27 + segments;
    const int64_t packet_bytes = page_bytes - 27 - segments;
    auto starts_with = [&](const char* magic, size_t length) {
        return packet_bytes >= static_cast<int64_t>(length) &&
               std::memcmp(packet, magic, length) == 0;
    };
    if (starts_with("\x01vorbis", 7)) return Kind::OggVorbis;
    if (starts_with("OpusHead", 8)) {
        // Mapping family 1 (byte 18) orders more than two channels as Vorbis does.
        const bool vorbis_order = packet_bytes >= 19 && packet[9] > 2 && packet[18] == 1;
        return vorbis_order ? Kind::OggOpusVorbisOrder : Kind::OggOpus;
    }
    if (starts_with("\177FLAC", 5)) return Kind::OggFlac;
    // Audio codecs that Ogg carries and we have no decoder for.
    if (starts_with("Speex   ", 8) || starts_with("CELT    ", 8) || starts_with("PCM     ", 8))
        return Kind::OggOther;
    return Kind::Unknown;
}

// Untagged MPEG audio: a run of frame headers of one stream, each where the one
// before ends, from the start or after a little junk (left in front by some rippers
// and broken downloads). Three in a row, or a run reaching the end of the audio,
// tells a stream from chance bytes; libmpg123 has the last word.
static bool FindsMpegFrames(const FileSource& file, PayloadRange range) {
    constexpr int64_t kSearchBytes = 4096;
    unsigned char window[kSearchBytes + 3];
    const int64_t got = file.ReadAt(range.begin, window, sizeof window);
    for (int64_t start = 0; start + 4 <= got && start < kSearchBytes; ++start) {
        MpegHeader first;
        if (!ParseMpegHeader(window + start, &first)) continue;
        if (first.frame_bytes == 0) {
            if (start == 0) return true;  // free format: only libmpg123 can tell
            continue;
        }
        int64_t offset = range.begin + start + first.frame_bytes;
        int run = 1;
        for (; run < 3 && offset + 4 <= range.end; ++run) {
            unsigned char h[4];
            MpegHeader next;
            if (file.ReadAt(offset, h, 4) != 4 || !ParseMpegHeader(h, &next) ||
                !SameStream(first, next) || next.frame_bytes == 0)
                break;
            offset += next.frame_bytes;
        }
        if (run == 3 || offset + 4 > range.end) return true;
    }
    return false;
}

static Kind DetectKind(const FileSource& file, PayloadRange range) {
    unsigned char h[12] = {};
    const int64_t got = file.ReadAt(0, h, sizeof h);
    if (got >= 12 && std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "WAVE", 4) == 0)
        return Kind::Wav;
    if (got >= 12 && std::memcmp(h, "FORM", 4) == 0 &&
        (std::memcmp(h + 8, "AIFF", 4) == 0 || std::memcmp(h + 8, "AIFC", 4) == 0))
        return Kind::Aiff;
    if (got >= 4 && std::memcmp(h, "OggS", 4) == 0) return OggStreamKind(file);

    // What follows an ID3v2 block: FLAC files are tagged that way too.
    unsigned char a[4] = {};
    if (range.begin + 4 > range.end || file.ReadAt(range.begin, a, 4) != 4) return Kind::Unknown;
    if (std::memcmp(a, "fLaC", 4) == 0) return Kind::Flac;
    if (range.begin > 0) return Kind::Mpeg;  // ID3v2-tagged: libmpg123 finds the frames

    return FindsMpegFrames(file, range) ? Kind::Mpeg : Kind::Unknown;
}

namespace {

// The decoder for a file of `kind`, or null with *error set.
std::unique_ptr<Decoder> OpenKind(std::unique_ptr<FileSource> file, Kind kind,
                                  const PayloadRange& range, int* error) {
    switch (kind) {
        case Kind::Wav: {
            if (!ChunkedAudioComplete(*file, false, "data")) return nullptr;
            // A WAV file that libsndfile refuses but whose format tag is neither
            // PCM, float nor extensible holds a codec we have no decoder for
            // (AC-3, DTS, WMA...).
            const int tag = WaveFormatTag(*file);
            auto decoder = OpenSndfile(std::move(file), SndfileKind::Wav, error);
            if (!decoder && *error == BASS_ERROR_FILEFORM && tag > 0 && tag != 0x0001 &&
                tag != 0x0003 && tag != 0xFFFE)
                *error = BASS_ERROR_CODEC;
            return decoder;
        }
        case Kind::Aiff:
            if (!ChunkedAudioComplete(*file, true, "SSND")) return nullptr;
            return OpenSndfile(std::move(file), SndfileKind::Aiff, error);
        case Kind::Flac:
            return OpenFlac(std::move(file), false, error);
        case Kind::OggOpus:
        case Kind::OggOpusVorbisOrder:
            if (!OggEndsOnPage(*file, range)) return nullptr;
            return OpenSndfile(std::move(file), SndfileKind::OggOpus, error,
                               kind == Kind::OggOpusVorbisOrder);
        case Kind::OggFlac:
            if (!OggEndsOnPage(*file, range)) return nullptr;
            return OpenFlac(std::move(file), true, error);
        case Kind::OggVorbis:
            if (!OggEndsOnPage(*file, range)) return nullptr;
            return OpenVorbis(std::move(file), error);
        case Kind::Mpeg:
            return OpenMpg123(std::move(file), error);
        case Kind::OggOther:
            // An Ogg stream in a codec we have no decoder for (Speex, ...).
            *error = BASS_ERROR_CODEC;
            return nullptr;
        case Kind::Unknown:
            return nullptr;
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<Decoder> OpenDecoder(const std::string& path, int* error) {
    int ignored = 0;
    if (!error) error = &ignored;
    try {
        std::unique_ptr<FileSource> file = FileSource::Open(path, error);
        if (!file) return nullptr;
        *error = BASS_ERROR_FILEFORM;
        const PayloadRange range = FindPayload(*file);
        const Kind kind = DetectKind(*file, range);
        std::unique_ptr<Decoder> decoder = OpenKind(std::move(file), kind, range, error);
        if (!decoder) return nullptr;
        const DecoderInfo& info = decoder->info();
        if (info.rate <= 0 || info.rate > kMaxDecodedRate || info.channels < 1 ||
            info.channels > kMaxDecodedChannels || info.frames < 0) {
            *error = BASS_ERROR_FORMAT;
            return nullptr;
        }
        return decoder;
    } catch (const std::bad_alloc&) {
        *error = BASS_ERROR_MEM;
    } catch (...) {
        *error = BASS_ERROR_UNKNOWN;
    }
    return nullptr;
}

// ---- Shared frame bookkeeping ----------------------------------------------------

namespace {

// Float files (and a damaged lossy stream) can carry any 32-bit pattern: NaN,
// infinities, or values near 3.4e38 that overflow the equaliser, the meter and the
// spectrum further down. A decoded sample is finite and within +-kSampleLimit
// (+24 dBFS, far above any real recording's overs); NaN becomes silence.
constexpr float kSampleLimit = 16.0f;

void LimitSamples(float* samples, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
        const float v = samples[i];
        if (!(v >= -kSampleLimit && v <= kSampleLimit))
            samples[i] = v > 0.0f ? kSampleLimit : v < 0.0f ? -kSampleLimit : 0.0f;
    }
}

}  // namespace

int64_t FrameDecoder::Read(float* out, int64_t frames) {
    if (!out || frames <= 0 || ended_) return 0;
    const int64_t want = std::min(frames, info_.frames - position_);
    int64_t done = 0;
    while (done < want) {
        const int64_t n = DecodeFrames(out + done * info_.channels, want - done);
        if (n <= 0) break;
        done += n;
    }
    position_ += done;
    if (done < frames) ended_ = true;
    LimitSamples(out, done * info_.channels);
    return done;
}

bool FrameDecoder::Seek(int64_t frame) {
    if (frame < 0 || frame > info_.frames) return false;
    position_ = frame;
    if (frame == info_.frames) {
        ended_ = true;  // nothing left to read; the codec is repositioned on the next seek
        return true;
    }
    ended_ = !SeekCodec(frame);
    return !ended_;
}

const int* VorbisToWavOrder(int channels) {
    // Vorbis (and Opus family 1) order: 3: L C R; 5: FL C FR RL RR; 6: + LFE;
    // 7: FL C FR SL SR RC LFE; 8: FL C FR SL SR RL RR LFE.
    static const int k1[] = {0};
    static const int k2[] = {0, 1};
    static const int k3[] = {0, 2, 1};
    static const int k4[] = {0, 1, 2, 3};
    static const int k5[] = {0, 2, 1, 3, 4};
    static const int k6[] = {0, 2, 1, 5, 3, 4};
    static const int k7[] = {0, 2, 1, 6, 5, 3, 4};
    static const int k8[] = {0, 2, 1, 7, 5, 6, 3, 4};
    static const int* const maps[] = {nullptr, k1, k2, k3, k4, k5, k6, k7, k8};
    return channels >= 1 && channels <= 8 ? maps[channels] : nullptr;
}

}  // namespace ae
