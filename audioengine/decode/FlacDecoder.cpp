// SPDX-License-Identifier: MIT
// FLAC and Ogg FLAC through libFLAC. libsndfile's FLAC reader reserves a buffer of
// the largest block FLAC allows for every channel (256 KiB each); decoding here
// keeps one block of the stream's own size, so an open stream stays small.
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/FrameDecoder.h"
#include "audioengine/decode/TagBlocks.h"
#include "plugin/engine/Bass.h"

namespace ae {

namespace {

class FlacDecoder final : public FrameDecoder {
  public:
    explicit FlacDecoder(std::unique_ptr<FileSource> file) : file_(std::move(file)) {}
    ~FlacDecoder() override {
        if (decoder_) FLAC__stream_decoder_delete(decoder_);
    }

    Status Open(bool ogg) {
        decoder_ = FLAC__stream_decoder_new();
        if (!decoder_) return Error{BASS_ERROR_MEM};
        if (ogg && !FLAC_API_SUPPORTS_OGG_FLAC) return Error{BASS_ERROR_CODEC};
        FLAC__stream_decoder_set_metadata_respond(decoder_, FLAC__METADATA_TYPE_VORBIS_COMMENT);
        const FLAC__StreamDecoderInitStatus init =
            ogg ? FLAC__stream_decoder_init_ogg_stream(
                      decoder_, ReadCallback, SeekCallback, TellCallback, LengthCallback,
                      EofCallback, WriteCallback, MetadataCallback, ErrorCallback, this)
                : FLAC__stream_decoder_init_stream(
                      decoder_, ReadCallback, SeekCallback, TellCallback, LengthCallback,
                      EofCallback, WriteCallback, MetadataCallback, ErrorCallback, this);
        if (init == FLAC__STREAM_DECODER_INIT_STATUS_MEMORY_ALLOCATION_ERROR)
            return Error{BASS_ERROR_MEM};
        if (init != FLAC__STREAM_DECODER_INIT_STATUS_OK) return Error{BASS_ERROR_CODEC};
        if (!FLAC__stream_decoder_process_until_end_of_metadata(decoder_) || !haveInfo_)
            return Error{BASS_ERROR_FILEFORM};
        if (info_.channels < 1 || info_.channels > 8) return Error{BASS_ERROR_FORMAT};
        // A length of 0 means "not known" in FLAC's header; such a stream cannot be
        // positioned exactly, and neither can one with no frames.
        if (info_.rate <= 0 || info_.frames <= 0) return Error{BASS_ERROR_FILEFORM};
        info_.ctype = ogg ? BASS_CTYPE_STREAM_FLAC_OGG : BASS_CTYPE_STREAM_FLAC;
        info_.channelMask = MaskDescribesChannels(taggedMask_, info_.channels)
                                ? taggedMask_
                                : DefaultChannelMask(info_.channels);
        // The header promises a length; a file that was cut short cannot reach it.
        // A whole last frame at the very end of the audio proves it at once. Else
        // libFLAC seeks to the last frame, which in a file without a seek table
        // decodes much of the file (longer than playing it through takes).
        if (!ogg && LastFrameEndsTheStream()) return {};
        if (!SeekCodec(info_.frames - 1) || blockFrames_ - blockPosition_ < 1 || !SeekCodec(0))
            return Error{BASS_ERROR_FILEFORM};
        return {};
    }

