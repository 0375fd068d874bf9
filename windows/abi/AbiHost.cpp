// SPDX-License-Identifier: MIT
// A 32-bit host for the ABI tests: loads Plugin.dll with the mock engine DLLs beside
// it, drives every area of the plug-in through its exports and checks what crosses
// the boundary. Prints one line per failure and, when every check passes, the final
// line "ABI_HOST_OK <checks>" that the runner requires; exits 0 only then. A trap or
// crash is reported with the scenario it happened in, and exits 3.
//
// `abi_host fp-trap-probe sse|x87` instead divides by zero with the exceptions
// unmasked, to show that the platform delivers floating-point traps (so that the
// unmasked-exception checks can fail): it must end in a reported trap.
#include <stdio.h>
#include <string.h>

#include "windows/abi/Harness.h"

namespace {

int FpTrapProbe(const char* unit) {
    abi::Step(unit);
    abi::UnmaskFpExceptions();
    if (strcmp(unit, "sse") == 0) {
        volatile double zero = 0.0;
        volatile double result = 1.0 / zero;
        (void)result;
    } else {
        __asm__ volatile("fld1\n\tfldz\n\tfdivrp\n\tfstp %%st(0)\n\tfwait" : : : "memory");
    }
    abi::Print("NO_FP_TRAP %s\n", unit);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    abi::InstallCrashReporter();
    if (argc == 3 && strcmp(argv[1], "fp-trap-probe") == 0) return FpTrapProbe(argv[2]);

    abi::Step("load");
    abi::Exports plugin;
    if (!abi::LoadPlugin(&plugin)) {
        abi::Print("ABI_HOST_FAILED: the plug-in does not load\n");
        return 1;
    }
    abi::CheckExportTable();
    abi::CheckIdentityAndRegisters(plugin);
    abi::CheckTransport(plugin);
    abi::CheckTimeAndLevel(plugin);
    abi::CheckSpectrum(plugin);
    abi::CheckInfoAndTags(plugin);
    abi::CheckEqualiser(plugin);
    abi::CheckOutOfRangeSlots(plugin);
    abi::CheckStackDrift(plugin);
    abi::CheckQueriesWithFpExceptionsUnmasked(plugin);
    abi::CheckDetachAndReload(&plugin);
    abi::Step("unload");
    abi::UnloadPlugin();

    if (abi::g_failures != 0) {
        abi::Print("ABI_HOST_FAILED %d of %d checks\n", abi::g_failures, abi::g_checks);
        return 1;
    }
    abi::Print("ABI_HOST_OK %d checks\n", abi::g_checks);
    return 0;
}
