// The Classic, Noise and SawPwm oscillator types.

#include "engine/osc_generator.h"
#include "engine/osc_phase_state.h"
#include "engine/osc_type_support.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace kolva {
namespace {

using osc::copySum;
using osc::startBlock;

int offsetAt(const OscBlock& b, int i) { return static_cast<int>(b.ctrlBOffset[i]); }

// The wavetable-only read: the current wave at phase + the CtrlB offset.
template <class Emit>
void runWaveCopies(OscCopies& copies, const OscBlock& b, Emit&& emitFor) {
    for (int j = 0; j < b.copies; ++j)
        copies.state[static_cast<std::size_t>(j)].run(
            b, j, copies.random,
            [&b](const OscReadTables& t, float phase, int i) {
                return readWave(t, phase, offsetAt(b, i));
            },
            emitFor(j));
}

// ---- Classic ---------------------------------------------------------------------------------

// The band-limited saw, a pulse from two saws (depth CtrlA, width CtrlB) and a cross-fade to
// the current wave (WTMix). The variant is chosen per block so the common cases read one table.
class ClassicGenerator final : public OscGenerator {
public:
    void render(const OscBlock& b) override {
        if (!startBlock(b)) return;
        const auto sum = [&b](int j) { return copySum(b, j); };
        if (b.ctrlAZero && b.wtMixZero) {
            for (int j = 0; j < b.copies; ++j)
                copies_.state[static_cast<std::size_t>(j)].run(
                    b, j, copies_.random,
                    [](const OscReadTables& t, float phase, int) { return readSaw(t, phase); },
                    sum(j));
        } else if (b.wtMixOne) {
            runWaveCopies(copies_, b, sum);
        } else {
            const float* a = b.ctrlA;
            const float* mix = b.wtMix;
            for (int j = 0; j < b.copies; ++j)
                copies_.state[static_cast<std::size_t>(j)].run(
                    b, j, copies_.random,
                    [&](const OscReadTables& t, float phase, int i) {
                        const int x = offsetAt(b, i);
                        float s = readSaw(t, phase);
                        if (a[i] != 0.0f) s -= a[i] * readSaw(t, phase, x);
                        if (mix[i] != 0.0f) s = (1.0f - mix[i]) * s + mix[i] * readWave(t, phase, x);
                        return s;
                    },
                    sum(j));
        }
    }

private:
    OscCopies copies_;
};

// ---- SawPwm ----------------------------------------------------------------------------------

// A saw times a K-fold saw pair whose offset CtrlB sets: a pulse train inside each base cycle.
class SawPwmGenerator final : public OscGenerator {
public:
    void render(const OscBlock& b) override {
        if (!startBlock(b)) return;
        const float fold = static_cast<float>(static_cast<int>(b.ctrlA[0] * 3.99f) + 1);
        const float* ctrlB = b.ctrlB;
        const float* mix = b.wtMix;
        constexpr float kCycle = OscPhaseState::kCycle;
        constexpr int kShiftBase = osc::kTableFloats; // a whole cycle in table floats
        for (int j = 0; j < b.copies; ++j)
            copies_.state[static_cast<std::size_t>(j)].run(
                b, j, copies_.random,
                [&](const OscReadTables& t, float phase, int i) {
                    const float s0 = readSaw(t, phase);
                    float x = fold * phase;
                    x -= kCycle * static_cast<float>(static_cast<int>(x * (1.0f / kCycle)));
                    const int shift = kShiftBase - offsetAt(b, i); // (1 - CtrlB) of a cycle
                    const float s1 = readSaw(t, x);
                    const float s2 = readSaw(t, x, shift);
                    const float bb = 1.0f - ctrlB[i];
                    float out = (1.3f * bb + s1 - s2) * (s0 + 0.7f) - 0.8f * bb;
                    if (mix[i] != 0.0f)
                        out = (1.0f - mix[i]) * out + mix[i] * readWave(t, x, shift);
                    return out;
                },
                copySum(b, j));
    }

private:
    OscCopies copies_;
};

// ---- Noise -----------------------------------------------------------------------------------

// White noise from the engine's xor-add generator through a three-pole pink filter. Seeded
// explicitly so that a note with a non-zero phase restarts the same sequence.
class PinkNoise {
public:
    static constexpr std::uint32_t kSeedA = 0x67452301u;
    static constexpr std::uint32_t kSeedB = 0xEFCDAB89u;
    static constexpr float kScale = 0.15f / 2147483648.0f;

