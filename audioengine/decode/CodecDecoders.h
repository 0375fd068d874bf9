// SPDX-License-Identifier: MIT
// The decoders behind OpenDecoder, one per codec library, each in the file named
// after it (<Library>Decoder.cpp). They take the opened file over; a failure gives
// the engine error code that says why (BASS_ERROR_FILEFORM, BASS_ERROR_CODEC,
// BASS_ERROR_FORMAT, BASS_ERROR_MEM, ...).
#pragma once

#include <memory>
#include <string>

#include "audioengine/core/Result.h"
#include "audioengine/decode/Decoder.h"
#include "audioengine/decode/FileSource.h"

namespace ae {

// Containers libsndfile decodes for us. Container: any of SndfileContainers.h, the
// one the file's magic names.
enum class SndfileKind { Wav, Aiff, OggOpus, Container };

// `vorbisChannelOrder`: libsndfile hands the channels over as the file stores them,
// and Opus files with more than two channels store them in Vorbis order.
Result<std::unique_ptr<Decoder>> OpenSndfileDecoder(std::unique_ptr<FileSource> file,
                                                    SndfileKind kind,
                                                    bool vorbisChannelOrder = false);
// `ogg`: FLAC in an Ogg container rather than a native FLAC stream.
Result<std::unique_ptr<Decoder>> OpenFlacDecoder(std::unique_ptr<FileSource> file, bool ogg);
Result<std::unique_ptr<Decoder>> OpenMpg123Decoder(std::unique_ptr<FileSource> file);
Result<std::unique_ptr<Decoder>> OpenVorbisDecoder(std::unique_ptr<FileSource> file);
// Everything else FFmpeg's libraries read, through the FFmpeg module; BASS_ERROR_FILEFORM
// when the module is not there. `codecInOwnContainer`: the file is a WAV or CAF whose
// codec our own decoders lack, and is read in those containers too (else they are
// refused). `what` receives what the file was recognised as ("MP4 with an
// unsupported codec: ..."), "" when the module knows no such content.
Result<std::unique_ptr<Decoder>> OpenFfmpegDecoder(std::unique_ptr<FileSource> file,
                                                   bool codecInOwnContainer, std::string* what);
// Whether the FFmpeg module is loaded (it is loaded on the first call, once per
// process); when not, `why` says why (dlerror's text, or an empty override).
// Threads: any.
bool FfmpegModuleLoaded(std::string* why);
// Asks for FFmpeg's process-wide log level to be quiet, now if the module is loaded,
// else as it loads; for a program that owns its process (see AE_QuietLibraries).
// Threads: any.
void QuietFfmpegProcessLog();

}  // namespace ae
