#pragma once
// Six-stage envelopes (modules 5..8, "env1".."env4"); env1 is the amplitude envelope that
// scales every voice before summing.

#include "engine/module.h"

namespace kolva {

class ModuleEnvelope : public ModulePoly {
public:
    // Whether voice `voice` is currently sounding (its envelope has not finished).
    bool isActive(int /*voice*/) const { return false; }

protected:
    std::string voiceLabel() const override { return "voice envelope"; }
};

} // namespace kolva
