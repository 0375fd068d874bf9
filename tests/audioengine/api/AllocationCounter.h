// SPDX-License-Identifier: MIT
// Counts heap allocations made by the calling thread while counting is on. The
// allocator functions of this binary wrap glibc's; under the sanitizers, which own
// the allocator, counting is not available.
#pragma once

namespace enginetest {

// True when the allocator is wrapped and counts are real.
bool AllocationCountingAvailable();
// Starts counting on the calling thread from 0.
void StartCountingAllocations();
// Stops counting and returns how many allocations the calling thread made since start.
long StopCountingAllocations();

}  // namespace enginetest
