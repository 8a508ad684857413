#include "engine/module_midi.h"

#include "engine/voice_context.h"

#include <algorithm>

namespace kolva {

void ModuleMidi::setParameter(int slot, float value) {
    Module::setParameter(slot, value);
    const int k = static_cast<int>(value * 999.99f);
    switch (slot) {
    case 0:
        mode_ = std::clamp(k, 0, 5);
        voiceContext_->modeInEffect = mode_;
        break;
    case 1:
        polyCount_ = std::clamp(k + 1, 1, kPolyVoices);
        voiceContext_->polyVoiceCount = polyCount_;
        break;
    default:
        break;
    }
}

void ModuleMidi::noteOn(int, int, int) {}
void ModuleMidi::noteOff(int, int) {}
void ModuleMidi::polyNoteOff(int, int) {}
void ModuleMidi::monoNoteOff(int, int) {}
void ModuleMidi::beginBlockEvents() {}
void ModuleMidi::resetVoiceBuffers() {}
void ModuleMidi::clearKeyTables() {}
void ModuleMidi::setBend(float bend) { bend_ = bend; }

} // namespace kolva
