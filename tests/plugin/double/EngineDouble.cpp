// The recording engine double: see EngineDouble.h. Built into the unit tests and, while
// the real engine is not built, as the libbass.so the plug-in loads.
#include "tests/plugin/double/EngineDouble.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

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

std::string Quote(const char* text) {
    if (text == nullptr) return "null";
    return std::string("\"") + text + "\"";
}

}  // namespace enginedouble

namespace {

using enginedouble::Next;
using enginedouble::Record;

std::string Dec(uint64_t value) { return std::to_string(value); }
std::string Dec(DWORD value) { return std::to_string(value); }
std::string Dec(int value) { return std::to_string(value); }

std::string Hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%" PRIx64, value);
    return text;
}

std::string Real(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

std::string Real(float value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
    return text;
}

std::string Pointer(const void* pointer) {
    return pointer == nullptr ? "null" : Hex(reinterpret_cast<uintptr_t>(pointer));
}

std::string Buffer(const void* pointer) { return pointer == nullptr ? "null" : "buffer"; }

std::string Call(const char* name, std::initializer_list<std::string> args) {
    std::string call = name;
    call += '(';
    bool first = true;
    for (const std::string& arg : args) {
        if (!first) call += ", ";
        call += arg;
        first = false;
    }
    call += ')';
    return call;
}

}  // namespace

extern "C" {

BOOL BASS_CALL BASS_Init(int device, DWORD freq, DWORD flags, HWND win, const void* clsid) {
    Record(Call("BASS_Init", {Dec(device), Dec(freq), Dec(flags), Pointer(win), Pointer(clsid)}));
    return static_cast<BOOL>(Next("BASS_Init").value);
}

HSTREAM BASS_CALL BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length,
                                        DWORD flags) {
    Record(Call("BASS_StreamCreateFile",
                {Dec(mem), enginedouble::Quote(static_cast<const char*>(file)), Dec(offset),
                 Dec(length), Dec(flags)}));
    return static_cast<HSTREAM>(Next("BASS_StreamCreateFile").value);
}

BOOL BASS_CALL BASS_StreamFree(HSTREAM handle) {
    Record(Call("BASS_StreamFree", {Dec(handle)}));
    return static_cast<BOOL>(Next("BASS_StreamFree").value);
}

BOOL BASS_CALL BASS_ChannelPlay(DWORD handle, BOOL restart) {
    Record(Call("BASS_ChannelPlay", {Dec(handle), Dec(restart)}));
    return static_cast<BOOL>(Next("BASS_ChannelPlay").value);
}

BOOL BASS_CALL BASS_ChannelStop(DWORD handle) {
    Record(Call("BASS_ChannelStop", {Dec(handle)}));
    return static_cast<BOOL>(Next("BASS_ChannelStop").value);
}

BOOL BASS_CALL BASS_ChannelPause(DWORD handle) {
    Record(Call("BASS_ChannelPause", {Dec(handle)}));
    return static_cast<BOOL>(Next("BASS_ChannelPause").value);
}

DWORD BASS_CALL BASS_ChannelIsActive(DWORD handle) {
    Record(Call("BASS_ChannelIsActive", {Dec(handle)}));
    return static_cast<DWORD>(Next("BASS_ChannelIsActive").value);
}

QWORD BASS_CALL BASS_ChannelSeconds2Bytes(DWORD handle, double seconds) {
    Record(Call("BASS_ChannelSeconds2Bytes", {Dec(handle), Real(seconds)}));
    return Next("BASS_ChannelSeconds2Bytes").value;
}

double BASS_CALL BASS_ChannelBytes2Seconds(DWORD handle, QWORD bytes) {
    Record(Call("BASS_ChannelBytes2Seconds", {Dec(handle), Dec(bytes)}));
    return Next("BASS_ChannelBytes2Seconds").seconds;
}

BOOL BASS_CALL BASS_ChannelSetPosition(DWORD handle, QWORD pos, DWORD mode) {
    Record(Call("BASS_ChannelSetPosition", {Dec(handle), Dec(pos), Dec(mode)}));
    return static_cast<BOOL>(Next("BASS_ChannelSetPosition").value);
}

QWORD BASS_CALL BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    Record(Call("BASS_ChannelGetPosition", {Dec(handle), Dec(mode)}));
    return Next("BASS_ChannelGetPosition").value;
}

