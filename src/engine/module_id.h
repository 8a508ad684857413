#pragma once
// Fixed module numbers of the engine graph. Routing records store these numbers, so they
// never change. Header-only so the parameter table can name receivers without the engine.

#include <cstdint>

namespace kolva {

enum ModuleId : int {
    kModMidi = 0,
    kModLfo1 = 1, // lfo1..lfo4 = 1..4
    kModEnv1 = 5, // env1..env4 = 5..8
    kModOsc1 = 9, // osc1..osc4 = 9..12
    kModMixer = 13,
    kModFilter = 14,
    kModFxShaper = 15,
    kModFxPhaser = 16,
    kModFxChorus = 17,
    kModFxDelay = 18,
    kModFxRever = 19,
    kModFxCompressor = 20,
    kModFxEqualizer = 21,
    kModPerfomance = 22,
    kModExtControl = 23,
    kModStepper1 = 24, // stepper1, stepper2 = 24, 25
    kModArp = 26,
    kNumModules = 27,
};

} // namespace kolva
