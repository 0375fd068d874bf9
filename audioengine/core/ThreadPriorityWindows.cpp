// SPDX-License-Identifier: MIT
// Scheduling of the engine's audio threads on Windows: thread priorities within the
// host's priority class, which any user may raise, so nothing can be refused here;
// and the system timer's resolution while a paced output renders.
#include <windows.h>
// After windows.h, which it needs.
#include <mmsystem.h>

#include <string>

#include "audioengine/core/ThreadPriority.h"

namespace ae {

void RaiseThreadPriority(ThreadRole role) {
    // A host its user put in the background keeps its audio threads there, as on
    // Linux: one step above normal at most.
    const DWORD priorityClass = GetPriorityClass(GetCurrentProcess());
    const bool background =
        priorityClass == IDLE_PRIORITY_CLASS || priorityClass == BELOW_NORMAL_PRIORITY_CLASS;
    int wanted =
        role == ThreadRole::Output ? THREAD_PRIORITY_TIME_CRITICAL : THREAD_PRIORITY_ABOVE_NORMAL;
    if (background) wanted = THREAD_PRIORITY_ABOVE_NORMAL;
    HANDLE self = GetCurrentThread();
    const int current = GetThreadPriority(self);
    if (current != THREAD_PRIORITY_ERROR_RETURN && current >= wanted) return;
    SetThreadPriority(self, wanted);
}

void NameThisThread(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems go without.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetThreadDescription")));
    if (set == nullptr) return;
    const std::string ascii(name);
    set(GetCurrentThread(), std::wstring(ascii.begin(), ascii.end()).c_str());
}

void FineTimerResolution::Hold() {
    if (!held_) held_ = timeBeginPeriod(1) == TIMERR_NOERROR;
}

void FineTimerResolution::Release() {
    if (held_) timeEndPeriod(1);
    held_ = false;
}

}  // namespace ae
