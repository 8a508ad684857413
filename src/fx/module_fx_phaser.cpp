#include "fx/module_fx_phaser.h"

#include "fx/fx_dsp.h"
#include "platform/denormals.h"

namespace kolva {
namespace {

constexpr FxDecode kDecodes[ModuleFxPhaser::kSlots] = {
    FxDecode::kSelector,   FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kSwitch,
};

} // namespace

ModuleFxPhaser::ModuleFxPhaser() : FxModule(kDecodes, kSlots, kMix, kBypass) {
    scratch_.configure(kScratchCount, 1);
}

void ModuleFxPhaser::process(int frames, float* left, float* right) {
    if (inactive() || frames > blockCapacity()) return;
    if (frames <= 0) return;
    const platform::ScopedFlushDenormals ftz;

    const fx::PhaserCore::Controls controls{
        modulated(kCentre, frames), modulated(kFeedback, frames), modulated(kStereo, frames),
        modulated(kRate, frames),   modulated(kDepth, frames),
    };
    const float* mix = modulated(kMix, frames);

    float* wetL = scratch_[kWetLeft];
    float* wetR = scratch_[kWetRight];
    core_.process(frames, sampleRate_, left, right, switchValue(kMode), controls, wetL, wetR);
    fx::mixDryWet(left, wetL, mix, frames);
    fx::mixDryWet(right, wetR, mix, frames);
}

void ModuleFxPhaser::recover() {
    FxModule::recover();
    core_.clear();
}

} // namespace kolva
