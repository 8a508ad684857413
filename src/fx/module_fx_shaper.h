#pragma once
// Distortion, bit crushing and sample-rate reduction (module 15, "fx_shaper"): processes the summed stereo block in place.

#include "engine/module.h"

namespace kolva {

class ModuleFxShaper : public Module {};

} // namespace kolva
