// SPDX-License-Identifier: MIT
#include "audioengine/decode/MpegRepair.h"

#include <algorithm>
#include <cstring>

namespace ae {

namespace {

// The longest MPEG audio frame: MPEG-2.5 Layer II at 160 kbps and 8 kHz, padded.
constexpr int64_t kMaxFrameBytes = 2881;
// How far into the audio the first frame is looked for (junk left by rippers).
constexpr int64_t kFirstFrameSearchBytes = 64 * 1024;
// How far past damage longer than a frame the stream's frames are looked for.
constexpr int64_t kResumeSearchBytes = 64 * 1024;

}  // namespace

// The file's bytes before `end`, read a block at a time for the searches that look
// ahead of what the decoder has read. A block starts a little before the offset that
// needed it, so that a search, which looks a few frames ahead of where it stands,
// does not read the same block again and again.
class MpegHeaderRepair::Window {
  public:
    Window(const FileSource& file, int64_t end) : file_(file), end_(end), block_(kBlockBytes) {}

    // The 4 bytes at `offset`; nullptr when they do not all lie before the end or
    // cannot be read.
    const unsigned char* At(int64_t offset) {
        if (offset < 0 || offset + 4 > end_) return nullptr;
        if (offset < start_ || offset + 4 > start_ + length_) {
            start_ = std::max<int64_t>(0, offset - kBehindBytes);
            length_ =
                file_.ReadAt(start_, block_.data(), std::min<int64_t>(kBlockBytes, end_ - start_));
            if (length_ < 0) length_ = 0;
            if (offset + 4 > start_ + length_) return nullptr;
        }
        return block_.data() + (offset - start_);
    }

    // Whether `h` is a header of the stream of `stream` with a known frame length.
    static bool OfStream(const unsigned char* h, const MpegHeader& stream, MpegHeader* header) {
        return h && ParseMpegHeader(h, header) && SameStream(*header, stream) &&
               header->channels == stream.channels && header->frameBytes > 0;
    }

    // Whether `run` frames of the stream of `stream` start at `at`, each where the one
    // before ends, or fewer that reach the end of the audio. One header alone may be
    // chance bytes of a payload.
    bool RunStarts(const MpegHeader& stream, int64_t at, int run) {
        for (int i = 0; i < run; ++i) {
            if (at >= end_) return i > 0;
            MpegHeader header;
            if (!OfStream(At(at), stream, &header)) return false;
            at += header.frameBytes;
        }
        return true;
    }

    // The first offset in [from, to) where two frames of the stream of `stream` start;
    // -1 when there is none.
    int64_t Resume(const MpegHeader& stream, int64_t from, int64_t to) {
        for (int64_t at = from; at < to; ++at) {
            const unsigned char* h = At(at);
            if (!h) return -1;
            if (h[0] == 0xFF && RunStarts(stream, at, 2)) return at;
        }
        return -1;
    }

  private:
    static constexpr int64_t kBlockBytes = 32 * 1024;
    static constexpr int64_t kBehindBytes = 4 * kMaxFrameBytes;

