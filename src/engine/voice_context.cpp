#include "engine/voice_context.h"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace kolva {
namespace {

#if defined(__SANITIZE_ADDRESS__)
// Sanitizer builds put a poisoned gap after every carved buffer (past its spare floats), so
// a module that writes beyond its own buffer is caught instead of quietly changing the next.
constexpr std::size_t kRedZone = 16;
void poison(std::byte* p, std::size_t n) { ASAN_POISON_MEMORY_REGION(p, n); }
void unpoison(std::byte* p, std::size_t n) { ASAN_UNPOISON_MEMORY_REGION(p, n); }
#else
constexpr std::size_t kRedZone = 0;
void poison(std::byte*, std::size_t) {}
void unpoison(std::byte*, std::size_t) {}
#endif

} // namespace

void SharedVoiceContext::FreeDeleter::operator()(std::byte* p) const { std::free(p); }

SharedVoiceContext::~SharedVoiceContext() {
    if (arena_) unpoison(arena_.get(), arenaSize_);
}

bool SharedVoiceContext::recreateArena(std::size_t bytes) {
    ScopedLock<Mutex> hold(*this);
    registry_.clear();
    if (arena_) unpoison(arena_.get(), arenaSize_);
    arena_.reset();
    arenaSize_ = 0;
    fill_ = 0;
    bytes = (bytes + 63) & ~std::size_t(63);
    // Not zeroed here: large blocks come straight from the kernel and pages are only touched
    // when a buffer is carved.
    auto* p = static_cast<std::byte*>(std::aligned_alloc(64, bytes));
    if (p == nullptr) return false;
    arena_.reset(p);
    arenaSize_ = bytes;
    registry_.reserve(1024);
    return true;
}

float* SharedVoiceContext::allocate(int frames, const char* name) {
    if (frames < 0) return nullptr;
    ScopedLock<Mutex> hold(*this);
    const std::size_t size = (static_cast<std::size_t>(frames) * 4 + 16 + 15) & ~std::size_t(15);
    if (!arena_ || fill_ + size + kRedZone > arenaSize_) return nullptr;
    std::byte* p = arena_.get() + fill_;
    fill_ += size + kRedZone;
    std::memset(p, 0, size);
    poison(p + size, kRedZone);
    auto* data = reinterpret_cast<float*>(p);
    registry_.push_back({name != nullptr ? name : "", data, frames});
    return data;
}

} // namespace kolva
