#pragma once
// Performance macros (module 22, "perfomance"): four smoothed macro controls published per
// voice, after modulation, as the matrix sources Mod1..Mod4.
//
// Threads: setParameter from the parameter thread; everything else on the audio thread.

#include "engine/module.h"
#include "fx/smoothed_param.h"

#include <array>

namespace kolva {

class ModulePerfomance : public ModulePoly {
public:
    ModulePerfomance();
    ~ModulePerfomance() override;

    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    // Mod output k (0..3): the 17 per-voice buffers of macro k.
    float* const* getModOutput(int index) override;
    void renderBlock(int frames) override;

protected:
    std::string voiceLabel() const override { return "voice perfomance"; }

private:
    static constexpr int kMacros = 4;

    void renderVoice(int voice, int frames);

    std::array<SmoothedParam, kMacros> macros_;
    std::array<const float*, kMacros> smoothed_{};
    // Per macro, the 17 per-voice results after modulation.
    std::array<std::array<float*, kNumVoices>, kMacros> outputs_{};
    int capacity_ = 0; // frames carved per buffer
};

} // namespace kolva
