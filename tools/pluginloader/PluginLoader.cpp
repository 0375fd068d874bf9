// SPDX-License-Identifier: MIT
#include "tools/pluginloader/PluginLoader.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

#include <array>
#include <string>
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

// The system's loader: dlopen on Linux, LoadLibrary on Windows (the path in the
// system's code page, as a host passes it).
#ifdef _WIN32
std::string LastLoaderError() {
    const DWORD code = GetLastError();
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, text, sizeof text, nullptr);
    std::string why(text, length);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == '.'))
        why.pop_back();
    return why.empty() ? "error " + std::to_string(code) : why;
}
void* OpenLibrary(const std::string& file, std::string* why) {
    // No message box for a DLL that is missing or broken: the caller reports it.
    const UINT previous = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The DLLs the plug-in imports (its engine) are looked for in its own folder
    // first, as a host that loads plug-ins from their folders has them; the loader
    // does so for a full path. Failing that, in the usual places (the program's
    // folder first).
    HMODULE module = nullptr;
    char full[MAX_PATH * 2];
    const DWORD length = GetFullPathNameA(file.c_str(), sizeof full, full, nullptr);
    if (length > 0 && length < sizeof full)
        module = LoadLibraryExA(full, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) module = LoadLibraryA(file.c_str());
    if (module == nullptr) *why = LastLoaderError();
    SetErrorMode(previous);
    return reinterpret_cast<void*>(module);
}
void* FindSymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
bool CloseLibrary(void* library, std::string* why) {
    if (FreeLibrary(static_cast<HMODULE>(library))) return true;
    *why = LastLoaderError();
    return false;
}
#else
void* OpenLibrary(const std::string& file, std::string* why) {
    dlerror();
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* text = dlerror();
        *why = text ? text : "unknown error";
    }
    return handle;
}
void* FindSymbol(void* library, const char* name) { return dlsym(library, name); }
bool CloseLibrary(void* library, std::string* why) {
    dlerror();
    if (dlclose(library) == 0) return true;
    const char* text = dlerror();
    *why = text ? text : "unknown error";
    return false;
}
#endif

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
    // A bare name would make the loader search its library path; the caller means a
    // file.
#ifdef _WIN32
    const bool bare = path.find_first_of("/\\") == std::string::npos;
    const std::string file = bare ? ".\\" + path : path;
#else
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
#endif
    std::string why;
    void* handle = OpenLibrary(file, &why);
    if (handle == nullptr) {
        *error = "cannot load the plug-in " + path + ": " + why;
        return nullptr;
    }

    std::array<void*, kPluginExportCount> symbols{};
    std::string missing;
    int missingCount = 0;
    for (size_t i = 0; i < symbols.size(); ++i) {
        symbols[i] = FindSymbol(handle, kPluginExportNames[i]);
        if (symbols[i] == nullptr) {
            missing += (missingCount++ ? ", " : "") + std::string(kPluginExportNames[i]);
        }
    }
    if (missingCount > 0) {
        CloseLibrary(handle, &why);
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
    std::string ignored;
    if (handle_ != nullptr) CloseLibrary(handle_, &ignored);
}

bool PluginLibrary::Unload(std::string* error) {
    if (handle_ == nullptr) return true;
    void* handle = handle_;
    handle_ = nullptr;
    exports_ = PluginExports();
    std::string why;
    if (!CloseLibrary(handle, &why)) {
        *error = "cannot unload the plug-in " + path_ + ": " + why;
        return false;
    }
    return true;
}

void PluginLibrary::LeaveLoaded() { handle_ = nullptr; }

PluginLibrary::Function PluginLibrary::EngineFunction(const char* name) const {
#ifdef _WIN32
    HMODULE engine = GetModuleHandleW(L"bass.dll");
    return engine ? reinterpret_cast<Function>(GetProcAddress(engine, name)) : nullptr;
#else
    // A second reference to the loaded plug-in, by the name it was loaded under:
    // dlsym through it searches the plug-in and then the libraries it was linked
    // with, the engine among them.
    if (exports_.SetData == nullptr) return nullptr;
    Dl_info loaded;
    if (dladdr(reinterpret_cast<void*>(exports_.SetData), &loaded) == 0 || !loaded.dli_fname)
        return nullptr;
    void* handle = dlopen(loaded.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return nullptr;
    const auto function = reinterpret_cast<Function>(dlsym(handle, name));
    // The engine stays loaded for the process; the plug-in holds its own reference.
    dlclose(handle);
    return function;
#endif
}

std::string RunningProgramPath() {
#ifdef _WIN32
    char self[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
    return n == 0 || n >= sizeof self ? std::string() : std::string(self, n);
#else
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    return n <= 0 ? std::string() : std::string(self, static_cast<size_t>(n));
#endif
}

}  // namespace pluginloader
