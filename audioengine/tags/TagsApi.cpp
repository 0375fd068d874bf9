// SPDX-License-Identifier: MIT
// libtags.so / tags.dll: the tag texts of an engine stream's file, for the plug-in's
// tag query.
#include <string>

#include "audioengine/include/audioengine_ext.h"
#include "audioengine/tags/TagCache.h"
#include "audioengine/tags/TagReader.h"
#include "plugin/engine/tags.h"

#ifdef _WIN32
#include "audioengine/platform/WindowsModule.h"
#include "audioengine/platform/WindowsText.h"
#endif

namespace {

#ifdef _WIN32
// tags.dll imports nothing but system DLLs: the two engine functions it needs are
// looked up in the bass.dll the process has loaded (the plug-in imports both). A
// bass.dll that lacks them (not ours) leaves every tag empty.
template <typename Function>
Function EngineFunction(const char* name) {
    return reinterpret_cast<Function>(ae::LoadedModuleFunction(L"bass.dll", name));
}

DWORD ChannelPath(DWORD handle, char* buffer, DWORD size) {
    using GetPath = DWORD(BASS_CALL*)(DWORD, char*, DWORD);
    static const GetPath get = EngineFunction<GetPath>("AE_ChannelGetPath");
    return get ? get(handle, buffer, size) : 0;
}

bool EngineMetadata(const char* path, audioengine::MetadataVisitor visit, void* user) {
    using Read = BOOL(BASS_CALL*)(const char*, AE_MetadataVisitor, void*);
    static const Read read = EngineFunction<Read>("AE_FileMetadata");
    return read && read(path, visit, user) != FALSE;
}
#else
DWORD ChannelPath(DWORD handle, char* buffer, DWORD size) {
    return AE_ChannelGetPath(handle, buffer, size);
}

// Matroska and WebM tags come from the engine's FFmpeg module.
bool EngineMetadata(const char* path, audioengine::MetadataVisitor visit, void* user) {
    return AE_FileMetadata(path, visit, user) != FALSE;
}
#endif

// Tags of the 64 most recently asked streams: more than a host has open at once
// (32 slots), so a display polling every slot never reparses a file. Never
// destroyed, so a call made while the process exits still finds it.
audioengine::TagCache& Cache() {
    static auto* cache = [] {
        audioengine::SetContainerMetadataReader(EngineMetadata);
        return new audioengine::TagCache(64);
    }();
    return *cache;
}

}  // namespace

#ifdef _WIN32
#define TAGS_EXPORT extern "C"  // tags.def names the export, undecorated
#else
#define TAGS_EXPORT extern "C" __attribute__((visibility("default")))
#endif

TAGS_EXPORT const char* BASS_CALL TAGS_Read(DWORD handle, const char* fmt) {
    // Valid until this thread's next call, as the caller is promised.
    thread_local std::string text;
    try {
#ifdef _WIN32
        ae::KeepThisModuleLoaded();  // the text above lives in this DLL
#endif
        text.clear();
        audioengine::TagKey key;
        if (!audioengine::ParseTagKey(fmt, &key)) return text.c_str();
        // The engine knows the stream's file; a stale or unknown handle has none. The
        // path is copied, since the stream may be freed by another thread meanwhile.
        char path[4096];
        const DWORD length = ChannelPath(handle, path, sizeof path);
        if (length == 0 || length >= sizeof path) return text.c_str();
        text = Cache().Get(handle, path, key);
#ifdef _WIN32
        // The plug-in's texts are in the system's code page, not UTF-8.
        text = ae::Utf8ToAnsi(text);
#endif
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}
