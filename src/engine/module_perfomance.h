#pragma once
// Performance macros (module 22, "perfomance"): four smoothed macro sources.

#include "engine/module.h"

namespace kolva {

class ModulePerfomance : public ModulePoly {
protected:
    std::string voiceLabel() const override { return "voice perfomance"; }
};

} // namespace kolva
