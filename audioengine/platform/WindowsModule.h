// SPDX-License-Identifier: MIT
// The engine's DLLs stay loaded once used, as libbass.so and libtags.so are linked
// -z nodelete: threads the engine started, and texts it handed out, must never
// outlive its code, whatever FreeLibrary a host calls.
#pragma once
#ifdef _WIN32

#include <string>

namespace ae {

// Pins the DLL this code is linked into until the process ends.
// Threads: any; cheap after the first call.
void KeepThisModuleLoaded();

// The function `name` exported by the DLL `module` if the process has loaded it;
// nullptr otherwise. Never loads a DLL.
// Threads: any.
using ExportedFunction = void (*)();
ExportedFunction LoadedModuleFunction(const wchar_t* module, const char* name);

// The folder of the DLL (or program) this code is linked into, without a trailing
// backslash; "" when Windows does not say.
// Threads: any.
std::wstring ThisModuleFolder();

// The process's variable `name`, read from its environment block (as a host that set
// it with SetEnvironmentVariableW has it, every character of it); false when unset.
// Threads: any that do not change the variable meanwhile.
bool EnvironmentVariable(const wchar_t* name, std::wstring* value);

// Loads the DLL at `path` (its own folder searched first for what it imports), pins
// it until the process ends and returns its export `name`; nullptr with `why` set
// when it cannot be loaded or has no such export.
// Threads: any.
ExportedFunction LoadPinnedModuleFunction(const std::wstring& path, const char* name,
                                          std::string* why);

}  // namespace ae

#endif
