// SPDX-License-Identifier: MIT
// MPEG audio frames whose header a damaged byte has made unreadable, rebuilt on the
// way to the decoder. A decoder that meets such a header searches on for the next
// frame: the frame is lost with its audio, what follows plays early, chance bytes of
// the payload may pass for frames of another stream, and the frame count no longer
// matches the Info header's, so its encoder delay and padding are not removed. The
// payload behind a damaged header is intact, and the stream's other headers tell what
// the damaged one said, so the frame plays as it was encoded.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audioengine/decode/FileSource.h"
#include "audioengine/decode/MpegHeader.h"
#include "audioengine/decode/TagBlocks.h"

namespace ae {

class MpegHeaderRepair {
  public:
    // Finds the first frame of the MPEG audio stream in `range` of `file`.
    MpegHeaderRepair(const FileSource& file, PayloadRange range);
    ~MpegHeaderRepair();
    MpegHeaderRepair(const MpegHeaderRepair&) = delete;
    MpegHeaderRepair& operator=(const MpegHeaderRepair&) = delete;

    // Takes `count` bytes the decoder has just read from the file at `offset`, and
    // writes the rebuilt headers over them. The frames are walked header by header as
    // the decoder reads them (a decoder reads every frame in order when it counts
    // them at open, so the walk costs no reading of its own): where a header is not
    // one of the stream's and its frames resume where that frame would end, the
    // header is rebuilt if one damaged byte explains it (RebuildMpegHeader). Longer
    // damage is left to the decoder's own search.
    void Pass(int64_t offset, unsigned char* bytes, int64_t count);

    // Whether a header was rebuilt after the decoder had read it (a wrong length shows
    // only where the next frame should start): the decoder must read the stream again.
    bool RebuiltBehind() const { return rebuiltBehind_; }

    // At most this many headers are rebuilt; a file damaged all over is left as it is
    // beyond them.
    static constexpr size_t kMaxRepairs = 4096;

  private:
    class Window;
    struct Repair {
        int64_t offset;          // of the frame in the file
        unsigned char bytes[4];  // its header as rebuilt
    };

    // Checks the header `h` of the frame at front_ and moves front_ to the next one.
    void Step(const unsigned char* h);
    // Takes the frame at `at` with header `h` as the stream's last.
    void Accept(int64_t at, const unsigned char* h, int64_t length);
    // Keeps `h` as the rebuilt header of the frame at `at` (the last one kept, or one
    // after it); false, ending the walk, once kMaxRepairs are kept.
    bool Record(int64_t at, const unsigned char* h);
    // The length of the frame at `at`, whose header `h` is not one of the stream's,
    // when one damaged byte explains it: the header rebuilt (into `rebuilt`) for a
    // length the stream's frames can have, after which the stream's frames go on.
    // Of several, one that two intact frames follow. 0 when none.
    int64_t DamagedFrameLength(const unsigned char* h, int64_t at, int depth,
                               unsigned char* rebuilt);
    // What follows a frame that ends at `at`: the end of the audio or a header of the
    // stream (Intact), or, `depth` levels deep, a frame whose header has one damaged
    // byte (Damaged).
    enum class Successor { None, Intact, Damaged };
    Successor SuccessorAt(int64_t at, int depth);
    Window& window();

    const FileSource& file_;
    const int64_t end_;
    int64_t front_ = -1;  // the next header the walk checks; -1 once it has ended
    MpegHeader stream_;
    int64_t previousAt_ = -1;         // the last frame of the stream
    unsigned char previous_[4] = {};  // its header
    int64_t readOffset_ = 0;          // of the decoder's read being passed
    bool rebuiltBehind_ = false;
    std::vector<Repair> repairs_;     // in file order
    std::unique_ptr<Window> window_;  // reads ahead where the stream breaks
};

}  // namespace ae
