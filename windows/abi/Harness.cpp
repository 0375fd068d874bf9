// SPDX-License-Identifier: MIT
#include "windows/abi/Harness.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <windows.h>

namespace abi {

int g_checks = 0;
int g_failures = 0;

namespace {

const char* g_step = "start";
HMODULE g_plugin = nullptr;

template <typename Fn>
Fn Resolve(const char* module, const char* name) {
    HMODULE handle = GetModuleHandleA(module);
    if (handle == nullptr) return nullptr;
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

std::vector<MockCall> Copy(MockCallsFn calls) {
    if (calls == nullptr) return {};
    const MockCall* first = nullptr;
    const int count = calls(&first);
    return std::vector<MockCall>(first, first + (count < kMockMaxCalls ? count : kMockMaxCalls));
}

LONG WINAPI ReportCrash(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    Print("TRAP: exception 0x%08lx at %p during \"%s\"\n", record->ExceptionCode,
          record->ExceptionAddress, g_step);
    ExitProcess(3);
}

}  // namespace

void Step(const char* name) { g_step = name; }
const char* CurrentStep() { return g_step; }

void Print(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

void Fail(const char* file, int line, const std::string& message) {
    ++g_failures;
    const char* base = strrchr(file, '/');
    Print("FAIL %s:%d [%s] %s\n", base != nullptr ? base + 1 : file, line, g_step, message.c_str());
}

std::string Hex(uint64_t value) {
    char text[24];
    snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

void* ExportByName(const char* name) {
    return g_plugin != nullptr ? reinterpret_cast<void*>(GetProcAddress(g_plugin, name)) : nullptr;
}

void* ExportByOrdinal(int ordinal) {
    return g_plugin != nullptr
               ? reinterpret_cast<void*>(GetProcAddress(g_plugin, MAKEINTRESOURCEA(ordinal)))
               : nullptr;
}

bool LoadPlugin(Exports* exports) {
    g_plugin = LoadLibraryA("Plugin.dll");
    ABI_CHECK(g_plugin != nullptr,
              "Plugin.dll does not load (error " + std::to_string(GetLastError()) + ")");
    if (g_plugin == nullptr) return false;
    void** slots = reinterpret_cast<void**>(exports);
    static_assert(sizeof(Exports) == 30 * sizeof(void*), "one pointer per export");
    for (int i = 0; i < 30; ++i) {
        void* byName = ExportByName(kPluginExportNames[i]);
        ABI_CHECK(byName != nullptr, std::string("no export named ") + kPluginExportNames[i]);
        ABI_CHECK(byName == ExportByOrdinal(i + 1),
                  std::string(kPluginExportNames[i]) + " is not ordinal " + std::to_string(i + 1));
        slots[i] = byName;
    }
    for (int i = 0; i < 30; ++i) {
        if (slots[i] == nullptr) return false;
    }
    return true;
}

bool UnloadPlugin() {
    if (g_plugin == nullptr) return true;
    FreeLibrary(g_plugin);
    g_plugin = nullptr;
    return GetModuleHandleA("Plugin.dll") == nullptr;
}

MockEngineResults& Engine() {
    static auto script = Resolve<MockScriptFn>("bass.dll", "MockEngineScript");
    return *static_cast<MockEngineResults*>(script());
}

MockTagsResults& Tags() {
    static auto script = Resolve<MockScriptFn>("tags.dll", "MockTagsScript");
    return *static_cast<MockTagsResults*>(script());
}

void ResetMocks() {
    Resolve<MockResetFn>("bass.dll", "MockEngineReset")();
    Resolve<MockResetFn>("tags.dll", "MockTagsReset")();
}

std::vector<MockCall> EngineCalls() {
    return Copy(Resolve<MockCallsFn>("bass.dll", "MockEngineCalls"));
}

std::vector<MockCall> TagCalls() { return Copy(Resolve<MockCallsFn>("tags.dll", "MockTagsCalls")); }

int EngineCallCount() {
    const MockCall* first = nullptr;
    return Resolve<MockCallsFn>("bass.dll", "MockEngineCalls")(&first);
}

std::string Describe(const MockCall& call) {
    std::string text = call.name;
    text += '(';
    for (int i = 0; i < call.wordCount; ++i) {
        if (i > 0) text += ", ";
        text += Hex(call.words[i]);
    }
    text += ')';
    if (call.text[0] != '\0') text += std::string(" text \"") + call.text + "\"";
    return text;
}

std::string DescribeAll(const std::vector<MockCall>& calls) {
    std::string text = std::to_string(calls.size()) + " calls:";
    for (const MockCall& call : calls) text += " " + Describe(call) + ";";
    return text;
}

bool CallIs(const MockCall& call, const char* name, std::initializer_list<uint32_t> words) {
    if (strcmp(call.name, name) != 0 || call.wordCount != static_cast<int>(words.size())) {
        return false;
    }
    int i = 0;
    for (uint32_t word : words) {
        if (call.words[i++] != word) return false;
    }
    return true;
}

uint32_t FloatBits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return bits;
}

uint32_t DoubleLow(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return static_cast<uint32_t>(bits);
}

uint32_t DoubleHigh(double value) {
    uint64_t bits;
    memcpy(&bits, &value, sizeof bits);
    return static_cast<uint32_t>(bits >> 32);
}

FpState UnmaskFpExceptions() {
    const FpState saved = ReadFp();
    // x87: precision, underflow and denormal masked; invalid, zero-divide and
    // overflow unmasked; 64-bit precision, round to nearest. MXCSR alike.
    const uint16_t x87 = 0x1332;
    const uint32_t mxcsr = 0x1900;
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(x87));
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
    return saved;
}

void RestoreFp(const FpState& saved) {
    const uint32_t mxcsr = saved.mxcsr & ~0x3Fu;  // pending flags cleared
    __asm__ volatile("fnclex\n\tfldcw %0" : : "m"(saved.x87));
    __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
}

FpState ReadFp() {
    FpState state;
    __asm__ volatile("fnstcw %0" : "=m"(state.x87));
    __asm__ volatile("stmxcsr %0" : "=m"(state.mxcsr));
    return state;
}

void WaitFp() { __asm__ volatile("fwait"); }

void InstallCrashReporter() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(ReportCrash);
}

}  // namespace abi

