#include "fx/fx_module.h"

#include "engine/engine_value.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"

namespace kolva {

FxModule::FxModule(const FxDecode* decodes, int slots, int mixSlot, int bypassSlot)
    : decodes_(decodes), slotCount_(slots), mixSlot_(mixSlot), bypassSlot_(bypassSlot) {
    params_.binding.fill(-1);
}

void FxModule::bindParameter(int slot, int index) {
    Module::bindParameter(slot, index);
    if (slot >= 0 && slot < slotCount_) params_.binding[static_cast<std::size_t>(slot)] = index;
}

void FxModule::setParameter(int slot, float value) {
    if (slot < 0 || slot >= slotCount_) return;
    Module::setParameter(slot, value);
    const auto s = static_cast<std::size_t>(slot);
    switch (decodes_[slot]) {
    case FxDecode::kSelector:
        params_.switches[s].store(optionIndex(value), std::memory_order_relaxed);
        break;
    case FxDecode::kSwitch:
        params_.switches[s].store(switchOn(value) ? 1 : 0, std::memory_order_relaxed);
        break;
    case FxDecode::kContinuous:
        params_.smooth[s].set(mapContinuous(slot, clampUnit(value)));
        break;
    }
}

void FxModule::setBlockSize(int frames) {
    ready_ = false;
    if (voiceContext_ == nullptr) return;
    bool ok = true;
    for (int i = 0; i < slotCount_; ++i) {
        if (decodes_[i] != FxDecode::kContinuous) continue;
        SmoothedParam& p = params_.smooth[static_cast<std::size_t>(i)];
        p.allocate(*voiceContext_, frames);
        ok = ok && p.buffer() != nullptr;
    }
    ok = scratch_.carve(*voiceContext_, frames) && ok;
    ok = lines_.carve(*voiceContext_, sampleRate_) && ok;
    capacity_ = ok ? frames : 0;
    ready_ = ok;
}

bool FxModule::inactive() const {
    if (!ready_) return true;
    if (bypassSlot_ >= 0 && switchValue(bypassSlot_) == 1) return true;
    if (mixSlot_ >= 0) {
        const SmoothedParam& mix = params_.smooth[static_cast<std::size_t>(mixSlot_)];
        const int param = params_.binding[static_cast<std::size_t>(mixSlot_)];
        if (mix.target() == 0.0f && (matrix_ == nullptr || !matrix_->isModulated(param)))
            return true;
    }
    return false;
}

const float* FxModule::modulated(int slot, int frames) {
    SmoothedParam& p = params_.smooth[static_cast<std::size_t>(slot)];
    const float* smoothed = p.process(frames, sampleRate_);
    if (matrix_ == nullptr) return smoothed;
    return matrix_->modulateBuffer(kMonoVoice, frames,
                                   params_.binding[static_cast<std::size_t>(slot)], smoothed);
}

} // namespace kolva
