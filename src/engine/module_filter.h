#pragma once
// The dual per-voice filter section (module 14, "filter"). Audio outputs 0 and 1 are each
// voice's filtered left and right signals.

#include "engine/module.h"

namespace kolva {

class ModuleFilter : public ModulePoly {
protected:
    std::string voiceLabel() const override { return "voice filter"; }
};

} // namespace kolva
