#pragma once
// Chorus (module 17, "fx_chorus"): processes the summed stereo block in place.

#include "engine/module.h"

namespace kolva {

class ModuleFxChorus : public Module {};

} // namespace kolva
