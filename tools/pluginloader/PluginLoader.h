// SPDX-License-Identifier: MIT
// The one loader of Plugin.so on Linux, shared by plughost, the tests and the
// benchmarks: dlopen as a host does it, the 30 exports resolved by the names of
// plugin/exports/Plugin.def, and handed out as typed function pointers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace pluginloader {

// The plug-in's exports as a host sees them: the identity and register exports
// take and return plain values; every channel export takes no argument and
// returns nothing a host may rely on.
struct PluginExports {
    using Action = void (*)();
    const char* (*Copyright)() = nullptr;
    Action GetShortInfo = nullptr;
    const char* (*GetInfo)() = nullptr;
    int32_t (*GetType)() = nullptr;
    void (*SetPath)(const char*) = nullptr;
    void (*SetParentWindow)(void*) = nullptr;
    Action Draw = nullptr;
    void (*SetFile)(const char*) = nullptr;
    const char* (*GetFile)() = nullptr;
    void (*SetData)(int32_t) = nullptr;
    int32_t (*GetData)() = nullptr;
    Action InitBass = nullptr;
    Action PlayChannel = nullptr;
    // A one-byte success flag that a host may ignore; calling CreateChannel through
    // any other type would be undefined.
    bool (*CreateChannel)() = nullptr;
    Action FreeChannel = nullptr;
    Action StopChannel = nullptr;
    Action PauseChannel = nullptr;
    Action SetPositionForChannel = nullptr;
    Action GetLevelChannel = nullptr;
    Action GetDataChannel128 = nullptr;
    Action GetDataChannel20 = nullptr;
    Action GetPosTimeChannel = nullptr;
    Action GetLengthTimeChannel = nullptr;
    Action GetTagChannel = nullptr;
    Action EqSetChannel = nullptr;
    Action SetValumeChannel = nullptr;
    Action GetFreqChannel = nullptr;
    Action GetBitrateChannel = nullptr;
    Action GetChansChannel = nullptr;
    Action EqCreateChannel = nullptr;
};

// The export that takes no argument and returns nothing, by name or by ordinal
// index (ordinal - 1, the index into kPluginExportNames); nullptr for the exports
// that take or return values (the identity and register exports, CreateChannel) and
// for anything that is not an export.
PluginExports::Action ChannelAction(const PluginExports& exports, std::string_view name);
PluginExports::Action ChannelAction(const PluginExports& exports, int index);

class PluginLibrary {
  public:
    // Loads the plug-in at `path` (RTLD_NOW | RTLD_LOCAL; a bare file name means a
    // file in the current folder, not a search of the library path) and resolves
    // every export. On failure returns nullptr and sets *error to a message that
    // names the plug-in and says why: dlerror's text, or the exports it lacks.
    static std::unique_ptr<PluginLibrary> Load(const std::string& path, std::string* error);
    // Unloads the plug-in, unless Unload or LeaveLoaded came first.
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;

    // Valid until the plug-in is unloaded.
    const PluginExports& exports() const { return exports_; }
    const std::string& path() const { return path_; }

    // Unloads the plug-in now; its exports are cleared. False when dlclose fails,
    // with a message naming the plug-in and dlerror's text in *error.
    bool Unload(std::string* error);
    // Leaves the plug-in loaded for the rest of the process, as a host that exits
    // without unloading it; its exports stay valid.
    void LeaveLoaded();

  private:
    PluginLibrary() = default;

    void* handle_ = nullptr;
    std::string path_;
    PluginExports exports_;
};

}  // namespace pluginloader
