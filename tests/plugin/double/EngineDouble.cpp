// SPDX-License-Identifier: MIT
// The recording engine double: see EngineDouble.h. Built into the unit tests and, for
// the host-boundary test, as a libbass.so of its own that the loaded plug-in calls.
#include "tests/plugin/double/EngineDouble.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "tests/plugin/double/Recording.h"

namespace enginedouble {
namespace {

const char* const kFunctions[] = {
    "BASS_Init",
    "BASS_StreamCreateFile",
    "BASS_StreamFree",
    "BASS_ChannelPlay",
    "BASS_ChannelStop",
    "BASS_ChannelPause",
    "BASS_ChannelIsActive",
    "BASS_ChannelSeconds2Bytes",
    "BASS_ChannelBytes2Seconds",
    "BASS_ChannelSetPosition",
    "BASS_ChannelGetPosition",
    "BASS_ChannelGetLength",
    "BASS_ChannelSetAttribute",
    "BASS_ChannelGetAttribute",
    "BASS_ChannelGetLevel",
    "BASS_ChannelGetData",
    "BASS_ChannelGetInfo",
    "BASS_StreamGetFilePosition",
    "BASS_ChannelSetFX",
    "BASS_ChannelRemoveFX",
    "BASS_FXSetParameters",
    "BASS_FXGetParameters",
    "BASS_ErrorGetCode",
    "TAGS_Read",
};

// A process using the double as its engine for long must not grow without bound.
constexpr size_t kMaxRecordedCalls = 1000000;

struct Script {
    std::deque<Result> queue;
    Result fallback;
};

struct State {
    std::mutex mutex;
    std::vector<std::string> calls;
    std::map<std::string, Script> scripts;
};

State& Shared() {
    static State* state = new State();  // never destroyed: callers may outlive statics
    return *state;
}

Script& ScriptOf(State& state, const std::string& function) {
    for (const char* known : kFunctions) {
        if (function == known) return state.scripts[function];
    }
    std::fprintf(stderr, "engine double: no function named \"%s\"\n", function.c_str());
    std::abort();
}

}  // namespace

void Queue(const std::string& function, const Result& result) {
    State& state = Shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    ScriptOf(state, function).queue.push_back(result);
}

void SetDefault(const std::string& function, const Result& result) {
    State& state = Shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    ScriptOf(state, function).fallback = result;
}

void Reset() {
    State& state = Shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.calls.clear();
    state.scripts.clear();
}

std::vector<std::string> TakeCalls() {
    State& state = Shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    std::vector<std::string> calls;
    calls.swap(state.calls);
    return calls;
}

void Record(std::string call) {
    State& state = Shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.calls.size() < kMaxRecordedCalls) state.calls.push_back(std::move(call));
}

Result Next(const char* function) {
    State& state = Shared();
    std::lock_guard<std::mutex> lock(state.mutex);
    Script& script = ScriptOf(state, function);
    if (script.queue.empty()) return script.fallback;
    Result next = std::move(script.queue.front());
    script.queue.pop_front();
    return next;
}

std::string Arg(int value) { return std::to_string(value); }
std::string Arg(uint32_t value) { return std::to_string(value); }
std::string Arg(uint64_t value) { return std::to_string(value); }

std::string Arg(Hex value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value.value);
    return text;
}

