// SPDX-License-Identifier: MIT
// Ogg Vorbis through libvorbisfile, whose ov_pcm_seek lands on the exact sample.
#include <vorbis/codec.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <numeric>
#include <set>
#include <vector>

#include "audioengine/decode/ByteOrder.h"
#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/FileKind.h"
#include "audioengine/decode/FrameDecoder.h"
#include "audioengine/decode/OggRenumbering.h"
#include "audioengine/decode/Resampler.h"
#include "audioengine/decode/TagBlocks.h"
#include "plugin/engine/Bass.h"

namespace ae {

namespace {

// The file as libvorbisfile sees it: up to `end` when a chain is cut short (see
// PlanView), else the whole file, whatever its size at the time; the streams of a
// later file that reuse an earlier one's serial numbers given new ones.
struct FileView {
    FileSource* file = nullptr;
    int64_t end = -1;  // -1: the file's end
    OggRenumbering renumbering;
};

size_t ReadCallback(void* out, size_t size, size_t count, void* source) {
    if (size == 0 || count == 0) return 0;
    FileView& view = *static_cast<FileView*>(source);
    const int64_t at = view.file->Tell();
    int64_t want = static_cast<int64_t>(size * count);
    if (view.end >= 0) want = std::min(want, std::max<int64_t>(0, view.end - at));
    const int64_t n = want > 0 ? view.file->Read(out, want) : 0;
    if (n <= 0) return 0;
    if (!view.renumbering.empty()) {
        try {
            view.renumbering.Apply(*view.file, at, static_cast<unsigned char*>(out), n);
        } catch (const std::bad_alloc&) {
            return 0;  // libvorbisfile takes it for the end of the file
        }
    }
    return static_cast<size_t>(n) / size;
}
int SeekCallback(void* source, ogg_int64_t offset, int whence) {
    const FileView& view = *static_cast<FileView*>(source);
    if (view.end >= 0 && whence == SEEK_END) {
        offset += view.end;
        whence = SEEK_SET;
    }
    return view.file->Seek(offset, whence) < 0 ? -1 : 0;
}
long TellCallback(void* source) {
    return static_cast<long>(static_cast<FileView*>(source)->file->Tell());
}

const ov_callbacks kCallbacks = {ReadCallback, SeekCallback, nullptr, TellCallback};

// Decodes the three Vorbis headers of one group of Ogg streams (those that begin
// together: a file of its own in a chain), from its pages in file order, and makes
// a decoder of them. A setup header can decode and still hold a codebook libvorbis
// cannot build: making the decoder fails then, but libvorbis keeps the half-built
// books, and a second attempt on the same headers (libvorbisfile makes one after
// every seek) decodes with books of no dimension and divides by zero.
class HeaderCheck {
  public:
    HeaderCheck() { Init(); }
    ~HeaderCheck() { Clear(); }
    HeaderCheck(const HeaderCheck&) = delete;
    HeaderCheck& operator=(const HeaderCheck&) = delete;

    void Reset() {
        Clear();
        Init();
    }
    // A whole page of the group. The group's Vorbis stream is the first whose first
    // page holds an identification header.
    void Page(std::vector<unsigned char>& bytes) {
        if (failed_ || headers_ == 3) return;
        const unsigned char* h = bytes.data();
        const int segments = h[26];
        const uint32_t serial = LittleEndian32(h + 14);
        const unsigned char* body = h + 27 + segments;
        const long bodyBytes = static_cast<long>(bytes.size()) - 27 - segments;
        if (!found_) {
            if ((h[5] & 0x02) == 0 || bodyBytes < 7 || std::memcmp(body, "\x01vorbis", 7) != 0)
                return;
            found_ = true;
            ogg_stream_reset_serialno(&stream_, static_cast<int>(serial));
        } else if (serial != static_cast<uint32_t>(stream_.serialno)) {
            return;
        }
        ogg_page page{bytes.data(), 27 + segments, bytes.data() + 27 + segments, bodyBytes};
        if (ogg_stream_pagein(&stream_, &page) != 0) {
            failed_ = true;
            return;
        }
        ogg_packet packet;
        int got;
        while (headers_ < 3 && (got = ogg_stream_packetout(&stream_, &packet)) != 0) {
            if (got < 0 || vorbis_synthesis_headerin(&info_, &comment_, &packet) != 0) {
                failed_ = true;
                return;
            }
            ++headers_;
        }
        if (headers_ == 3) {
            vorbis_dsp_state dsp;
            failed_ = vorbis_synthesis_init(&dsp, &info_) != 0;
            vorbis_dsp_clear(&dsp);  // also after a failed init, which cleared it
        }
    }
    bool failed() const { return failed_; }
    bool complete() const { return headers_ == 3 && !failed_; }

