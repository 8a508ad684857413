#pragma once
// Phaser (module 16, "fx_phaser"): processes the summed stereo block in place. Slots: 0 mode,
// 1 sweep centre, 2 feedback, 3 stereo, 4 LFO rate, 5 LFO depth, 6 mix, 7 bypass.
//
// Threads: as FxModule.

#include "fx/fx_module.h"
#include "fx/phaser_core.h"

namespace kolva {

class ModuleFxPhaser : public FxModule {
public:
    enum Slot {
        kMode = 0, kCentre, kFeedback, kStereo, kRate, kDepth, kMix, kBypass, kSlots
    };

    ModuleFxPhaser();

    void process(int frames, float* left, float* right) override;
    void recover() override;

    const fx::PhaserCore& core() const { return core_; }

private:
    enum Scratch { kWetLeft = 0, kWetRight, kScratchCount };

    fx::PhaserCore core_;
};

} // namespace kolva
