#pragma once
// The dual per-voice filter section (module 14, "filter"). Inputs are the mixer's two stereo
// sends per voice (send 1 to filter 1, send 2 to filter 2); audio outputs 0 and 1 are each
// voice's final left and right signal before the amplitude envelope.
//
// Threads: setParameter from the parameter thread (single value stores); setup and
// setBlockSize at prepare time; renderBlock and reset on the audio thread.

#include "engine/module.h"
#include "engine/voice_filter.h"
#include "fx/smoothed_param.h"

#include <array>

namespace kolva {

class ModuleMidi;

class ModuleFilter : public ModulePoly {
public:
    enum Slot {
        kRouting, kLink, kType1, kMode1, kCut1, kRes1, kType2, kMode2, kCut2, kRes2, kKeyTrack,
        kBalance, kSlots
    };

    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    void reset() override;
    float* const* getAudioOutput(int index) override;
    void renderBlock(int frames) override;

    // Input k (0..3): per voice send 1 left, send 1 right, send 2 left, send 2 right.
    void setInput(int k, float* const* voices) {
        if (k >= 0 && k < 4) inputs_[k] = voices;
    }
    // Where the per-voice pitch and note starts come from (engine construction).
    void setNoteSource(ModuleMidi* midi) { midi_ = midi; }

    VoiceFilter* filterVoice(int v) const;

protected:
    std::unique_ptr<Voice> makeVoice() override { return std::make_unique<VoiceFilter>(); }
    std::string voiceLabel() const override { return "voice flt"; }

private:
    void prepareBlock(int frames);

    ModuleMidi* midi_ = nullptr;
    std::array<float* const*, 4> inputs_{};
    SmoothedParam cut1_, res1_, cut2_, res2_, balance_;
    FilterModuleBlock block_;
    std::array<std::array<float*, kNumVoices>, 2> outputs_{};
    int capacity_ = 0;
};

} // namespace kolva
