#pragma once
// Phaser (module 16, "fx_phaser"): processes the summed stereo block in place.

#include "engine/module.h"

namespace kolva {

class ModuleFxPhaser : public Module {};

} // namespace kolva
