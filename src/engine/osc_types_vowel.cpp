// The Vowel oscillator type: the unison saw (or wave) through four parallel formant resonators,
// tuned by a five-vowel table (CtrlA: a, e, i, o, u) and shifted up by CtrlB.

#include "engine/osc_generator.h"
#include "engine/osc_phase_state.h"
#include "engine/osc_type_support.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace kolva {
namespace {

using osc::copySum;
using osc::unit;

constexpr int kFormants = 4;
constexpr int kVowels = 5;

// Formant frequencies (Hz) of the vowels a, e, i, o, u.
constexpr std::array<std::array<float, kVowels>, kFormants> kFormantHz = {{
    {805.0f, 660.0f, 305.0f, 480.0f, 325.0f},
    {1140.0f, 1670.0f, 2300.0f, 890.0f, 600.0f},
    {2900.0f, 2660.0f, 3000.0f, 2400.0f, 2400.0f},
    {3900.0f, 3600.0f, 3650.0f, 3300.0f, 3400.0f},
}};

// Resonator feedback; the first formant is damped more while CtrlB is low.
constexpr float kFeedback = -0.976f;
constexpr float kLowFirstFeedback = -0.9f;
constexpr float kLowFirstFeedbackPerCtrlB = -0.38f;
constexpr float kLowFirstBelow = 0.2f;

// All-pass tuning f (frequency / sample rate) is kept in (0, 1], so the coefficient stays in
// [0, 1) where the resonators are stable; at f = 0 the all-pass states would freeze.
constexpr float kMinTuning = 1.0e-4f;
constexpr float kMaxTuning = 1.0f;

// A state that is denormal-small, NaN or runaway restarts from rest.
inline void settle(float& v) {
    const float m = std::abs(v);
    if (!(m > 1.0e-20f && m < 1.0e20f)) v = 0.0f;
}

// One formant of one channel: the input plus the fed-back previous output, through a pair of
// first-order all-passes that is run twice per sample over the same two states. The negative
// feedback rings where the chain and the one-sample loop turn the phase by half a cycle: one
// resonance, proportional to f at low tunings and somewhat below it (about 0.6 f x the sample
// rate).
struct Resonator {
    float s1 = 0.0f;
    float s2 = 0.0f;
    float z = 0.0f;

    float process(float in, float a, float g) {
        float w = in + g * z;
        for (int pass = 0; pass < 2; ++pass) {
            const float t1 = s1 - a * w;
            s1 = a * t1 + w;
            const float t2 = s2 - a * t1;
            s2 = a * t2 + t1;
            w = t2;
        }
        z = w;
        return w;
    }

    void settleState() {
        settle(s1);
        settle(s2);
        settle(z);
    }
};

class VowelGenerator final : public OscGenerator {
public:
    static constexpr float kOutputScale = 0.25f;

    void render(const OscBlock& b) override {
        if (!osc::startBlock(b)) return;
        sources(b);
        formants(b);
    }

private:
    // The copies' saw (towards the wave by WTMix) into the stereo sum.
    void sources(const OscBlock& b) {
        const int copies = osc::copiesOf(b);
        const float* mix = b.wtMix;
        for (int j = 0; j < copies; ++j) {
            const auto k = static_cast<std::size_t>(j);
            const osc::CopySum emit = copySum(b, j);
            if (b.wtMixZero) {
                copies_.state[k].run(
                    b, j, copies_.random,
                    [](const OscReadTables& t, float phase, int) { return readSaw(t, phase); },
                    emit);
            } else {
                copies_.state[k].run(
                    b, j, copies_.random,
                    [mix](const OscReadTables& t, float phase, int i) {
                        const float s = readSaw(t, phase);
                        const float m = unit(mix[i]);
                        return m != 0.0f ? s + m * (readWave(t, phase) - s) : s;
                    },
                    emit);
            }
        }
    }

    // The four resonators in parallel on each channel, in place; tuned once per block.
    void formants(const OscBlock& b) {
        const float a = unit(b.ctrlA[0]);
        const float shift = unit(b.ctrlB[0]);
        const float vowel = a * static_cast<float>(kVowels - 1);
        const int v = std::min(static_cast<int>(vowel), kVowels - 2);
        const float frac = vowel - static_cast<float>(v);
        const float rate = b.sampleRate > 0.0f ? b.sampleRate : 44100.0f; // also NaN

        std::array<float, kFormants> coef{};
        std::array<float, kFormants> feedback{};
        for (int k = 0; k < kFormants; ++k) {
            const auto& row = kFormantHz[static_cast<std::size_t>(k)];
            const float hz =
                row[static_cast<std::size_t>(v)] +
                frac * (row[static_cast<std::size_t>(v + 1)] - row[static_cast<std::size_t>(v)]);
            float f = (hz * (1.1f + 2.4f * shift) - 100.0f + 600.0f * shift) / rate;
            f = f > kMinTuning ? std::min(f, kMaxTuning) : kMinTuning;
            coef[static_cast<std::size_t>(k)] = (1.0f - f) / (1.0f + f);
            feedback[static_cast<std::size_t>(k)] = kFeedback;
        }
        if (shift < kLowFirstBelow)
            feedback[0] = kLowFirstFeedback + kLowFirstFeedbackPerCtrlB * shift;

        for (int c = 0; c < 2; ++c) {
            float* x = c == 0 ? b.left : b.right;
            auto& res = resonators_[static_cast<std::size_t>(c)];
            for (int i = 0; i < b.frames; ++i) {
                const float in = x[i];
                float sum = 0.0f;
                for (int k = 0; k < kFormants; ++k) {
                    const auto kk = static_cast<std::size_t>(k);
                    sum += res[kk].process(in, coef[kk], feedback[kk]);
                }
                x[i] = kOutputScale * sum;
            }
            for (auto& r : res)
                r.settleState();
        }
    }

    OscCopies copies_;
    std::array<std::array<Resonator, kFormants>, 2> resonators_{};
};

} // namespace

std::unique_ptr<OscGenerator> makeVowelGenerator() {
    return std::make_unique<VowelGenerator>();
}

} // namespace kolva
