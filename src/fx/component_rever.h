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

// Four random ramps side by side, one per lane: each period a ramp heads from its last output
// towards a new random target.
class RandomRamps {
public:
    // The ramps' running values, for a loop that keeps them in registers: load, step with
    // next(state, increment), store.
    struct State {
        __m128 phase, start, slope, out;
    };
    State load() const {
        return {_mm_load_ps(phase_), _mm_load_ps(start_), _mm_load_ps(slope_), _mm_load_ps(out_)};
    }
    void store(const State& s) {
        _mm_store_ps(phase_, s.phase);
        _mm_store_ps(start_, s.start);
        _mm_store_ps(slope_, s.slope);
        _mm_store_ps(out_, s.out);
    }
    // One step of every ramp by its own increment; returns the four outputs.
    [[gnu::always_inline]] __m128 next(State& s, __m128 increment) {
        const __m128 phase = _mm_add_ps(s.phase, increment);
        if (_mm_movemask_ps(_mm_cmpge_ps(phase, _mm_set1_ps(1.0f))) != 0) [[unlikely]] {
            // A ramp finished its period (a few times a second at most): new target.
            s.phase = phase;
            store(s);
            renew();
            s = load();
        } else {
            s.phase = phase;
        }
        s.out = _mm_add_ps(_mm_mul_ps(s.slope, s.phase), s.start);
        return s.out;
    }
    __m128 next(__m128 increment) {
        State s = load();
        const __m128 out = next(s, increment);
        store(s);
        return out;
    }
    void clear() {
        for (int k = 0; k < 4; ++k) {
            phase_[k] = start_[k] = slope_[k] = out_[k] = 0.0f;
            random_[k].reseed();
        }
    }

private:
    // Ramps whose phase reached 1 start over from where they are, towards a new target.
    [[gnu::noinline]] void renew() {
        for (int k = 0; k < 4; ++k) {
            if (phase_[k] >= 1.0f) {
                phase_[k] -= 1.0f;
                start_[k] = out_[k];
                slope_[k] = random_[k].next() + 0.5f - start_[k];
            }
        }
    }

    alignas(16) float phase_[4] = {};
    alignas(16) float start_[4] = {};
    alignas(16) float slope_[4] = {};
    alignas(16) float out_[4] = {};
    XorAddRandom random_[4];
};

class ComponentRever {
public:
    static constexpr float kPreDelaySeconds = 32.0f;
    static constexpr float kLineSeconds = 1.0f;
    static constexpr float kModeRate = 29761.0f; // the rate the mode delays are given at
    // Working buffers, each at least blockSize floats: the input band, the tank's feed and
    // decay, the two outputs and the six tank nodes.
    static constexpr int kScratch = 11;

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

    // `scratch` holds kScratch buffers of at least `frames` floats.
    void process(int frames, float sampleRate, float* left, float* right, const Controls& c,
                 DelayLineRegistry& lines, const ScratchBuffers& scratch);
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
    // Scratch roles.
    enum { kIn = 0, kFeed, kDecay, kOutLeft, kOutRight, kNode0, kScratchEnd = kNode0 + 6 };
    static_assert(kScratchEnd == kScratch);

    void load(int mode);
    // The figure-eight tank over the block: `feed` and `decay` per sample in; the six nodes
    // per sample out when `keepNodes` (for the output taps), else the fixed-tap sums.
    void runTank(int frames, float sampleRate, float k, float insideA, float insideB,
                 __m128 lfoStep, const float* damping, const float* feed,
                 const float* decay, DelayLine* base, bool keepNodes, float* const* node,
                 float* outL, float* outR);

    const ReverModeBank* bank_;
    ReverMode mode_{};
    int loaded_ = -1;
    int first_ = -1; // registry index of the pre-delay line

    RandomRamps lfo_;
    EchoTone tone_;
    float dampL_ = 0.0f, dampR_ = 0.0f;
    float leftEnd_ = 0.0f, rightEnd_ = 0.0f;
    Biquad peak_[2];
};

} // namespace kolva::fx
