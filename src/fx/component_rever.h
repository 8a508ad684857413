#pragma once
// The reverb kernel: tone band, pre-delay, an optional multi-tap stage and diffusion chain,
// then a figure-eight tank of two cross-coupled halves (all-pass, modulated delay, damping,
// all-pass, modulated delay), read either at fixed taps of its six nodes or through the
// mode's output taps, then two peaking filters and the width control. The mode record is
// copied in on the first block after the mode number changes.
//
// Threads: audio thread only (registerLines at construction).

#include "engine/xor_add_random.h"
#include "fx/delay_line.h"
#include "fx/fx_dsp.h"
#include "fx/module_fx_delay.h"
#include "fx/rever_modes.h"

namespace kolva::fx {

// A random ramp: each period it heads from its last output towards a new random target.
class RandomRamp {
public:
    float next(float increment) {
        phase_ += increment;
        if (phase_ >= 1.0f) {
            phase_ -= 1.0f;
            start_ = out_;
            slope_ = random_.next() + 0.5f - start_;
        }
        out_ = slope_ * phase_ + start_;
        return out_;
    }
    void clear() {
        phase_ = start_ = slope_ = out_ = 0.0f;
        random_.reseed();
    }

private:
    float phase_ = 0.0f;
    float start_ = 0.0f;
    float slope_ = 0.0f;
    float out_ = 0.0f;
    XorAddRandom random_;
};

class ComponentRever {
public:
    static constexpr float kPreDelaySeconds = 32.0f;
    static constexpr float kLineSeconds = 1.0f;
    static constexpr float kModeRate = 29761.0f; // the rate the mode delays are given at

    struct Controls {
        int mode = 0;
        bool sync = false;
        int division = 0;
        float tempo = 120.0f;
        // Per-sample buffers, 0..1.
        const float* preDelay;
        const float* damping;
        const float* width;
        const float* size;
        const float* tone;
        const float* mix;
    };

    ComponentRever();
    // Registers the pre-delay line and the 34 mode lines.
    void registerLines(DelayLineRegistry& lines);
    // The bank mode changes load from (tests hand in others).
    void useModes(const ReverModeBank* bank) { bank_ = bank; }

    void process(int frames, float sampleRate, float* left, float* right, const Controls& c,
                 DelayLineRegistry& lines);
    // Filters, damping, tank and LFOs back to rest (the lines belong to the registry).
    void clear();

    int loadedMode() const { return loaded_; }
    const ReverMode& mode() const { return mode_; }
    // Longest read, in samples, that `mode` can make from a 1-second line at `sampleRate`
    // with the size control at its top (modulation included).
    static float longestRead(const ReverMode& mode, float sampleRate);

private:
    // Line indices inside the registry.
    enum {
        kPre = 0,
        kTap0 = 1,                                       // 6 multi-tap lines
        kDiff0 = kTap0 + ReverMode::kTaps,               // 6 diffusion all-passes
        kApL0 = kDiff0 + ReverMode::kDiffusers,          // 2 left, 2 right tank all-passes
        kApR0 = kApL0 + 2,
        kWaveL0 = kApR0 + 2,                             // 2 left, 2 right modulated delays
        kWaveR0 = kWaveL0 + 2,
        kOutL0 = kWaveR0 + 2,                            // 7 left, 7 right output taps
        kOutR0 = kOutL0 + ReverMode::kOutputTaps,
        kLineCount = kOutR0 + ReverMode::kOutputTaps,
    };

    void load(int mode);

    const ReverModeBank* bank_;
    ReverMode mode_{};
    int loaded_ = -1;
    int first_ = -1; // registry index of the pre-delay line

    RandomRamp lfo_[4];
    EchoTone tone_;
    float dampL_ = 0.0f, dampR_ = 0.0f;
    float nodes_[6] = {};
    float leftEnd_ = 0.0f, rightEnd_ = 0.0f;
    Biquad peak_[2];
};

} // namespace kolva::fx
