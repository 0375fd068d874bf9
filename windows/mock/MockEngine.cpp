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

MockCall* Record(const char* name) { return g_log.Add(g_script.recordCalls != 0, name); }

uint32_t Pointer(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

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

}  // namespace

extern "C" {

// ---- Control, for the test host (cdecl) ------------------------------------------

void* MockEngineScript() { return &g_script; }
void MockEngineReset() { ResetAll(); }
int MockEngineCalls(const MockCall** calls) { return g_log.Calls(calls); }

// ---- The engine API ---------------------------------------------------------------

BOOL MOCK_CALL Mock_BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* clsid) {
    MockCall* c = Record("BASS_Init");
    mock::Word(c, static_cast<uint32_t>(device));
    mock::Word(c, freq);
    mock::Word(c, flags);
    mock::Word(c, Pointer(win));
    mock::Word(c, Pointer(clsid));
    return g_script.initResult;
}

HSTREAM MOCK_CALL Mock_BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                             DWORD flags) {
    MockCall* c = Record("BASS_StreamCreateFile");
    mock::Word(c, static_cast<uint32_t>(mem));
    mock::Word(c, Pointer(file));
    mock::Words(c, offset);
    mock::Words(c, length);
    mock::Word(c, flags);
    mock::Text(c, static_cast<const char*>(file));
    const HSTREAM handle = g_script.nextStream;
    if (handle != 0) ++g_script.nextStream;
    return handle;
}

BOOL MOCK_CALL Mock_BASS_StreamFree(HSTREAM handle) {
    mock::Word(Record("BASS_StreamFree"), handle);
    return handle != 0;
}

BOOL MOCK_CALL Mock_BASS_ChannelPlay(DWORD handle, BOOL restart) {
    MockCall* c = Record("BASS_ChannelPlay");
    mock::Word(c, handle);
    mock::Word(c, static_cast<uint32_t>(restart));
    return handle != 0;
}

BOOL MOCK_CALL Mock_BASS_ChannelStop(DWORD handle) {
    mock::Word(Record("BASS_ChannelStop"), handle);
    return handle != 0;
}

BOOL MOCK_CALL Mock_BASS_ChannelPause(DWORD handle) {
    mock::Word(Record("BASS_ChannelPause"), handle);
    return handle != 0;
}

DWORD MOCK_CALL Mock_BASS_ChannelIsActive(DWORD handle) {
    mock::Word(Record("BASS_ChannelIsActive"), handle);
    return BASS_ACTIVE_STOPPED;
}

QWORD MOCK_CALL Mock_BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    MockCall* c = Record("BASS_ChannelSeconds2Bytes");
    mock::Word(c, handle);
    mock::Words(c, seconds);
    return handle != 0 ? g_script.seconds2Bytes : ~QWORD{0};
}

double MOCK_CALL Mock_BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes) {
    MockCall* c = Record("BASS_ChannelBytes2Seconds");
    mock::Word(c, handle);
    mock::Words(c, bytes);
    return handle != 0 ? g_script.bytes2Seconds : -1.0;
}

BOOL MOCK_CALL Mock_BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    MockCall* c = Record("BASS_ChannelSetPosition");
    mock::Word(c, handle);
    mock::Words(c, pos);
    mock::Word(c, mode);
    return handle != 0;
}

QWORD MOCK_CALL Mock_BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    MockCall* c = Record("BASS_ChannelGetPosition");
    mock::Word(c, handle);
    mock::Word(c, mode);
    return handle != 0 ? g_script.position : ~QWORD{0};
}

QWORD MOCK_CALL Mock_BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    MockCall* c = Record("BASS_ChannelGetLength");
    mock::Word(c, handle);
    mock::Word(c, mode);
    return handle != 0 ? g_script.length : ~QWORD{0};
}

BOOL MOCK_CALL Mock_BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    MockCall* c = Record("BASS_ChannelSetAttribute");
    mock::Word(c, handle);
    mock::Word(c, attrib);
    mock::Words(c, value);
    return handle != 0;
}

BOOL MOCK_CALL Mock_BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
    MockCall* c = Record("BASS_ChannelGetAttribute");
    mock::Word(c, handle);
    mock::Word(c, attrib);
    mock::Word(c, Pointer(value));
    return FALSE;
}

DWORD MOCK_CALL Mock_BASS_ChannelGetLevel(DWORD handle) {
    mock::Word(Record("BASS_ChannelGetLevel"), handle);
    if (handle == 0) return ~DWORD{0};
    return g_script.levels[g_levelTurn++ % 2];
}

DWORD MOCK_CALL Mock_BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    MockCall* c = Record("BASS_ChannelGetData");
    mock::Word(c, handle);
    mock::Word(c, Pointer(buffer));
    mock::Word(c, length);
    if (handle == 0 || length != BASS_DATA_FFT512) return ~DWORD{0};
    memcpy(buffer, g_script.spectrum, sizeof g_script.spectrum);
    return sizeof g_script.spectrum;
}

BOOL MOCK_CALL Mock_BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    MockCall* c = Record("BASS_ChannelGetInfo");
    mock::Word(c, handle);
    mock::Word(c, Pointer(info));
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

QWORD MOCK_CALL Mock_BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    MockCall* c = Record("BASS_StreamGetFilePosition");
    mock::Word(c, handle);
    mock::Word(c, mode);
    return handle != 0 ? g_script.filePosition : ~QWORD{0};
}

HFX MOCK_CALL Mock_BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    MockCall* c = Record("BASS_ChannelSetFX");
    mock::Word(c, handle);
    mock::Word(c, type);
    mock::Word(c, static_cast<uint32_t>(priority));
    return handle != 0 ? g_script.nextEffect++ : 0;
}

BOOL MOCK_CALL Mock_BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
    MockCall* c = Record("BASS_ChannelRemoveFX");
    mock::Word(c, handle);
    mock::Word(c, fx);
    return handle != 0 && fx != 0;
}

BOOL MOCK_CALL Mock_BASS_FXSetParameters(HFX fx, const void* params) {
    MockCall* c = Record("BASS_FXSetParameters");
    mock::Word(c, fx);
    mock::Word(c, Pointer(params));
    if (c != nullptr && params != nullptr) memcpy(c->record, params, sizeof(BASS_DX8_PARAMEQ));
    return fx != 0;
}

BOOL MOCK_CALL Mock_BASS_FXGetParameters(HFX fx, void* params) {
    MockCall* c = Record("BASS_FXGetParameters");
    mock::Word(c, fx);
    mock::Word(c, Pointer(params));
    return FALSE;
}

int MOCK_CALL Mock_BASS_ErrorGetCode() {
    Record("BASS_ErrorGetCode");
    return BASS_OK;
}

}  // extern "C"
