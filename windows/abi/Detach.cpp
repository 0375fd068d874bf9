// SPDX-License-Identifier: MIT
// Process detach, observed from outside: the plug-in's texts live on the C runtime's
// heap, so the host wraps the plug-in's own import of `free` and records what each
// freed block held. FreeLibrary must release FileResult, the five FileHistory texts
// and PluginPath, in that order; a reload must start from empty registers.
#include <string.h>
#include <windows.h>

#include "windows/abi/Harness.h"

namespace abi {

namespace {

typedef void(__cdecl* FreeFn)(void*);

constexpr int kMaxFrees = 256;
FreeFn g_realFree = nullptr;
bool g_recording = false;
int g_freeCount = 0;
char g_freed[kMaxFrees][24];

void __cdecl RecordingFree(void* block) {
    if (g_recording && block != nullptr && g_freeCount < kMaxFrees) {
        // Texts are NUL-terminated; copy at most the prefix that tells them apart.
        strncpy(g_freed[g_freeCount], static_cast<const char*>(block), sizeof g_freed[0] - 1);
        g_freed[g_freeCount][sizeof g_freed[0] - 1] = '\0';
        ++g_freeCount;
    }
    g_realFree(block);
}

// Points the module's import of dll!name at `replacement`; returns the old target.
void* PatchImport(HMODULE module, const char* dll, const char* name, void* replacement) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return nullptr;
    for (auto* desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         desc->Name != 0; ++desc) {
        if (lstrcmpiA(reinterpret_cast<const char*>(base + desc->Name), dll) != 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL32(names->u1.Ordinal)) continue;
            auto* byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<const char*>(byName->Name), name) != 0) continue;
            DWORD protection;
            VirtualProtect(&slots->u1.Function, sizeof(DWORD), PAGE_READWRITE, &protection);
            void* old = reinterpret_cast<void*>(slots->u1.Function);
            slots->u1.Function = reinterpret_cast<DWORD>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(DWORD), protection, &protection);
            return old;
        }
    }
    return nullptr;
}

}  // namespace

void CheckDetachAndReload(Exports* p) {
    Step("process detach releases the texts");
    HMODULE plugin = GetModuleHandleA("Plugin.dll");
    g_realFree = reinterpret_cast<FreeFn>(
        PatchImport(plugin, "msvcrt.dll", "free", reinterpret_cast<void*>(RecordingFree)));
    ABI_CHECK(g_realFree != nullptr, "Plugin.dll does not import msvcrt.dll!free");
    if (g_realFree == nullptr) return;

    // Texts long enough to live on the heap, each recognisable by its start.
    const std::string filler(48, '.');
    p->SetPath(("PATH" + filler).c_str());
    for (int i = 1; i <= 5; ++i) p->SetFile(("FILE" + std::to_string(i) + filler).c_str());
    ResetMocks();
    p->SetData(9);
    p->GetDataChannel20();  // 40 characters of zeros in FileResult
    ABI_CHECK_EQ_TEXT(p->GetFile(), "0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#0#");

    g_freeCount = 0;
    g_recording = true;
    ABI_CHECK(UnloadPlugin(), "Plugin.dll is still loaded after FreeLibrary");
    g_recording = false;

    // FileHistory entry 0 holds the newest text, FILE5.
    const char* const order[] = {"0#0#0#", "FILE5", "FILE4", "FILE3", "FILE2", "FILE1", "PATH"};
    int next = 0;
    std::string seen;
    for (int i = 0; i < g_freeCount; ++i) {
        for (const char* prefix : order) {
            if (strncmp(g_freed[i], prefix, strlen(prefix)) != 0) continue;
            seen += std::string(seen.empty() ? "" : ", ") + prefix;
            if (next < 7 && strcmp(prefix, order[next]) == 0)
                ++next;
            else
                next = 100;  // out of order or freed twice
        }
    }
    ABI_CHECK(next == 7, "texts released at detach: " + (seen.empty() ? "none" : seen) +
                             "; expected FileResult, FileHistory 0..4, PluginPath");

    Step("reload starts empty");
    if (!LoadPlugin(p)) return;
    ABI_CHECK_EQ_TEXT(p->GetFile(), "");
    ABI_CHECK(p->GetData() == 0, "GetData after reload");
    ResetMocks();
    p->SetFile("C:\\Music\\first.mp3");
    p->CreateChannel();  // DataHistory entry 0 is 0 again: no slot, no engine call
    p->GetTagChannel();  // with slot 0, key from the file name: no tag call
    ABI_CHECK(EngineCalls().empty() && TagCalls().empty(),
              "registers kept across reload: " + DescribeAll(EngineCalls()));
}

}  // namespace abi
