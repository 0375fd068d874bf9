// SPDX-License-Identifier: MIT
// The plug-in's boundary with its host: identity and host-context exports, and the
// operand and result registers through which the argument-less channel exports
// receive their arguments and hand back their texts.
//
// This header names no engine or Windows type, so that it can be included next to
// either (their DWORD and HWND definitions differ).
#ifndef HOST_HOSTEXPORTS_H
#define HOST_HOSTEXPORTS_H

#include <cstdint>
#include <string>

// Marks the library's exports. On Windows the module definition file exports them;
// on Linux they must be visible to the version script, the rest of the code is hidden.
#ifdef _WIN32
#define PLUGIN_EXPORT
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

// Marks the code of the queries a host makes every frame it draws: the compiler
// gathers it in one section, so a call that finds the caches cold, as a host's
// once-a-frame call does, touches fewer pages of code.
#if defined(__GNUC__)
#define PLUGIN_HOT __attribute__((hot))
#else
#define PLUGIN_HOT
#endif

// Operand registers: entry 0 is the newest value, entry 4 the oldest kept.
extern int32_t DataHistory[5];
extern std::string FileHistory[5];
// Result registers: FileResult is written by the queries and read with GetFile;
// DataResult is never written and reads 0.
extern std::string FileResult;
extern int32_t DataResult;
// Host context: where the host keeps the plug-in, and the window the engine plays on.
extern std::string PluginPath;
extern void* ParentWindow;

// Releases FileResult, the five FileHistory texts, then PluginPath, in that order,
// leaving each one a valid empty text. Called when the library is unloaded.
void ReleaseTexts();

extern "C" {
PLUGIN_EXPORT const char* Copyright();
PLUGIN_EXPORT void GetShortInfo();
PLUGIN_EXPORT const char* GetInfo();
PLUGIN_EXPORT int32_t GetType();
PLUGIN_EXPORT void SetPath(const char* text);
PLUGIN_EXPORT void SetParentWindow(void* window);
PLUGIN_EXPORT void Draw();
PLUGIN_EXPORT void SetFile(const char* text);
PLUGIN_EXPORT PLUGIN_HOT const char* GetFile();
PLUGIN_EXPORT PLUGIN_HOT void SetData(int32_t value);
PLUGIN_EXPORT int32_t GetData();
}

#endif