  private:
    void Init() {
        ogg_stream_init(&stream_, 0);
        vorbis_info_init(&info_);
        vorbis_comment_init(&comment_);
        found_ = failed_ = false;
        headers_ = 0;
    }
    void Clear() {
        vorbis_comment_clear(&comment_);
        vorbis_info_clear(&info_);
        ogg_stream_clear(&stream_);
    }

    ogg_stream_state stream_;
    vorbis_info info_;
    vorbis_comment comment_;
    bool found_ = false, failed_ = false;
    int headers_ = 0;
};

// PlanView's end when the first stream's headers make no decoder.
constexpr int64_t kNoDecoder = -2;
// The most serial numbers PlanView keeps track of.
constexpr size_t kMaxSerials = 4096;

// How libvorbisfile is to see an Ogg Vorbis file (see FileView), from the headers of
// all its pages.
//
// The end: -1 for all of it, else the offset where a chain is cut, before a later
// file whose headers do not make a decoder or that has no Vorbis stream
// (libvorbisfile would refuse the whole chain for it, and lose what it had allocated,
// so the intact files before it would not play); kNoDecoder when the first stream's
// headers decode but make no decoder.
//
// A file of the chain begins with a group of streams: pages that begin a stream, one
// after another. A stream of a later group with the serial number of one in an earlier
// group is given a number used nowhere in the file, on the pages up to the next group.
void PlanView(const FileSource& file, FileView* view) {
    const PayloadRange range = FindPayload(file);
    std::vector<unsigned char> page;
    HeaderCheck check;
    OggPageHeaderReader headers(file);
    int groups = 0;           // the groups of streams begun so far
    int64_t groupStart = -1;  // where the last of them begins
    bool previousBos = false;
    // A first group with no complete headers is left to libvorbisfile to judge.
    const auto cut = [&] { return groups > 1 ? groupStart : check.failed() ? kNoDecoder : -1; };

    // The serial numbers of the file, of the streams of the groups before the last,
    // and of the last group's streams (the first kMaxSerials of them). Beyond
    // kMaxSerials in the file (no real file has that many), nothing is renamed.
    std::set<uint32_t> seen, earlier, group;
    bool tracking = true;
    // The streams of groups that reuse an earlier group's serial numbers: the group's
    // byte range, from its first page to the next group's, and the stream's number.
    // Each one's new number is found once the file's are all known.
    struct Renamed {
        int64_t from, to;
        uint32_t serial;
    };
    std::vector<Renamed> renamed;
    const auto note = [&](int64_t offset, uint32_t serial, bool bos) {
        if (bos && !previousBos) {
            if (tracking) earlier.insert(group.begin(), group.end());
            group.clear();
            for (auto r = renamed.rbegin(); r != renamed.rend() && r->to < 0; ++r) r->to = offset;
        }
        if (bos && group.size() < kMaxSerials && group.insert(serial).second && tracking &&
            earlier.count(serial) != 0)
            renamed.push_back({groupStart, -1, serial});
        if (tracking) seen.insert(serial);
        tracking = tracking && seen.size() <= kMaxSerials;
    };

    bool cutShort = false;
    int64_t passedOver = -1;  // the page just passed over by its header alone, if any
    for (int64_t offset = range.begin; offset < range.end;) {
        // Between the headers of two groups only the page headers are read, to find
        // where the next group begins (a page that may begin it is read whole).
        OggPageHeader header;
        if (check.complete() && headers.Read(offset, range.end, &header) && !header.bos) {
            note(offset, header.serial, false);
            previousBos = false;
            passedOver = offset;
            offset += header.bytes;
            continue;
        }
        if (!ReadWholeOggPage(file, offset, &page) ||
            offset + static_cast<int64_t>(page.size()) > range.end) {
            // When the page passed over by its header does not end where another
            // begins, that header was damaged (its checksum went unread), and the
            // length it claimed may hide the first page of the next group: the search
            // goes on from inside it.
            offset = NextCapture(file, (passedOver >= 0 ? passedOver : offset) + 1, range.end);
            passedOver = -1;
            continue;
        }
        passedOver = -1;
        // A page flagged as the first of its stream begins one when that stream is not
        // among the group's, or when it is numbered 0 as first pages are, or holds a
        // Vorbis identification header: the group's stream begun again under its old
        // serial number. The flag on a later page of a stream of the group is a
        // mistake, and the page is one like the others.
        const uint32_t serial = LittleEndian32(page.data() + 14);
        const size_t body = 27 + page[26];
        const bool bos =
            (page[5] & 0x02) != 0 &&
            (LittleEndian32(page.data() + 18) == 0 || group.count(serial) == 0 ||
             (page.size() >= body + 7 && std::memcmp(&page[body], "\x01vorbis", 7) == 0));
        if (bos && !previousBos) {
            if (groups > 0 && !check.complete()) {
                view->end = cut();
                cutShort = true;
                break;
            }
            ++groups;
            groupStart = offset;
            check.Reset();
        }
        note(offset, serial, bos);
        previousBos = bos;
        check.Page(page);
        if (check.failed()) {
            view->end = cut();
            cutShort = true;
            break;
        }
        offset += static_cast<int64_t>(page.size());
    }
    if (!cutShort) view->end = check.complete() ? -1 : cut();
    if (view->end == kNoDecoder) return;

    if (!tracking) return;
    // Each renamed stream takes the next number, from 1 on, that no stream of the file
    // has.
    uint32_t next = 0;
    for (const Renamed& r : renamed) {
        if (view->end >= 0 && r.from >= view->end) break;
        do {
            ++next;
        } while (seen.count(next) != 0);
        const int64_t end = view->end >= 0 ? view->end : range.end;
        view->renumbering.Add(r.from, r.to < 0 ? end : std::min(r.to, end), r.serial, next);
    }
}

// Whether links of `a` and `b` channels can follow one another in a stream: the same
// count, or mono and stereo.
bool LinksMix(int a, int b) { return a == b || (a <= 2 && b <= 2); }

// Input frames a resampler is given before the frame a seek asks for, so that its
// filter is full by then: longer than soxr's high-quality filter at any ratio.
constexpr int64_t kResamplePreroll = 2048;
// Input frames decoded at a time for a resampled link.
constexpr int64_t kResampleInput = static_cast<int64_t>(kResamplerSliceFrames);
// The most frames the links of a chain may hold at their own rates: any of them times
// the highest rate stays within int64_t (eight years at 48 kHz).
constexpr int64_t kMaxChainFrames = INT64_MAX / kMaxDecodedRate - 1;

// One link of a chain that plays: where it lies in the decoded frames at its own
// rate (libvorbisfile's positions) and in the stream's frames at the stream's rate.
struct LinkSpan {
    int rate;
    int64_t inStart, inFrames;
    int64_t outStart, outFrames;
};

class VorbisDecoder final : public FrameDecoder {
  public:
    explicit VorbisDecoder(std::unique_ptr<FileSource> file) : file_(std::move(file)) {}
    ~VorbisDecoder() override {
        soxr_delete(resampler_);
        if (open_) ov_clear(&vf_);
    }

