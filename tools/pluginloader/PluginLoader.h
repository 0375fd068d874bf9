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

// Every export of the plug-in with the function type a host calls it through, in the
// order of Plugin.def. The identity and register exports take and return plain values;
// every channel export takes no argument and returns nothing a host may rely on (an
// Action). CreateChannel returns a one-byte success flag that a host may ignore;
// calling it through any other type would be undefined.
#define PLUGINLOADER_EXPORTS(X)      \
    X(Copyright, const char*())      \
    X(GetShortInfo, void())          \
    X(GetInfo, const char*())        \
    X(GetType, int32_t())            \
    X(SetPath, void(const char*))    \
    X(SetParentWindow, void(void*))  \
    X(Draw, void())                  \
    X(SetFile, void(const char*))    \
    X(GetFile, const char*())        \
    X(SetData, void(int32_t))        \
    X(GetData, int32_t())            \
    X(InitBass, void())              \
    X(PlayChannel, void())           \
    X(CreateChannel, bool())         \
    X(FreeChannel, void())           \
    X(StopChannel, void())           \
    X(PauseChannel, void())          \
    X(SetPositionForChannel, void()) \
    X(GetLevelChannel, void())       \
    X(GetDataChannel128, void())     \
    X(GetDataChannel20, void())      \
    X(GetPosTimeChannel, void())     \
    X(GetLengthTimeChannel, void())  \
    X(GetTagChannel, void())         \
    X(EqSetChannel, void())          \
    X(SetValumeChannel, void())      \
    X(GetFreqChannel, void())        \
    X(GetBitrateChannel, void())     \
    X(GetChansChannel, void())       \
    X(EqCreateChannel, void())

// The plug-in's exports as typed function pointers, one field per export.
struct PluginExports {
    template <typename F>
    using Pointer = F*;
    using Action = Pointer<void()>;
#define PLUGINLOADER_FIELD(name, type) Pointer<type> name = nullptr;
    PLUGINLOADER_EXPORTS(PLUGINLOADER_FIELD)
#undef PLUGINLOADER_FIELD
};

// The export that takes no argument and returns nothing, by name or by ordinal
// index (ordinal - 1, the index into kPluginExportNames); nullptr for the exports
// that take or return values (the identity and register exports, CreateChannel) and
// for anything that is not an export.
PluginExports::Action ChannelAction(const PluginExports& exports, std::string_view name);
PluginExports::Action ChannelAction(const PluginExports& exports, int index);

// The path of the running program, "" when it cannot be told.
std::string RunningProgramPath();

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

    // A function of the engine the plug-in has loaded, by name; nullptr when the
    // engine has none of that name. Through the plug-in's own library on Linux (its
    // lookups search the libraries it links), in the loaded bass.dll on Windows.
    using Function = void (*)();
    Function EngineFunction(const char* name) const;

  private:
    PluginLibrary() = default;

    void* handle_ = nullptr;
    std::string path_;
    PluginExports exports_;
};

}  // namespace pluginloader
