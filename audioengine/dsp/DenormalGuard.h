// SPDX-License-Identifier: MIT
// Makes the current thread flush denormal results and inputs to zero for the
// lifetime of the guard, then restores the caller's floating-point mode. Decaying
// filter state would otherwise crawl through the denormal range, where every
// operation costs tens of times more; flushing also makes that state reach 0.
#pragma once

#if defined(__SSE__) || defined(_M_X64)
#include <xmmintrin.h>
#endif

namespace ae::dsp {

class DenormalGuard {
  public:
#if defined(__SSE__) || defined(_M_X64)
    DenormalGuard() : saved_(_mm_getcsr()) {
        constexpr unsigned kFlushToZero = 0x8000;
        constexpr unsigned kDenormalsAreZero = 0x0040;
        _mm_setcsr(saved_ | kFlushToZero | kDenormalsAreZero);
    }
    ~DenormalGuard() { _mm_setcsr(saved_); }

  private:
    unsigned saved_;
#elif defined(__aarch64__)
    DenormalGuard() {
        __asm__ __volatile__("mrs %0, fpcr" : "=r"(saved_));
        constexpr unsigned long kFlushToZero = 1ul << 24;
        __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_ | kFlushToZero));
    }
    ~DenormalGuard() { __asm__ __volatile__("msr fpcr, %0" : : "r"(saved_)); }

  private:
    unsigned long saved_;
#else
    DenormalGuard() = default;
#endif
  public:
    DenormalGuard(const DenormalGuard&) = delete;
    DenormalGuard& operator=(const DenormalGuard&) = delete;
};

}  // namespace ae::dsp
