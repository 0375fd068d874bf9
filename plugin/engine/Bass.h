// SPDX-License-Identifier: MIT
/* The audio engine API that the plug-in imports by name.
 *
 * One header for the plug-in, the engine that implements it and the test double
 * that records calls to it. Types keep their widths on every target: handles and
 * flags are 32-bit, byte positions 64-bit, the window handle pointer-sized.
 * On 32-bit Windows every function is stdcall (callee cleans the stack).
 *
 * Units: byte positions count 16-bit interleaved PCM at the stream's own rate and
 * channel count (bytes = frames x channels x 2); seconds are doubles; volume is a
 * linear gain (1 = unchanged). Unless a function says otherwise, any thread may
 * call it. Failures set the calling thread's error code (BASS_ErrorGetCode).
 */
#ifndef ENGINE_BASS_H
#define ENGINE_BASS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(_WIN32) && !defined(_WIN64)
#define BASS_CALL __stdcall
#else
#define BASS_CALL
#endif

typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
typedef void* HWND;
typedef DWORD HSTREAM; /* a stream handle, 0 = none */
typedef DWORD HFX;     /* an effect handle, 0 = none */

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

/* Error codes given by BASS_ErrorGetCode. */
#define BASS_OK 0
#define BASS_ERROR_MEM 1
#define BASS_ERROR_FILEOPEN 2
#define BASS_ERROR_DRIVER 3
#define BASS_ERROR_HANDLE 5
#define BASS_ERROR_FORMAT 6
#define BASS_ERROR_POSITION 7
#define BASS_ERROR_INIT 8
#define BASS_ERROR_ALREADY 14
#define BASS_ERROR_ILLTYPE 19
#define BASS_ERROR_ILLPARAM 20
#define BASS_ERROR_DEVICE 23
#define BASS_ERROR_NOPLAY 24
#define BASS_ERROR_NOTFILE 27
#define BASS_ERROR_NOTAVAIL 37
#define BASS_ERROR_FILEFORM 41
#define BASS_ERROR_CODEC 44
#define BASS_ERROR_ENDED 45
#define BASS_ERROR_UNKNOWN -1

#define BASS_POS_BYTE 0              /* position mode: bytes of 16-bit PCM */
#define BASS_ATTRIB_VOL 2            /* attribute: linear volume */
#define BASS_DATA_FFT512 0x80000001u /* 256 float magnitudes of a 512-point FFT */
#define BASS_FILEPOS_END 2           /* the file's length, tag blocks excluded */
#define BASS_FX_DX8_PARAMEQ 7        /* peaking equaliser band */

/* Container and codec of a stream (BASS_CHANNELINFO.ctype). */
#define BASS_CTYPE_STREAM_OGG 0x10002u       /* Ogg Vorbis */
#define BASS_CTYPE_STREAM_MP1 0x10003u       /* MPEG layer 1 */
#define BASS_CTYPE_STREAM_MP2 0x10004u       /* MPEG layer 2 */
#define BASS_CTYPE_STREAM_MP3 0x10005u       /* MPEG layer 3 */
#define BASS_CTYPE_STREAM_AIFF 0x10006u      /* AIFF */
#define BASS_CTYPE_STREAM_WMA 0x10300u       /* Windows Media Audio (ASF) */
#define BASS_CTYPE_STREAM_WV 0x10500u        /* WavPack */
#define BASS_CTYPE_STREAM_APE 0x10700u       /* Monkey's Audio */
#define BASS_CTYPE_STREAM_FLAC 0x10900u      /* native FLAC */
#define BASS_CTYPE_STREAM_FLAC_OGG 0x10901u  /* FLAC in Ogg */
#define BASS_CTYPE_STREAM_MPC 0x10a00u       /* Musepack */
#define BASS_CTYPE_STREAM_AAC 0x10b00u       /* AAC, raw (ADTS) or outside MP4 */
#define BASS_CTYPE_STREAM_MP4 0x10b01u       /* AAC in MP4 */
#define BASS_CTYPE_STREAM_ALAC 0x10e00u      /* Apple Lossless */
#define BASS_CTYPE_STREAM_TTA 0x10f00u       /* TTA */
#define BASS_CTYPE_STREAM_AC3 0x11000u       /* AC-3 */
#define BASS_CTYPE_STREAM_OPUS 0x11200u      /* Ogg Opus */
#define BASS_CTYPE_STREAM_ALAC 0x10e00u      /* Apple Lossless */
#define BASS_CTYPE_STREAM_WAV 0x40000u       /* WAV of another codec, its format tag added */
#define BASS_CTYPE_STREAM_WAV_PCM 0x50001u   /* WAV, integer samples */
#define BASS_CTYPE_STREAM_WAV_FLOAT 0x50003u /* WAV, floating-point samples */

