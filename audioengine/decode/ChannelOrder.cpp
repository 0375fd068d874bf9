// SPDX-License-Identifier: MIT
#include "audioengine/decode/ChannelOrder.h"

#include <sndfile.h>

namespace ae {

uint32_t DefaultChannelMask(int channels) {
    static const uint32_t kMasks[] = {
        0,
        kSpeakerFrontCenter,
        kSpeakerFrontLeft | kSpeakerFrontRight,
        kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter,
        kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerBackLeft | kSpeakerBackRight,
        kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter | kSpeakerBackLeft |
            kSpeakerBackRight,
        kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter | kSpeakerLowFrequency |
            kSpeakerBackLeft | kSpeakerBackRight,
        kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter | kSpeakerLowFrequency |
            kSpeakerBackCenter | kSpeakerSideLeft | kSpeakerSideRight,
        kSpeakerFrontLeft | kSpeakerFrontRight | kSpeakerFrontCenter | kSpeakerLowFrequency |
            kSpeakerBackLeft | kSpeakerBackRight | kSpeakerSideLeft | kSpeakerSideRight,
    };
    return channels >= 1 && channels <= 8 ? kMasks[channels] : 0;
}

namespace {

// The speaker of one libsndfile channel-map entry; 0 when the mask has none for it.
uint32_t SpeakerOfSndfileChannel(int entry) {
    switch (entry) {
        case SF_CHANNEL_MAP_MONO:
        case SF_CHANNEL_MAP_CENTER:
        case SF_CHANNEL_MAP_FRONT_CENTER:
            return kSpeakerFrontCenter;
        case SF_CHANNEL_MAP_LEFT:
        case SF_CHANNEL_MAP_FRONT_LEFT:
            return kSpeakerFrontLeft;
        case SF_CHANNEL_MAP_RIGHT:
        case SF_CHANNEL_MAP_FRONT_RIGHT:
            return kSpeakerFrontRight;
        case SF_CHANNEL_MAP_REAR_CENTER:
            return kSpeakerBackCenter;
        case SF_CHANNEL_MAP_REAR_LEFT:
            return kSpeakerBackLeft;
        case SF_CHANNEL_MAP_REAR_RIGHT:
            return kSpeakerBackRight;
        case SF_CHANNEL_MAP_LFE:
            return kSpeakerLowFrequency;
        case SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER:
            return kSpeakerFrontLeftOfCenter;
        case SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER:
            return kSpeakerFrontRightOfCenter;
        case SF_CHANNEL_MAP_SIDE_LEFT:
            return kSpeakerSideLeft;
        case SF_CHANNEL_MAP_SIDE_RIGHT:
            return kSpeakerSideRight;
        case SF_CHANNEL_MAP_TOP_CENTER:
            return kSpeakerTopCenter;
        case SF_CHANNEL_MAP_TOP_FRONT_LEFT:
            return kSpeakerTopFrontLeft;
        case SF_CHANNEL_MAP_TOP_FRONT_RIGHT:
            return kSpeakerTopFrontRight;
        case SF_CHANNEL_MAP_TOP_FRONT_CENTER:
            return kSpeakerTopFrontCenter;
        case SF_CHANNEL_MAP_TOP_REAR_LEFT:
            return kSpeakerTopBackLeft;
        case SF_CHANNEL_MAP_TOP_REAR_RIGHT:
            return kSpeakerTopBackRight;
        case SF_CHANNEL_MAP_TOP_REAR_CENTER:
            return kSpeakerTopBackCenter;
        default:
            return 0;
    }
}

}  // namespace

uint32_t ChannelMaskFromSndfileMap(const int* map, int channels) {
    uint32_t mask = 0;
    uint32_t previous = 0;
    for (int c = 0; c < channels; ++c) {
        const uint32_t speaker = SpeakerOfSndfileChannel(map[c]);
        // Ascending order also rules out a speaker named twice.
        if (speaker == 0 || speaker <= previous) return 0;
        mask |= speaker;
        previous = speaker;
    }
    return mask;
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
