#pragma once
// Oscillators (modules 9..12, "osc1".."osc4").

#include "engine/module.h"

namespace kolva {

class ModuleOscillator : public ModulePoly {
protected:
    std::string voiceLabel() const override { return "voice oscillator"; }
};

} // namespace kolva
