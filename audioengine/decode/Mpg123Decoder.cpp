// SPDX-License-Identifier: MIT
// MPEG audio (layers I-III) through libmpg123: gapless, float output, and the exact
// length counted at open by scanning the frame headers.
#include <mpg123.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/FrameDecoder.h"
#include "audioengine/decode/MpegHeader.h"
#include "audioengine/decode/MpegRepair.h"
#include "audioengine/decode/TagBlocks.h"
#include "plugin/engine/Bass.h"

namespace ae {

namespace {

// What libmpg123 reads: the file, with the frame headers that damage made unreadable
// rebuilt (see MpegRepair.h).
struct Input {
    std::unique_ptr<FileSource> file;
    std::unique_ptr<MpegHeaderRepair> repair;
};

ssize_t ReadCallback(void* handle, void* out, size_t bytes) {
    Input& input = *static_cast<Input*>(handle);
    const int64_t offset = input.file->Tell();
    const int64_t n = input.file->Read(out, static_cast<int64_t>(bytes));
    if (n > 0) input.repair->Pass(offset, static_cast<unsigned char*>(out), n);
    return static_cast<ssize_t>(n);
}
off_t SeekCallback(void* handle, off_t offset, int whence) {
    return static_cast<off_t>(static_cast<Input*>(handle)->file->Seek(offset, whence));
}

// The frame count that a Xing/Info/VBRI header at the start of the audio declares;
// -1 when there is none. Encoders may pad between an ID3v2 tag and the first frame,
// so the first valid header within a short distance is taken.
int64_t DeclaredFrameCount(const FileSource& file) {
    const PayloadRange range = FindPayload(file);
    unsigned char buffer[4096 + 2048];
    const int64_t got = file.ReadAt(range.begin, buffer, sizeof buffer);
    for (int64_t i = 0; i + 4 <= got && i < 4096; ++i) {
        MpegHeader header;
        if (!ParseMpegHeader(buffer + i, &header)) continue;
        if (header.frameBytes == 0 || i + header.frameBytes > got) return -1;
        return DeclaredFrames(header, buffer + i, header.frameBytes);
    }
    return -1;
}

// The frames a seek decodes ahead of its target so that it gives the samples a decode
// from the start gives. A Layer III frame takes up to 511 bytes of its data (255 in
// MPEG-2 and 2.5) from the frames before it, the bit reservoir, and overlaps the
// frame before: enough of the smallest frames the stream can have to hold that much,
// and two more.
int SeekLeadFrames(const mpg123_frameinfo& frame) {
    constexpr int kDefault = 4;
    if (frame.layer != 3 || frame.rate <= 0) return kDefault;
    const bool mpeg1 = frame.version == MPG123_1_0;
    const bool mono = frame.mode == MPG123_M_MONO;
    const long smallest = (mpeg1 ? 144 * 32000L : 72 * 8000L) / frame.rate;
    const long sideInfo = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
    const long data = std::max(1L, smallest - 4 - sideInfo - (frame.flags & MPG123_CRC ? 2 : 0));
    const long reservoir = mpeg1 ? 511 : 255;
    return static_cast<int>(std::clamp((reservoir + data - 1) / data + 2, long{kDefault}, 128L));
}

class Mpg123Decoder final : public FrameDecoder {
  public:
    explicit Mpg123Decoder(std::unique_ptr<FileSource> file) { input_.file = std::move(file); }
    ~Mpg123Decoder() override {
        if (mh_) {
            mpg123_close(mh_);
            mpg123_delete(mh_);
        }
    }

