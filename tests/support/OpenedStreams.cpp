// SPDX-License-Identifier: MIT
#include "tests/support/OpenedStreams.h"

#include <dlfcn.h>

#include <atomic>

#include "plugin/engine/Bass.h"

namespace {

std::atomic<uint32_t> g_lastOpened{0};

}  // namespace

namespace testaudio {

uint32_t LastOpenedStream() { return g_lastOpened.load(); }

}  // namespace testaudio

extern "C" HSTREAM BASS_CALL BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset,
                                                   QWORD length, DWORD flags) {
    using Create = HSTREAM(BASS_CALL*)(BOOL, const void*, QWORD, QWORD, DWORD);
    static const auto engine = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "BASS_StreamCreateFile"));
    if (!engine) return 0;
    const HSTREAM handle = engine(mem, file, offset, length, flags);
    if (handle) g_lastOpened.store(handle);
    return handle;
}