    const FileSource& file_;
    const int64_t end_;
    std::vector<unsigned char> block_;
    int64_t start_ = 0;
    int64_t length_ = 0;
};

MpegHeaderRepair::MpegHeaderRepair(const FileSource& file, PayloadRange range)
    : file_(file), end_(range.end) {
    // The stream: the first header that starts three frames of its own stream, as
    // chance bytes in junk before it do not.
    Window& w = window();
    for (int64_t at = range.begin; at < range.begin + kFirstFrameSearchBytes; ++at) {
        const unsigned char* h = w.At(at);
        if (!h) break;
        if (ParseMpegHeader(h, &stream_) && stream_.frameBytes > 0 && w.RunStarts(stream_, at, 3)) {
            front_ = previousAt_ = at;
            std::memcpy(previous_, h, 4);
            break;
        }
    }
    unsigned char first[4];
    const unsigned char* h = w.At(range.begin);
    if (front_ > range.begin && h) {
        std::memcpy(first, h, 4);
        MpegHeader header;
        unsigned char rebuilt[4];
        if (Window::OfStream(first, stream_, &header)) {
            // A frame of the stream right at the start of the audio, then a damaged
            // header: the walk starts at the start.
            front_ = previousAt_ = range.begin;
            std::memcpy(previous_, first, 4);
        } else if (const int64_t length = DamagedFrameLength(first, range.begin, 1, rebuilt)) {
            // The first frame's header is damaged (often the Info frame's, which holds
            // the encoder delay and padding).
            Record(range.begin, rebuilt);
            Accept(range.begin, rebuilt, length);
        }
    }
    window_.reset();  // most files need it no more
}

MpegHeaderRepair::~MpegHeaderRepair() = default;

MpegHeaderRepair::Window& MpegHeaderRepair::window() {
    if (!window_) window_ = std::make_unique<Window>(file_, end_);
    return *window_;
}

void MpegHeaderRepair::Pass(int64_t offset, unsigned char* bytes, int64_t count) {
    readOffset_ = offset;
    for (;;) {
        // The rebuilt headers in these bytes (libmpg123 reads a byte at a time while it
        // searches for a frame, so reads past the last one are let through at once).
        auto it = repairs_.end();
        if (!repairs_.empty() && offset < repairs_.back().offset + 4)
            it = std::lower_bound(
                repairs_.begin(), repairs_.end(), offset,
                [](const Repair& repair, int64_t at) { return repair.offset + 4 <= at; });
        for (; it != repairs_.end() && it->offset < offset + count; ++it) {
            for (int64_t i = 0; i < 4; ++i) {
                const int64_t at = it->offset + i;
                if (at >= offset && at < offset + count) bytes[at - offset] = it->bytes[i];
            }
        }
        // The next header of the walk, when it lies in these bytes or a little before
        // them (where a rebuilt length put it back). A read far from it is the
        // decoder looking elsewhere, at tags for instance.
        if (front_ < 0 || front_ >= end_ || front_ >= offset + count ||
            offset - front_ > kMaxFrameBytes)
            return;
        unsigned char h[4];
        if (front_ >= offset && front_ + 4 <= offset + count) {
            std::memcpy(h, bytes + (front_ - offset), 4);
        } else if (file_.ReadAt(front_, h, 4) != 4) {
            front_ = -1;  // the audio ends within the header
            return;
        }
        Step(h);
    }
}

void MpegHeaderRepair::Step(const unsigned char* h) {
    MpegHeader header;
    if (Window::OfStream(h, stream_, &header)) {
        Accept(front_, h, header.frameBytes);
        return;
    }
    unsigned char rebuilt[4];
    if (const int64_t length = DamagedFrameLength(h, front_, 1, rebuilt)) {
        if (Record(front_, rebuilt)) Accept(front_, rebuilt, length);
        return;
    }
    // The previous frame's header may be the damaged one: a bit rate or padding bit
    // changed to another valid value gives a wrong length, which shows only here, in
    // bytes that do not start like a header. (Bytes that do are a frame whose header
    // has more than one damaged byte, which the previous frame must not swallow.)
    // A length that reaches the end of the audio proves nothing: padding or a tag no
    // reader knows (Lyrics3) may follow an intact last frame, and a Layer I or II
    // frame read at another bit rate is read with another allocation table.
    // Nor does a tag where the frame ends (files joined with their tags): the frame
    // ends where it says.
    const bool tag = std::memcmp(h, "ID3", 3) == 0 || std::memcmp(h, "TAG", 3) == 0 ||
                     std::memcmp(h, "APET", 4) == 0 || std::memcmp(h, "LYRI", 4) == 0;
    if (previousAt_ >= 0 && h[0] != 0xFF && h[1] != previous_[1] && !tag) {
        const int64_t length = DamagedFrameLength(previous_, previousAt_, 1, rebuilt);
        if (length > 0 && previousAt_ + length != front_ && previousAt_ + length != end_) {
            if (Record(previousAt_, rebuilt)) Accept(previousAt_, rebuilt, length);
            return;
        }
    }
    // Longer damage or junk, which the decoder skips by itself.
    front_ = window().Resume(stream_, front_ + 1, std::min(end_, front_ + kResumeSearchBytes));
}

void MpegHeaderRepair::Accept(int64_t at, const unsigned char* h, int64_t length) {
    std::memcpy(previous_, h, 4);
    previousAt_ = at;
    front_ = at + length;
}

bool MpegHeaderRepair::Record(int64_t at, const unsigned char* h) {
    if (!repairs_.empty() && repairs_.back().offset == at) {
        std::memcpy(repairs_.back().bytes, h, 4);
    } else if (repairs_.size() == kMaxRepairs) {
        front_ = -1;
        return false;
    } else {
        Repair repair;
        repair.offset = at;
        std::memcpy(repair.bytes, h, 4);
        repairs_.push_back(repair);
    }
    if (at < readOffset_) rebuiltBehind_ = true;
    return true;
}

int64_t MpegHeaderRepair::DamagedFrameLength(const unsigned char* h, int64_t at, int depth,
                                             unsigned char* rebuilt) {
    // Lengths after which an intact header follows first; then, `depth` levels deep,
    // those after which another damaged one does. The header is rebuilt only for
    // lengths that pass, as trying every length costs.
    for (int successorDamaged = 0; successorDamaged <= (depth > 0 ? 1 : 0); ++successorDamaged) {
        int64_t found = 0;
        for (int bitrate = 1; bitrate < 15; ++bitrate) {
            for (int padding = 0; padding < 2; ++padding) {
                // A length the stream's frames can have.
                const unsigned char model[4] = {
                    previous_[0], previous_[1],
                    static_cast<unsigned char>(bitrate << 4 | (previous_[2] & 0x0D) | padding << 1),
                    previous_[3]};
                MpegHeader header;
                if (!ParseMpegHeader(model, &header) || at + header.frameBytes > end_) continue;
                const int64_t next = at + header.frameBytes;
                const Successor successor = SuccessorAt(next, successorDamaged ? depth : 0);
                if (successor != (successorDamaged ? Successor::Damaged : Successor::Intact))
                    continue;
                // Frames of the stream within it are intact ones it would swallow: bytes
                // between two frames (junk, a tag) are no sign of a wrong length.
                if (window().Resume(stream_, at + 1, next) >= 0) continue;
                unsigned char candidate[4];
                if (!RebuildMpegHeader(previous_, h, header.frameBytes, candidate)) continue;
                if (found == 0) {
                    found = header.frameBytes;
                    std::memcpy(rebuilt, candidate, 4);
                }
                // Two intact frames after it settle it.
                if (next == end_ || window().RunStarts(stream_, next, 2)) {
                    std::memcpy(rebuilt, candidate, 4);
                    return header.frameBytes;
                }
            }
        }
        if (found > 0) return found;
    }
    return 0;
}

MpegHeaderRepair::Successor MpegHeaderRepair::SuccessorAt(int64_t at, int depth) {
    if (at == end_) return Successor::Intact;
    const unsigned char* h = window().At(at);
    if (!h) return Successor::None;
    unsigned char bytes[4];  // the window may move while they are looked at
    std::memcpy(bytes, h, 4);
    MpegHeader header;
    if (Window::OfStream(bytes, stream_, &header)) return Successor::Intact;
    unsigned char rebuilt[4];
    if (depth > 0 && DamagedFrameLength(bytes, at, depth - 1, rebuilt) > 0)
        return Successor::Damaged;
    return Successor::None;
}

}  // namespace ae
