// SPDX-License-Identifier: MIT
// A DLL with the plug-in's name and wrong tables, which the PE check must reject: the
// exports of BadPlugin.def, an engine import under its decorated name, and an import
// from a DLL a host does not ship.
#include "plugin/engine/Bass.h"

// From ws2_32.dll, declared here: <winsock2.h> defines DWORD differently from Bass.h.
extern "C" int __stdcall WSAGetLastError(void);

extern "C" void BadStub() {
    BASS_Init(-1, 44100, 0, nullptr, nullptr);
    WSAGetLastError();
}
