#pragma once
// Reverb (module 19, "fx_rever"): processes the summed stereo block in place through
// ComponentRever, in one of seven modes, with its own dry/wet curve.
//
// Threads: as FxModule (process, clear and recover on the audio thread only).

#include "fx/component_rever.h"
#include "fx/fx_module.h"

namespace kolva {

class ModuleFxRever : public FxModule {
public:
    enum Slot {
        kMode = 0, kSync, kDivision, kPreDelay, kDamping, kWidth, kSize, kTone, kMix, kBypass,
        kSlots
    };

    ModuleFxRever();
    void process(int frames, float* left, float* right) override;
    void recover() override;

    fx::ComponentRever& component() { return core_; }

private:
    fx::ComponentRever core_;
};

} // namespace kolva
