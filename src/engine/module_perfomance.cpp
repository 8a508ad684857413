#include "engine/module_perfomance.h"

#include "engine/module_matrix.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cstring>

namespace kolva {

ModulePerfomance::ModulePerfomance() = default;
ModulePerfomance::~ModulePerfomance() = default;

void ModulePerfomance::setParameter(int slot, float value) {
    Module::setParameter(slot, value);
    if (slot >= 0 && slot < kMacros) macros_[slot].set(value);
}

void ModulePerfomance::setBlockSize(int frames) {
    capacity_ = std::max(frames, 0);
    bool complete = true;
    for (int k = 0; k < kMacros; ++k) {
        macros_[k].allocate(*voiceContext_, capacity_);
        complete = complete && macros_[k].buffer() != nullptr;
        for (float*& b : outputs_[k]) {
            b = voiceContext_->allocate(capacity_, "perf out");
            complete = complete && b != nullptr;
        }
    }
    if (!complete) capacity_ = 0; // an arena too small: the macros stay silent
}

float* const* ModulePerfomance::getModOutput(int index) {
    if (index < 0 || index >= kMacros || capacity_ == 0) return nullptr;
    return outputs_[index].data();
}

void ModulePerfomance::renderBlock(int frames) {
    const int n = std::min(frames, capacity_);
    if (n <= 0) return;
    for (int k = 0; k < kMacros; ++k) smoothed_[k] = macros_[k].process(n, sampleRate_);

    if (voiceContext_->polyModeInEffect()) {
        for (int v = 0; v < kPolyVoices; ++v)
            if (voiceContext_->voiceSounding(v)) renderVoice(v, n);
        // Global destinations read voice 16, so it runs even without a mono note.
        renderVoice(kMonoVoice, n);
    } else if (voiceContext_->voiceSounding(kMonoVoice)) {
        renderVoice(kMonoVoice, n);
    }
}

void ModulePerfomance::renderVoice(int v, int n) {
    for (int k = 0; k < kMacros; ++k) {
        const int param = parameterForSlot(k);
        const float* src = smoothed_[k];
        if (param >= 0 && matrix_ != nullptr) {
            const float* m = matrix_->modulateBuffer(v, n, param, smoothed_[k]);
            if (m != nullptr) src = m;
        }
        std::memcpy(outputs_[k][v], src, sizeof(float) * static_cast<std::size_t>(n));
    }
}

} // namespace kolva
