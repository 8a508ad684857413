#include "fx/module_fx_delay.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"
#include "platform/denormals.h"

#include <algorithm>
#include <cmath>

namespace kolva {
namespace fx {

float toneCoefficientAt(float x, float sampleRate) {
    return onePoleCoefficient(noteFrequencyAt(x), sampleRate);
}

namespace {

constexpr float kMaxSeconds = 10.0f;

// Seconds to samples, held inside [0, 10] s (NaN reads as 0).
float delaySamples(float seconds, float sampleRate) {
    if (!(seconds > 0.0f)) return 0.0f;
    return std::min(seconds, kMaxSeconds) * sampleRate;
}

} // namespace

void DelayCore::process(int frames, float sampleRate, float* left, float* right,
                        const Controls& c, DelayLine& lineLeft, DelayLine& lineRight) {
    const float invRate = 1.0f / sampleRate;
    Memo rateMemo;
    const float syncLeft = syncSeconds(c.divisionLeft, c.tempo);
    const float syncRight = syncSeconds(c.divisionRight, c.tempo);
    // Neutral tone: the band spans the audible range.
    const float flatLow = onePoleCoefficient(20000.0f, sampleRate);
    const float flatHigh = onePoleCoefficient(20.0f, sampleRate);
    Memo lowMemo, highMemo;

    for (int i = 0; i < frames; ++i) {
        phase_ = advancePhase(phase_, rateMemo(c.rate[i], [&](float r) { return lookupCurve01(kLfoRateHz, r) * invRate; }));
        const float mod = (lfoBase(phase_) - 0.5f) * 0.02f * c.depth[i];

        float tL, tR;
        if (c.sync) {
            tL = syncLeft + mod;
            tR = syncRight - mod;
        } else {
            tL = c.timeLeft[i] + mod + 0.01f;
            tR = c.timeRight[i] - mod + 0.01f;
        }
        float yL = lineLeft.readLinear(delaySamples(tL, sampleRate));
        float yR = lineRight.readLinear(delaySamples(tR, sampleRate));

        const float lowCoef = lowMemo(c.tone[i], [&](float t) {
            if (t >= 0.51f) return toneCoefficientAt(1.0f - (t - 0.5f) * 2.0f * 0.2f, sampleRate);
            if (t < 0.49f) return toneCoefficientAt(t * 2.0f * 0.7f + 0.3f, sampleRate);
            return flatLow;
        });
        const float highCoef = highMemo(c.tone[i], [&](float t) {
            if (t >= 0.51f) return toneCoefficientAt((t - 0.5f) * 2.0f * 0.7f, sampleRate);
            if (t < 0.49f) return toneCoefficientAt(0.4f - t * 2.0f * 0.4f, sampleRate);
            return flatHigh;
        });
        yL = tone_[0].run(yL, lowCoef, highCoef);
        yR = tone_[1].run(yR, lowCoef, highCoef);

        const float inL = left[i], inR = right[i];
        const float fb = c.feedback[i];
        const float width = c.width[i];
        if (c.pingPong) {
            if (width < 0.5f) {
                lineLeft.put(yR * fb + inL);
                lineRight.put(yL * fb + inR);
            } else {
                // Both inputs start on the left, so the echoes leave left first.
                lineLeft.put(yR * fb + inL + inR);
                lineRight.put(yL * fb);
            }
        } else {
            lineLeft.put(yL * fb + inL);
            lineRight.put(yR * fb + inR);
        }
        lineLeft.advance();
        lineRight.advance();

        const float w = width * 2.0f - 1.0f;
        const float keep = c.pingPong ? (std::fabs(w) + 1.0f) * 0.5f : (w + 1.0f) * 0.5f;
        const float outL = keep * yL + (1.0f - keep) * yR;
        const float outR = (1.0f - keep) * yL + keep * yR;

        left[i] = echoMix(inL, outL, c.mix[i]);
        right[i] = echoMix(inR, outR, c.mix[i]);
    }
}

void DelayCore::clear() {
    phase_ = 0.0f;
    tone_[0].clear();
    tone_[1].clear();
}

} // namespace fx

namespace {

constexpr FxDecode kDecodes[ModuleFxDelay::kSlots] = {
    FxDecode::kSwitch,     FxDecode::kSwitch,     FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kSelector,   FxDecode::kSelector,   FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kSwitch};

} // namespace

ModuleFxDelay::ModuleFxDelay() : FxModule(kDecodes, kSlots, kMix, kBypass) {
    lineLeft_ = lines_.add(kLineSeconds);
    lineRight_ = lines_.add(kLineSeconds);
    fx::tables(); // built here, not on the audio thread
}

void ModuleFxDelay::process(int frames, float* left, float* right) {
    if (frames <= 0 || frames > blockCapacity() || inactive()) return;
    platform::ScopedFlushDenormals ftz;

    fx::DelayCore::Controls c;
    c.pingPong = switchValue(kPingPong) == 1;
    c.sync = switchValue(kSync) == 1;
    c.divisionLeft = switchValue(kDivisionLeft);
    c.divisionRight = switchValue(kDivisionRight);
    c.tempo = engine_ != nullptr ? engine_->lastPositiveTempo : 120.0f;
    c.timeLeft = modulated(kTimeLeft, frames);
    c.timeRight = modulated(kTimeRight, frames);
    c.feedback = modulated(kFeedback, frames);
    c.rate = modulated(kRate, frames);
    c.depth = modulated(kDepth, frames);
    c.width = modulated(kWidth, frames);
    c.tone = modulated(kTone, frames);
    c.mix = modulated(kMix, frames);
    core_.process(frames, sampleRate_, left, right, c, lines_[lineLeft_], lines_[lineRight_]);
}

void ModuleFxDelay::recover() {
    FxModule::recover();
    core_.clear();
}

} // namespace kolva
