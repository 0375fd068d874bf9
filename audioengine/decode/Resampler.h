// SPDX-License-Identifier: MIT
// The libsoxr resampler as the engine makes it, for a stream at another rate than the
// output and for a chained file's streams at another rate than the file's.
#pragma once

#include <soxr.h>

#include <cstddef>

namespace ae {

// Input frames handed to a resampler at a time: its buffers grow with the pieces it
// is given (96 to 44.1 kHz stereo: 97 KiB before any, 165 KiB for pieces of 256
// frames, 256 KiB for 4096), at no measurable cost in time.
constexpr size_t kResamplerSliceFrames = 256;

// A high-quality resampler of interleaved floats from `fromRate` to `toRate` Hz, on
// the calling thread, with a largest transform of 2^10 points (soxr's default of
// 2^17 would cost each resampler a few hundred KiB, for a negligible gain in speed).
// Null when libsoxr refuses. Free it with soxr_delete.
soxr_t CreateResampler(double fromRate, double toRate, unsigned channels);

}  // namespace ae
