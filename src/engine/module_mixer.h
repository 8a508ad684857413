#pragma once
// The per-voice mixer (module 13, "mix"): sums the four oscillators of each voice, with level,
// pan and mute, into two stereo sends, one per filter; the filter-input control balances an
// oscillator between them.
//
// Threads: setParameter from the parameter thread; everything else on the audio thread.

#include "engine/module.h"
#include "fx/smoothed_param.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

class ModuleMixer : public ModulePoly {
public:
    ModuleMixer();
    ~ModuleMixer() override;

    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    // Audio outputs 0..3: per voice send 1 left, send 1 right, send 2 left, send 2 right.
    float* const* getAudioOutput(int index) override;

    // The oscillators' per-voice outputs for this block (null while an oscillator has none).
    void setOscillatorOutputs(int osc, float* const* left, float* const* right);
    // Whether oscillator n (0..3) is heard: not muted and its level rule keeps it active.
    bool isOscillatorAudible(int n) const;
    void renderBlock(int frames) override;

protected:
    std::string voiceLabel() const override { return "voice mixer"; }

private:
    static constexpr int kOscillators = 4;
    static constexpr int kSends = 4; // send 1 left, send 1 right, send 2 left, send 2 right

    void renderVoice(int voice, int frames);
    // The matrix's modulated buffer for module slot `slot` (the base when nothing routes there).
    const float* modulated(int voice, int frames, int slot, const float* base);

    std::array<SmoothedParam, kOscillators> pan_;
    std::array<SmoothedParam, kOscillators> level_;
    std::array<SmoothedParam, kOscillators> filterInput_;
    // Level rule and mute, written by setParameter on the parameter thread.
    std::array<std::atomic<std::int32_t>, kOscillators> active_{};
    std::array<std::atomic<std::int32_t>, kOscillators> mute_{}; // 1 audible, 0 muted

    std::array<const float*, kOscillators> panBuf_{};
    std::array<const float*, kOscillators> levelBuf_{};
    std::array<const float*, kOscillators> inputBuf_{};
    std::array<float* const*, kOscillators> oscLeft_{};
    std::array<float* const*, kOscillators> oscRight_{};
    std::array<std::array<float*, kNumVoices>, kSends> sends_{};
    int capacity_ = 0; // frames carved per buffer
};

} // namespace kolva
