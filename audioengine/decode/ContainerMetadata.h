// SPDX-License-Identifier: MIT
// The metadata a container keeps that TagLib cannot read (Matroska and WebM tags), as
// the FFmpeg decoder module reads it, for the tag library. The module's loader sets
// the reader; until it does, and in builds without the module, there is none.
#pragma once

#include <string>

#include "audioengine/decode/FileSource.h"
#include "audioengine/include/audioengine_ext.h"

namespace ae {

// Reads the metadata of `file` (through it only: it opens nothing itself), calling
// `visit` with each key/value pair, the container's before its audio stream's.
// Returns BASS_OK, or BASS_ERROR_FILEFORM when it reads no such format.
// Threads: any, concurrently, each call with its own file.
using ContainerMetadataReader = int (*)(const FileSource& file, AE_MetadataVisitor visit,
                                        void* user);

// Sets the reader; nullptr for none.
// Threads: any.
void SetContainerMetadataReader(ContainerMetadataReader reader);

// Opens `path` as FileSource::Open does (a regular file, never blocking) and reads its
// metadata: BASS_OK; BASS_ERROR_NOTAVAIL when no reader is set; BASS_ERROR_FILEOPEN
// when the path is no readable regular file; the reader's error otherwise.
// Threads: any.
int ReadContainerMetadata(const std::string& path, AE_MetadataVisitor visit, void* user);

}  // namespace ae
