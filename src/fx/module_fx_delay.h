#pragma once
// Stereo delay (module 18, "fx_delay"): processes the summed stereo block in place.

#include "engine/module.h"

namespace kolva {

class ModuleFxDelay : public Module {};

} // namespace kolva
