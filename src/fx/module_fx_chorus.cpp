#include "fx/module_fx_chorus.h"

#include "platform/denormals.h"

namespace kolva {
namespace {

constexpr FxDecode kDecodes[ModuleFxChorus::kSlots] = {
    FxDecode::kSelector,   FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kSwitch,
};

} // namespace

ModuleFxChorus::ModuleFxChorus() : FxModule(kDecodes, kSlots, kMix, kBypass) {
    for (int i = 0; i < fx::ChorusCore::kLines; ++i) lines_.add(fx::ChorusCore::kLineSeconds);
    scratch_.configure(kScratchCount, 1);
}

float ModuleFxChorus::mapContinuous(int slot, float value) const {
    return slot == kDelay ? fx::ChorusCore::mapDelay(value) : value;
}

void ModuleFxChorus::process(int frames, float* left, float* right) {
    if (inactive() || frames > blockCapacity()) return;
    if (frames <= 0) return;
    const platform::ScopedFlushDenormals ftz;

    const fx::ChorusCore::Controls controls{
        modulated(kDelay, frames), modulated(kFeedback, frames), modulated(kRate, frames),
        modulated(kDepth, frames), modulated(kWide, frames),     modulated(kHiCut, frames),
        modulated(kLowCut, frames),
    };
    const float* mix = modulated(kMix, frames);

    const fx::ChorusCore::Buffers buffers{
        scratch_[kInLeft],
        scratch_[kInRight],
        scratch_[kWetLeft],
        scratch_[kWetRight],
        {scratch_[kTapDelay0], scratch_[kTapDelay0 + 1], scratch_[kTapDelay0 + 2],
         scratch_[kTapDelay0 + 3]}};
    core_.process(frames, sampleRate_, left, right, switchValue(kMode), controls, lines_,
                  buffers);
    fx::mixDryWet(left, buffers.wetLeft, mix, frames);
    fx::mixDryWet(right, buffers.wetRight, mix, frames);
}

void ModuleFxChorus::recover() {
    FxModule::recover();
    core_.clear();
}

} // namespace kolva
