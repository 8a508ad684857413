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
        SvfFilter::processPair(lowPass_, highPass_, buffers.inLeft, buffers.inRight,
                               controls.hicut, controls.lowcut, frames, sampleRate);
    else
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
    LfoClock clock(sampleRate);
    float phase = phase_;
    for (int i = 0; i < frames; ++i) {
        phase = clock.advance(phase, c.rate[i]);
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

void ChorusCore::ensembleDelays(int frames, float sampleRate, const Controls& c,
                                float* const* delays) {
    // The LFO phase sample by sample (parked in delays[0]), then the delays four samples at a
    // time: the waveform at shape 0 for both channels (the triangle; its cosine term weighs
    // 0 x a table value and adds exactly +0), the base from the clamped delay control, and each
    // tap's share of it.
    const float invRate = 1.0f / sampleRate;
    float phase = phase_;
    for (int i = 0; i < frames; ++i) {
        phase = advancePhase(phase, kEnsembleRateHz * c.rate[i] * invRate);
        delays[0][i] = phase;
    }
    phase_ = phase;

    const __m128 one = _mm_set1_ps(1.0f), two = _mm_set1_ps(2.0f), half = _mm_set1_ps(0.5f);
    // 2p up to one half, 2 (1 - p) past it, as twice the smaller of the two (see the phaser).
    const auto triangles = [&](__m128 p) {
        return _mm_mul_ps(two, _mm_min_ps(p, _mm_sub_ps(one, p)));
    };
    const __m128 span = _mm_set1_ps(sampleRate * kEnsembleSeconds);
    const __m128 lowest = _mm_set1_ps(kEnsembleMinDelay);
    const auto four = [&](__m128 p, __m128 wide, __m128 depth, __m128 delay, __m128* d) {
        __m128 shifted = _mm_add_ps(p, _mm_mul_ps(wide, _mm_set1_ps(kSpreadPhase)));
        shifted = _mm_sub_ps(shifted, _mm_and_ps(_mm_cmpgt_ps(shifted, one), one));
        const __m128 l = _mm_mul_ps(triangles(p), depth);
        const __m128 r = _mm_mul_ps(triangles(shifted), depth);
        const __m128 offset = _mm_mul_ps(wide, _mm_set1_ps(kEnsembleOffset));
        // clampTo(delay, lowest, 1): NaN goes to the low end.
        const __m128 held = _mm_or_ps(
            _mm_and_ps(_mm_cmpgt_ps(delay, lowest), _mm_min_ps(delay, one)),
            _mm_andnot_ps(_mm_cmpgt_ps(delay, lowest), lowest));
        const __m128 base = _mm_mul_ps(span, held);
        d[0] = _mm_mul_ps(_mm_mul_ps(base, _mm_add_ps(l, one)), half);
        d[1] = _mm_mul_ps(_mm_mul_ps(base, _mm_sub_ps(two, l)), half);
        d[2] = _mm_mul_ps(base, _mm_add_ps(_mm_mul_ps(_mm_add_ps(r, one), half), offset));
        d[3] = _mm_mul_ps(base, _mm_add_ps(_mm_mul_ps(_mm_sub_ps(two, r), half), offset));
    };
    int i = 0;
    for (; i + 4 <= frames; i += 4) {
        __m128 d[4];
        four(_mm_loadu_ps(delays[0] + i), _mm_loadu_ps(c.wide + i), _mm_loadu_ps(c.depth + i),
             _mm_loadu_ps(c.delay + i), d);
        for (int k = 0; k < 4; ++k) _mm_storeu_ps(delays[k] + i, d[k]);
    }
    for (; i < frames; ++i) {
        __m128 d[4];
        four(_mm_set_ss(delays[0][i]), _mm_set_ss(c.wide[i]), _mm_set_ss(c.depth[i]),
             _mm_set_ss(c.delay[i]), d);
        for (int k = 0; k < 4; ++k) delays[k][i] = simd::lane0(d[k]);
    }
}

void ChorusCore::runEnsemble(int frames, float sampleRate, const Controls& c,
                             DelayLineRegistry& lines, const Buffers& b) {
    // Two taps per channel moving in opposite directions, the second subtracted. Every tap
    // reads its line before writing it, so the four reads of a sample go together.
    ensembleDelays(frames, sampleRate, c, b.tapDelay);
    DelayLine* const taps[4] = {&lines[0], &lines[1], &lines[kVoices], &lines[kVoices + 1]};
    float* const data[4] = {taps[0]->data, taps[1]->data, taps[2]->data, taps[3]->data};
    const int length = taps[0]->length; // every chorus line is kLineSeconds long (one length)
    int w0 = taps[0]->write, w1 = taps[1]->write, w2 = taps[2]->write, w3 = taps[3]->write;
    const auto step = [length](int& w, int n) {
        w += n;
        if (w >= length) w = 0;
    };
    const float* const delay0 = b.tapDelay[0];
    const float* const delay1 = b.tapDelay[1];
    const float* const delay2 = b.tapDelay[2];
    const float* const delay3 = b.tapDelay[3];
    const float* const feedback = c.feedback;
    const float* const hicut = c.hicut;
    const float* const inLeft = b.inLeft;
    const float* const inRight = b.inRight;
    float* const wetLeft = b.wetLeft;
    float* const wetRight = b.wetRight;
    const Tables& t = tables();
    float yL = smooth_[0], yR = smooth_[1];
    Memo cutMemo;
    const auto cutOf = [&](float control) {
        return cutMemo(control, [&](float v) {
            return onePoleCoefficient(t, noteFrequencyAt(t, v), sampleRate);
        });
    };
    const CubicBounds4 bounds(length);
    const auto run = [&](auto&& cutAt) {
        // In stretches where no write index wraps: there each write is at a fixed offset from
        // the stretch's start, and the four indices step as one register.
        for (int i = 0; i < frames;) {
            const int stretch = std::min({frames - i, length - w0, length - w1, length - w2,
                                          length - w3});
            if (stretch <= 0) break; // lines not carved
            float* const at0 = data[0] + w0;
            float* const at1 = data[1] + w1;
            float* const at2 = data[2] + w2;
            float* const at3 = data[3] + w3;
            __m128i writes = _mm_setr_epi32(w0, w1, w2, w3);
            // One sample, its four tap delays in one register.
            const auto sample = [&](int j, __m128 delays) __attribute__((always_inline)) {
                const int n = i + j;
                const float fb = feedbackGain(feedback[n]);
                const float inL = inLeft[n], inR = inRight[n];

                alignas(16) float read[4];
                _mm_store_ps(read, cubicRead4(data, length, bounds, writes, delays));
                writes = _mm_sub_epi32(writes, _mm_set1_epi32(-1));
                float accL = read[0];
                at0[j] = accL * fb + inL;
                accL -= read[1];
                at1[j] = accL * fb + inL;
                float accR = read[2];
                at2[j] = accR * fb + inR;
                accR -= read[3];
                at3[j] = accR * fb + inR;

                const float coef = cutAt(hicut[n]);
                yL += (accL - yL) * coef;
                yR += (accR - yR) * coef;
                wetLeft[n] = yL;
                wetRight[n] = yR;
            };
            // Four samples' delays are one transpose of the four delay rows.
            int j = 0;
            for (; j + 4 <= stretch; j += 4) {
                const int n = i + j;
                __m128 d0 = _mm_loadu_ps(delay0 + n), d1 = _mm_loadu_ps(delay1 + n);
                __m128 d2 = _mm_loadu_ps(delay2 + n), d3 = _mm_loadu_ps(delay3 + n);
                _MM_TRANSPOSE4_PS(d0, d1, d2, d3);
                sample(j, d0);
                sample(j + 1, d1);
                sample(j + 2, d2);
                sample(j + 3, d3);
            }
            for (; j < stretch; ++j) {
                const int n = i + j;
                sample(j, _mm_setr_ps(delay0[n], delay1[n], delay2[n], delay3[n]));
            }
            i += stretch;
            step(w0, stretch);
            step(w1, stretch);
            step(w2, stretch);
            step(w3, stretch);
        }
    };
    if (frames > 0 && holdsStill(hicut, frames))
        run(Held{cutOf(hicut[0])});
    else
        run(cutOf);
    taps[0]->write = w0;
    taps[1]->write = w1;
    taps[2]->write = w2;
    taps[3]->write = w3;
    smooth_[0] = yL;
    smooth_[1] = yR;
}

void ChorusCore::clear() {
    lowPass_.clear();
    highPass_.clear();
    smooth_[0] = smooth_[1] = 0.0f;
}

} // namespace kolva::fx
