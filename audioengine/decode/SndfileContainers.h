// SPDX-License-Identifier: MIT
// The containers libsndfile reads besides WAV and AIFF (AU, CAF, RF64, Wave64 and
// the older studio and tracker formats), told apart by their magic bytes, so that
// a file goes to libsndfile only when its content says what it is.
#pragma once

#include "audioengine/decode/FileSource.h"

namespace ae {

// libsndfile's major format (SF_FORMAT_AU, SF_FORMAT_CAF, ...) of the container the
// file starts with; 0 when it is none of these. Sound Designer II (its format lives
// in a resource fork) and headerless raw audio cannot be told from their content and
// are never reported; nor is the MIDI sample dump, whose last, partial packet
// libsndfile 1.2 decodes as silence.
// Threads: any; reads the first 64 bytes of `file` at their offset (ReadAt).
int SndfileContainerOf(const FileSource& file);

// False when `container` (a major format from SndfileContainerOf) states the length
// of its audio and the file holds less: a file cut short, as a broken download is.
// A length the writer left as "unknown", and containers that state none, count as
// complete; libsndfile then reads what is there.
// Threads: any; reads chunk headers of `file` at their offsets (ReadAt).
bool SndfileContainerComplete(const FileSource& file, int container);

// The frames an Amiga 8SVX / 16SV file's BODY chunk holds, at `channels` channels of
// `bytesPerSample` bytes; -1 when there is no such chunk.
// Threads: any; reads chunk headers of `file` at their offsets (ReadAt).
int64_t SvxBodyFrames(const FileSource& file, int channels, int bytesPerSample);

}  // namespace ae
