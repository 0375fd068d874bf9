// SPDX-License-Identifier: MIT
#include "audioengine/platform/WindowsModule.h"

#include <windows.h>

#include <atomic>

namespace ae {

void KeepThisModuleLoaded() {
    static std::atomic<bool> pinned{false};
    if (pinned.load(std::memory_order_acquire)) return;
    HMODULE module = nullptr;
    const auto address = reinterpret_cast<LPCWSTR>(&KeepThisModuleLoaded);
    if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           address, &module)) {
        pinned.store(true, std::memory_order_release);
    }
}

ExportedFunction LoadedModuleFunction(const wchar_t* module, const char* name) {
    HMODULE loaded = GetModuleHandleW(module);
    if (loaded == nullptr) return nullptr;
    return reinterpret_cast<ExportedFunction>(GetProcAddress(loaded, name));
}

}  // namespace ae
