// SPDX-License-Identifier: MIT
// Opening a file as a decoder: the kind found from its content, the checks every
// container gets before a decoder is handed out, and the limits every opened
// stream's format keeps.
#include "audioengine/decode/Decoder.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/FileKind.h"
#include "audioengine/decode/FileSource.h"
#include "audioengine/decode/SndfileContainers.h"
#include "audioengine/decode/TagBlocks.h"
#include "plugin/engine/Bass.h"

namespace ae {

namespace {

// A RIFF/WAVE or FORM/AIFF file whose audio chunk claims more bytes than the file
// holds was cut short. Chunks after the audio do not matter. A size of 0 or
// 0xFFFFFFFF is how streaming writers say "unknown", so it is left to the decoder.
bool ChunkedAudioComplete(const FileSource& file, bool bigEndian, const char* audioId) {
    const int64_t size = file.Size();
    int64_t offset = 12;
    while (offset + 8 <= size) {
        unsigned char h[8];
        if (file.ReadAt(offset, h, 8) != 8) return false;
        const uint32_t length = bigEndian ? BigEndian32(h + 4) : LittleEndian32(h + 4);
        if (std::memcmp(h, audioId, 4) == 0) {
            if (length == 0 || length == 0xFFFFFFFFu) return true;
            return offset + 8 + int64_t{length} <= size;
        }
        offset += 8 + int64_t{length} + (length & 1);
    }
    return false;  // no audio chunk within the file
}

// The format tag stored in a RIFF/WAVE file's "fmt " chunk; -1 when there is none.
int WavFormatTagInFile(const FileSource& file) {
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

// An Ogg file is complete when its audio ends exactly where a page ends. A file cut
// at an arbitrary byte ends inside a page: the last page header found promises more
// bytes than are left. (A damaged checksum alone is not a cut and is left to the
// decoder.)
bool OggEndsOnPage(const FileSource& file, PayloadRange range) {
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

// The decoder for a file of `kind`. `conclusive` is cleared when the file was refused
// for its content being cut short, which no other decoder should be asked to overlook.
Result<std::unique_ptr<Decoder>> OpenFileKind(std::unique_ptr<FileSource> file, FileKind kind,
                                              const PayloadRange& range, bool* conclusive) {
    *conclusive = false;
    switch (kind) {
        case FileKind::Wav: {
            if (!ChunkedAudioComplete(*file, false, "data")) return Error{BASS_ERROR_FILEFORM};
            // A WAV file that libsndfile refuses but whose format tag is neither
            // PCM, float nor extensible holds a codec we have no decoder for
            // (AC-3, DTS, WMA...).
            const int tag = WavFormatTagInFile(*file);
            Result<std::unique_ptr<Decoder>> decoder =
                OpenSndfileDecoder(std::move(file), SndfileKind::Wav);
            if (decoder.code() == BASS_ERROR_FILEFORM && tag > 0 && tag != 0x0001 &&
                tag != 0x0003 && tag != 0xFFFE)
                return Error{BASS_ERROR_CODEC};
            return decoder;
        }
        case FileKind::Aiff:
            if (!ChunkedAudioComplete(*file, true, "SSND")) return Error{BASS_ERROR_FILEFORM};
            return OpenSndfileDecoder(std::move(file), SndfileKind::Aiff);
        case FileKind::Flac:
            return OpenFlacDecoder(std::move(file), false);
        case FileKind::OggOpus:
        case FileKind::OggOpusVorbisOrder:
            if (!OggEndsOnPage(*file, range)) return Error{BASS_ERROR_FILEFORM};
            return OpenSndfileDecoder(std::move(file), SndfileKind::OggOpus,
                                      kind == FileKind::OggOpusVorbisOrder);
        case FileKind::OggFlac:
            if (!OggEndsOnPage(*file, range)) {
                *conclusive = true;
                return Error{BASS_ERROR_FILEFORM};
            }
            return OpenFlacDecoder(std::move(file), true);
        case FileKind::OggVorbis:
            if (!OggEndsOnPage(*file, range)) return Error{BASS_ERROR_FILEFORM};
            return OpenVorbisDecoder(std::move(file));
        case FileKind::Mpeg:
            return OpenMpg123Decoder(std::move(file));
        case FileKind::OggOther:
            return Error{BASS_ERROR_CODEC};
        case FileKind::SndfileContainer:
            if (!SndfileContainerComplete(*file, SndfileContainerOf(*file)))
                return Error{BASS_ERROR_FILEFORM};
            return OpenSndfileDecoder(std::move(file), SndfileKind::Container);
        case FileKind::Unknown:
            break;
    }
    return Error{BASS_ERROR_FILEFORM};
}

// Kinds whose refusal may still leave a file FFmpeg reads: content none of our
// decoders recognised, an Ogg codec we have no decoder for, FLAC in Ogg as FFmpeg
// writes it (libFLAC refuses it), and what libmpg123 refused (an ID3v2 tag in front
// of raw AAC or AC-3 sends it there). An Ogg file our checks could not place (a
// damaged first page) is not: FFmpeg would read Vorbis and Opus ones our own
// decoders refused.
bool FfmpegMayRead(const FileSource& file, FileKind kind) {
    if (kind == FileKind::OggOther || kind == FileKind::OggFlac || kind == FileKind::Mpeg)
        return true;
    unsigned char magic[4] = {};
    return kind == FileKind::Unknown &&
           !(file.ReadAt(0, magic, 4) == 4 && std::memcmp(magic, "OggS", 4) == 0);
}

}  // namespace

std::string& LastRefusal() {
    thread_local std::string text;
    return text;
}

Result<std::unique_ptr<Decoder>> OpenDecoder(const std::string& path) {
    try {
        LastRefusal().clear();
        Result<std::unique_ptr<FileSource>> file = FileSource::Open(path);
        if (!file.ok()) return Error{file.code()};
        const PayloadRange range = FindPayload(*file.value());
        const FileKind kind = DetectFileKind(*file.value(), range);
        bool conclusive = false;
        const bool ffmpegMayRead = FfmpegMayRead(*file.value(), kind);
        Result<std::unique_ptr<Decoder>> decoder =
            OpenFileKind(std::move(file).value(), kind, range, &conclusive);
        // A WAV or CAF (libsndfile's containers FFmpeg reads too), holding a codec
        // libsndfile has none for (AC-3 or DTS in WAV, ALAC or AAC in CAF), may hold
        // one FFmpeg has.
        const bool otherCodec = decoder.code() == BASS_ERROR_CODEC &&
                                (kind == FileKind::Wav || kind == FileKind::SndfileContainer);
        if (!decoder.ok() && !conclusive && (ffmpegMayRead || otherCodec)) {
            // The dedicated decoder had the file; it is opened afresh for FFmpeg. Its
            // error stands unless FFmpeg recognised the content (for a codec in a
            // container we read, unless FFmpeg decodes it).
            Result<std::unique_ptr<FileSource>> again = FileSource::Open(path);
            if (!again.ok()) return Error{again.code()};
            std::string what;
            Result<std::unique_ptr<Decoder>> other =
                OpenFfmpegDecoder(std::move(again).value(), otherCodec, &what);
            const bool recognised = other.ok() || (!what.empty() && !otherCodec);
            if (!other.ok()) LastRefusal() = what;
            if (recognised) decoder = std::move(other);
        }
        if (!decoder.ok()) return decoder;
        const DecoderInfo& info = decoder.value()->info();
        if (info.rate <= 0 || info.rate > kMaxDecodedRate || info.channels < 1 ||
            info.channels > kMaxDecodedChannels || info.frames < 0)
            return Error{BASS_ERROR_FORMAT};
        return decoder;
    } catch (const std::bad_alloc&) {
        return Error{BASS_ERROR_MEM};
    } catch (...) {
        return Error{BASS_ERROR_UNKNOWN};
    }
}

}  // namespace ae
