// SPDX-License-Identifier: MIT
// A mock bass.dll: every engine function the plug-in may import, recording each call
// with its arguments and answering from a script the test host fills in.
//
// The entry points are named Mock_<engine name> and exported under the engine names
// by the module definition CMake generates. Built normally they are stdcall, as the
// engine's are; built with MOCK_WRONG_CONVENTION they are cdecl, so that the caller's
// stack is no longer cleaned: the negative control that proves the ABI test can fail.
#include <string.h>

#include "plugin/engine/Bass.h"
#include "windows/mock/MockLog.h"

#ifdef MOCK_WRONG_CONVENTION
#define MOCK_CALL __cdecl
#else
#define MOCK_CALL __stdcall
#endif

namespace {

MockEngineResults g_script;
mock::CallLog g_log;
unsigned g_levelTurn;

// Records the call with its arguments and answers `result`.
template <typename R, typename... Args>
R Answer(R result, const char* name, const Args&... args) {
    g_log.Add(g_script.recordCalls != 0, name, args...);
    return result;
}

void ResetAll() {
    memset(&g_script, 0, sizeof g_script);
    g_script.initResult = TRUE;
    g_script.nextStream = 0x1001;
    g_script.nextEffect = 0x5001;
    g_script.recordCalls = 1;
    g_levelTurn = 0;
    g_log.Reset();
}

struct Startup {
    Startup() { ResetAll(); }
} g_startup;

HSTREAM OpenStream() {
    const HSTREAM handle = g_script.nextStream;
    if (handle != 0) ++g_script.nextStream;
    return handle;
}

DWORD Level(DWORD handle) {
    if (handle == 0) return ~DWORD{0};
    return g_script.levels[g_levelTurn++ % 2];
}

DWORD Spectrum(DWORD handle, void* buffer, DWORD length) {
    if (handle == 0 || length != BASS_DATA_FFT512) return ~DWORD{0};
    memcpy(buffer, g_script.spectrum, sizeof g_script.spectrum);
    return sizeof g_script.spectrum;
}

BOOL Info(DWORD handle, BASS_CHANNELINFO* info) {
    if (handle == 0) return FALSE;
    // Every one of the record's 32 bytes is written, as a real engine does: a caller
    // with a shorter record would have its stack overwritten.
    memset(info, 0, sizeof *info);
    info->freq = g_script.infoFreq;
    info->chans = g_script.infoChans;
    info->ctype = BASS_CTYPE_STREAM_MP3;
    info->filename = "C:\\music\\mock.mp3";
    return TRUE;
}

constexpr QWORD kNoBytes = ~QWORD{0};

}  // namespace

extern "C" {

// ---- Control, for the test host (cdecl) ------------------------------------------

void* MockEngineScript() { return &g_script; }
void MockEngineReset() { ResetAll(); }
int MockEngineCalls(const MockCall** calls) { return g_log.Calls(calls); }

// ---- The engine API ---------------------------------------------------------------
// Handle 0 fails, as it does in a real engine; other handles answer from the script.

BOOL MOCK_CALL Mock_BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* clsid) {
    return Answer(g_script.initResult, "BASS_Init", device, freq, flags, win, clsid);
}

HSTREAM MOCK_CALL Mock_BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                             DWORD flags) {
    return Answer(OpenStream(), "BASS_StreamCreateFile", mem,
                  mock::Text{static_cast<const char*>(file)}, offset, length, flags);
}

BOOL MOCK_CALL Mock_BASS_StreamFree(HSTREAM handle) {
    return Answer(handle != 0, "BASS_StreamFree", handle);
}

BOOL MOCK_CALL Mock_BASS_ChannelPlay(DWORD handle, BOOL restart) {
    return Answer(handle != 0, "BASS_ChannelPlay", handle, restart);
}

BOOL MOCK_CALL Mock_BASS_ChannelStop(DWORD handle) {
    return Answer(handle != 0, "BASS_ChannelStop", handle);
}

BOOL MOCK_CALL Mock_BASS_ChannelPause(DWORD handle) {
    return Answer(handle != 0, "BASS_ChannelPause", handle);
}

DWORD MOCK_CALL Mock_BASS_ChannelIsActive(DWORD handle) {
    return Answer(DWORD{BASS_ACTIVE_STOPPED}, "BASS_ChannelIsActive", handle);
}

QWORD MOCK_CALL Mock_BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    return Answer(handle != 0 ? g_script.seconds2Bytes : kNoBytes, "BASS_ChannelSeconds2Bytes",
                  handle, seconds);
}

double MOCK_CALL Mock_BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes) {
    return Answer(handle != 0 ? g_script.bytes2Seconds : -1.0, "BASS_ChannelBytes2Seconds", handle,
                  bytes);
}

BOOL MOCK_CALL Mock_BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    return Answer(handle != 0, "BASS_ChannelSetPosition", handle, pos, mode);
}

QWORD MOCK_CALL Mock_BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    return Answer(handle != 0 ? g_script.position : kNoBytes, "BASS_ChannelGetPosition", handle,
                  mode);
}

QWORD MOCK_CALL Mock_BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    return Answer(handle != 0 ? g_script.length : kNoBytes, "BASS_ChannelGetLength", handle, mode);
}

BOOL MOCK_CALL Mock_BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    return Answer(handle != 0, "BASS_ChannelSetAttribute", handle, attrib, value);
}

BOOL MOCK_CALL Mock_BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
    return Answer(FALSE, "BASS_ChannelGetAttribute", handle, attrib, value);
}

DWORD MOCK_CALL Mock_BASS_ChannelGetLevel(DWORD handle) {
    return Answer(Level(handle), "BASS_ChannelGetLevel", handle);
}

DWORD MOCK_CALL Mock_BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    return Answer(Spectrum(handle, buffer, length), "BASS_ChannelGetData", handle, buffer, length);
}

BOOL MOCK_CALL Mock_BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    return Answer(Info(handle, info), "BASS_ChannelGetInfo", handle, info);
}

QWORD MOCK_CALL Mock_BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    return Answer(handle != 0 ? g_script.filePosition : kNoBytes, "BASS_StreamGetFilePosition",
                  handle, mode);
}

HFX MOCK_CALL Mock_BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    return Answer(handle != 0 ? g_script.nextEffect++ : 0, "BASS_ChannelSetFX", handle, type,
                  priority);
}

BOOL MOCK_CALL Mock_BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
    return Answer(handle != 0 && fx != 0, "BASS_ChannelRemoveFX", handle, fx);
}

BOOL MOCK_CALL Mock_BASS_FXSetParameters(HFX fx, const void* params) {
    return Answer(fx != 0, "BASS_FXSetParameters", fx, mock::RecordOf<BASS_DX8_PARAMEQ>{params});
}

BOOL MOCK_CALL Mock_BASS_FXGetParameters(HFX fx, void* params) {
    return Answer(FALSE, "BASS_FXGetParameters", fx, params);
}

int MOCK_CALL Mock_BASS_ErrorGetCode() { return Answer(BASS_OK, "BASS_ErrorGetCode"); }

}  // extern "C"
