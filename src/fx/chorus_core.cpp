#include "fx/chorus_core.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"

#include <algorithm>

namespace kolva::fx {
namespace {

// Delay control (0..1) to the delay value the voices scale; slow at the short end.
constexpr float kDelayCurve[32] = {
    0.0f,    0.0028f, 0.0067f, 0.0119f, 0.0184f, 0.0264f, 0.0361f, 0.0476f,
    0.0611f, 0.0766f, 0.0944f, 0.1146f, 0.1377f, 0.1632f, 0.1918f, 0.2234f,
    0.2578f, 0.2954f, 0.3357f, 0.3787f, 0.4242f, 0.4719f, 0.5213f, 0.5724f,
    0.6245f, 0.6776f, 0.7312f, 0.7851f, 0.8391f, 0.893f,  0.9467f, 1.0f};

// Stereo spread control to the right channel's LFO offset (in quarter cycles).
constexpr float kSpreadCurve[32] = {
    0.0f,    0.0035f, 0.0073f, 0.0112f, 0.0154f, 0.0199f, 0.0249f, 0.0302f,
    0.0361f, 0.0426f, 0.0497f, 0.0577f, 0.0665f, 0.0764f, 0.0875f, 0.1001f,
    0.1142f, 0.1302f, 0.1484f, 0.169f,  0.1925f, 0.2198f, 0.251f,  0.2872f,
    0.3294f, 0.379f,  0.4376f, 0.5075f, 0.5926f, 0.6974f, 0.8288f, 1.0f};

// Depth control to the LFO's share of the delay.
constexpr float kDepthCurve[32] = {
    0.0f,    0.0093f, 0.0191f, 0.0297f, 0.0409f, 0.0529f, 0.0658f, 0.0795f,
    0.0941f, 0.1097f, 0.1262f, 0.1439f, 0.1627f, 0.1828f, 0.2043f, 0.2271f,
    0.2515f, 0.2775f, 0.3053f, 0.3353f, 0.3674f, 0.4018f, 0.4388f, 0.4792f,
    0.5229f, 0.5703f, 0.6228f, 0.6803f, 0.745f,  0.8177f, 0.9011f, 1.0f};

constexpr float kDepthScale = 0.24f;
// Delay floor added to the control, as a fraction of the scaled delay.
constexpr float kDelayFloor = 0.01f;
// Right LFO offset in cycles at full spread.
constexpr float kSpreadPhase = 0.25f;

// Row r serves r + 1 voices: each voice's share of the delay (in seconds per unit of delay).
constexpr float kVoiceFactor[ChorusCore::kVoices][ChorusCore::kVoices] = {
    {0.04f, 0.0f, 0.0f, 0.0f},
    {0.032f, 0.041f, 0.0f, 0.0f},
    {0.025f, 0.034f, 0.045f, 0.0f},
    {0.012f, 0.023f, 0.037f, 0.042f},
};
// More voices feed back more, so each row feeds back less.
constexpr float kFeedbackScale[ChorusCore::kVoices] = {1.0f, 0.9f, 0.8f, 0.7f};
// Per-voice LFO rate multipliers of the multi-rate modes (rows 2 and 3 only).
constexpr float kVoiceRate[ChorusCore::kVoices][ChorusCore::kVoices] = {
    {0.0f, 0.0f, 0.0f, 0.0f},
    {0.0f, 0.0f, 0.0f, 0.0f},
    {0.5f, 0.75f, 1.0f, 0.0f},
    {0.25f, 0.5f, 0.75f, 1.0f},
};

// Ensemble mode: its rate control is in Hz (0..2), its delay spans 60 ms.
constexpr float kEnsembleRateHz = 2.0f;
constexpr float kEnsembleSeconds = 0.06f;
constexpr float kEnsembleMinDelay = 0.002f;
constexpr float kEnsembleOffset = 0.05f;

inline float rightPhase(float phase, float offset) {
    const float p = phase + offset;
    return p > 1.0f ? p - 1.0f : p;
}

// Clamp that also sends NaN to the low end.
inline float clampTo(float x, float lo, float hi) { return x > lo ? (x < hi ? x : hi) : lo; }

// Delay read in samples; a NaN control must not reach the integer index.
inline float readAt(const DelayLine& line, float samples) {
    return line.readCubic(samples > 0.0f ? samples : 0.0f);
}

inline float feedbackGain(float control) { return control * 1.9f - 0.95f; }

} // namespace

float ChorusCore::mapDelay(float control) { return lookupCurve01(kDelayCurve, control); }

void ChorusCore::process(int frames, float sampleRate, const float* left, const float* right,
                         int mode, const Controls& controls, DelayLineRegistry& lines,
                         const Buffers& buffers) {
    std::copy(left, left + frames, buffers.inLeft);
    std::copy(right, right + frames, buffers.inRight);
    if (mode < kEnsembleMode)
        lowPass_.process(buffers.inLeft, buffers.inRight, controls.hicut, frames, sampleRate);
    highPass_.process(buffers.inLeft, buffers.inRight, controls.lowcut, frames, sampleRate);

    if (mode < 4)
        runVoices(frames, sampleRate, mode, controls, lines, buffers);
    else if (mode < kEnsembleMode)
        runMultiRate(frames, sampleRate, mode, controls, lines, buffers);
    else
        runEnsemble(frames, sampleRate, controls, lines, buffers);
}

void ChorusCore::runVoices(int frames, float sampleRate, int mode, const Controls& c,
                           DelayLineRegistry& lines, const Buffers& b) {
    const int row = mode;
    const int voices = mode + 1;
    const float* factor = kVoiceFactor[row];
    const float invRate = 1.0f / sampleRate;
    Memo rateMemo;
    float phase = phase_;
    for (int i = 0; i < frames; ++i) {
        phase = advancePhase(phase, rateMemo(c.rate[i], [&](float r) { return lookupCurve01(kLfoRateHz, r) * invRate; }));
        const float offset = lookupCurve01(kSpreadCurve, c.wide[i]) * kSpreadPhase;
        const float depth = lookupCurve01(kDepthCurve, c.depth[i]) * kDepthScale;
        const float base = c.delay[i] + kDelayFloor;
        const float dL =
            clampTo(lfoBase(phase) * depth + base, kDelayFloor, 1.0f) * sampleRate;
        const float dR =
            clampTo(lfoBase(rightPhase(phase, offset)) * depth + base, kDelayFloor, 1.0f) *
            sampleRate;
        const float fb = feedbackGain(c.feedback[i]) * kFeedbackScale[row];
        const float inL = b.inLeft[i], inR = b.inRight[i];
        float accL = 0.0f, accR = 0.0f;
        for (int v = 0; v < voices; ++v) {
            DelayLine& lineL = lines[v];
            DelayLine& lineR = lines[kVoices + v];
            accL += readAt(lineL, factor[v] * dL);
            lineL.push(accL * fb + inL);
            accR += readAt(lineR, factor[v] * dR);
            lineR.push(accR * fb + inR);
        }
        b.wetLeft[i] = accL;
        b.wetRight[i] = accR;
    }
    phase_ = phase;
}

void ChorusCore::runMultiRate(int frames, float sampleRate, int mode, const Controls& c,
                              DelayLineRegistry& lines, const Buffers& b) {
    const int row = mode - 2;
    const int voices = mode == 4 ? 3 : 4;
    const float stretch = mode == 5 ? 2.0f : 1.0f; // mode 5 doubles every voice's delay
    const float* factor = kVoiceFactor[row];
    const float* multiplier = kVoiceRate[row];
    const float invRate = 1.0f / sampleRate;
    for (int i = 0; i < frames; ++i) {
        const float offset = lookupCurve01(kSpreadCurve, c.wide[i]) * kSpreadPhase;
        const float depth = lookupCurve01(kDepthCurve, c.depth[i]) * kDepthScale;
        const float base = c.delay[i] + kDelayFloor;
        const float fb = feedbackGain(c.feedback[i]) * kFeedbackScale[row];
        const float inL = b.inLeft[i], inR = b.inRight[i];
        float accL = 0.0f, accR = 0.0f;
        for (int v = 0; v < voices; ++v) {
            float& phase = voicePhase_[v];
            phase = advancePhase(phase,
                                 lookupCurve01(kLfoRateHz, c.rate[i] * multiplier[v]) * invRate);
            const float dL =
                clampTo(lfoBase(phase) * depth + base, kDelayFloor, 1.0f) * sampleRate;
            const float dR =
                clampTo(lfoBase(rightPhase(phase, offset)) * depth + base, kDelayFloor, 1.0f) *
                sampleRate;
            const float share = factor[v] * stretch;
            DelayLine& lineL = lines[v];
            DelayLine& lineR = lines[kVoices + v];
            accL += readAt(lineL, share * dL);
            lineL.push(accL * fb + inL);
            accR += readAt(lineR, share * dR);
            lineR.push(accR * fb + inR);
        }
        b.wetLeft[i] = accL;
        b.wetRight[i] = accR;
    }
}

void ChorusCore::runEnsemble(int frames, float sampleRate, const Controls& c,
                             DelayLineRegistry& lines, const Buffers& b) {
    // Two taps per channel moving in opposite directions, the second subtracted.
    DelayLine& tap1 = lines[0];
    DelayLine& tap2 = lines[1];
    DelayLine& tap3 = lines[kVoices];
    DelayLine& tap4 = lines[kVoices + 1];
    const float invRate = 1.0f / sampleRate;
    float phase = phase_;
    float yL = smooth_[0], yR = smooth_[1];
    Memo cutMemo;
    for (int i = 0; i < frames; ++i) {
        phase = advancePhase(phase, kEnsembleRateHz * c.rate[i] * invRate);
        const float wide = c.wide[i];
        const float l = lfoWaveform(phase, 0.0f) * c.depth[i];
        const float r = lfoWaveform(rightPhase(phase, wide * kSpreadPhase), 0.0f) * c.depth[i];
        const float offset = wide * kEnsembleOffset;
        const float base =
            sampleRate * kEnsembleSeconds * clampTo(c.delay[i], kEnsembleMinDelay, 1.0f);
        const float fb = feedbackGain(c.feedback[i]);
        const float inL = b.inLeft[i], inR = b.inRight[i];

        float accL = readAt(tap1, base * (l + 1.0f) * 0.5f);
        tap1.push(accL * fb + inL);
        accL -= readAt(tap2, base * (2.0f - l) * 0.5f);
        tap2.push(accL * fb + inL);
        float accR = readAt(tap3, base * ((r + 1.0f) * 0.5f + offset));
        tap3.push(accR * fb + inR);
        accR -= readAt(tap4, base * ((2.0f - r) * 0.5f + offset));
        tap4.push(accR * fb + inR);

        const float coef = cutMemo(c.hicut[i], [&](float v) {
            return onePoleCoefficient(noteFrequencyAt(v), sampleRate);
        });
        yL += (accL - yL) * coef;
        yR += (accR - yR) * coef;
        b.wetLeft[i] = yL;
        b.wetRight[i] = yR;
    }
    phase_ = phase;
    smooth_[0] = yL;
    smooth_[1] = yR;
}

void ChorusCore::clear() {
    lowPass_.clear();
    highPass_.clear();
    smooth_[0] = smooth_[1] = 0.0f;
}

} // namespace kolva::fx
