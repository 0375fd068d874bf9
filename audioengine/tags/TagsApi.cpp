// SPDX-License-Identifier: MIT
// libtags.so: the tag texts of an engine stream's file, for the plug-in's tag query.
#include <string>

#include "audioengine/include/audioengine_ext.h"
#include "audioengine/tags/TagCache.h"
#include "audioengine/tags/TagReader.h"
#include "plugin/engine/tags.h"

namespace {

// Matroska and WebM tags come from the engine's FFmpeg module.
bool EngineMetadata(const char* path, audioengine::MetadataVisitor visit, void* user) {
    return AE_FileMetadata(path, visit, user) != FALSE;
}

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

extern "C" __attribute__((visibility("default"))) const char* BASS_CALL TAGS_Read(DWORD handle,
                                                                                  const char* fmt) {
    // Valid until this thread's next call, as the caller is promised.
    thread_local std::string text;
    try {
        text.clear();
        audioengine::TagKey key;
        if (!audioengine::ParseTagKey(fmt, &key)) return text.c_str();
        // The engine knows the stream's file; a stale or unknown handle has none. The
        // path is copied, since the stream may be freed by another thread meanwhile.
        char path[4096];
        const DWORD length = AE_ChannelGetPath(handle, path, sizeof path);
        if (length == 0 || length >= sizeof path) return text.c_str();
        text = Cache().Get(handle, path, key);
    } catch (...) {
        text.clear();
    }
    return text.c_str();
}