  protected:
    int64_t DecodeFrames(float* out, int64_t frames) override {
        const int channels = info_.channels;
        int64_t done = 0;
        while (done < frames) {
            if (silence_ > 0) {
                const int64_t n = std::min(frames - done, silence_);
                std::fill(out + done * channels, out + (done + n) * channels, 0.0f);
                silence_ -= n;
                done += n;
                continue;
            }
            if (blockPosition_ < blockFrames_) {
                const int64_t n = std::min(frames - done, blockFrames_ - blockPosition_);
                float* to = out + done * channels;
                for (int64_t i = 0; i < n; ++i)
                    for (int c = 0; c < channels; ++c)
                        *to++ = static_cast<float>(block_[c][blockPosition_ + i]) * scale_;
                blockPosition_ += n;
                done += n;
                continue;
            }
            blockFrames_ = blockPosition_ = 0;
            if (failed_ || !FLAC__stream_decoder_process_single(decoder_)) break;
            const FLAC__StreamDecoderState state = FLAC__stream_decoder_get_state(decoder_);
            if (state == FLAC__STREAM_DECODER_END_OF_STREAM ||
                state == FLAC__STREAM_DECODER_ABORTED)
                break;
        }
        return done;
    }

    bool SeekCodec(int64_t frame) override {
        // A read error aborts the decoder, and an aborted decoder refuses to seek
        // until it is flushed.
        if (FLAC__stream_decoder_get_state(decoder_) == FLAC__STREAM_DECODER_ABORTED)
            FLAC__stream_decoder_flush(decoder_);
        // libFLAC's search (without a seek table) guesses a byte position a frame's
        // length before where it expects the target. Near the end that guess can fall
        // inside the last frame, where no frame starts; libFLAC then decodes the frame
        // at its lower bound, creeps that bound up one frame and guesses again, which
        // reads and decodes the whole file (half a second for ten minutes of a tone).
        // EofCallback stops that walk by failing such a search at once; the seek is
        // then made to a sample one block earlier, then two, four..., whose guess lands
        // before the last frame, and decodes forward to the target.
        int64_t from = frame;
        for (int attempt = 0;; ++attempt) {
            blockFrames_ = blockPosition_ = 0;
            silence_ = 0;
            failed_ = false;
            // libFLAC hands the frame holding `from` to the write callback, trimmed so
            // that it starts there.
            seeking_ = true;
            const bool sought =
                FLAC__stream_decoder_seek_absolute(decoder_, static_cast<FLAC__uint64>(from));
            seeking_ = false;
            if (sought && !failed_ && Skip(frame - from)) return true;
            FLAC__stream_decoder_flush(decoder_);  // required after a failed seek
            blockFrames_ = blockPosition_ = 0;
            silence_ = 0;
            if (from == 0 || attempt == kSeekRetries) return false;
            from = std::max<int64_t>(0, frame - (int64_t{LargestBlock()} << attempt));
        }
    }

  private:
    // Seeks made further back before a seek fails: the last starts 2^(n-1) blocks early.
    static constexpr int kSeekRetries = 16;

    // STREAMINFO's largest block; one that states none (a damaged header) is taken at
    // the most the format allows.
    int64_t LargestBlock() const { return maxBlock_ >= 16 ? maxBlock_ : 65535; }

    // Decodes `frames` frames forward from the position and drops them. False when
    // the stream ends or fails first.
    bool Skip(int64_t frames) {
        while (frames > 0) {
            if (silence_ > 0) {
                const int64_t n = std::min(frames, silence_);
                silence_ -= n;
                frames -= n;
                continue;
            }
            if (blockPosition_ < blockFrames_) {
                const int64_t n = std::min(frames, blockFrames_ - blockPosition_);
                blockPosition_ += n;
                frames -= n;
                continue;
            }
            blockFrames_ = blockPosition_ = 0;
            if (failed_ || !FLAC__stream_decoder_process_single(decoder_) || blockFrames_ == 0)
                return false;
        }
        return true;
    }

