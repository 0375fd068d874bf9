/* SPDX-License-Identifier: MIT */
/* The C interface between the engine and libaudioengine-ffmpeg.so, the decoder
 * module built on FFmpeg's libraries. The module is GPL-2+ (as Debian builds FFmpeg)
 * and the engine is not, so the engine never links it: it loads the module with
 * dlopen when the file is present and finds everything through
 * audioengine_ffmpeg_api. Nothing but plain C types crosses this line, and no
 * exception: every call reports failure by its return value. */
#ifndef AUDIOENGINE_FFMPEG_MODULE_API_H
#define AUDIOENGINE_FFMPEG_MODULE_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Raised whenever a struct below or a function's meaning changes. */
#define AEFF_API_VERSION 3u

/* The file, read through the engine's own file object: the module opens nothing.
 * Both callbacks may be called from the thread that calls into the module only. */
typedef struct AeffReader {
    void* opaque;
    /* Reads up to `bytes` at byte `offset`; returns the bytes read, 0 at the end of
     * the file, -1 on an I/O error. */
    int64_t (*read_at)(void* opaque, int64_t offset, void* buffer, int64_t bytes);
    /* The file's size in bytes, -1 on error. */
    int64_t (*size)(void* opaque);
} AeffReader;

/* What a file may make the module accept, checked before its decoder is opened. */
typedef struct AeffLimits {
    int max_rate;     /* Hz */
    int max_channels; /* channels */
    /* 1: the file is a WAV or CAF the engine's own decoders read as a container but
     * whose codec they lack (AC-3 in WAV, ALAC in CAF), and is read in those
     * containers too; 0: those containers are refused (what is read in them is the
     * engine's own decoders' to judge, a file cut short included). */
    int codec_in_own_container;
} AeffLimits;

typedef struct AeffInfo {
    int rate;              /* Hz, as decoded */
    int channels;          /* interleaved channel count */
    int64_t frames;        /* exact length in frames */
    uint32_t ctype;        /* BASS_CTYPE_* / AE_CTYPE_* code */
    uint32_t origres;      /* bits per sample of a lossless source, else 0 */
    uint32_t channel_mask; /* WAVE_FORMAT_EXTENSIBLE speaker mask, 0 if unknown */
} AeffInfo;

typedef struct AeffDecoder AeffDecoder;

/* Called with each key/value pair of a file's metadata: UTF-8 as FFmpeg gives it,
 * NUL-terminated, valid during the call only. */
typedef void (*AeffVisitor)(void* user, const char* key, const char* value);

typedef struct AeffApi {
    uint32_t version; /* AEFF_API_VERSION */
    /* Opens the file `reader` reads (the reader must outlive the decoder). On success
     * fills `info` and returns the decoder; else returns NULL with `*error` set to a
     * BASS_ERROR_* code. Either way `what` (`what_size` bytes, NUL-terminated) names
     * what the file was recognised as ("MP4 with an unsupported codec: Dolby AC-4"),
     * or is "" when the content is no format the module reads.
     * Threads: any; decoders opened on different threads are independent. */
    AeffDecoder* (*open)(const AeffReader* reader, const AeffLimits* limits, AeffInfo* info,
                         int* error, char* what, size_t what_size);
    /* Decodes up to `frames` frames (interleaved float, info.channels per frame) into
     * `out`; returns the frames written, fewer only at the end of the stream or on an
     * error that ends it. Threads: one at a time per decoder. */
    int64_t (*read)(AeffDecoder* decoder, float* out, int64_t frames);
    /* Moves to frame `frame` (0 <= frame < info.frames) so that the next read gives
     * the samples a decode from the start gives there; 1 on success, 0 on failure.
     * Threads: one at a time per decoder. */
    int (*seek)(AeffDecoder* decoder, int64_t frame);
    /* Frees the decoder; NULL is ignored. Threads: one at a time per decoder. */
    void (*close)(AeffDecoder* decoder);
    /* Reads the metadata of the file `reader` reads, as its container's header holds
     * it (Matroska and WebM tags, for one): calls `visit` with each pair of the
     * container's, then each of its first audio stream's, and returns BASS_OK; or a
     * BASS_ERROR_* code (BASS_ERROR_FILEFORM: no format the module reads).
     * Threads: any, concurrently. */
    int (*read_metadata)(const AeffReader* reader, AeffVisitor visit, void* user);
    /* Sets FFmpeg's process-wide log level to quiet. Only for a program that owns its
     * process: the module's own contexts are quiet without it, and a host's FFmpeg
     * logs as the host set it unless the host asks for this.
     * Threads: any. */
    void (*quiet_process_log)(void);
} AeffApi;

/* The module's functions, or NULL when it does not speak `version`.
 * Threads: any. */
const AeffApi* audioengine_ffmpeg_api(uint32_t version);

#ifdef __cplusplus
}
#endif

#endif
