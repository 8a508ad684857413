#include "fx/module_fx_shaper.h"

#include "fx/fx_dsp.h"
#include "platform/denormals.h"

namespace kolva {
namespace {

constexpr FxDecode kDecodes[ModuleFxShaper::kSlots] = {
    FxDecode::kSelector,   FxDecode::kSwitch,     FxDecode::kSwitch,     FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kSwitch};

static_assert(fx::ShaperCore::kScratchUsed <= 14, "the wet buffers follow the core's");

} // namespace

ModuleFxShaper::ModuleFxShaper() : FxModule(kDecodes, kSlots, kMix, kBypass) {
    scratch_.configure(16, 1); // the core works at the block rate
}

void ModuleFxShaper::process(int frames, float* left, float* right) {
    if (inactive() || frames > blockCapacity() || frames <= 0) return;
    const platform::ScopedFlushDenormals ftz;

    fx::ShaperCore::Block b;
    b.type = switchValue(kType);
    b.filteredOnly = switchValue(kBand) == 1;
    b.oversample = switchValue(kOversample) == 1;
    // Every control every block, so each smoother keeps gliding whichever path runs.
    b.drive = modulated(kDrive, frames);
    b.bits = modulated(kBits, frames);
    b.rate = modulated(kRate, frames);
    b.hiCut = modulated(kHiCut, frames);
    b.lowCut = modulated(kLowCut, frames);
    const float* mix = modulated(kMix, frames);

    float* wetL = scratch_[kWetL];
    float* wetR = scratch_[kWetR];
    core_.process(b, left, right, wetL, wetR, frames, scratch_, sampleRate_);
    fx::mixDryWet(left, wetL, mix, frames);
    fx::mixDryWet(right, wetR, mix, frames);
}

void ModuleFxShaper::recover() {
    FxModule::recover();
    core_.clear();
}

} // namespace kolva