    // True when the file's audio ends with one whole frame (its header's CRC-8 and
    // the frame's CRC-16 correct) whose last sample is the stream's last, as the
    // STREAMINFO block states it. False when that cannot be shown from the tail.
    bool LastFrameEndsTheStream() const {
        if (maxFrameBytes_ == 0 || maxBlock_ == 0) return false;  // sizes not stated
        const PayloadRange range = FindPayload(*file_);
        const int64_t tail = std::min<int64_t>(range.end - range.begin, maxFrameBytes_);
        if (tail < kMinFrameBytes) return false;
        std::vector<unsigned char> bytes(static_cast<size_t>(tail));
        if (file_->ReadAt(range.end - tail, bytes.data(), tail) != tail) return false;
        const size_t size = bytes.size();
        const unsigned stored = (static_cast<unsigned>(bytes[size - 2]) << 8) | bytes[size - 1];
        for (size_t at = 0; at + kMinFrameBytes <= size; ++at) {
            if (bytes[at] != 0xFF || (bytes[at + 1] & 0xFE) != 0xF8) continue;
            int64_t first = 0, length = 0;
            if (!ParseFrameHeader(bytes.data() + at, size - at, &first, &length)) continue;
            if (Crc16(bytes.data() + at, size - at - 2) != stored) continue;
            return first + length == info_.frames;
        }
        return false;
    }

    // Reads the frame header at `h` (n bytes available): the frame's first sample and
    // its length in samples. False when it is no valid header.
    bool ParseFrameHeader(const unsigned char* h, size_t n, int64_t* first, int64_t* length) const {
        const bool variable = h[1] & 1;
        const unsigned blockCode = h[2] >> 4, rateCode = h[2] & 0x0F;
        const unsigned channelCode = h[3] >> 4, sizeCode = (h[3] >> 1) & 7;
        if (blockCode == 0 || rateCode == 15 || channelCode > 10 || sizeCode == 3 || (h[3] & 1))
            return false;
        size_t at = 4;
        // The frame or sample number, coded like UTF-8 (up to 7 bytes).
        const unsigned lead = h[at++];
        int extra = 0;
        uint64_t number = lead;
        if (lead >= 0x80) {
            if (lead == 0xFE)
                extra = 6, number = 0;
            else if ((lead & 0xFE) == 0xFC)
                extra = 5, number = lead & 0x01;
            else if ((lead & 0xFC) == 0xF8)
                extra = 4, number = lead & 0x03;
            else if ((lead & 0xF8) == 0xF0)
                extra = 3, number = lead & 0x07;
            else if ((lead & 0xF0) == 0xE0)
                extra = 2, number = lead & 0x0F;
            else if ((lead & 0xE0) == 0xC0)
                extra = 1, number = lead & 0x1F;
            else
                return false;
        }
        if (at + static_cast<size_t>(extra) + 4 > n) return false;
        for (int i = 0; i < extra; ++i) {
            if ((h[at] & 0xC0) != 0x80) return false;
            number = (number << 6) | (h[at++] & 0x3F);
        }
        int64_t block = 0;
        if (blockCode == 1)
            block = 192;
        else if (blockCode <= 5)
            block = int64_t{576} << (blockCode - 2);
        else if (blockCode == 6)
            block = int64_t{h[at++]} + 1;
        else if (blockCode == 7)
            block = ((int64_t{h[at]} << 8) | h[at + 1]) + 1, at += 2;
        else
            block = int64_t{256} << (blockCode - 8);
        if (rateCode == 12)
            at += 1;
        else if (rateCode == 13 || rateCode == 14)
            at += 2;
        if (at >= n || Crc8(h, at) != h[at]) return false;
        // Fixed-size blocks count frames; each holds the stream's block size but the last.
        *first = variable ? static_cast<int64_t>(number)
                          : static_cast<int64_t>(number) * static_cast<int64_t>(maxBlock_);
        *length = block;
        return true;
    }

    static unsigned Crc8(const unsigned char* data, size_t n) {
        unsigned crc = 0;
        for (size_t i = 0; i < n; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) & 0xFF : crc << 1;
        }
        return crc;
    }

