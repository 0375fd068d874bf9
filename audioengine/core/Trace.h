// SPDX-License-Identifier: MIT
// The engine's trace: with AUDIOENGINE_LOG=PATH in the environment when the engine
// first traces, one line per event is appended to PATH (output choices, device
// events, refused files and why, underruns). Off by default: the engine writes
// nothing anywhere. A file that cannot be opened leaves the trace off.
//
// Threads: any thread but the audio callback's (a line is a locked, buffered write).
#pragma once

namespace ae {

// True when a trace file is open.
bool TraceOn();
// Appends "SECONDS.mmm [PID] " and the formatted text as one line, flushed.
#ifdef __MINGW32__
// MinGW's own C99 formatting (__USE_MINGW_ANSI_STDIO), not msvcrt's.
void Trace(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
#endif

}  // namespace ae
