// SPDX-License-Identifier: MIT
// Ogg Vorbis through libvorbisfile, whose ov_pcm_seek lands on the exact sample.
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>

#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/FrameDecoder.h"
#include "plugin/engine/Bass.h"

namespace ae {

namespace {

size_t ReadCallback(void* out, size_t size, size_t count, void* source) {
    if (size == 0 || count == 0) return 0;
    const int64_t n =
        static_cast<FileSource*>(source)->Read(out, static_cast<int64_t>(size * count));
    return n <= 0 ? 0 : static_cast<size_t>(n) / size;
}
int SeekCallback(void* source, ogg_int64_t offset, int whence) {
    return static_cast<FileSource*>(source)->Seek(offset, whence) < 0 ? -1 : 0;
}
long TellCallback(void* source) {
    return static_cast<long>(static_cast<FileSource*>(source)->Tell());
}

const ov_callbacks kCallbacks = {ReadCallback, SeekCallback, nullptr, TellCallback};

// Whether links of `a` and `b` channels can follow one another in a stream: the same
// count, or mono and stereo.
bool LinksMix(int a, int b) { return a == b || (a <= 2 && b <= 2); }

class VorbisDecoder final : public FrameDecoder {
  public:
    explicit VorbisDecoder(std::unique_ptr<FileSource> file) : file_(std::move(file)) {}
    ~VorbisDecoder() override {
        if (open_) ov_clear(&vf_);
    }

    Status Open() {
        const int err = ov_open_callbacks(file_.get(), &vf_, nullptr, 0, kCallbacks);
        if (err != 0) return Error{err == OV_EREAD ? BASS_ERROR_FILEOPEN : BASS_ERROR_FILEFORM};
        open_ = true;
        if (!ov_seekable(&vf_)) return Error{BASS_ERROR_FILEFORM};
        const vorbis_info* first = ov_info(&vf_, 0);
        if (!first || first->rate <= 0) return Error{BASS_ERROR_FILEFORM};
        if (first->channels < 1 || first->channels > 8) return Error{BASS_ERROR_FORMAT};
        // A chained file plays its leading links that share the first one's rate and
        // channel count, or are all mono or stereo (a mono link then plays on both
        // channels); a link in another format cannot continue this stream.
        int64_t frames = 0;
        int channels = first->channels;
        const long links = ov_streams(&vf_);
        for (long link = 0; link < links; ++link) {
            const vorbis_info* vi = ov_info(&vf_, static_cast<int>(link));
            if (!vi || vi->rate != first->rate || !LinksMix(vi->channels, first->channels)) break;
            const ogg_int64_t linkFrames = ov_pcm_total(&vf_, static_cast<int>(link));
            if (linkFrames < 0) return Error{BASS_ERROR_FILEFORM};
            frames += linkFrames;
            channels = std::max(channels, vi->channels);
        }
        // libvorbisfile opens a chain whose second link differs from the first in its
        // channels positioned in that second link: the first would never play. (A
        // chain that cannot go back there plays as it did before.)
        if (links > 1) ov_pcm_seek(&vf_, 0);
        info_.rate = static_cast<int>(first->rate);
        info_.channels = channels;
        info_.frames = frames;
        info_.ctype = BASS_CTYPE_STREAM_OGG;
        info_.origres = 0;
        order_ = VorbisToWavOrder(channels);
        info_.channelMask = DefaultChannelMask(channels);  // once in WAV order
        return {};
    }

  protected:
    int64_t DecodeFrames(float* out, int64_t frames) override {
        const int channels = info_.channels;
        if (silence_ > 0) {
            const int64_t n = frames < silence_ ? frames : silence_;
            std::fill(out, out + n * channels, 0.0f);
            silence_ -= n;
            at_ += n;
            return n;
        }
        if (held_) {
            std::copy(heldFrame_, heldFrame_ + channels, out);
            held_ = false;
            ++at_;
            return 1;
        }
        for (int holes = 0; holes < 64;) {
            float** pcm = nullptr;
            int link = 0;
            const int chunk = lost_ ? 1 : frames > 4096 ? 4096 : static_cast<int>(frames);
            const long n = ov_read_float(&vf_, &pcm, chunk, &link);
            if (n == OV_HOLE) {  // a gap in the data: carry on after it
                if (!lost_) lostFrom_ = ov_pcm_tell(&vf_), lostAt_ = ov_raw_tell(&vf_);
                lost_ = true;
                ++holes;
                continue;
            }
            if (n <= 0) {
                // Damage that no later position corrected: the rest of the stated
                // length is silence.
                if (!lost_ || at_ >= info_.frames) return 0;
                lost_ = false;
                silence_ = info_.frames - at_;
                return DecodeFrames(out, frames);
            }
            const vorbis_info* vi = ov_info(&vf_, link);
            if (!vi || !LinksMix(vi->channels, channels) || vi->rate != info_.rate) return 0;
            // Each output channel's source: a mono link's one channel for every one.
            static const int kMono[8] = {};
            const int* source = vi->channels == channels ? order_ : kMono;
            if (lost_) {
                // After a gap libvorbisfile goes on counting from where it was until a
                // page's granule position places the audio again; what comes before
                // that has no known time and is dropped, and the time from the gap to
                // the placed audio is silence, so that it plays at its own time and
                // the stream keeps its length. A gap that lost no time (only the
                // pages' numbering skips) shows no jump: once the page after the gap
                // is used up its position has been taken, and the count is right.
                const int64_t start = ov_pcm_tell(&vf_) - 1;
                if (start == lostFrom_ && ov_raw_tell(&vf_) == lostAt_) {
                    ++lostFrom_;
                    continue;
                }
                lost_ = false;
                for (int c = 0; c < channels; ++c) heldFrame_[c] = pcm[source[c]][0];
                held_ = true;
                silence_ = start > at_ ? start - at_ : 0;
                return DecodeFrames(out, frames);
            }
            for (long f = 0; f < n; ++f)
                for (int c = 0; c < channels; ++c) out[f * channels + c] = pcm[source[c]][f];
            at_ += n;
            return n;
        }
        return 0;
    }
    bool SeekCodec(int64_t frame) override {
        at_ = frame;
        lost_ = held_ = false;
        silence_ = 0;
        return ov_pcm_seek(&vf_, frame) == 0;
    }

  private:
    std::unique_ptr<FileSource> file_;
    OggVorbis_File vf_{};
    bool open_ = false;
    const int* order_ = nullptr;
    int64_t at_ = 0;  // the frame the next decoded frame plays at
    // Damage bookkeeping (see DecodeFrames): lost_ while the audio after a gap has no
    // known time yet, lostFrom_ the position libvorbisfile counts on from meanwhile,
    // silence_ the frames of silence still owed, held_ a decoded frame owed after it.
    bool lost_ = false;
    int64_t lostFrom_ = 0;
    ogg_int64_t lostAt_ = 0;  // the file offset libvorbisfile had read to at the gap
    int64_t silence_ = 0;
    bool held_ = false;
    float heldFrame_[8] = {};
};

}  // namespace

Result<std::unique_ptr<Decoder>> OpenVorbisDecoder(std::unique_ptr<FileSource> file) {
    auto decoder = std::make_unique<VorbisDecoder>(std::move(file));
    const Status opened = decoder->Open();
    if (!opened.ok()) return Error{opened.code()};
    return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace ae