    static unsigned Crc16(const unsigned char* data, size_t n) {
        unsigned crc = 0;
        for (size_t i = 0; i < n; ++i) {
            crc ^= static_cast<unsigned>(data[i]) << 8;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc & 0x8000) ? ((crc << 1) ^ 0x8005) & 0xFFFF : (crc << 1) & 0xFFFF;
        }
        return crc;
    }

    // The smallest frame: a header of 6 bytes, one subframe byte, the CRC-16.
    static constexpr int64_t kMinFrameBytes = 9;

    static FlacDecoder* Self(void* data) { return static_cast<FlacDecoder*>(data); }

    static FLAC__StreamDecoderReadStatus ReadCallback(const FLAC__StreamDecoder*, FLAC__byte out[],
                                                      size_t* bytes, void* data) {
        const int64_t n = Self(data)->file_->Read(out, static_cast<int64_t>(*bytes));
        if (n < 0) {
            *bytes = 0;
            return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
        }
        *bytes = static_cast<size_t>(n);
        return n == 0 ? FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM
                      : FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
    }
    static FLAC__StreamDecoderSeekStatus SeekCallback(const FLAC__StreamDecoder*,
                                                      FLAC__uint64 offset, void* data) {
        return Self(data)->file_->Seek(static_cast<int64_t>(offset), SEEK_SET) < 0
                   ? FLAC__STREAM_DECODER_SEEK_STATUS_ERROR
                   : FLAC__STREAM_DECODER_SEEK_STATUS_OK;
    }
    static FLAC__StreamDecoderTellStatus TellCallback(const FLAC__StreamDecoder*,
                                                      FLAC__uint64* offset, void* data) {
        *offset = static_cast<FLAC__uint64>(Self(data)->file_->Tell());
        return FLAC__STREAM_DECODER_TELL_STATUS_OK;
    }
    static FLAC__StreamDecoderLengthStatus LengthCallback(const FLAC__StreamDecoder*,
                                                          FLAC__uint64* length, void* data) {
        const int64_t size = Self(data)->file_->Size();
        if (size < 0) return FLAC__STREAM_DECODER_LENGTH_STATUS_ERROR;
        *length = static_cast<FLAC__uint64>(size);
        return FLAC__STREAM_DECODER_LENGTH_STATUS_OK;
    }
    // Never true during a seek: libFLAC's search then fails where it would walk the
    // file (see SeekCodec); reads still end at the end of the file.
    static FLAC__bool EofCallback(const FLAC__StreamDecoder*, void* data) {
        const FlacDecoder& self = *Self(data);
        return !self.seeking_ && self.file_->Tell() >= self.file_->Size();
    }

    static FLAC__StreamDecoderWriteStatus WriteCallback(const FLAC__StreamDecoder*,
                                                        const FLAC__Frame* frame,
                                                        const FLAC__int32* const buffer[],
                                                        void* data) {
        FlacDecoder& self = *Self(data);
        const int channels = self.info_.channels;
        const unsigned bits = frame->header.bits_per_sample;
        if (static_cast<int>(frame->header.channels) != channels || bits < 4 || bits > 32) {
            self.failed_ = true;  // a stream cannot change its layout midway
            return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
        }
        // The samples stay in libFLAC's own arrays, which it keeps until it decodes the
        // next frame (it does so only when this block is used up): a copy would cost a
        // whole block per stream, 96 KiB at six channels. The decode tests compare
        // every sample with libsndfile's.
        // For a damaged frame libFLAC writes a block of silence in its place and then,
        // within the same call, the next whole frame, whose samples may overwrite it.
        // The earlier block, not yet played, is kept as silence so that what follows
        // keeps its time and the stream its length.
        if (!self.seeking_ && self.blockPosition_ == 0) self.silence_ += self.blockFrames_;
        for (int c = 0; c < channels; ++c) self.block_[c] = buffer[c];
        // Integer samples to -1..1 as libsndfile scales them: full scale is 2^(bits-1).
        self.scale_ = static_cast<float>(1.0 / static_cast<double>(int64_t{1} << (bits - 1)));
        self.blockFrames_ = frame->header.blocksize;
        self.blockPosition_ = 0;
        return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
    }

