#include "fx/module_fx_rever.h"

#include "platform/denormals.h"

namespace kolva {
namespace {

constexpr FxDecode kDecodes[ModuleFxRever::kSlots] = {
    FxDecode::kSelector,   FxDecode::kSwitch,     FxDecode::kSelector,   FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kSwitch};

} // namespace

ModuleFxRever::ModuleFxRever() : FxModule(kDecodes, kSlots, kMix, kBypass) {
    core_.registerLines(lines_);
    scratch_.configure(fx::ComponentRever::kScratch, 1);
}

void ModuleFxRever::process(int frames, float* left, float* right) {
    if (frames <= 0 || frames > blockCapacity() || inactive()) return;
    platform::ScopedFlushDenormals ftz;

    fx::ComponentRever::Controls c;
    c.mode = switchValue(kMode);
    c.sync = switchValue(kSync) == 1;
    c.division = switchValue(kDivision);
    c.tempo = engine_ != nullptr ? engine_->lastPositiveTempo : 120.0f;
    c.preDelay = modulated(kPreDelay, frames);
    c.damping = modulated(kDamping, frames);
    c.width = modulated(kWidth, frames);
    c.size = modulated(kSize, frames);
    c.tone = modulated(kTone, frames);
    c.mix = modulated(kMix, frames);
    core_.process(frames, sampleRate_, left, right, c, lines_, scratch_);
}

void ModuleFxRever::recover() {
    FxModule::recover();
    core_.clear();
}

} // namespace kolva
