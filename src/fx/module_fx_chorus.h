#pragma once
// Chorus (module 17, "fx_chorus"): processes the summed stereo block in place. Slots: 0 mode,
// 1 delay (through the delay curve before smoothing), 2 feedback, 3 LFO rate, 4 depth,
// 5 stereo spread, 6 low-pass cutoff, 7 high-pass cutoff, 8 mix, 9 bypass.
//
// Threads: as FxModule.

#include "fx/chorus_core.h"
#include "fx/fx_module.h"

namespace kolva {

class ModuleFxChorus : public FxModule {
public:
    enum Slot {
        kMode = 0, kDelay, kFeedback, kRate, kDepth, kWide, kHiCut, kLowCut, kMix, kBypass,
        kSlots
    };

    ModuleFxChorus();

    void process(int frames, float* left, float* right) override;
    void recover() override;

    const fx::ChorusCore& core() const { return core_; }

protected:
    float mapContinuous(int slot, float value) const override;

private:
    enum Scratch { kInLeft = 0, kInRight, kWetLeft, kWetRight, kTapDelay0 };
    static constexpr int kScratchCount = 16;

    fx::ChorusCore core_;
};

} // namespace kolva