    // The speaker mask a FLAC encoder keeps from a WAVE_FORMAT_EXTENSIBLE source whose
    // layout is not FLAC's own for its channel count, as a Vorbis comment
    // "WAVEFORMATEXTENSIBLE_CHANNEL_MASK=0x...". 0 when the comment is not one.
    static uint32_t ChannelMaskOfComment(const FLAC__StreamMetadata_VorbisComment_Entry& entry) {
        static const char kField[] = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK=";
        constexpr size_t kFieldLength = sizeof(kField) - 1;
        const size_t length = entry.length;
        if (!entry.entry || length <= kFieldLength || length - kFieldLength > 16) return 0;
        const char* text = reinterpret_cast<const char*>(entry.entry);
        for (size_t i = 0; i < kFieldLength; ++i)
            if (std::toupper(static_cast<unsigned char>(text[i])) != kField[i]) return 0;
        char value[17] = {};
        std::copy(text + kFieldLength, text + length, value);
        if (!std::isxdigit(static_cast<unsigned char>(value[0]))) return 0;  // no sign, no space
        char* end = nullptr;
        const unsigned long long mask = std::strtoull(value, &end, 0);
        return *end == '\0' && mask <= 0xFFFFFFFFull ? static_cast<uint32_t>(mask) : 0;
    }

    static void MetadataCallback(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* metadata,
                                 void* data) {
        FlacDecoder& self = *Self(data);
        if (metadata->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
            const FLAC__StreamMetadata_VorbisComment& comments = metadata->data.vorbis_comment;
            for (FLAC__uint32 i = 0; i < comments.num_comments && self.taggedMask_ == 0; ++i)
                self.taggedMask_ = ChannelMaskOfComment(comments.comments[i]);
            return;
        }
        if (metadata->type != FLAC__METADATA_TYPE_STREAMINFO) return;
        const FLAC__StreamMetadata_StreamInfo& info = metadata->data.stream_info;
        self.info_.rate = static_cast<int>(info.sample_rate);
        self.info_.channels = static_cast<int>(info.channels);
        self.info_.frames = static_cast<int64_t>(info.total_samples);
        self.info_.origres = info.bits_per_sample;
        self.maxBlock_ = info.max_blocksize;
        self.maxFrameBytes_ = info.max_framesize;
        self.haveInfo_ = true;
    }

    // Damaged frames are reported here; libFLAC skips them and carries on, as a
    // player should (WriteCallback keeps the time they held).
    static void ErrorCallback(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void*) {}

    std::unique_ptr<FileSource> file_;
    FLAC__StreamDecoder* decoder_ = nullptr;
    bool haveInfo_ = false;
    bool failed_ = false;
    bool seeking_ = false;        // inside libFLAC's seek
    unsigned maxBlock_ = 0;       // STREAMINFO's largest block, in samples
    unsigned maxFrameBytes_ = 0;  // STREAMINFO's largest frame, in bytes; 0 unknown
    uint32_t taggedMask_ = 0;     // speaker mask from a Vorbis comment; 0 none
    // The last decoded block, per channel, in libFLAC's arrays; samples x scale_ is -1..1.
    const FLAC__int32* block_[kMaxDecodedChannels] = {};
    float scale_ = 1.0f;
    int64_t blockFrames_ = 0;
    int64_t blockPosition_ = 0;
    int64_t silence_ = 0;  // frames of silence owed before the block (see WriteCallback)
};

}  // namespace

Result<std::unique_ptr<Decoder>> OpenFlacDecoder(std::unique_ptr<FileSource> file, bool ogg) {
    auto decoder = std::make_unique<FlacDecoder>(std::move(file));
    const Status opened = decoder->Open(ogg);
    if (!opened.ok()) return Error{opened.code()};
    return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace ae
