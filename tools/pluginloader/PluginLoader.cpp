// SPDX-License-Identifier: MIT
#include "tools/pluginloader/PluginLoader.h"

#include <dlfcn.h>

#include <array>
#include <type_traits>
#include <utility>

#include "plugin/exports/ExportNames.h"

namespace pluginloader {
namespace {

using Member = PluginExports::Action PluginExports::*;

static_assert(sizeof(PluginExports) == kPluginExportCount * sizeof(PluginExports::Action),
              "one field per export");

// The index of the export named `name` in kPluginExportNames, -1 for no export.
constexpr int Ordinal(std::string_view name) {
    for (int i = 0; i < kPluginExportCount; ++i) {
        if (name == kPluginExportNames[i]) return i;
    }
    return -1;
}

// A field takes the symbol of the export with its own name, wherever Plugin.def
// puts it; a field that names no export does not compile. dlsym hands back an
// object pointer; POSIX guarantees it converts to the function pointer it names.
template <int kIndex, typename Fn>
void Bind(Fn& field, const std::array<void*, kPluginExportCount>& symbols) {
    static_assert(kIndex >= 0, "not an export of Plugin.def");
    field = reinterpret_cast<Fn>(symbols[kIndex]);
}

// Records `member` at the export's ordinal index when its type is Action. An index of
// -1 (a field that names no export) is out of range: no constant.
template <typename Fn>
constexpr void AddAction(std::array<Member, kPluginExportCount>& actions, int index,
                         Fn PluginExports::*member) {
    if constexpr (std::is_same_v<Fn, PluginExports::Action>) {
        actions.at(static_cast<size_t>(index)) = member;
    }
}

// The exports that take no argument and return nothing, by ordinal index.
constexpr std::array<Member, kPluginExportCount> kActions = [] {
    std::array<Member, kPluginExportCount> actions{};
#define PLUGINLOADER_ACTION(name, type) AddAction(actions, Ordinal(#name), &PluginExports::name);
    PLUGINLOADER_EXPORTS(PLUGINLOADER_ACTION)
#undef PLUGINLOADER_ACTION
    return actions;
}();

}  // namespace

PluginExports::Action ChannelAction(const PluginExports& exports, std::string_view name) {
    return ChannelAction(exports, Ordinal(name));
}

PluginExports::Action ChannelAction(const PluginExports& exports, int index) {
    if (index < 0 || index >= kPluginExportCount) return nullptr;
    const Member member = kActions[static_cast<size_t>(index)];
    return member ? exports.*member : nullptr;
}

std::unique_ptr<PluginLibrary> PluginLibrary::Load(const std::string& path, std::string* error) {
    // A bare name would make dlopen search the library path; the caller means a file.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        *error = "cannot load the plug-in " + path + ": " + (why ? why : "unknown error");
        return nullptr;
    }

    std::array<void*, kPluginExportCount> symbols{};
    std::string missing;
    int missingCount = 0;
    for (size_t i = 0; i < symbols.size(); ++i) {
        symbols[i] = dlsym(handle, kPluginExportNames[i]);
        if (symbols[i] == nullptr) {
            missing += (missingCount++ ? ", " : "") + std::string(kPluginExportNames[i]);
        }
    }
    if (missingCount > 0) {
        dlclose(handle);
        *error = "the plug-in " + path + " lacks " +
                 (missingCount == 1 ? "the export " : "the exports ") + missing;
        return nullptr;
    }

    std::unique_ptr<PluginLibrary> library(new PluginLibrary);
    library->handle_ = handle;
    library->path_ = path;
    PluginExports& e = library->exports_;
#define PLUGINLOADER_BIND(name, type) Bind<Ordinal(#name)>(e.name, symbols);
    PLUGINLOADER_EXPORTS(PLUGINLOADER_BIND)
#undef PLUGINLOADER_BIND
    return library;
}

PluginLibrary::~PluginLibrary() {
    // The plug-in's unload releases its texts; the engine it loaded stays resident
    // and stops its threads at process exit.
    if (handle_ != nullptr) dlclose(handle_);
}

bool PluginLibrary::Unload(std::string* error) {
    if (handle_ == nullptr) return true;
    void* handle = handle_;
    handle_ = nullptr;
    exports_ = PluginExports();
    dlerror();
    if (dlclose(handle) != 0) {
        const char* why = dlerror();
        *error = "cannot unload the plug-in " + path_ + ": " + (why ? why : "unknown error");
        return false;
    }
    return true;
}

void PluginLibrary::LeaveLoaded() { handle_ = nullptr; }

}  // namespace pluginloader
