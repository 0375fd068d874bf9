// SPDX-License-Identifier: MIT
#include "tests/audioengine/api/AllocationCounter.h"

#include <cerrno>
#include <cstddef>

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
}  // namespace

namespace enginetest {

#ifdef ENGINETEST_SANITIZED
bool AllocationCountingAvailable() { return false; }
#else
bool AllocationCountingAvailable() { return true; }
#endif

void StartCountingAllocations() {
    t_allocations = 0;
    t_counting = true;
}

long StopCountingAllocations() {
    t_counting = false;
    return t_allocations;
}

}  // namespace enginetest

#ifndef ENGINETEST_SANITIZED
// Every allocation of the process, the engine's libraries included (operator new
// ends in malloc), passes through these wrappers; free stays glibc's own.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);

static inline void Count() {
    if (t_counting) ++t_allocations;
}

void* malloc(size_t size) {
    Count();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    Count();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    Count();
    return __libc_realloc(pointer, size);
}
void* memalign(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(size_t alignment, size_t size) {
    Count();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) {
    Count();
    void* pointer = __libc_memalign(alignment, size);
    if (!pointer) return ENOMEM;
    *out = pointer;
    return 0;
}
}
#endif
