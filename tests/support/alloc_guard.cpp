#include "support/alloc_guard.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
// Part of every sanitizer runtime; GCC does not ship the header that declares it.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t),
    void (*free_hook)(const volatile void*));
extern "C" void __sanitizer_print_stack_trace();
#define KOLVA_GUARD_MALLOC_HOOK 1
#endif

namespace {

thread_local bool tArmed = false;
std::atomic<long> gCount{0};

// KOLVA_ALLOC_GUARD_TRACE=1 prints where each guarded allocation came from.
const bool gTrace = std::getenv("KOLVA_ALLOC_GUARD_TRACE") != nullptr;

inline void noteAllocation() {
    if (!tArmed) return;
    gCount.fetch_add(1, std::memory_order_relaxed);
#if KOLVA_GUARD_MALLOC_HOOK
    if (gTrace) {
        tArmed = false; // the trace itself allocates
        __sanitizer_print_stack_trace();
        tArmed = true;
    }
#endif
}

#if KOLVA_GUARD_MALLOC_HOOK
// The sanitizer runtime calls this for every malloc/calloc/realloc/new in the process.
void mallocHook(const volatile void*, std::size_t) { noteAllocation(); }
void freeHook(const volatile void*) {} // the runtime refuses a hook pair with a null member
struct InstallHook {
    InstallHook() {
        if (__sanitizer_install_malloc_and_free_hooks(&mallocHook, &freeHook) == 0) std::abort();
    }
} gInstallHook;
#endif

} // namespace

#if !KOLVA_GUARD_MALLOC_HOOK
// Without the sanitizer runtime, count at the operator new level.
void* operator new(std::size_t n) {
    noteAllocation();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    noteAllocation();
    if (void* p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    noteAllocation();
    return std::malloc(n ? n : 1);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    noteAllocation();
    return std::malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace kolva::test {

AllocationGuard::AllocationGuard() : start_(gCount.load()) { tArmed = true; }
AllocationGuard::~AllocationGuard() { tArmed = false; }
long AllocationGuard::count() const { return gCount.load() - start_; }

AllocationGuardPause::AllocationGuardPause() : wasArmed_(tArmed) { tArmed = false; }
AllocationGuardPause::~AllocationGuardPause() { tArmed = wasArmed_; }

bool allocationGuardSeesMalloc() {
#if KOLVA_GUARD_MALLOC_HOOK
    return true;
#else
    return false;
#endif
}

} // namespace kolva::test
