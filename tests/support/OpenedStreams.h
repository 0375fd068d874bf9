// SPDX-License-Identifier: MIT
// The engine handle of the stream the plug-in opened last, for tests and benchmarks
// that drive the plug-in through its exports and read the engine's own figures (the
// position in frames) of the same stream.
//
// Linking this library into an executable defines BASS_StreamCreateFile there. That
// definition takes precedence over libbass.so's for every library of the process, the
// plug-in included; it calls libbass.so's and notes the handle. The executable must
// link libbass.so itself, so that the call can find it.
#pragma once

#include <cstdint>

namespace testaudio {

// The handle BASS_StreamCreateFile returned last in this process, 0 before any
// succeeded.
uint32_t LastOpenedStream();

}  // namespace testaudio