    Status Open() {
        view_.file = file_.get();
        PlanView(*file_, &view_);
        if (view_.end == kNoDecoder) return Error{BASS_ERROR_FILEFORM};
        const int err = ov_open_callbacks(&view_, &vf_, nullptr, 0, kCallbacks);
        if (err != 0) return Error{err == OV_EREAD ? BASS_ERROR_FILEOPEN : BASS_ERROR_FILEFORM};
        open_ = true;
        if (!ov_seekable(&vf_)) return Error{BASS_ERROR_FILEFORM};
        const vorbis_info* first = ov_info(&vf_, 0);
        if (!first || first->rate <= 0) return Error{BASS_ERROR_FILEFORM};
        if (first->channels < 1 || first->channels > 8) return Error{BASS_ERROR_FORMAT};
        // A chained file (a recorded radio stream, files joined end to end) plays its
        // leading links that share the first one's channel count, or are all mono or
        // stereo (a mono link then plays on both channels); a link in another layout
        // cannot continue this stream, nor can one at a rate beyond any real recording's
        // or one that would make the chain too long to count once resampled (a damaged
        // header or granule position). The stream plays at the highest rate among them,
        // and links at a lower one are resampled to it.
        int channels = first->channels;
        long rate = first->rate;
        const long links = ov_streams(&vf_);
        for (long link = 0; link < links; ++link) {
            const vorbis_info* vi = ov_info(&vf_, static_cast<int>(link));
            if (!vi || vi->rate <= 0 || !LinksMix(vi->channels, first->channels)) break;
            const ogg_int64_t linkFrames = ov_pcm_total(&vf_, static_cast<int>(link));
            if (linkFrames < 0) return Error{BASS_ERROR_FILEFORM};
            const int64_t inStart = links_.empty() ? 0 : InputFrames();
            if (link > 0 && (vi->rate > kMaxDecodedRate || linkFrames > kMaxChainFrames - inStart))
                break;
            links_.push_back({static_cast<int>(vi->rate), inStart, linkFrames, 0, 0});
            channels = std::max(channels, vi->channels);
            rate = std::max(rate, vi->rate);
        }
        int64_t frames = 0;
        for (LinkSpan& link : links_) {
            link.outStart = frames;
            // Rounded to the nearest frame; kMaxChainFrames keeps the product in range.
            link.outFrames = link.rate == rate ? link.inFrames
                                               : (link.inFrames * rate + link.rate / 2) / link.rate;
            frames += link.outFrames;
            resampling_ = resampling_ || link.rate != rate;
        }
        // libvorbisfile opens a chain whose second link differs from the first in its
        // channels positioned in that second link: the first would never play. (A
        // chain that cannot go back there plays as it did before.)
        if (links > 1) ov_pcm_seek(&vf_, 0);
        info_.rate = static_cast<int>(rate);
        info_.channels = channels;
        info_.frames = frames;
        info_.ctype = BASS_CTYPE_STREAM_OGG;
        info_.origres = 0;
        order_ = VorbisToWavOrder(channels);
        info_.channelMask = DefaultChannelMask(channels);  // once in WAV order
        if (resampling_ && !StartResampler(links_[0], 0)) return Error{BASS_ERROR_MEM};
        return {};
    }

