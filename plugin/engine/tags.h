// SPDX-License-Identifier: MIT
/* The tag library API that the plug-in imports by name. */
#ifndef ENGINE_TAGS_H
#define ENGINE_TAGS_H

#include "plugin/engine/Bass.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The tag text named by fmt ("%TITL", "%ARTI", "%ALBM", "%GNRE", "%YEAR", "%CMNT",
 * "%TRCK") of the stream's file, UTF-8, "" when missing. The text stays valid until
 * the calling thread's next TAGS_Read.
 * Threads: any; the first read of a stream's tags blocks on file I/O (the file is
 * parsed once and cached); later reads take only a short lock, no I/O. */
const char* BASS_CALL TAGS_Read(DWORD handle, const char* fmt);

#ifdef __cplusplus
}
#endif

#endif
