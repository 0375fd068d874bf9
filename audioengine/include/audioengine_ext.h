// SPDX-License-Identifier: MIT
/* Extensions of our engine beyond the engine API of engine/Bass.h, for tests and
 * tools that know they run on this engine. The plug-in never uses them. */
#ifndef AUDIOENGINE_EXT_H
#define AUDIOENGINE_EXT_H

#include "plugin/engine/Bass.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Codec types (BASS_CHANNELINFO.ctype) of formats the engine API family has no
 * number for, read by the FFmpeg decoder module: our own range, 0xAE000..0xAE0FF,
 * clear of the family's add-on numbers (0x1xxxx) and WAV's (0x5xxxx). */
#define AE_CTYPE_STREAM_FFMPEG_OTHER 0xAE000u /* another codec in a container listed here */
#define AE_CTYPE_STREAM_DTS 0xAE001u          /* DTS */
#define AE_CTYPE_STREAM_EAC3 0xAE002u         /* E-AC-3 */
#define AE_CTYPE_STREAM_OPUS_OTHER 0xAE003u   /* Opus outside Ogg (WebM, Matroska, MP4) */
#define AE_CTYPE_STREAM_VORBIS_OTHER 0xAE004u /* Vorbis outside Ogg (WebM, Matroska) */
#define AE_CTYPE_STREAM_FLAC_OTHER 0xAE005u   /* FLAC in Matroska or MP4 */
#define AE_CTYPE_STREAM_MPEG_OTHER 0xAE006u   /* MPEG layer 1-3 in MP4, Matroska or ASF */

/* Codec types (BASS_CHANNELINFO.ctype) of the containers libsndfile reads that the
 * engine API family has no number for: our own range, 0xAE100..0xAE1FF. RF64 and
 * Sony Wave64 are WAV with 64-bit sizes and report the WAV codes (Bass.h), AIFF-C
 * reports AIFF's, and ALAC in CAF reports ALAC's. */
#define AE_CTYPE_STREAM_AU 0xAE101u    /* Sun/NeXT AU (.au, .snd) */
#define AE_CTYPE_STREAM_CAF 0xAE102u   /* Apple Core Audio Format, other than ALAC */
#define AE_CTYPE_STREAM_IRCAM 0xAE103u /* Berkeley/IRCAM/CARL (.sf) */
#define AE_CTYPE_STREAM_VOC 0xAE104u   /* Creative Labs voice */
#define AE_CTYPE_STREAM_PAF 0xAE105u   /* Ensoniq PARIS */
#define AE_CTYPE_STREAM_IFF 0xAE106u   /* Amiga IFF 8SVX / 16SV */
#define AE_CTYPE_STREAM_NIST 0xAE107u  /* NIST SPHERE */
#define AE_CTYPE_STREAM_WVE 0xAE108u   /* Psion Series 3 A-law */
#define AE_CTYPE_STREAM_MAT4 0xAE109u  /* GNU Octave 2.0 / Matlab 4.2 */
#define AE_CTYPE_STREAM_MAT5 0xAE10Au  /* GNU Octave 2.1 / Matlab 5.0 */
#define AE_CTYPE_STREAM_PVF 0xAE10Bu   /* Portable Voice Format */
#define AE_CTYPE_STREAM_XI 0xAE10Cu    /* FastTracker 2 instrument */
#define AE_CTYPE_STREAM_HTK 0xAE10Du   /* HMM Tool Kit waveform */
#define AE_CTYPE_STREAM_AVR 0xAE10Eu   /* Audio Visual Research */
#define AE_CTYPE_STREAM_MPC2K 0xAE10Fu /* Akai MPC 2000 sample */

/* Renders the next `frames` output frames of the mix (stereo, interleaved float,
 * 2 x frames floats, at the BASS_Init rate in Hz) into `out` when the engine runs on
 * the "manual" output (AUDIOENGINE_OUTPUT=manual before BASS_Init). It first waits
 * until every playing stream has decoded what the block needs, so the same calls give
 * the same samples on every run. FALSE (error NOTAVAIL) on any other output or before
 * BASS_Init.
 * A stream whose decoding has been stuck in its file for over 50 ms (a hung disk or
 * share) is not waited for: it is silent in the render, and AE_RenderSkips counts it.
 * Threads: one thread at a time (it plays the part of the audio callback); blocks
 * while the decode workers catch up, at most 10 s per 1024 frames. */
BOOL BASS_CALL AE_Render(float* out, DWORD frames);

/* How many times AE_Render has gone on without a stream stuck in its file, since the
 * process started.
 * Threads: any; never blocks. */
DWORD BASS_CALL AE_RenderSkips(void);

/* Copies the absolute path of a stream's file into `buffer` (`size` bytes, NUL
 * terminated, cut short when it does not fit) and returns the path's length in bytes;
 * 0 (error HANDLE) for a stale or unknown handle. Unlike BASS_CHANNELINFO.filename,
 * which is valid only until the stream is freed, the copy stays the caller's: a
 * reader racing a BASS_StreamFree (the tag library) reads a path or nothing.
 * Threads: any; never blocks. */
DWORD BASS_CALL AE_ChannelGetPath(DWORD handle, char* buffer, DWORD size);