  protected:
    int64_t DecodeFrames(float* out, int64_t frames) override {
        return resampling_ ? DecodeResampled(out, frames) : DecodeInput(out, frames);
    }
    bool SeekCodec(int64_t frame) override {
        return resampling_ ? SeekResampled(frame) : SeekInput(frame);
    }

  private:
    // Up to `frames` frames of the links at their own rates, from libvorbisfile's
    // position at_ (counted over the links as libvorbisfile counts them).
    int64_t DecodeInput(float* out, int64_t frames) {
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
                if (!lost_ || at_ >= InputFrames()) return 0;
                lost_ = false;
                silence_ = InputFrames() - at_;
                return DecodeInput(out, frames);
            }
            const vorbis_info* vi = ov_info(&vf_, link);
            if (!vi || link >= static_cast<int>(links_.size())) return 0;
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
                return DecodeInput(out, frames);
            }
            for (long f = 0; f < n; ++f)
                for (int c = 0; c < channels; ++c) out[f * channels + c] = pcm[source[c]][f];
            at_ += n;
            return n;
        }
        return 0;
    }
    // The frames the links that play hold at their own rates.
    int64_t InputFrames() const { return links_.back().inStart + links_.back().inFrames; }

    bool SeekInput(int64_t frame) {
        lost_ = held_ = false;
        silence_ = 0;
        if (ov_pcm_seek(&vf_, frame) != 0) return false;
        // libvorbisfile judges the packets it may skip by the first link's long block: in
        // a later link with longer blocks (an 8 kHz link first, then a 44.1 kHz one) it
        // lands up to a block past the frame asked for, and says so. It then starts
        // further back, and the frames up to the one asked for are decoded and passed
        // over, gaps handled as in playing.
        for (int64_t back = 4096; ov_pcm_tell(&vf_) > frame && back <= (int64_t{1} << 20);
             back *= 2) {
            if (ov_pcm_seek(&vf_, std::max<int64_t>(0, frame - back)) != 0) return false;
        }
        at_ = ov_pcm_tell(&vf_);
        if (at_ > frame) {  // nothing lands before it: silence up to the audio there
            silence_ = at_ - frame;
            at_ = frame;
        }
        if (at_ == frame) return true;
        std::vector<float> passed(static_cast<size_t>(kResampleInput * info_.channels));
        while (at_ < frame) {
            if (DecodeInput(passed.data(), std::min(kResampleInput, frame - at_)) <= 0)
                return false;
        }
        return true;
    }

    // The stream's frames when some link is resampled: each link's frames at its own
    // rate, through a resampler of its own when that is not the stream's, and exactly
    // outFrames of them (the resampler's tail cut, or silence after it).
    int64_t DecodeResampled(float* out, int64_t frames) {
        const int channels = info_.channels;
        int64_t done = 0;
        while (done < frames) {
            const LinkSpan& link = links_[current_];
            const int64_t linkLeft = link.outStart + link.outFrames - outPos_;
            if (linkLeft <= 0) {
                if (current_ + 1 >= links_.size() || !EnterLink(current_ + 1)) break;
                continue;
            }
            const int64_t want = std::min(frames - done, linkLeft);
            int64_t got = link.rate == info_.rate ? DecodeInput(out + done * channels, want)
                                                  : Resample(link, out + done * channels, want);
            if (got <= 0) break;
            done += got;
            outPos_ += got;
        }
        return done;
    }

    // Up to `frames` frames (at least one unless the file fails) of the current link
    // through its resampler, less those a seek still has to pass over.
    int64_t Resample(const LinkSpan& link, float* out, int64_t frames) {
        const int channels = info_.channels;
        while (true) {
            if (pending_ == 0 && !inputDone_) {
                const int64_t left = link.inStart + link.inFrames - at_;
                const int64_t n =
                    left > 0 ? DecodeInput(input_.data(), std::min(kResampleInput, left)) : 0;
                if (n <= 0) {
                    if (left > 0) return 0;  // the file failed: the stream ends here
                    inputDone_ = true;
                } else {
                    pending_ = n;
                    inputHead_ = 0;
                }
            }
            float* to = skip_ > 0 ? scratch_.data() : out;
            const size_t room =
                static_cast<size_t>(skip_ > 0 ? std::min<int64_t>(skip_, kResampleInput) : frames);
            size_t used = 0, produced = 0;
            // No input once the link's is used up: the resampler gives out its tail.
            const soxr_error_t failed = soxr_process(
                resampler_, pending_ > 0 ? input_.data() + inputHead_ * channels : nullptr,
                static_cast<size_t>(pending_), &used, to, room, &produced);
            if (failed) return 0;
            inputHead_ += static_cast<int64_t>(used);
            pending_ -= static_cast<int64_t>(used);
            if (produced == 0 && inputDone_ && pending_ == 0) {
                // The tail is out and the link still owes frames (rounding): silence.
                std::fill(out, out + frames * channels, 0.0f);
                skip_ = 0;
                return frames;
            }
            if (skip_ > 0) {
                skip_ -= static_cast<int64_t>(produced);
                continue;
            }
            if (produced > 0) return static_cast<int64_t>(produced);
        }
    }

    // Makes link `index` current, from its first frame; true when it can be decoded.
    bool EnterLink(size_t index) {
        current_ = index;
        const LinkSpan& link = links_[index];
        outPos_ = link.outStart;
        // What a resampler left of the link before is passed over.
        if (at_ != link.inStart && !SeekInput(link.inStart)) return false;
        return StartResampler(link, 0);
    }

    // A new resampler for `link`, to pass over its first `skip` frames; none at the
    // stream's rate.
    bool StartResampler(const LinkSpan& link, int64_t skip) {
        soxr_delete(resampler_);
        resampler_ = nullptr;
        pending_ = inputHead_ = 0;
        inputDone_ = false;
        skip_ = skip;
        if (link.rate == info_.rate) return true;
        resampler_ = CreateResampler(link.rate, info_.rate, static_cast<unsigned>(info_.channels));
        if (!resampler_) return false;
        input_.resize(static_cast<size_t>(kResampleInput * info_.channels));
        scratch_.resize(input_.size());
        return true;
    }

    bool SeekResampled(int64_t frame) {
        size_t index = 0;
        while (index + 1 < links_.size() && frame >= links_[index + 1].outStart) ++index;
        current_ = index;
        const LinkSpan& link = links_[index];
        outPos_ = frame;
        const int64_t offset = frame - link.outStart;
        if (link.rate == info_.rate) {
            return StartResampler(link, 0) && SeekInput(link.inStart + offset);
        }
        // The resampler starts at an input frame whose time is a whole output frame,
        // far enough before the target for its filter to fill.
        const int64_t gcd = std::gcd<int64_t>(link.rate, info_.rate);
        const int64_t inStep = link.rate / gcd, outStep = info_.rate / gcd;
        const int64_t steps =
            std::max<int64_t>(0, offset / outStep - (kResamplePreroll + inStep - 1) / inStep);
        return StartResampler(link, offset - steps * outStep) &&
               SeekInput(link.inStart + steps * inStep);
    }

    std::unique_ptr<FileSource> file_;
    FileView view_;
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

    // The links that play.
    std::vector<LinkSpan> links_;
    // Resampling (some link not at the stream's rate): the link being played, the
    // stream frame the next frame decoded plays at, and the link's resampler with the
    // input it has not taken yet (pending_ frames from inputHead_), whether its
    // input is used up, and the frames still to pass over after a seek.
    bool resampling_ = false;
    size_t current_ = 0;
    int64_t outPos_ = 0;
    soxr_t resampler_ = nullptr;
    std::vector<float> input_, scratch_;
    int64_t pending_ = 0, inputHead_ = 0;
    bool inputDone_ = false;
    int64_t skip_ = 0;
};

}  // namespace

Result<std::unique_ptr<Decoder>> OpenVorbisDecoder(std::unique_ptr<FileSource> file) {
    auto decoder = std::make_unique<VorbisDecoder>(std::move(file));
    const Status opened = decoder->Open();
    if (!opened.ok()) return Error{opened.code()};
    return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace ae
