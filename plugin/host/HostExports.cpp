// SPDX-License-Identifier: MIT
#include "plugin/host/HostExports.h"

#include <utility>

int32_t DataHistory[5];
std::string FileHistory[5];
std::string FileResult;
int32_t DataResult;
std::string PluginPath;
void* ParentWindow;

#ifndef _WIN32
namespace {
// Releases the texts when the library is unloaded (or the process ends). Objects of
// one file are destroyed in the reverse order of their definition, so this runs
// before the texts above are destroyed, and they are then already empty. (A
// destructor function would run after them, on destroyed texts.) On Windows,
// DllMain does the same at process detach.
struct ReleaseAtUnload {
    ~ReleaseAtUnload() { ReleaseTexts(); }
} releaseAtUnload;
}  // namespace
#endif

namespace {

// Frees the memory a text holds, not just its length, so that nothing of it is left
// allocated when the library goes away.
void Release(std::string& text) { std::string().swap(text); }

// A copy of a host text; a null pointer reads as the empty text. Allocation can only
// fail for a text the process has no room for: it then reads as empty too, since no
// exception may reach the host.
std::string HostText(const char* text) {
    if (text == nullptr) return std::string();
    try {
        return std::string(text);
    } catch (...) {
        return std::string();
    }
}

}  // namespace

void ReleaseTexts() {
    Release(FileResult);
    for (std::string& text : FileHistory) Release(text);
    Release(PluginPath);
}

extern "C" {

const char* Copyright() { return "Audio playback plug-in, (c) 2026 the AudioPlugin authors"; }

void GetShortInfo() {}

const char* GetInfo() { return "Get color of pixel"; }

int32_t GetType() { return 0; }

void SetPath(const char* text) { PluginPath = HostText(text); }

void SetParentWindow(void* window) { ParentWindow = window; }

void Draw() {}

void SetFile(const char* text) {
    // Copy first: the text may live in memory the shift below releases.
    std::string copy = HostText(text);
    for (int i = 4; i > 0; --i) FileHistory[i] = std::move(FileHistory[i - 1]);
    FileHistory[0] = std::move(copy);
}

const char* GetFile() { return FileResult.empty() ? "" : FileResult.c_str(); }

void SetData(int32_t value) {
    for (int i = 4; i > 0; --i) DataHistory[i] = DataHistory[i - 1];
    DataHistory[0] = value;
}

int32_t GetData() { return DataResult; }

}  // extern "C"