// The stack-pointer probe. It pushes the argument words, records the stack pointer
// right before the call and compares it with the one after: a cdecl callee returns
// with the stack pointer where it was. Whatever the callee did, the probe restores its
// own frame through %ebp before returning.
extern "C" {
volatile uint32_t g_abiStackBefore;
int32_t AbiStackDrift(const void* function, const uint32_t* args, uint32_t count);
}
__asm__(
    ".text\n"
    ".globl _AbiStackDrift\n"
    "_AbiStackDrift:\n"
    "    pushl %ebp\n"
    "    movl %esp, %ebp\n"
    "    pushl %ebx\n"
    "    pushl %esi\n"
    "    pushl %edi\n"
    "    movl 16(%ebp), %ecx\n"
    "    movl 12(%ebp), %esi\n"
    "1:  testl %ecx, %ecx\n"
    "    jz 2f\n"
    "    decl %ecx\n"
    "    pushl (%esi,%ecx,4)\n"
    "    jmp 1b\n"
    "2:  movl %esp, _g_abiStackBefore\n"
    "    call *8(%ebp)\n"
    "    movl %esp, %eax\n"
    "    subl _g_abiStackBefore, %eax\n"
    "    leal -12(%ebp), %esp\n"
    "    popl %edi\n"
    "    popl %esi\n"
    "    popl %ebx\n"
    "    popl %ebp\n"
    "    ret\n");

namespace abi {
int32_t StackDrift(const void* function, const uint32_t* args, uint32_t count) {
    return AbiStackDrift(function, args, count);
}
}  // namespace abi