QWORD BASS_CALL BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    Record(Call("BASS_ChannelGetLength", {Dec(handle), Dec(mode)}));
    return Next("BASS_ChannelGetLength").value;
}

BOOL BASS_CALL BASS_ChannelSetAttribute(DWORD handle, DWORD attrib, float value) {
    Record(Call("BASS_ChannelSetAttribute", {Dec(handle), Dec(attrib), Real(value)}));
    return static_cast<BOOL>(Next("BASS_ChannelSetAttribute").value);
}

BOOL BASS_CALL BASS_ChannelGetAttribute(DWORD handle, DWORD attrib, float* value) {
    Record(Call("BASS_ChannelGetAttribute", {Dec(handle), Dec(attrib), Buffer(value)}));
    const enginedouble::Result result = Next("BASS_ChannelGetAttribute");
    if (result.fillsAttribute && value != nullptr) *value = result.attribute;
    return static_cast<BOOL>(result.value);
}

DWORD BASS_CALL BASS_ChannelGetLevel(DWORD handle) {
    Record(Call("BASS_ChannelGetLevel", {Dec(handle)}));
    return static_cast<DWORD>(Next("BASS_ChannelGetLevel").value);
}

DWORD BASS_CALL BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    Record(Call("BASS_ChannelGetData", {Dec(handle), Buffer(buffer), Hex(length)}));
    const enginedouble::Result result = Next("BASS_ChannelGetData");
    // An FFT request fills 256 floats; never write past what the flag promises.
    const size_t room = length == BASS_DATA_FFT512 ? 256 : 0;
    const size_t count = result.words.size() < room ? result.words.size() : room;
    if (buffer != nullptr && count > 0) {
        std::memcpy(buffer, result.words.data(), count * sizeof(uint32_t));
    }
    return static_cast<DWORD>(result.value);
}

BOOL BASS_CALL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    Record(Call("BASS_ChannelGetInfo", {Dec(handle), Buffer(info)}));
    const enginedouble::Result result = Next("BASS_ChannelGetInfo");
    if (result.fillsInfo && info != nullptr) *info = result.info;
    return static_cast<BOOL>(result.value);
}

QWORD BASS_CALL BASS_StreamGetFilePosition(HSTREAM handle, DWORD mode) {
    Record(Call("BASS_StreamGetFilePosition", {Dec(handle), Dec(mode)}));
    return Next("BASS_StreamGetFilePosition").value;
}

HFX BASS_CALL BASS_ChannelSetFX(DWORD handle, DWORD type, int priority) {
    Record(Call("BASS_ChannelSetFX", {Dec(handle), Dec(type), Dec(priority)}));
    return static_cast<HFX>(Next("BASS_ChannelSetFX").value);
}

BOOL BASS_CALL BASS_ChannelRemoveFX(DWORD handle, HFX fx) {
    Record(Call("BASS_ChannelRemoveFX", {Dec(handle), Dec(fx)}));
    return static_cast<BOOL>(Next("BASS_ChannelRemoveFX").value);
}

BOOL BASS_CALL BASS_FXSetParameters(HFX fx, const void* params) {
    std::string contents = "null";
    if (params != nullptr) {
        BASS_DX8_PARAMEQ eq;
        std::memcpy(&eq, params, sizeof eq);
        contents =
            "{" + Real(eq.fCenter) + ", " + Real(eq.fBandwidth) + ", " + Real(eq.fGain) + "}";
    }
    Record(Call("BASS_FXSetParameters", {Dec(fx), contents}));
    return static_cast<BOOL>(Next("BASS_FXSetParameters").value);
}

BOOL BASS_CALL BASS_FXGetParameters(HFX fx, void* params) {
    Record(Call("BASS_FXGetParameters", {Dec(fx), Buffer(params)}));
    const enginedouble::Result result = Next("BASS_FXGetParameters");
    if (result.fillsParams && params != nullptr) {
        std::memcpy(params, &result.params, sizeof result.params);
    }
    return static_cast<BOOL>(result.value);
}

int BASS_CALL BASS_ErrorGetCode(void) {
    Record(Call("BASS_ErrorGetCode", {}));
    return static_cast<int>(Next("BASS_ErrorGetCode").value);
}

}  // extern "C"