std::string Arg(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string Arg(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

std::string Arg(const void* pointer) {
    return pointer == nullptr ? "null" : Arg(Hex{reinterpret_cast<uintptr_t>(pointer)});
}

std::string Arg(const char* text) {
    if (text == nullptr) return "null";
    return std::string("\"") + text + "\"";
}

std::string Arg(ParamEq record) {
    if (record.params == nullptr) return "null";
    BASS_DX8_PARAMEQ eq;
    std::memcpy(&eq, record.params, sizeof eq);
    return "{" + Arg(eq.fCenter) + ", " + Arg(eq.fBandwidth) + ", " + Arg(eq.fGain) + "}";
}

void Fill(const Result& result, const Out<float>& out) {
    if (result.fillsAttribute && out.buffer != nullptr) *out.buffer = result.attribute;
}

void Fill(const Result& result, const Out<uint32_t>& out) {
    const size_t count = result.words.size() < out.room ? result.words.size() : out.room;
    if (out.buffer != nullptr && count > 0) {
        std::memcpy(out.buffer, result.words.data(), count * sizeof(uint32_t));
    }
}

void Fill(const Result& result, const Out<BASS_CHANNELINFO>& out) {
    if (result.fillsInfo && out.buffer != nullptr) *out.buffer = result.info;
}

void Fill(const Result& result, const Out<BASS_DX8_PARAMEQ>& out) {
    if (result.fillsParams && out.buffer != nullptr) {
        std::memcpy(out.buffer, &result.params, sizeof result.params);
    }
}

}  // namespace enginedouble

using enginedouble::Answer;
using enginedouble::Hex;
using enginedouble::Out;
using enginedouble::ParamEq;

extern "C" {

BOOL BASS_CALL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* clsid) {
    return Answer<BOOL>("BASS_Init", device, freq, flags, win, clsid);
}

HSTREAM BASS_CALL BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                        DWORD flags) {
    return Answer<HSTREAM>("BASS_StreamCreateFile", mem, static_cast<const char*>(file), offset,
                           length, flags);
}

BOOL BASS_CALL BASS_StreamFree(HSTREAM handle) { return Answer<BOOL>("BASS_StreamFree", handle); }

BOOL BASS_CALL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    return Answer<BOOL>("BASS_ChannelPlay", handle, restart);
}

BOOL BASS_CALL BASS_ChannelStop(DWORD handle) { return Answer<BOOL>("BASS_ChannelStop", handle); }

BOOL BASS_CALL BASS_ChannelPause(DWORD handle) { return Answer<BOOL>("BASS_ChannelPause", handle); }

DWORD BASS_CALL BASS_ChannelIsActive(DWORD handle) {
    return Answer<DWORD>("BASS_ChannelIsActive", handle);
}

QWORD BASS_CALL BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    return Answer<QWORD>("BASS_ChannelSeconds2Bytes", handle, seconds);
}

double BASS_CALL BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes) {
    return Answer<double>("BASS_ChannelBytes2Seconds", handle, bytes);
}

BOOL BASS_CALL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    return Answer<BOOL>("BASS_ChannelSetPosition", handle, pos, mode);
}

QWORD BASS_CALL BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    return Answer<QWORD>("BASS_ChannelGetPosition", handle, mode);
}

QWORD BASS_CALL BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    return Answer<QWORD>("BASS_ChannelGetLength", handle, mode);
}

BOOL BASS_CALL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    return Answer<BOOL>("BASS_ChannelSetAttribute", handle, attrib, value);
}

BOOL BASS_CALL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
    return Answer<BOOL>("BASS_ChannelGetAttribute", handle, attrib, Out<float>{value});
}

DWORD BASS_CALL BASS_ChannelGetLevel(DWORD handle) {
    return Answer<DWORD>("BASS_ChannelGetLevel", handle);
}

DWORD BASS_CALL BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    // An FFT request fills 256 floats; never write past what the flag promises.
    const Out<uint32_t> spectrum{static_cast<uint32_t*>(buffer),
                                 length == BASS_DATA_FFT512 ? 256u : 0u};
    return Answer<DWORD>("BASS_ChannelGetData", handle, spectrum, Hex{length});
}

BOOL BASS_CALL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    return Answer<BOOL>("BASS_ChannelGetInfo", handle, Out<BASS_CHANNELINFO>{info});
}

QWORD BASS_CALL BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    return Answer<QWORD>("BASS_StreamGetFilePosition", handle, mode);
}

HFX BASS_CALL BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    return Answer<HFX>("BASS_ChannelSetFX", handle, type, priority);
}

BOOL BASS_CALL BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
    return Answer<BOOL>("BASS_ChannelRemoveFX", handle, fx);
}

BOOL BASS_CALL BASS_FXSetParameters(HFX fx, const void* params) {
    return Answer<BOOL>("BASS_FXSetParameters", fx, ParamEq{params});
}

BOOL BASS_CALL BASS_FXGetParameters(HFX fx, void* params) {
    return Answer<BOOL>("BASS_FXGetParameters", fx,
                        Out<BASS_DX8_PARAMEQ>{static_cast<BASS_DX8_PARAMEQ*>(params)});
}

int BASS_CALL BASS_ErrorGetCode(void) { return Answer<int>("BASS_ErrorGetCode"); }

}  // extern "C"
