// SPDX-License-Identifier: MIT
#include "audioengine/decode/ChannelOrder.h"

namespace ae {

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
