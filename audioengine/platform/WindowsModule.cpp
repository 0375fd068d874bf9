// SPDX-License-Identifier: MIT
#include "audioengine/platform/WindowsModule.h"

#include <windows.h>

#include <atomic>
#include <string>

#include "audioengine/platform/WindowsText.h"

namespace ae {

namespace {

// The DLL (or program) whose code holds `code`, looked up with GetModuleHandleExW's
// `flags` (pinning it, or leaving its reference count as it is); nullptr when none.
HMODULE ModuleHolding(const void* code, DWORD flags) {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | flags,
                            static_cast<LPCWSTR>(code), &module))
        return nullptr;
    return module;
}

}  // namespace

void KeepThisModuleLoaded() {
    static std::atomic<bool> pinned{false};
    if (pinned.load(std::memory_order_acquire)) return;
    if (ModuleHolding(reinterpret_cast<const void*>(&KeepThisModuleLoaded),
                      GET_MODULE_HANDLE_EX_FLAG_PIN)) {
        pinned.store(true, std::memory_order_release);
    }
}

ExportedFunction LoadedModuleFunction(const wchar_t* module, const char* name) {
    HMODULE loaded = GetModuleHandleW(module);
    if (loaded == nullptr) return nullptr;
    return reinterpret_cast<ExportedFunction>(GetProcAddress(loaded, name));
}

std::wstring ThisModuleFolder() {
    HMODULE module = ModuleHolding(reinterpret_cast<const void*>(&ThisModuleFolder),
                                   GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT);
    if (module == nullptr) return {};
    // Long paths (\\?\ names) may exceed MAX_PATH: grow until the name fits.
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(module, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return {};
        if (n < name.size()) {
            name.resize(n);
            break;
        }
        if (name.size() >= 32768) return {};
        name.resize(name.size() * 2);
    }
    const size_t slash = name.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : name.substr(0, slash);
}

bool EnvironmentVariable(const wchar_t* name, std::wstring* value) {
    value->assign(256, L'\0');
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD n =
            GetEnvironmentVariableW(name, value->data(), static_cast<DWORD>(value->size()));
        if (n == 0) {
            value->clear();
            return GetLastError() != ERROR_ENVVAR_NOT_FOUND;
        }
        if (n < value->size()) {
            value->resize(n);
            return true;
        }
        value->resize(n);  // n counts the terminating null when the buffer is short
    }
}

ExportedFunction LoadPinnedModuleFunction(const std::wstring& path, const char* name,
                                          std::string* why) {
    // A full path (C:\..., \\server\..., \\?\...) lets the DLL's own folder be searched
    // first for what it imports; the flag is undefined for a relative one ("x.dll",
    // "C:x.dll", "\\x.dll"), which is loaded as Windows searches.
    const auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    const bool full = (path.size() > 2 && path[1] == L':' && slash(path[2])) ||
                      (path.size() > 1 && slash(path[0]) && slash(path[1]));
    // No message box for a missing or broken DLL, on this thread only (the host's own
    // error mode stays): the caller reports the failure.
    DWORD previousMode = 0;
    const bool quiet =
        SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode);
    HMODULE module =
        LoadLibraryExW(path.c_str(), nullptr, full ? LOAD_WITH_ALTERED_SEARCH_PATH : 0);
    const DWORD error = GetLastError();
    if (quiet) SetThreadErrorMode(previousMode, nullptr);
    if (module == nullptr) {
        *why = "cannot load " + WideToAnsi(path) + " (Windows error " + std::to_string(error) + ")";
        return nullptr;
    }
    auto function = reinterpret_cast<ExportedFunction>(GetProcAddress(module, name));
    if (function == nullptr) {
        *why = WideToAnsi(path) + " has no " + name;
        return nullptr;
    }
    // Pinned: never unloaded, whatever FreeLibrary calls follow (decoders of it may be
    // open on any thread).
    ModuleHolding(reinterpret_cast<const void*>(function), GET_MODULE_HANDLE_EX_FLAG_PIN);
    return function;
}

}  // namespace ae
