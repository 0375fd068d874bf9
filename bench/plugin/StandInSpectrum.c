// SPDX-License-Identifier: MIT
/* A stand-in for the engine's spectrum request, put in front of libbass.so with
   LD_PRELOAD by bench/run: a request copies a fixed 1 KiB spectrum and does nothing
   else. GetDataChannel20 over it times the plug-in's own part of the query (its
   twenty requests, each into a buffer of its own, and its text) with an engine that
   costs no more than the copy each request must make. Every bin is 1.0, so each
   field of the text reads 1065353216. */
#include <stdint.h>
#include <string.h>

enum { kBins = 256 };
static float spectrum[kBins];

__attribute__((constructor)) static void Fill(void) {
    for (int i = 0; i < kBins; ++i) spectrum[i] = 1.0f;
}

__attribute__((visibility("default"))) uint32_t BASS_ChannelGetData(uint32_t handle, void* buffer,
                                                                    uint32_t length) {
    (void)handle;
    (void)length;
    memcpy(buffer, spectrum, sizeof spectrum);
    return sizeof spectrum;
}
