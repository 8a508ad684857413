#pragma once
// Stereo delay (module 18, "fx_delay"): two 12-second lines with free or tempo-synced times, a
// slow modulation of the read position, ping-pong cross feedback, a one-pole tone band in the
// feedback path, a width control and a dry/wet law that keeps the dry signal full up to
// mix 0.7. The tone band and the dry/wet law are shared with the reverb.
//
// Threads: as FxModule (process, clear and recover on the audio thread only).

#include "fx/delay_line.h"
#include "fx/fx_module.h"
#include "fx/fx_tables.h"

namespace kolva {

namespace fx {

// The one-pole tone band: a low-pass followed by a high-pass that is subtracted from it.
struct EchoTone {
    float lowPass = 0.0f;
    float highPass = 0.0f;

    float run(float x, float lowCoef, float highCoef) {
        lowPass += (x - lowPass) * lowCoef;
        highPass += (lowPass - highPass) * highCoef;
        return lowPass - highPass;
    }
    void clear() { lowPass = highPass = 0.0f; }
};

// c(f(x)): the coefficient for the note-frequency scale read at x in 0..1.
inline float toneCoefficientAt(const Tables& t, float x, float sampleRate) {
    return onePoleCoefficient(t, noteFrequencyAt(t, x), sampleRate);
}
inline float toneCoefficientAt(float x, float sampleRate) {
    return toneCoefficientAt(tables(), x, sampleRate);
}

// The echo effects' dry/wet law: the dry part stays full up to 0.7 and falls to 0 at 1, the
// wet part rises to full at 0.7.
inline float echoMix(float dry, float wet, float mix) {
    if (mix >= 0.7f) return dry * (0.3f - (mix - 0.7f)) * 3.3333f + wet;
    return dry + wet * mix * 1.43f;
}

// echoMix on four lanes: its two sides, the mix at or past 0.7 and below it, and the choice.
inline __m128 echoMixPast(__m128 dry, __m128 wet, __m128 mix) {
    return _mm_add_ps(_mm_mul_ps(_mm_mul_ps(dry, _mm_sub_ps(_mm_set1_ps(0.3f),
                                                            _mm_sub_ps(mix, _mm_set1_ps(0.7f)))),
                                 _mm_set1_ps(3.3333f)),
                      wet);
}
inline __m128 echoMixBelow(__m128 dry, __m128 wet, __m128 mix) {
    return _mm_add_ps(dry, _mm_mul_ps(_mm_mul_ps(wet, mix), _mm_set1_ps(1.43f)));
}
inline __m128 echoMixPastLanes(__m128 mix) { return _mm_cmpge_ps(mix, _mm_set1_ps(0.7f)); }
inline __m128 echoMix4(__m128 dry, __m128 wet, __m128 mix) {
    const __m128 past = echoMixPastLanes(mix);
    return _mm_or_ps(_mm_and_ps(past, echoMixPast(dry, wet, mix)),
                     _mm_andnot_ps(past, echoMixBelow(dry, wet, mix)));
}

// The delay kernel: two lines plus the LFO and tone states, run over plain buffers.
class DelayCore {
public:
    struct Controls {
        bool pingPong = false;
        bool sync = false;
        int divisionLeft = 0;
        int divisionRight = 0;
        float tempo = 120.0f;
        // Per-sample buffers, 0..1.
        const float* timeLeft;
        const float* timeRight;
        const float* feedback;
        const float* rate;
        const float* depth;
        const float* width;
        const float* tone;
        const float* mix;
    };

    // `delayLeft` and `delayRight`: working buffers of at least `frames` floats.
    void process(int frames, float sampleRate, float* left, float* right, const Controls& c,
                 DelayLine& lineLeft, DelayLine& lineRight, float* delayLeft, float* delayRight);
    // Filter states and the LFO back to rest (the lines belong to the module).
    void clear();

private:
    // The read positions in samples per channel (they do not depend on the audio).
    void delayTimes(int frames, float sampleRate, const Controls& c, float* delayLeft,
                    float* delayRight);

    float phase_ = 0.0f;
    EchoTone tone_[2];
};

} // namespace fx

class ModuleFxDelay : public FxModule {
public:
    enum Slot {
        kPingPong = 0, kSync, kTimeLeft, kTimeRight, kDivisionLeft, kDivisionRight, kFeedback,
        kRate, kDepth, kWidth, kTone, kMix, kBypass, kSlots
    };
    static constexpr float kLineSeconds = 12.0f;

    ModuleFxDelay();
    void process(int frames, float* left, float* right) override;
    void recover() override;

private:
    fx::DelayCore core_;
    int lineLeft_;
    int lineRight_;
};

} // namespace kolva
