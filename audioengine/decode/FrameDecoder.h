// SPDX-License-Identifier: MIT
// The frame bookkeeping every codec decoder shares.
#pragma once

#include <cstdint>

#include "audioengine/decode/Decoder.h"

namespace ae {

// Keeps the position and the end-of-data state common to every decoder: reads never
// go past info().frames, a short read ends the stream until the next seek, and a
// seek outside 0..frames fails before the codec is asked.
class FrameDecoder : public Decoder {
  public:
    const DecoderInfo& info() const final { return info_; }
    int64_t Read(float* out, int64_t frames) final;
    bool Seek(int64_t frame) final;

  protected:
    // Decodes up to `frames` frames at the codec's position; 0 at the end or on error.
    virtual int64_t DecodeFrames(float* out, int64_t frames) = 0;
    // Moves the codec to `frame` (0 <= frame < info().frames).
    virtual bool SeekCodec(int64_t frame) = 0;

    DecoderInfo info_;

  private:
    int64_t position_ = 0;
    bool ended_ = false;
};

}  // namespace ae
