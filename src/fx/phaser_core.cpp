#include "fx/phaser_core.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"

namespace kolva::fx {
namespace {

// The LFO sits between the triangle and the cosine bump.
constexpr float kLfoShape = 0.3f;
// Right-channel LFO offset, in cycles, at full stereo (classic modes).
constexpr float kStereoPhase = 0.125f;
// Right-channel formant shift in Hz at full stereo (vowel modes).
constexpr float kStereoHz = 200.0f;

// Formant frequencies in Hz, four bands across five vowels; the sweep glides through them.
constexpr int kVowelPoints = 5;
constexpr float kVowelHz[PhaserCore::kBands][kVowelPoints] = {
    {805.0f, 660.0f, 305.0f, 480.0f, 325.0f},
    {1140.0f, 1670.0f, 2300.0f, 890.0f, 600.0f},
    {2900.0f, 2660.0f, 3000.0f, 2400.0f, 2400.0f},
    {3900.0f, 3600.0f, 3650.0f, 3300.0f, 3400.0f},
};

// First-order all-pass coefficient for a normalised frequency w = f / sampleRate.
inline float allpassCoefficient(float w) { return (1.0f - w) / (1.0f + w); }

// One first-order all-pass step on state s.
inline float allpass(float& s, float a, float x) {
    const float y = s - a * x;
    s = a * y + x;
    return y;
}

// One channel of a vowel band: both states run twice, a four-step chain from two states.
inline float runVowelBand(PhaserCore::VowelBand& band, int channel, float a, float x) {
    float* ap = band.allpass[channel];
    x = allpass(ap[0], a, x);
    x = allpass(ap[1], a, x);
    x = allpass(ap[0], a, x);
    x = allpass(ap[1], a, x);
    band.state[channel] = x;
    return x;
}

inline float rightPhase(float phase, float offset) {
    const float p = phase + offset;
    return p > 1.0f ? p - 1.0f : p;
}

// The vowel modes stretch the formant set: low and darker, plain, or raised.
inline float vowelFrequency(int mode, float hz) {
    switch (mode) {
    case 6: return hz * 1.2f - 100.0f;
    case 7: return hz * 1.5f;
    case 8: return hz * 1.5f + 500.0f;
    default: return hz;
    }
}

} // namespace

void PhaserCore::process(int frames, float sampleRate, const float* left, const float* right,
                         int mode, const Controls& controls, float* wetLeft, float* wetRight) {
    if (mode < kFirstVowelMode)
        runClassic(frames, sampleRate, left, right, 2 * mode + 2, controls, wetLeft, wetRight);
    else
        runVowel(frames, sampleRate, left, right, mode, controls, wetLeft, wetRight);
}

void PhaserCore::runClassic(int frames, float sampleRate, const float* left, const float* right,
                            int stages, const Controls& c, float* wetLeft, float* wetRight) {
    const float invRate = 1.0f / sampleRate;
    Memo rateMemo;
    float phase = phase_;
    float yL = feedback_[0], yR = feedback_[1];
    float* sL = allpass_[0];
    float* sR = allpass_[1];
    for (int i = 0; i < frames; ++i) {
        phase = advancePhase(phase, rateMemo(c.rate[i], [&](float r) { return lookupCurve01(kLfoRateHz, r) * invRate; }));
        const float lfoL = lfoWaveform(phase, kLfoShape);
        const float lfoR = lfoWaveform(rightPhase(phase, c.stereo[i] * kStereoPhase), kLfoShape);
        const float centre = c.centre[i];
        const float span = (1.0f - centre) * c.depth[i];
        const float wL = noteFrequencyAt(lfoL * span + centre) * invRate;
        const float wR = noteFrequencyAt(lfoR * span + centre) * invRate;
        const float aL = allpassCoefficient(wL);
        const float aR = allpassCoefficient(wR);
        const float k = c.feedback[i] * 1.9f - 0.95f;

        float xL = k * yL + left[i];
        float xR = k * yR + right[i];
        for (int s = 0; s < stages; ++s) {
            xL = allpass(sL[s], aL, xL);
            xR = allpass(sR[s], aR, xR);
        }
        yL = xL;
        yR = xR;
        wetLeft[i] = yL;
        wetRight[i] = yR;
    }
    phase_ = phase;
    feedback_[0] = yL;
    feedback_[1] = yR;
}

void PhaserCore::runVowel(int frames, float sampleRate, const float* left, const float* right,
                          int mode, const Controls& c, float* wetLeft, float* wetRight) {
    const float invRate = 1.0f / sampleRate;
    Memo rateMemo;
    constexpr float kVowelSpan = static_cast<float>(kVowelPoints - 1);
    float phase = phase_;
    for (int i = 0; i < frames; ++i) {
        phase = advancePhase(phase, rateMemo(c.rate[i], [&](float r) { return lookupCurve01(kLfoRateHz, r) * invRate; }));
        const float lfo = lfoWaveform(phase, kLfoShape);
        const float centre = c.centre[i];
        const float sweep = lfo * (1.0f - centre) * c.depth[i] + centre;
        const float k = -0.9f - 0.09f * c.feedback[i];
        const float shift = c.stereo[i] * kStereoHz;
        const float inL = left[i], inR = right[i];

        float sumL = 0.0f, sumR = 0.0f;
        for (int b = 0; b < kBands; ++b) {
            VowelBand& band = bands_[b];
            const float hz =
                vowelFrequency(mode, lookupCurve(kVowelHz[b], kVowelPoints, sweep * kVowelSpan));
            const float aL = allpassCoefficient(hz * invRate);
            const float aR = allpassCoefficient((hz + shift) * invRate);

            sumL += runVowelBand(band, 0, aL, k * band.state[0] + inL);
            sumR += runVowelBand(band, 1, aR, k * band.state[1] + inR);
        }
        wetLeft[i] = sumL * 0.25f;
        wetRight[i] = sumR * 0.25f;
    }
    phase_ = phase;
}

void PhaserCore::clear() {
    feedback_[0] = feedback_[1] = 0.0f;
    for (auto& channel : allpass_)
        for (float& s : channel) s = 0.0f;
    for (VowelBand& band : bands_) band = VowelBand{};
}

} // namespace kolva::fx
