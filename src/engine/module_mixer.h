#pragma once
// The per-voice mixer (module 13, "mix"): sums the four oscillators into the two filter sends.

#include "engine/module.h"

namespace kolva {

class ModuleMixer : public ModulePoly {
public:
    // Whether oscillator n (0..3) is heard: not muted and its mix level active.
    bool isOscillatorAudible(int /*n*/) const { return false; }

protected:
    std::string voiceLabel() const override { return "voice mixer"; }
};

} // namespace kolva
