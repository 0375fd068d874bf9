// SPDX-License-Identifier: MIT
// Channel layouts: which speaker each decoded channel feeds, and the channel orders
// of the codecs that do not store channels as WAV does.
//
// A layout is a WAVE_FORMAT_EXTENSIBLE speaker mask: one bit per speaker, and the
// interleaved channels feed the set speakers in ascending bit order. Every decoder
// states its layout this way (DecoderInfo::channelMask), whatever its file calls it,
// so that the mix needs to know one form only. 0 means the layout is not known.
#pragma once

#include <cstdint>

namespace ae {

enum SpeakerBit : uint32_t {
    kSpeakerFrontLeft = 0x1,
    kSpeakerFrontRight = 0x2,
    kSpeakerFrontCenter = 0x4,
    kSpeakerLowFrequency = 0x8,
    kSpeakerBackLeft = 0x10,
    kSpeakerBackRight = 0x20,
    kSpeakerFrontLeftOfCenter = 0x40,
    kSpeakerFrontRightOfCenter = 0x80,
    kSpeakerBackCenter = 0x100,
    kSpeakerSideLeft = 0x200,
    kSpeakerSideRight = 0x400,
    kSpeakerTopCenter = 0x800,
    kSpeakerTopFrontLeft = 0x1000,
    kSpeakerTopFrontCenter = 0x2000,
    kSpeakerTopFrontRight = 0x4000,
    kSpeakerTopBackLeft = 0x8000,
    kSpeakerTopBackCenter = 0x10000,
    kSpeakerTopBackRight = 0x20000,
};
// Every speaker a mask may name; higher bits are reserved.
constexpr uint32_t kKnownSpeakers = 0x3FFFF;

// True when `mask` names exactly `channels` speakers, all of them known: only then
// does it say which speaker every channel feeds.
constexpr bool MaskDescribesChannels(uint32_t mask, int channels) {
    if (mask == 0 || (mask & ~kKnownSpeakers) != 0) return false;
    int speakers = 0;
    for (uint32_t m = mask; m != 0; m &= m - 1) ++speakers;
    return speakers == channels;
}

// The layout of `channels` channels in WAV order when the file names none: mono is
// the front centre, then stereo, 3.0 (FL FR FC), quad (FL FR BL BR), 5.0 (FL FR FC
// BL BR), 5.1 (FL FR FC LFE BL BR), 6.1 (FL FR FC LFE BC SL SR) and 7.1 (FL FR FC LFE
// BL BR SL SR). These are FLAC's fixed orders, and Vorbis's and Opus's (mapping
// family 1) once reordered by VorbisToWavOrder. 0 outside 1..8.
uint32_t DefaultChannelMask(int channels);

// The layout named by libsndfile's channel map (`map`: one SF_CHANNEL_MAP_* value per
// channel). 0 when a channel has no speaker of the mask's (invalid, ambisonic), a
// speaker comes twice, or the channels are not in ascending speaker order (a mask
// cannot state another order).
uint32_t ChannelMaskFromSndfileMap(const int* map, int channels);

// Vorbis and Opus order channels beyond stereo differently from WAV; this gives, for
// each WAV-order output channel, the source channel it comes from. Null outside 1..8.
const int* VorbisToWavOrder(int channels);

}  // namespace ae
