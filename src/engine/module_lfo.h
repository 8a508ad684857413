#pragma once
// Low-frequency oscillators (modules 1..4, "lfo1".."lfo4").

#include "engine/module.h"

namespace kolva {

class ModuleLfo : public ModulePoly {
protected:
    std::string voiceLabel() const override { return "voice lfo"; }
};

} // namespace kolva
