// SPDX-License-Identifier: MIT
// Library load and unload. The registers start empty through static storage; at
// unload the plug-in releases its texts and, on Linux, frees the streams of its slots
// (their effects go with them): the engine outlives the plug-in, and streams left to
// it would play on with nobody able to stop them, under those of a reloaded plug-in.
#include "plugin/host/HostExports.h"

#ifdef _WIN32
#include <windows.h>

// Only the texts are released. Freeing the streams would call into the engine's DLL
// from DllMain, under the loader lock, which Windows forbids: they play on until the
// process ends.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) ReleaseTexts();
    return TRUE;
}
#else
// The release of the texts is tied to the texts themselves (HostExports.cpp), where
// its order against their destructors is defined.
#include <unistd.h>

#include "plugin/channels/uFunctions.h"

namespace {

// A forked child holds copies of the slot tables, but the streams are the parent's,
// and the engine's locks may have been copied while held: a child frees nothing.
const pid_t loadingProcess = getpid();

// Whether the process's exit handlers have run. The destructor of a static object is
// one of them (registered with __cxa_atexit for this library). At process exit it
// runs with the others, the engine's shutdown among them, before the loader calls
// this library's destructor functions. At dlclose the order is the other way round:
// the destructor functions run first, then the library's exit handlers.
bool exitHandlersRan = false;
struct NoteExitHandlers {
    ~NoteExitHandlers() { exitHandlersRan = true; }
} noteExitHandlers;

// Frees the slots' streams when the library is unloaded by dlclose. At process exit
// the engine has already shut down and keeps its streams to the end, so nothing is
// freed then.
__attribute__((destructor)) void FreeStreamsAtUnload() {
    if (exitHandlersRan || getpid() != loadingProcess) return;
    for (int32_t slot = 1; slot <= kSlotCount; ++slot) FreeStream(slot);
}

}  // namespace
#endif
