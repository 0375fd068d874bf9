// SPDX-License-Identifier: MIT
// The recording double of the tag library: see EngineDouble.h.
#include "plugin/engine/tags.h"
#include "tests/plugin/double/Recording.h"

extern "C" const char* BASS_CALL TAGS_Read(DWORD handle, const char* fmt) {
    return enginedouble::Answer<const char*>("TAGS_Read", handle, fmt);
}
