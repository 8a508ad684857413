#pragma once
// Three-band compressor (module 20, "fx_compressor"): processes the summed stereo block in place.

#include "engine/module.h"

namespace kolva {

class ModuleFxCompressor : public Module {};

} // namespace kolva
