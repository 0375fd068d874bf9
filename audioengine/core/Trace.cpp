// SPDX-License-Identifier: MIT
#include "audioengine/core/Trace.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>

namespace ae {
namespace {

std::mutex traceMutex;

FILE* TraceFile() {
    // Opened once, at the first event; never closed (events may come until exit).
    static FILE* file = [] {
        const char* path = std::getenv("AUDIOENGINE_LOG");
#ifdef _WIN32
        const char* mode = "aN";  // not inherited by child processes
#else
        const char* mode = "ae";
#endif
        return path && *path ? std::fopen(path, mode) : nullptr;
    }();
    return file;
}

}  // namespace

bool TraceOn() { return TraceFile() != nullptr; }

void Trace(const char* format, ...) {
    FILE* file = TraceFile();
    if (!file) return;
    char stamp[96];
#ifdef _WIN32
    SYSTEMTIME local{};
    GetLocalTime(&local);
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu]", local.wYear,
                  local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                  local.wMilliseconds, static_cast<unsigned long>(GetCurrentProcessId()));
#else
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char seconds[40];
    std::strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(stamp, sizeof stamp, "%s.%03ld [%ld]", seconds, now.tv_nsec / 1000000,
                  static_cast<long>(getpid()));
#endif
    std::lock_guard<std::mutex> lock(traceMutex);
    std::fprintf(file, "%s ", stamp);
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fflush(file);
}

}  // namespace ae
