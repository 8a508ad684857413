#include "core/plugin_entry.h"

#include "core/kolva.h"

#include <new>

namespace kolva {

AEffect* createPluginInstance(audioMasterCallback audioMaster) {
    if (audioMaster == nullptr) return nullptr;
    try {
        if (audioMaster(nullptr, vst::kHostVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
        auto* plugin = new (std::nothrow) Kolva(audioMaster);
        return plugin != nullptr ? plugin->getAeffect() : nullptr;
    } catch (...) {
        return nullptr;
    }
}

} // namespace kolva
