#pragma once
// Tables the effects share: LFO rates and shapes, the note-frequency scale their frequency
// controls read, one-pole coefficients, tempo divisions, the Q scale and the state-variable
// cutoff curve. Built once per process on first use (thread-safe); touch them at setup so the
// audio thread only reads.

#include "engine/lookup_curve.h"

#include <algorithm>
#include <array>
#include <limits>

namespace kolva::fx {

// LFO rate in Hz for a rate control 0..1 (read with lookupCurve).
inline constexpr float kLfoRateHz[12] = {0.0f, 0.06f, 0.17f, 0.33f, 0.83f, 1.25f,
                                         2.0f, 2.9f,  5.0f,  10.0f, 30.0f, 100.0f};

// Tempo divisions: the time of one division in seconds is entry / tempo (bpm); 60 is a beat.
// "1/64" .. "16/1" in the order of the sync selectors.
inline constexpr int kSyncDivisions = 21;
inline constexpr float kSyncDivision[kSyncDivisions] = {
    3.75f, 7.5f, 10.0f, 11.25f, 15.0f, 20.0f,  22.5f,  30.0f,  40.0f,  45.0f,  60.0f,
    80.0f, 90.0f, 120.0f, 160.0f, 180.0f, 240.0f, 480.0f, 960.0f, 1920.0f, 3840.0f};
// Seconds of sync division `index` (clamped to the table) at `tempo` bpm (> 0).
float syncSeconds(int index, float tempo);

inline constexpr int kNotePoints = 120;
inline constexpr int kLfoBasePoints = 256;
inline constexpr int kOnePolePoints = 1024;
inline constexpr int kQPoints = 128;
inline constexpr int kCutoffPoints = 120;

struct Tables {
    // 440 * 2^((i - 53) / 12) Hz: 20.6 Hz at 0, 19912 Hz at 119.
    std::array<float, kNotePoints> noteFrequency;
    // 0.5 - 0.5 cos(2 pi i / 256), plus a copy of entry 0 at 256 for the wrap.
    std::array<float, kLfoBasePoints + 1> lfoBase;
    // sin(pi i / 1023) rounded to three decimals.
    std::array<float, kOnePolePoints> onePole;
    // Filter Q for a Q control 0..1 (read at value * 127): 0.083 .. 4.
    std::array<float, kQPoints> q;
    // State-variable filter coefficient at 44.1 kHz for a cutoff control 0..1.
    std::array<float, kCutoffPoints> svfCutoff;
};
Tables buildTables();
// Inline, so the per-sample readers below cost a guard check rather than a call.
inline const Tables& tables() {
    static const Tables t = buildTables();
    return t;
}

// Note-frequency table read at x in 0..1 (x * 119, linear, clamped). The forms taking the
// tables serve per-sample loops that fetched them once.
inline float noteFrequencyAt(const Tables& t, float x) {
    return lookupCurve(t.noteFrequency.data(), kNotePoints, x * (kNotePoints - 1));
}
inline float noteFrequencyAt(float x) { return noteFrequencyAt(tables(), x); }
// Q table read at x in 0..1 (x * 127, linear, clamped).
inline float qAt(float x) { return lookupCurve(tables().q.data(), kQPoints, x * (kQPoints - 1)); }
// One-pole coefficient sin(pi f / sampleRate) from the coefficient table (f / rate * 1023).
// Past half the rate the sine table would fold back and close the filter again; at low sample
// rates a "fully open" 20 kHz setting stays fully open instead.
inline float onePoleCoefficient(const Tables& t, float frequency, float sampleRate) {
    const float w = std::min(frequency / sampleRate, 0.5f);
    return lookupCurve(t.onePole.data(), kOnePolePoints, w * (kOnePolePoints - 1));
}
inline float onePoleCoefficient(float frequency, float sampleRate) {
    return onePoleCoefficient(tables(), frequency, sampleRate);
}
// The LFO base table read at phase p in [0, 1) (p * 255, linear); the extra entry 256 holds
// entry 0, so the wrap needs no branch.
inline float lfoBase(const Tables& t, float phase) {
    return lookupCurve(t.lfoBase.data(), kLfoBasePoints + 1,
                       phase * static_cast<float>(kLfoBasePoints - 1));
}
inline float lfoBase(float phase) { return lfoBase(tables(), phase); }
// The shared LFO waveform: shape 0 is a triangle, up to 0.5 it morphs into the cosine bump,
// above 0.5 the bump is amplified and clipped at its top.
inline float lfoWaveform(const Tables& tables, float phase, float shape) {
    const float t = lfoBase(tables, phase);
    if (shape > 0.5f) {
        const float drive = 2.0f * (shape - 0.5f);
        return std::min((drive * drive * drive * 10.0f + 1.0f) * (t - 0.5f), 0.5f) + 0.5f;
    }
    const float tri = phase <= 0.5f ? 2.0f * phase : 2.0f * (1.0f - phase);
    return (1.0f - 2.0f * shape) * tri + 2.0f * shape * t;
}
inline float lfoWaveform(float phase, float shape) { return lfoWaveform(tables(), phase, shape); }
// A value derived from one control, recomputed only when the control moves: a control that
// holds still costs one comparison per sample instead of table reads. Meant to live for one
// block (it starts empty, so the first sample always computes).
struct Memo {
    float input = std::numeric_limits<float>::quiet_NaN();
    float value = 0.0f;
    template <class Fn> float operator()(float x, Fn&& derive) {
        if (x != input) {
            input = x;
            value = derive(x);
        }
        return value;
    }
};
// True when all n values have the same bits as the first: a settled, unmodulated control,
// whose curve then needs reading only once for the block.
bool holdsStill(const float* x, int n);
// The value of a control that holds still over the whole block (see holdsStill): worked out
// once before the loop, which then does not even compare. Called as the Memo-backed lookups
// it stands in for are.
struct Held {
    float value;
    float operator()(float) const { return value; }
};

// Advances a phase by `increment`, subtracting 1 when it passes 1.
inline float advancePhase(float phase, float increment) {
    phase += increment;
    return phase > 1.0f ? phase - 1.0f : phase;
}

// The effects' LFO clock: a phase advanced once per sample at a rate control read through
// the LFO rate table (the table read only when the control moves).
struct LfoClock {
    explicit LfoClock(float sampleRate) : invRate(1.0f / sampleRate) {}
    float advance(float phase, float rate) {
        return advancePhase(phase, memo(rate, [&](float r) { return lookupCurve01(kLfoRateHz, r) * invRate; }));
    }
    // Every sample's phase of the block into `out`; returns the phase after the block.
    float fill(float phase, const float* rate, int frames, float* out) {
        if (frames > 0 && holdsStill(rate, frames)) {
            const float increment = lookupCurve01(kLfoRateHz, rate[0]) * invRate;
            for (int i = 0; i < frames; ++i)
                out[i] = phase = advancePhase(phase, increment);
            return phase;
        }
        for (int i = 0; i < frames; ++i)
            out[i] = phase = advance(phase, rate[i]);
        return phase;
    }

    float invRate;
    Memo memo;
};

} // namespace kolva::fx
