// SPDX-License-Identifier: MIT
// The engine's DLLs stay loaded once used, as libbass.so and libtags.so are linked
// -z nodelete: threads the engine started, and texts it handed out, must never
// outlive its code, whatever FreeLibrary a host calls.
#pragma once
#ifdef _WIN32

namespace ae {

// Pins the DLL this code is linked into until the process ends.
// Threads: any; cheap after the first call.
void KeepThisModuleLoaded();

// The function `name` exported by the DLL `module` if the process has loaded it;
// nullptr otherwise. Never loads a DLL.
// Threads: any.
using ExportedFunction = void (*)();
ExportedFunction LoadedModuleFunction(const wchar_t* module, const char* name);

}  // namespace ae

#endif
