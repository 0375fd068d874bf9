// SPDX-License-Identifier: MIT
// The 32-bit ABI test host's harness: loads Plugin.dll as a host does, resolves its
// exports, reaches the mock engine's record, and counts checks and failures.
//
// This file names no Windows type (its DWORD differs from the engine's); the
// Windows-facing code lives in Harness.cpp and Detach.cpp.
#ifndef WINDOWS_ABI_HARNESS_H
#define WINDOWS_ABI_HARNESS_H

#include <stdint.h>

#include <string>
#include <vector>

#include "windows/mock/MockApi.h"

namespace abi {

// ---- Checks ------------------------------------------------------------------------
extern int g_checks;
extern int g_failures;
// The scenario being run, named in failure messages and in the report of a trap.
void Step(const char* name);
const char* CurrentStep();
void Fail(const char* file, int line, const std::string& message);
void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

#define ABI_CHECK(cond, message)                                 \
    do {                                                         \
        ++::abi::g_checks;                                       \
        if (!(cond)) ::abi::Fail(__FILE__, __LINE__, (message)); \
    } while (0)
// Compares a text once evaluated (a pointer from GetFile or a std::string).
#define ABI_CHECK_EQ_TEXT(actual, expected)                                          \
    do {                                                                             \
        const std::string abiActual_ = ::abi::ToText(actual);                        \
        const std::string abiExpected_ = (expected);                                 \
        ABI_CHECK(abiActual_ == abiExpected_,                                        \
                  "text \"" + abiActual_ + "\", expected \"" + abiExpected_ + "\""); \
    } while (0)

inline std::string ToText(const char* text) { return text == nullptr ? "(null)" : text; }
inline std::string ToText(const std::string& text) { return text; }

std::string Hex(uint64_t value);

// ---- The plug-in's exports -----------------------------------------------------------
// All cdecl, as a host calls them.
typedef const char*(__cdecl* TextFn)();
typedef void(__cdecl* VoidFn)();
typedef int32_t(__cdecl* IntFn)();
typedef bool(__cdecl* BoolFn)();
typedef void(__cdecl* SetTextFn)(const char*);
typedef void(__cdecl* SetIntFn)(int32_t);
typedef void(__cdecl* SetPointerFn)(void*);

struct Exports {
    TextFn Copyright;
    VoidFn GetShortInfo;
    TextFn GetInfo;
    IntFn GetType;
    SetTextFn SetPath;
    SetPointerFn SetParentWindow;
    VoidFn Draw;
    SetTextFn SetFile;
    TextFn GetFile;
    SetIntFn SetData;
    IntFn GetData;
    VoidFn InitBass;
    VoidFn PlayChannel;
    BoolFn CreateChannel;
    VoidFn FreeChannel;
    VoidFn StopChannel;
    VoidFn PauseChannel;
    VoidFn SetPositionForChannel;
    VoidFn GetLevelChannel;
    VoidFn GetDataChannel128;
    VoidFn GetDataChannel20;
    VoidFn GetPosTimeChannel;
    VoidFn GetLengthTimeChannel;
    VoidFn GetTagChannel;
    VoidFn EqSetChannel;
    VoidFn SetValumeChannel;
    VoidFn GetFreqChannel;
    VoidFn GetBitrateChannel;
    VoidFn GetChansChannel;
    VoidFn EqCreateChannel;
};

#include "plugin/exports/ExportNames.h"

// Loads Plugin.dll from the host's directory and resolves every export by name,
// checking that the same ordinal resolves to the same address. False when the
// library does not load (reported as a failure).
bool LoadPlugin(Exports* exports);
// Unloads it; true when it is no longer in the process afterwards.
bool UnloadPlugin();
// The export address a name or an ordinal resolves to, null when none.
void* ExportByName(const char* name);
void* ExportByOrdinal(int ordinal);

// ---- The mock engine's record ------------------------------------------------------
MockEngineResults& Engine();
MockTagsResults& Tags();
// Clears both records and restores the default script.
void ResetMocks();
// The calls recorded since the last reset, engine and tags separately.
std::vector<MockCall> EngineCalls();
std::vector<MockCall> TagCalls();
int EngineCallCount();
// "BASS_ChannelPlay(0x1001, 0x0)"-style rendering of a call, for messages.
std::string Describe(const MockCall& call);
std::string DescribeAll(const std::vector<MockCall>& calls);
// True when the call has this name and exactly these argument words.
bool CallIs(const MockCall& call, const char* name, std::initializer_list<uint32_t> words);
uint32_t FloatBits(float value);
uint32_t DoubleLow(double value);
uint32_t DoubleHigh(double value);

// ---- Stack and floating-point state ----------------------------------------------
// Calls a cdecl function with the given argument words and returns how far the stack
// pointer moved across the call (0 for a well-behaved cdecl callee).
int32_t StackDrift(const void* function, const uint32_t* args, uint32_t count);
// Unmasks invalid, zero-divide and overflow in both the x87 control word and MXCSR,
// as many hosts leave them, clearing pending flags first; Restore puts back the saved
// state.
struct FpState {
    uint16_t x87;
    uint32_t mxcsr;
};
FpState UnmaskFpExceptions();
void RestoreFp(const FpState& saved);
// The control state as the processor holds it: reserved bits read back as the
// processor keeps them (bit 6 of the x87 control word reads as 1 on some), so a
// state is compared with one read back, never with the value loaded.
FpState ReadFp();
// Raises any x87 exception left pending, so that it is reported in the current step.
void WaitFp();
// Reports a trap or crash with the current step and ends the process with exit code 3.
void InstallCrashReporter();

// ---- Scenarios -----------------------------------------------------------------------
void CheckExportTable();
void CheckIdentityAndRegisters(const Exports& p);
void CheckTransport(const Exports& p);
void CheckTimeAndLevel(const Exports& p);
void CheckSpectrum(const Exports& p);
void CheckInfoAndTags(const Exports& p);
void CheckEqualiser(const Exports& p);
void CheckOutOfRangeSlots(const Exports& p);
void CheckStackDrift(const Exports& p);
void CheckQueriesWithFpExceptionsUnmasked(const Exports& p);
// Unloads the plug-in and checks that process detach released its texts in order,
// then reloads it and checks the fresh state. Updates *p.
void CheckDetachAndReload(Exports* p);

}  // namespace abi

#endif