/* What a stream of `file` is, exactly: the facts BASS_ChannelGetInfo and the
 * whole-second queries round. The file is opened as BASS_StreamCreateFile opens it
 * (same decoders, same limits), read for its facts and closed; no stream is made, and
 * BASS_Init is not needed. FALSE with the error BASS_StreamCreateFile would give
 * (FILEOPEN, FILEFORM, FORMAT, ...) when it would refuse the file.
 * Threads: any; blocks on the file (an MP3 is scanned for its exact length). */
typedef struct AE_STREAMINFO {
    QWORD frames;      /* exact length in frames at `rate` (gapless for MP3) */
    DWORD rate;        /* Hz, as decoded */
    DWORD channels;    /* interleaved channels, as decoded */
    DWORD channelMask; /* WAVE_FORMAT_EXTENSIBLE speaker mask; 0 when not known */
    QWORD audioBytes;  /* the file's bytes that BASS_FILEPOS_END counts */
} AE_STREAMINFO;
BOOL BASS_CALL AE_StreamInfo(const char* file, AE_STREAMINFO* info);

/* The output in use: "device", "null", "wav", "manual", or "" before BASS_Init; a
 * device output that lost its device reads "null". Static storage; leaves the
 * thread's error code as it was.
 * Threads: any; never blocks. */
const char* BASS_CALL AE_OutputName(void);

/* Why the output in use was chosen, or why BASS_Init could not start one, in a line
 * for people: "device: the default device of SDL's pulseaudio audio driver",
 * "null: no sound device opened (SDL: ...)", "null: the sound device stopped",
 * "wav: writing PATH", "manual: ...". "" before any BASS_Init. Static storage; leaves
 * the thread's error code as it was.
 * Threads: any; never blocks. */
const char* BASS_CALL AE_OutputReason(void);

/* Milliseconds until the sound the output has taken from the mix so far has all been
 * heard (on a device: played out of its buffers), rounded up: what a program about
 * to end should wait, so that the end of what it played is not cut off. 0 once all of
 * it has been heard, before BASS_Init and on the "manual" output; the "null" and "wav"
 * outputs, paced as a device is, hold back at most 15 ms. Leaves the thread's error
 * code as it was.
 * Threads: any; never blocks. */
DWORD BASS_CALL AE_OutputPendingMs(void);

/* One key/value pair of a file's container metadata: UTF-8 as the container stores
 * it, NUL-terminated, valid during the call only. */
typedef void (*AE_MetadataVisitor)(void* user, const char* key, const char* value);

/* Reads the metadata a container keeps that TagLib cannot read (Matroska and WebM
 * tags, CAF's "info" chunk), as the engine's FFmpeg module reads it, from the file at
 * `path`: calls `visit` with each key/value pair and `user`, the container's pairs
 * before those of its audio stream, before returning. TRUE when the file was read,
 * with or without metadata. FALSE with BASS_ERROR_NOTAVAIL when the engine has no
 * FFmpeg module, BASS_ERROR_FILEOPEN when `path` is no readable regular file,
 * BASS_ERROR_FILEFORM when it is no format the module reads, BASS_ERROR_ILLPARAM for
 * a null argument.
 * The engine need not be started. The tag library uses it.
 * Threads: any, concurrently; reads the file, so it may wait for the disk. */
BOOL BASS_CALL AE_FileMetadata(const char* path, AE_MetadataVisitor visit, void* user);

/* What the calling thread's last BASS_StreamCreateFile that failed found the file to
 * be, in a line for people ("MP4 with an unsupported codec: Dolby AC-4", "Matroska/
 * WebM with 12 channels (at most 8 are played)"), copied into `buffer` (`size` bytes,
 * NUL terminated, cut short when it does not fit); returns the text's length in
 * bytes. 0 and "" when that file was not recognised as any format, or when the
 * thread's last open succeeded or has not happened. Leaves the thread's error code as
 * it was.
 * Threads: any (each thread has its own); never blocks. */
DWORD BASS_CALL AE_StreamRefusal(char* buffer, DWORD size);

/* For a program that owns its process and has no FFmpeg of its own (plughost, a
 * test tool): lets the engine set FFmpeg's process-wide log level to quiet, as soon as
 * its FFmpeg module is loaded. Without it the engine quiets only the FFmpeg contexts it
 * owns and leaves the process-wide level and callback to the host, so a few messages
 * that FFmpeg logs on damaged Matroska and MP4 files without a context of ours ("Truncating
 * packet of size ...") reach stderr. A library such as the plug-in never calls it:
 * the process is its host's. TRUE (also on Windows, where the engine has no FFmpeg); leaves the
 * thread's error code as it was.
 * Threads: any; never blocks. */
BOOL BASS_CALL AE_QuietLibraries(void);

/* The name of an error code as Bass.h spells it ("BASS_OK", "BASS_ERROR_HANDLE",
 * "BASS_ERROR_UNKNOWN" for -1), or "unknown error code" for any other value; never
 * NULL. Static storage; leaves the thread's error code as it was.
 * Threads: any; never blocks. */
const char* BASS_CALL AE_ErrorName(int code);

#ifdef __cplusplus
}
#endif

#endif
