// SPDX-License-Identifier: MIT
// A mock tags.dll: TAGS_Read records its handle and key and answers the scripted text
// (or a null pointer). Stdcall, exported undecorated, like the engine's.
#include <string.h>

#include "plugin/engine/tags.h"
#include "windows/mock/MockLog.h"

namespace {

MockTagsResults g_script;
mock::CallLog g_log;

void ResetAll() {
    memset(&g_script, 0, sizeof g_script);
    g_script.recordCalls = 1;
    g_log.Reset();
}

struct Startup {
    Startup() { ResetAll(); }
} g_startup;

}  // namespace

extern "C" {

void* MockTagsScript() { return &g_script; }
void MockTagsReset() { ResetAll(); }
int MockTagsCalls(const MockCall** calls) { return g_log.Calls(calls); }

const char* __stdcall Mock_TAGS_Read(DWORD handle, const char* fmt) {
    g_log.Add(g_script.recordCalls != 0, "TAGS_Read", handle, mock::Text{fmt});
    return g_script.returnNull ? nullptr : g_script.text;
}

}  // extern "C"
