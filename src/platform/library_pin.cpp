#include "platform/library_pin.h"

#include <dlfcn.h>

namespace kolva::platform {

bool pinLibraryOf(const void* symbol) {
    Dl_info info{};
    if (symbol == nullptr || dladdr(symbol, &info) == 0 || info.dli_fname == nullptr)
        return false;
    // NOLOAD: only an already loaded library gains the NODELETE mark (and one reference).
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

} // namespace kolva::platform
