// SPDX-License-Identifier: MIT
#include "audioengine/core/Trace.h"

#include <unistd.h>

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
        return path && *path ? std::fopen(path, "ae") : nullptr;
    }();
    return file;
}

}  // namespace

bool TraceOn() { return TraceFile() != nullptr; }

void Trace(const char* format, ...) {
    FILE* file = TraceFile();
    if (!file) return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    std::lock_guard<std::mutex> lock(traceMutex);
    std::fprintf(file, "%s.%03ld [%ld] ", stamp, now.tv_nsec / 1000000,
                 static_cast<long>(getpid()));
    va_list args;
    va_start(args, format);
    std::vfprintf(file, format, args);
    va_end(args);
    std::fputc('\n', file);
    std::fflush(file);
}

}  // namespace ae