/* What a listed output device is (BASS_DEVICEINFO.flags). */
#define BASS_DEVICE_ENABLED 1 /* present now: it can be opened */
#define BASS_DEVICE_DEFAULT 2 /* the system's default device */
#define BASS_DEVICE_INIT 4    /* the device the running engine plays on */

/* Channel activity, as BASS_ChannelIsActive reports it. */
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1
#define BASS_ACTIVE_STALLED 2
#define BASS_ACTIVE_PAUSED 3

/* What the engine knows of a channel. Read it as this struct, never as raw words:
 * its size is 32 bytes on 32-bit targets and 40 on 64-bit ones. */
typedef struct BASS_CHANNELINFO {
    DWORD freq;  /* sample rate in Hz, as decoded */
    DWORD chans; /* channel count */
    DWORD flags;
    DWORD ctype;   /* container and codec */
    DWORD origres; /* original resolution in bits, 0 when not known */
    DWORD plugin;
    DWORD sample;
    const char* filename; /* absolute path of the stream's file; valid until the stream is freed */
} BASS_CHANNELINFO;

/* An output device, as BASS_GetDeviceInfo lists it: 12 bytes on 32-bit targets, 24 on
 * 64-bit ones. The texts are static storage. */
typedef struct BASS_DEVICEINFO {
    const char* name;   /* a description for people */
    const char* driver; /* the identifier that opens it, "" for devices 0 and 1 */
    DWORD flags;        /* BASS_DEVICE_* */
} BASS_DEVICEINFO;

/* A peaking equaliser band: centre in Hz, bandwidth in semitones, gain in dB. */
typedef struct BASS_DX8_PARAMEQ {
    float fCenter;
    float fBandwidth;
    float fGain;
} BASS_DX8_PARAMEQ;

/* Starts output mixing at freq Hz, stereo. device -1: the default output, 0: null,
 * 1: the default sound device, 2 and up: a device as BASS_GetDeviceInfo lists it
 * (DEVICE for a number past the list, DRIVER when it does not open).
 * Fails with ALREADY while running.
 * Threads: any; may block while the output opens (sound server, WAV file). */
BOOL BASS_CALL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* clsid);
/* Opens a stream from a file (mem must be FALSE). offset/length in bytes, 0 = whole.
 * Threads: any; blocks on file I/O while the file is opened and probed (an MP3's
 * length is scanned at open). */
HSTREAM BASS_CALL BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                        DWORD flags);
/* Frees a stream and its effects; a playing stream fades out over 5 ms first.
 * Threads: any; may block: waits for calls in progress on the stream, for effect calls
 * on any stream, for the fade-out (at most 100 ms) and the mixing pass under way. Never
 * for the file: a decode worker stuck in it lets go of the stream later. */
BOOL BASS_CALL BASS_StreamFree(HSTREAM handle);
/* Starts or resumes playback (fading in, except from the first frame); restart TRUE
 * plays from the start.
 * Threads: any; no I/O (a restart's seek is done by the decode side), may wait for
 * another control call on the same stream (microseconds). */
BOOL BASS_CALL BASS_ChannelPlay(DWORD handle, BOOL restart);
/* Stops playback, keeping the position; the sound fades out over 5 ms.
 * Threads: any; no I/O, may wait for another control call on the same stream. */
BOOL BASS_CALL BASS_ChannelStop(DWORD handle);
/* Pauses playback, keeping the position; the sound fades out over 5 ms.
 * Threads: any; no I/O, may wait for another control call on the same stream. */
BOOL BASS_CALL BASS_ChannelPause(DWORD handle);
/* Playing, paused, stopped or stalled (BASS_ACTIVE_*).
 * Threads: any; never blocks. */
DWORD BASS_CALL BASS_ChannelIsActive(DWORD handle);
/* Seconds to bytes, rounded down to a whole frame; (QWORD)-1 on failure.
 * Threads: any; never blocks. */
QWORD BASS_CALL BASS_ChannelSeconds2Bytes(DWORD handle, double seconds);
/* Bytes to seconds; negative on failure.
 * Threads: any; never blocks. */
double BASS_CALL BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes);
/* Seeks to a byte position (mode BASS_POS_BYTE); fails past the end. The position
 * reads the target at once; the stream's decode side does the seek (a file that
 * cannot be read there ends there).
 * Threads: any; no I/O, may wait for another control call on the same stream. */
BOOL BASS_CALL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode);
/* The byte position being heard (mode BASS_POS_BYTE); (QWORD)-1 on failure.
 * Threads: any; lock-free, except that a read racing a control call on the same
 * stream a few times over waits for it (microseconds). */
