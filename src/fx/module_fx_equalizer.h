#pragma once
// Equalizer and master stage (module 21, "fx_equalizer"). It runs at three points of the
// effects chain: stage 1 after the chorus, stage 2 after the compressor, stage 3 last.

#include "engine/module.h"

namespace kolva {

class ModuleFxEqualizer : public Module {
public:
    void processStage(int /*stage*/, int /*frames*/, float* /*left*/, float* /*right*/) {}
};

} // namespace kolva
