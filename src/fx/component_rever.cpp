#include "fx/component_rever.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"

#include <algorithm>
#include <cmath>

namespace kolva::fx {
namespace {

constexpr float kSizeCurve[32] = {
    0.0f,    0.1225f, 0.2279f, 0.3184f, 0.3967f, 0.4651f, 0.5247f, 0.5773f,
    0.6242f, 0.6654f, 0.7026f, 0.7355f, 0.7652f, 0.792f,  0.8159f, 0.8375f,
    0.857f,  0.8747f, 0.8907f, 0.9052f, 0.9183f, 0.9302f, 0.9409f, 0.9506f,
    0.9594f, 0.9673f, 0.9744f, 0.9808f, 0.9864f, 0.9915f, 0.996f,  1.0f};

constexpr float kDampingCurve[32] = {
    0.0f,    0.0058f, 0.012f,  0.0187f, 0.0258f, 0.0336f, 0.0421f, 0.0514f,
    0.0616f, 0.0727f, 0.0848f, 0.098f,  0.1125f, 0.1282f, 0.1455f, 0.1644f,
    0.185f,  0.2075f, 0.2321f, 0.259f,  0.2884f, 0.321f,  0.3569f, 0.3964f,
    0.4402f, 0.4897f, 0.5448f, 0.608f,  0.68f,   0.7657f, 0.8691f, 1.0f};

constexpr float kMixCurve[32] = {
    0.0f,    0.011f,  0.0226f, 0.0349f, 0.048f,  0.0619f, 0.0769f, 0.0929f,
    0.1099f, 0.128f,  0.1475f, 0.1682f, 0.1905f, 0.2143f, 0.2398f, 0.2673f,
    0.2968f, 0.3284f, 0.3624f, 0.399f,  0.4379f, 0.4798f, 0.5242f, 0.5712f,
    0.6208f, 0.6725f, 0.7259f, 0.7805f, 0.8358f, 0.8912f, 0.946f,  1.0f};

// The random LFOs stay within [-0.5, 1.5).
constexpr float kLfoPeak = 1.5f;
// The tone band's resting high-pass: the note scale at 23.8 of 119, 81.48 Hz.
constexpr float kToneFloor = 23.8f / 119.0f;
// Peaking filters above this fraction of the rate would turn unstable (their design folds
// past Nyquist), so they are held below it.
constexpr float kNotchCeiling = 0.45f;

int wholeSamples(float d) { return static_cast<int>(d); }

// All-pass with the delay read before it is written, so it needs at least one sample.
[[gnu::always_inline]] inline float allPass(DelayLine& line, int delay, float g, float x) {
    const float y = g * x + line.readInteger(std::max(delay, 1));
    line.push(x - g * y);
    return y;
}

// Written first, then read through the cubic, which looks one sample ahead of its position
// (hence at least one sample of delay).
[[gnu::always_inline]] inline float wave(DelayLine& line, float x, float delay) {
    line.put(x);
    const float y = line.readCubic(std::max(delay, 1.0f));
    line.advance();
    return y;
}

[[gnu::always_inline]] inline float tapped(DelayLine& line, float x, int delay) {
    line.put(x);
    const float y = line.readInteger(delay);
    line.advance();
    return y;
}

float sizeRange(const float (&range)[2]) {
    return std::max(std::fabs(range[0]), std::fabs(range[0] + range[1]));
}

} // namespace

ComponentRever::ComponentRever() : bank_(&reverModeBank()) { tables(); }

void ComponentRever::registerLines(DelayLineRegistry& lines) {
    first_ = lines.add(kPreDelaySeconds);
    for (int i = 1; i < kLineCount; ++i) lines.add(kLineSeconds);
}

void ComponentRever::load(int mode) {
    mode = std::clamp(mode, 0, kReverModes - 1);
    if (mode == loaded_) return;
    if (bank_ == nullptr || !bank_->valid) return; // the previous mode stays
    mode_ = ReverMode{};
    mode_ = bank_->modes[static_cast<std::size_t>(mode)];
    loaded_ = mode;
}

void ComponentRever::process(int frames, float sampleRate, float* left, float* right,
                             const Controls& c, DelayLineRegistry& lines) {
    if (first_ < 0) return;
    load(c.mode);
    const ReverMode& m = mode_;

    const float r = static_cast<float>(std::max(m.timeRatio, 1));
    const float k = sampleRate / kModeRate * r;
    const float tapScale = sampleRate / kModeRate;
    const float insideA = m.inside[0] / r;
    const float insideB = m.inside[1] / r;
    float lfoStep[4];
    for (int j = 0; j < 4; ++j) lfoStep[j] = m.lfoHz[j] / sampleRate;

    const bool useTaps = m.flags[0] != 0 && m.tapCount > 0;
    const bool useDiffusion = m.flags[1] != 0 && m.diffuserCount > 0;
    const bool useOutputTaps = m.flags[2] != 0 && m.flags[3] != 0;

    const int apL0 = wholeSamples(k * m.allPassL[0][0]), apL1 = wholeSamples(k * m.allPassL[1][0]);
    const int apR0 = wholeSamples(k * m.allPassR[0][0]), apR1 = wholeSamples(k * m.allPassR[1][0]);
    const float waveL0 = k * m.waveL[0][0] * insideA, waveL1 = k * m.waveL[1][0] * insideB;
    const float waveR0 = k * m.waveR[0][0] * insideA, waveR1 = k * m.waveR[1][0] * insideB;
    int outDelayL[ReverMode::kOutputTaps], outDelayR[ReverMode::kOutputTaps];
    int outNodeL[ReverMode::kOutputTaps], outNodeR[ReverMode::kOutputTaps];
    for (int j = 0; j < ReverMode::kOutputTaps; ++j) {
        outDelayL[j] = wholeSamples(k * m.outputL[j][1]);
        outDelayR[j] = wholeSamples(k * m.outputR[j][1]);
        outNodeL[j] = static_cast<int>(m.outputL[j][0]);
        outNodeR[j] = static_cast<int>(m.outputR[j][0]);
    }

    for (int j = 0; j < 2; ++j)
        peak_[j].design(sampleRate, Biquad::kPeaking,
                        std::min(m.notch[j][0], kNotchCeiling * sampleRate), qAt(m.notch[j][1]),
                        m.notch[j][2], false);

    const float flatLow = onePoleCoefficient(20000.0f, sampleRate);
    const float floorHigh = toneCoefficientAt(kToneFloor, sampleRate);
    const float syncDelay = syncSeconds(c.division, c.tempo) * sampleRate;
    Memo lowMemo, highMemo, sizeMemo, dampMemo, mixMemo;
    int tapDelay[ReverMode::kTaps] = {};
    int diffDelay[ReverMode::kDiffusers] = {};

    DelayLine& pre = lines[first_ + kPre];
    DelayLine* const base = &lines[first_];

    for (int i = 0; i < frames; ++i) {
        const float m0 = lfo_[0].next(lfoStep[0]);
        const float m1 = lfo_[1].next(lfoStep[1]);
        const float m2 = lfo_[2].next(lfoStep[2]);
        const float m3 = lfo_[3].next(lfoStep[3]);

        float x = (left[i] + right[i]) * 0.5f;

        const float lowCoef = lowMemo(c.tone[i], [&](float t) {
            return t < 0.49f ? toneCoefficientAt(t * 2.0f, sampleRate) : flatLow;
        });
        const float highCoef = highMemo(c.tone[i], [&](float t) {
            return t >= 0.51f ? toneCoefficientAt((t - 0.5f) * 2.0f * 0.8f + 0.2f, sampleRate)
                              : floorHigh;
        });
        x = tone_.run(x, lowCoef, highCoef);

        if (c.sync || c.preDelay[i] != 0.0f) {
            const float d = c.sync ? syncDelay : c.preDelay[i] * sampleRate;
            pre.put(x);
            x = pre.readLinear(d);
            pre.advance();
        }

        // Size sets the decay and the whole-sample delays of the taps and diffusers; they are
        // worked out again only when it moves.
        const float decay = sizeMemo(c.size[i], [&](float v) {
            const float s = lookupCurve01(kSizeCurve, v);
            const float tapSize = tapScale * (m.sizeMt[0] + m.sizeMt[1] * s);
            const float diffSize = k * (m.sizeDiff[0] + m.sizeDiff[1] * s);
            for (int j = 0; j < m.tapCount; ++j) tapDelay[j] = wholeSamples(tapSize * m.taps[j][0]);
            for (int j = 0; j < m.diffuserCount; ++j)
                diffDelay[j] = wholeSamples(diffSize * m.diffusers[j][0]);
            return m.decayTail[0] + m.decayTail[1] * s;
        });

        float acc = x;
        if (useTaps) {
            for (int j = 0; j < m.tapCount; ++j)
                acc += m.taps[j][1] * tapped(base[kTap0 + j], x, tapDelay[j]);
        }
        if (useDiffusion) {
            for (int j = 0; j < m.diffuserCount; ++j)
                acc = allPass(base[kDiff0 + j], diffDelay[j], m.diffusers[j][1], acc);
        }

        const float damp = dampMemo(c.damping[i], [&](float v) {
            return toneCoefficientAt(1.0f - lookupCurve01(kDampingCurve, v), sampleRate);
        });

        // Left half, fed by the right half's end of the previous sample.
        nodes_[0] = allPass(base[kApL0], apL0, m.allPassL[0][1], decay * rightEnd_ + acc);
        const float readL = wave(base[kWaveL0], nodes_[0], waveL0 + m2 * m.waveL[0][1]);
        dampL_ += (readL - dampL_) * damp;
        nodes_[1] = dampL_;
        nodes_[2] = allPass(base[kApL0 + 1], apL1, m.allPassL[1][1], nodes_[1] * decay);
        leftEnd_ = wave(base[kWaveL0 + 1], nodes_[2],
                        waveL1 + m1 * m.waveL[1][1] - m2 * m.waveL[1][2]);

        // Right half, fed by this sample's left end.
        nodes_[3] = allPass(base[kApR0], apR0, m.allPassR[0][1], decay * leftEnd_ + acc);
        const float readR = wave(base[kWaveR0], nodes_[3], waveR0 + m0 * m.waveR[0][1]);
        dampR_ += (readR - dampR_) * damp;
        nodes_[4] = dampR_;
        nodes_[5] = allPass(base[kApR0 + 1], apR1, m.allPassR[1][1], nodes_[4] * decay);
        rightEnd_ = wave(base[kWaveR0 + 1], nodes_[5], waveR1 + m3 * m.waveR[1][1]);

        float outL, outR;
        if (useOutputTaps) {
            outL = outR = 0.0f;
            for (int j = 0; j < ReverMode::kOutputTaps; ++j) {
                outL += m.outputL[j][2] * tapped(base[kOutL0 + j], nodes_[outNodeL[j]], outDelayL[j]);
                outR += m.outputR[j][2] * tapped(base[kOutR0 + j], nodes_[outNodeR[j]], outDelayR[j]);
            }
        } else {
            outL = 0.6f * nodes_[1] + 0.6f * nodes_[2];
            outR = 0.6f * nodes_[4] + 0.6f * nodes_[5];
        }

        for (Biquad& b : peak_) {
            outL = b.tick(outL, 0);
            outR = b.tick(outR, 1);
        }

        const float w = (c.width[i] + 1.0f) * 0.5f;
        const float wetL = w * outL + (1.0f - w) * outR;
        const float wetR = w * outR + (1.0f - w) * outL;
        const float mix = mixMemo(c.mix[i], [](float v) { return lookupCurve01(kMixCurve, v); });
        left[i] = echoMix(left[i], wetL, mix);
        right[i] = echoMix(right[i], wetR, mix);
    }
}

void ComponentRever::clear() {
    for (RandomRamp& l : lfo_) l.clear();
    tone_.clear();
    dampL_ = dampR_ = 0.0f;
    std::fill(std::begin(nodes_), std::end(nodes_), 0.0f);
    leftEnd_ = rightEnd_ = 0.0f;
    for (Biquad& b : peak_) b.clear();
}

float ComponentRever::longestRead(const ReverMode& m, float sampleRate) {
    const float r = static_cast<float>(std::max(m.timeRatio, 1));
    const float k = sampleRate / kModeRate * r;
    float longest = 0.0f;
    for (int j = 0; j < m.tapCount; ++j)
        longest = std::max(longest, sampleRate / kModeRate * m.taps[j][0] * sizeRange(m.sizeMt));
    for (int j = 0; j < m.diffuserCount; ++j)
        longest = std::max(longest, k * m.diffusers[j][0] * sizeRange(m.sizeDiff));
    for (int j = 0; j < 2; ++j) {
        longest = std::max({longest, k * m.allPassL[j][0], k * m.allPassR[j][0]});
        const float inside = m.inside[j] / r;
        for (const auto* w : {m.waveL[j], m.waveR[j]})
            longest = std::max(longest, k * w[0] * inside +
                                            kLfoPeak * (std::fabs(w[1]) + std::fabs(w[2])) + 2.0f);
    }
    for (int j = 0; j < ReverMode::kOutputTaps; ++j)
        longest = std::max({longest, k * m.outputL[j][1], k * m.outputR[j][1]});
    return longest;
}

} // namespace kolva::fx
