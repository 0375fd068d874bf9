// SPDX-License-Identifier: MIT
// Whether Wine runs a program of several threads on this machine, whatever our own
// code does: six threads that compute, take a lock and sleep, joined, then one line
// "WINE_PROBE_OK 6 threads" and exit status 0. Under qemu-user (a kernel without
// 32-bit support) Wine may crash on such a program; windows/check then knows the
// end-to-end run cannot tell anything about our DLLs.
#include <windows.h>

#include <cstdio>

namespace {

constexpr int kThreads = 6;
CRITICAL_SECTION lock;
int finished = 0;

DWORD WINAPI Work(LPVOID) {
    volatile double sum = 0;
    for (int i = 0; i < 1000000; ++i) sum = sum + i * 0.5;
    Sleep(20);
    EnterCriticalSection(&lock);
    ++finished;
    LeaveCriticalSection(&lock);
    return 0;
}

}  // namespace

int main() {
    InitializeCriticalSection(&lock);
    HANDLE threads[kThreads];
    for (HANDLE& thread : threads) {
        thread = CreateThread(nullptr, 0, Work, nullptr, 0, nullptr);
        if (thread == nullptr) return 2;
    }
    if (WaitForMultipleObjects(kThreads, threads, TRUE, 60000) != WAIT_OBJECT_0) return 3;
    for (HANDLE thread : threads) CloseHandle(thread);
    std::printf("WINE_PROBE_OK %d threads\n", finished);
    return finished == kThreads ? 0 : 4;
}
