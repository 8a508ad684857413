#pragma once
// Flush-to-zero for the audio thread: filters and reverbs decaying towards silence would
// otherwise spend their time on denormal numbers. Scoped, so the host's own setting comes back
// when the plug-in returns.
//
// Threads: the thread that renders; no state beyond its own control register.

#if defined(__SSE__) || defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace kolva::platform {

class ScopedFlushDenormals {
public:
#if defined(__SSE__) || defined(__x86_64__)
    // FTZ (bit 15) and DAZ (bit 6) of MXCSR.
    ScopedFlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040u); }
    ~ScopedFlushDenormals() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
#else
    ScopedFlushDenormals() = default;
#endif
public:
    ScopedFlushDenormals(const ScopedFlushDenormals&) = delete;
    ScopedFlushDenormals& operator=(const ScopedFlushDenormals&) = delete;
};

} // namespace kolva::platform
