/* Extensions of our engine beyond the engine API of engine/Bass.h, for tests and
 * tools that know they run on this engine. The plug-in never uses them. */
#ifndef AUDIOENGINE_EXT_H
#define AUDIOENGINE_EXT_H

#include "plugin/engine/Bass.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Renders the next `frames` output frames of the mix (stereo, interleaved float,
 * at the BASS_Init rate) into `out` when the engine runs on the "manual" output
 * (AUDIOENGINE_OUTPUT=manual before BASS_Init). It first waits until every playing
 * stream has decoded what the block needs, so the same calls give the same samples
 * on every run. FALSE (error NOTAVAIL) on any other output or before BASS_Init.
 * Threads: one thread at a time (it plays the part of the audio callback). */
BOOL BASS_CALL AE_Render(float* out, DWORD frames);

/* The output in use: "device", "null", "wav", "manual", or "" before BASS_Init.
 * Threads: any. */
const char* BASS_CALL AE_OutputName(void);

#ifdef __cplusplus
}
#endif

#endif
