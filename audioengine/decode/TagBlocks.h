// SPDX-License-Identifier: MIT
// The tag blocks that taggers put around the audio of a file, found so that the
// audio's own bytes can be told apart from them (for detection by content and for
// the bit rate).
#pragma once

#include <cstdint>

#include "audioengine/decode/FileSource.h"

namespace ae {

// Where the audio data lies between tag blocks: [begin, end) excludes an ID3v2
// block at the start and ID3v1 / APE / appended ID3v2 blocks at the end.
struct PayloadRange {
    int64_t begin = 0;
    int64_t end = 0;
};
PayloadRange FindPayload(const FileSource& file);

}  // namespace ae
