// SPDX-License-Identifier: MIT
// Library load and unload. The registers start empty through static storage; at
// unload the plug-in releases its texts and nothing else: streams and effects
// belong to the engine, which outlives the plug-in.
#include "plugin/host/HostExports.h"

#ifdef _WIN32
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) ReleaseTexts();
    return TRUE;
}
#endif
// On Linux the release at unload is tied to the texts themselves (HostExports.cpp),
// where its order against their destructors is defined.
