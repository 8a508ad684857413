#pragma once
// Reverb (module 19, "fx_rever"): processes the summed stereo block in place.

#include "engine/module.h"

namespace kolva {

class ModuleFxRever : public Module {};

} // namespace kolva
