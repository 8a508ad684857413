#pragma once
// The dual per-voice filter section (module 14, "filter"). Inputs are the mixer's two stereo
// sends per voice; audio outputs 0 and 1 are each voice's filtered left and right signals.
// Until the filter types exist, the section passes the sum of both sends straight through.
//
// Threads: setParameter from the parameter thread; everything else on the audio thread.

#include "engine/module.h"

#include <array>

namespace kolva {

class ModuleFilter : public ModulePoly {
public:
    // Input k (0..3): per voice send 1 left, send 1 right, send 2 left, send 2 right.
    void setInput(int k, float* const* voices) {
        if (k >= 0 && k < 4) inputs_[k] = voices;
    }
    void setBlockSize(int frames) override;
    float* const* getAudioOutput(int index) override;
    void renderBlock(int frames) override;

protected:
    std::string voiceLabel() const override { return "voice filter"; }

private:
    std::array<float* const*, 4> inputs_{};
    std::array<std::array<float*, kNumVoices>, 2> outputs_{};
    int frames_ = 0;
};

} // namespace kolva
