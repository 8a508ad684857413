#include "engine/module.h"

namespace kolva {

void Module::bindParameter(int slot, int index) {
    if (slot >= 0 && slot < kMaxSlots) slotToParam_[slot] = index;
}

void Module::setParameter(int slot, float value) {
    if (slot >= 0 && slot < kMaxSlots) slotValues_[slot].store(value, std::memory_order_relaxed);
}

void Module::init(EngineContext* engine, SharedVoiceContext* voices, ModuleMatrix* matrix,
                  std::string_view name) {
    engine_ = engine;
    voiceContext_ = voices;
    matrix_ = matrix;
    name_ = std::string(name);
    sampleRate_ = 44100.0f;
    dirty_ = false;
}

int Module::parameterForSlot(int slot) const {
    return (slot >= 0 && slot < kMaxSlots) ? slotToParam_[slot] : -1;
}

float Module::slotValue(int slot) const {
    return (slot >= 0 && slot < kMaxSlots) ? slotValues_[slot].load(std::memory_order_relaxed)
                                           : 0.0f;
}

void Voice::attach(int index, const int* slotToParam, SharedVoiceContext* voices,
                   ModuleMatrix* matrix, std::string label) {
    index_ = index;
    slotToParam_ = slotToParam;
    voiceContext_ = voices;
    matrix_ = matrix;
    label_ = std::move(label);
}

void ModulePoly::setup() {
    for (int i = 0; i < kNumVoices; ++i) {
        voices_[i] = makeVoice();
        voices_[i]->attach(i, slotToParam_.data(), voiceContext_, matrix_, voiceLabel());
    }
}

void ModulePoly::resetVoicesIfDirty() {
    if (!dirty_) return;
    for (auto& v : voices_)
        if (v) v->reset();
    dirty_ = false;
}

} // namespace kolva