QWORD BASS_CALL BASS_ChannelGetPosition(DWORD handle, DWORD mode);
/* The stream's length in bytes (mode BASS_POS_BYTE); (QWORD)-1 on failure.
 * Threads: any; never blocks. */
QWORD BASS_CALL BASS_ChannelGetLength(DWORD handle, DWORD mode);
/* Sets an attribute; BASS_ATTRIB_VOL: linear gain, 0 or above, finite.
 * Threads: any; never blocks. */
BOOL BASS_CALL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value);
/* Reads an attribute into *value (BASS_ATTRIB_VOL: linear gain).
 * Threads: any; never blocks. */
BOOL BASS_CALL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value);
/* Peak level of the last 20 ms heard: left in the low word, right in the high word,
 * each 0..32768; (DWORD)-1 when not playing or on failure.
 * Threads: any; no lock the decoding takes; as BASS_ChannelGetPosition otherwise. */
DWORD BASS_CALL BASS_ChannelGetLevel(DWORD handle);
/* BASS_DATA_FFT512: fills buffer with 256 float magnitudes (1024 bytes); returns bytes
 * written, (DWORD)-1 on failure.
 * Threads: any; no I/O, only a short lock shared with other spectrum requests on the
 * same stream. */
DWORD BASS_CALL BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
/* Fills *info; FALSE for an unknown handle.
 * Threads: any; never blocks. */
BOOL BASS_CALL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
/* BASS_FILEPOS_END: the file's size in bytes less ID3/APE tag blocks; (QWORD)-1 on failure.
 * Threads: any; never blocks (measured at open). */
QWORD BASS_CALL BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode);
/* Adds an effect of the given type; higher priority runs first. 0 on failure.
 * A stream that is not playing decodes its queued audio again (a job of its decode
 * side), so the change applies from the next frame heard.
 * Threads: any; no I/O. Effect calls run one at a time across all streams. */
HFX BASS_CALL BASS_ChannelSetFX(DWORD handle, DWORD type, int priority);
/* Removes one effect from a channel.
 * Threads: any; no I/O, as BASS_ChannelSetFX. */
BOOL BASS_CALL BASS_ChannelRemoveFX(DWORD handle, HFX fx);
/* Sets an effect's parameters (BASS_DX8_PARAMEQ for a PARAMEQ: Hz, semitones, dB);
 * rejects out-of-range values.
 * Threads: any; no I/O, as BASS_ChannelSetFX. */
BOOL BASS_CALL BASS_FXSetParameters(HFX fx, const void* params);
/* Reads an effect's parameters back.
 * Threads: any; no I/O, may wait for another thread's effect call to finish. */
BOOL BASS_CALL BASS_FXGetParameters(HFX fx, void* params);
/* Describes output device `device`: 0 "No sound" (the null output), 1 "Default" (the
 * system's default device, which it follows), then the sound devices seen since the
 * process started, each keeping its number (one that went away is listed without
 * BASS_DEVICE_ENABLED). FALSE with DEVICE past the end, ILLPARAM for a NULL info.
 * Works before BASS_Init. The list is at most about a second old.
 * Threads: any; may block while the list is refreshed, about 1 s at most for the
 * sound server. */
BOOL BASS_CALL BASS_GetDeviceInfo(DWORD device, BASS_DEVICEINFO* info);
/* The calling thread's last error code (BASS_OK after a success).
 * Threads: any (each thread has its own); never blocks. */
int BASS_CALL BASS_ErrorGetCode(void);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#define BASS_STATIC_ASSERT static_assert
#else
#define BASS_STATIC_ASSERT _Static_assert
#endif
#if defined(__i386__) || defined(_M_IX86)
BASS_STATIC_ASSERT(sizeof(BASS_CHANNELINFO) == 32, "BASS_CHANNELINFO is 32 bytes on i686");
#elif defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__)
BASS_STATIC_ASSERT(sizeof(BASS_CHANNELINFO) == 40, "BASS_CHANNELINFO is 40 bytes on 64-bit");
#endif
#if defined(__i386__) || defined(_M_IX86)
BASS_STATIC_ASSERT(sizeof(BASS_DEVICEINFO) == 12, "BASS_DEVICEINFO is 12 bytes on i686");
#elif defined(__x86_64__) || defined(_M_X64) || defined(__aarch64__)
BASS_STATIC_ASSERT(sizeof(BASS_DEVICEINFO) == 24, "BASS_DEVICEINFO is 24 bytes on 64-bit");
#endif
BASS_STATIC_ASSERT(sizeof(BASS_DX8_PARAMEQ) == 12, "BASS_DX8_PARAMEQ is three floats");

#endif
