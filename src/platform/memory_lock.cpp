#include "platform/memory_lock.h"

#include <sys/mman.h>
#include <sys/resource.h>

namespace kolva::platform {

bool raiseLockableMemory(std::size_t bytes) {
    rlimit lim{};
    if (::getrlimit(RLIMIT_MEMLOCK, &lim) != 0) return false;
    if (lim.rlim_cur == RLIM_INFINITY) return true;
    rlim_t wanted = lim.rlim_cur + static_cast<rlim_t>(bytes);
    if (lim.rlim_max != RLIM_INFINITY && wanted > lim.rlim_max) wanted = lim.rlim_max;
    if (wanted <= lim.rlim_cur) return lim.rlim_cur >= bytes;
    lim.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_MEMLOCK, &lim) == 0;
}

bool lockMemory(const void* address, std::size_t bytes) {
    if (address == nullptr || bytes == 0) return false;
    return ::mlock(address, bytes) == 0;
}

void unlockMemory(const void* address, std::size_t bytes) {
    if (address != nullptr && bytes > 0) ::munlock(address, bytes);
}

} // namespace kolva::platform
