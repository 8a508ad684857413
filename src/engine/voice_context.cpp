#include "engine/voice_context.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kolva {

void SharedVoiceContext::FreeDeleter::operator()(std::byte* p) const { std::free(p); }

SharedVoiceContext::~SharedVoiceContext() = default;

bool SharedVoiceContext::recreateArena(std::size_t bytes) {
    ScopedLock<Mutex> hold(*this);
    registry_.clear();
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
    std::size_t size = (static_cast<std::size_t>(frames) * 4 + 16 + 15) & ~std::size_t(15);
    if (!arena_ || fill_ + size > arenaSize_) return nullptr;
    std::byte* p = arena_.get() + fill_;
    fill_ += size;
    std::memset(p, 0, size);
    auto* data = reinterpret_cast<float*>(p);
    registry_.push_back({name != nullptr ? name : "", data, frames});
    return data;
}

} // namespace kolva
