#pragma once
// Distortion, bit crushing and sample-rate reduction (module 15, "fx_shaper"): processes the
// summed stereo block in place. The module decodes the ten controls and asks for their
// per-sample buffers; ShaperCore does the signal work and the module mixes dry and wet.
//
// Threads: as FxModule (process and recover on the audio thread).

#include "fx/fx_module.h"
#include "fx/shaper_core.h"

namespace kolva {

class ModuleFxShaper : public FxModule {
public:
    // Local slots.
    enum Slot {
        kType = 0, // selector: 0..14
        kBand = 1, // switch: 0 split, 1 filtered band only
        kOversample = 2,
        kDrive = 3,
        kBits = 4,
        kRate = 5,
        kHiCut = 6,  // low-pass cutoff
        kLowCut = 7, // high-pass cutoff
        kMix = 8,
        kBypass = 9,
        kSlots = 10
    };

    ModuleFxShaper();

    void process(int frames, float* left, float* right) override;
    void recover() override;

private:
    // The block's wet signal, after the buffers the core works in.
    static constexpr int kWetL = 14, kWetR = 15;

    fx::ShaperCore core_;
};

} // namespace kolva