    void seed(std::uint32_t a, std::uint32_t b) {
        a_ = a;
        b_ = b;
        b0_ = b1_ = b2_ = 0.0f;
    }
    float next() {
        const std::uint32_t oldB = b_;
        a_ ^= b_;
        b_ = a_ + oldB;
        const float w = static_cast<float>(static_cast<std::int32_t>(oldB)) * kScale;
        b0_ = 0.99765f * b0_ + 0.099046f * w;
        b1_ = 0.963f * b1_ + 0.2965164f * w;
        b2_ = 0.57f * b2_ + 1.0526913f * w;
        return b0_ + b1_ + b2_ + 0.1848f * w;
    }

private:
    std::uint32_t a_ = kSeedA;
    std::uint32_t b_ = kSeedB;
    float b0_ = 0.0f, b1_ = 0.0f, b2_ = 0.0f;
};

// Chamberlin state-variable filter state of one channel.
struct NoiseSvf {
    float low = 0.0f;
    float band = 0.0f;
};

// Four sub-steps on the same input; the average of the chosen output.
inline float runSvf(NoiseSvf& s, float x, float f, float q, bool highPass) {
    float acc = 0.0f;
    for (int k = 0; k < 4; ++k) {
        const float notch = x - q * s.band;
        s.low += f * s.band;
        const float high = notch - s.low;
        s.band += f * high;
        acc += highPass ? high : s.low;
    }
    return 0.25f * acc;
}

// Stereo pink noise cross-faded with the wavetable copies, through a resonant low- or
// high-pass whose cutoff follows CtrlA (or the key) and whose damping CtrlB sets.
class NoiseGenerator final : public OscGenerator {
public:
    bool setBlockSize(SharedVoiceContext& context, int frames) override {
        filterLeft_ = context.allocate(frames + 4, "osc flt L");
        filterRight_ = context.allocate(frames + 4, "osc flt R");
        cut_ = context.allocate(frames + 4, "osc calc cut");
        res_ = context.allocate(frames + 4, "osc calc res");
        return filterLeft_ && filterRight_ && cut_ && res_;
    }

    void render(const OscBlock& b) override {
        if (!startBlock(b) || filterLeft_ == nullptr || filterRight_ == nullptr ||
            cut_ == nullptr || res_ == nullptr)
            return;
        const bool withWave = !b.wtMixZero;
        if (withWave) runWaveCopies(copies_, b, [&b](int j) { return copySum(b, j); });
        mixNoise(b, withWave);
        filterCoefficients(b);
        filter(b);
    }

private:
    static constexpr float kSeedScaleLeft = 43913.0f;
    static constexpr float kSeedScaleRight = 52617.0f;

    bool restarts(const OscBlock& b, int i) const { return b.retrig[i] == 1.0f && b.phaseValue > 0.0f; }

    // Noise and the wave sums (in b.left / b.right) into the filter input.
    void mixNoise(const OscBlock& b, bool withWave) {
        const float g = (b.width + 1.0f) * 0.5f;
        const float* mix = b.wtMix;
        for (int i = 0; i < b.frames; ++i) {
            if (restarts(b, i)) {
                const auto phase = b.phaseValue;
                pinkLeft_.seed(PinkNoise::kSeedA,
                               0xEFCD0000u + static_cast<std::uint32_t>(phase * kSeedScaleLeft));
                pinkRight_.seed(PinkNoise::kSeedA,
                                0xEFAB0000u + static_cast<std::uint32_t>(phase * kSeedScaleRight));
            }
            const float l = pinkLeft_.next();
            const float r = pinkRight_.next();
            float inL = r * (1.0f - g) + l * g;
            float inR = l * (1.0f - g) + r * g;
            if (withWave) {
                inL = inL * (1.0f - mix[i]) + mix[i] * b.left[i];
                inR = inR * (1.0f - mix[i]) + mix[i] * b.right[i];
            }
            filterLeft_[i] = inL;
            filterRight_[i] = inR;
        }
    }

    void filterCoefficients(const OscBlock& b) {
        const osc::OscTables& tables = *b.tables;
        const float invRate = 1.0f / b.sampleRate;
        const float* a = b.ctrlA;
        const float* cb = b.ctrlB;
        const float* mix = b.wtMix;
        // Key tracking: one octave below the first copy's pitch.
        const float keyShift = (b.offset[0] - 12.0f) / 127.0f;
        for (int i = 0; i < b.frames; ++i) {
            float x;
            if (b.keyTrack) {
                x = b.pitch[i] + keyShift;
            } else {
                x = a[i];
                if (x > 0.5f) x -= 0.5f; // the upper half repeats the sweep as a high-pass
                x = std::min(2.0f * x, 0.9f);
            }
            cut_[i] = tables.sinPi(tables.noteFrequency(x * 127.0f) * invRate);
            res_[i] = 0.9f - 0.89f * cb[i] * (1.0f - mix[i]);
        }
    }

    void filter(const OscBlock& b) {
        const float* a = b.ctrlA;
        const bool keyHighPass = b.ctrlATarget > 0.5f;
        for (int i = 0; i < b.frames; ++i) {
            if (b.retrig[i] == 1.0f && b.phaseValue != 0.0f) svfLeft_ = svfRight_ = NoiseSvf{};
            const bool highPass = b.keyTrack ? keyHighPass : a[i] > 0.5f;
            b.left[i] = runSvf(svfLeft_, filterLeft_[i], cut_[i], res_[i], highPass);
            b.right[i] = runSvf(svfRight_, filterRight_[i], cut_[i], res_[i], highPass);
        }
    }

    OscCopies copies_;
    PinkNoise pinkLeft_;
    PinkNoise pinkRight_;
    NoiseSvf svfLeft_;
    NoiseSvf svfRight_;
    float* filterLeft_ = nullptr; // filter input
    float* filterRight_ = nullptr;
    float* cut_ = nullptr; // per-sample filter frequency coefficient
    float* res_ = nullptr; // per-sample damping
};

} // namespace

std::unique_ptr<OscGenerator> makeClassicGenerator() { return std::make_unique<ClassicGenerator>(); }
std::unique_ptr<OscGenerator> makeNoiseGenerator() { return std::make_unique<NoiseGenerator>(); }
std::unique_ptr<OscGenerator> makeSawPwmGenerator() { return std::make_unique<SawPwmGenerator>(); }

} // namespace kolva