    Status Open() {
        static std::once_flag initOnce;
        static int initResult = MPG123_ERR;
        std::call_once(initOnce, [] { initResult = mpg123_init(); });
        if (initResult != MPG123_OK) return Error{BASS_ERROR_CODEC};

        int err = MPG123_OK;
        mh_ = mpg123_new(nullptr, &err);
        if (!mh_) return Error{BASS_ERROR_CODEC};
        // Quiet: the library must never print. Gapless: encoder delay and padding
        // from the LAME/Info header are removed, so the length is what was encoded.
        if (mpg123_param(mh_, MPG123_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0) != MPG123_OK)
            return Error{BASS_ERROR_CODEC};
        mpg123_format_none(mh_);
        const long* rates = nullptr;
        size_t rateCount = 0;
        mpg123_rates(&rates, &rateCount);
        for (size_t i = 0; i < rateCount; ++i)
            if (mpg123_format(mh_, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_FLOAT_32) !=
                MPG123_OK)
                return Error{BASS_ERROR_CODEC};

        input_.repair = std::make_unique<MpegHeaderRepair>(*input_.file, FindPayload(*input_.file));
        if (mpg123_replace_reader_handle(mh_, ReadCallback, SeekCallback, nullptr) != MPG123_OK ||
            mpg123_open_handle(mh_, &input_) != MPG123_OK)
            return Error{BASS_ERROR_FILEFORM};
        long rate = 0;
        int channels = 0, encoding = 0;
        if (mpg123_getformat(mh_, &rate, &channels, &encoding) != MPG123_OK || rate <= 0)
            return Error{BASS_ERROR_FILEFORM};
        if (encoding != MPG123_ENC_FLOAT_32) return Error{BASS_ERROR_CODEC};
        if (channels < 1 || channels > 2) return Error{BASS_ERROR_FORMAT};

        // The scan reads every frame, and damaged headers are rebuilt on the way. One
        // found damaged only after it was read (a wrong length shows at the next
        // frame) means reading the stream again, with it rebuilt from the start.
        int scanned = mpg123_scan(mh_);
        if (input_.repair->RebuiltBehind()) {
            mpg123_close(mh_);
            if (input_.file->Seek(0, SEEK_SET) != 0 ||
                mpg123_open_handle(mh_, &input_) != MPG123_OK)
                return Error{BASS_ERROR_FILEFORM};
            scanned = mpg123_scan(mh_);
        }
        if (scanned != MPG123_OK) return Error{BASS_ERROR_FILEFORM};
        const off_t length = mpg123_length(mh_);
        const off_t frameCount = mpg123_framelength(mh_);
        if (length <= 0 || frameCount <= 0) return Error{BASS_ERROR_FILEFORM};
        // A stream cut short holds fewer frames than its Info header declares.
        const int64_t declared = DeclaredFrameCount(*input_.file);
        if (declared > 0 && frameCount < declared) return Error{BASS_ERROR_FILEFORM};

        mpg123_frameinfo frame{};
        mpg123_info(mh_, &frame);
        mpg123_param(mh_, MPG123_PREFRAMES, SeekLeadFrames(frame), 0);
        info_.rate = static_cast<int>(rate);
        info_.channels = channels;
        info_.frames = length;
        info_.ctype = frame.layer == 1   ? BASS_CTYPE_STREAM_MP1
                      : frame.layer == 2 ? BASS_CTYPE_STREAM_MP2
                                         : BASS_CTYPE_STREAM_MP3;
        info_.origres = 0;
        info_.channelMask = DefaultChannelMask(channels);
        if (mpg123_seek(mh_, 0, SEEK_SET) != 0) return Error{BASS_ERROR_FILEFORM};
        return {};
    }

  protected:
    int64_t DecodeFrames(float* out, int64_t frames) override {
        const size_t frameBytes = sizeof(float) * static_cast<size_t>(info_.channels);
        for (;;) {
            size_t done = 0;
            const int err = mpg123_read(mh_, out, static_cast<size_t>(frames) * frameBytes, &done);
            if (done > 0) return static_cast<int64_t>(done / frameBytes);
            if (err != MPG123_NEW_FORMAT) return 0;
            // A stream may announce a format again; a real change cannot be carried
            // on at this stream's rate and layout, so it ends the stream.
            long rate = 0;
            int channels = 0, encoding = 0;
            mpg123_getformat(mh_, &rate, &channels, &encoding);
            if (rate != info_.rate || channels != info_.channels) return 0;
        }
    }
    bool SeekCodec(int64_t frame) override {
        return mpg123_seek(mh_, static_cast<off_t>(frame), SEEK_SET) == frame;
    }

  private:
    Input input_;
    mpg123_handle* mh_ = nullptr;
};

}  // namespace

Result<std::unique_ptr<Decoder>> OpenMpg123Decoder(std::unique_ptr<FileSource> file) {
    auto decoder = std::make_unique<Mpg123Decoder>(std::move(file));
    const Status opened = decoder->Open();
    if (!opened.ok()) return Error{opened.code()};
    return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace ae
