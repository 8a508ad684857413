#include "fx/phaser_core.h"

#include "engine/lookup_curve.h"
#include "fx/fx_simd.h"
#include "fx/fx_tables.h"

#include <type_traits>

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
    switch (stages) {
    case 2: runStages<2>(frames, sampleRate, left, right, c, wetLeft, wetRight); break;
    case 4: runStages<4>(frames, sampleRate, left, right, c, wetLeft, wetRight); break;
    case 6: runStages<6>(frames, sampleRate, left, right, c, wetLeft, wetRight); break;
    case 8: runStages<8>(frames, sampleRate, left, right, c, wetLeft, wetRight); break;
    case 10: runStages<10>(frames, sampleRate, left, right, c, wetLeft, wetRight); break;
    default: runStages<12>(frames, sampleRate, left, right, c, wetLeft, wetRight); break;
    }
}

void PhaserCore::sweepCoefficients(int frames, float sampleRate, const Controls& c,
                                   float* coefLeft, float* coefRight) {
    // The sweep does not depend on the audio, so it is worked out for the whole block first:
    // the LFO phase sample by sample (into coefLeft), then the coefficients four samples at a
    // time. Each lane computes what lfoWaveform, noteFrequencyAt and allpassCoefficient do.
    const float invRate = 1.0f / sampleRate;
    phase_ = LfoClock(sampleRate).fill(phase_, c.rate, frames, coefLeft);

    const Tables& t = tables();
    const float triangleWeight = 1.0f - 2.0f * kLfoShape, bumpWeight = 2.0f * kLfoShape;
    const __m128 one = _mm_set1_ps(1.0f), two = _mm_set1_ps(2.0f);
    const simd::Curve4 lfoBase(t.lfoBase.data(), kLfoBasePoints + 1);
    const simd::Curve4 noteFrequency(t.noteFrequency.data(), kNotePoints);
    const auto waveform = [&](__m128 p) {
        const __m128 bump = lfoBase(_mm_mul_ps(p, _mm_set1_ps(kLfoBasePoints - 1)));
        // 2p up to one half, 2 (1 - p) past it: the smaller of p and 1 - p is the one that
        // branch picks (1 - p is exact there), and doubling is exact, so no select is needed.
        const __m128 tri = _mm_mul_ps(two, _mm_min_ps(p, _mm_sub_ps(one, p)));
        return _mm_add_ps(_mm_mul_ps(_mm_set1_ps(triangleWeight), tri),
                          _mm_mul_ps(_mm_set1_ps(bumpWeight), bump));
    };
    const auto coefficient = [&](__m128 lfo, __m128 span, __m128 centre) {
        const __m128 hz = noteFrequency(
            _mm_mul_ps(_mm_add_ps(_mm_mul_ps(lfo, span), centre), _mm_set1_ps(kNotePoints - 1)));
        const __m128 w = _mm_mul_ps(hz, _mm_set1_ps(invRate));
        return _mm_div_ps(_mm_sub_ps(one, w), _mm_add_ps(one, w));
    };
    const auto sweep = [&](__m128 phases, __m128 stereo, __m128 centre, __m128 depth,
                           __m128& left, __m128& right) {
        // The right channel's phase: offset by the stereo amount, less 1 past 1.
        __m128 shifted = _mm_add_ps(phases, _mm_mul_ps(stereo, _mm_set1_ps(kStereoPhase)));
        shifted = _mm_sub_ps(shifted, _mm_and_ps(_mm_cmpgt_ps(shifted, one), one));
        const __m128 span = _mm_mul_ps(_mm_sub_ps(one, centre), depth);
        left = coefficient(waveform(phases), span, centre);
        right = coefficient(waveform(shifted), span, centre);
    };
    // Local copies: the stores below could otherwise alias the pointers and force reloads.
    const float* const stereo = c.stereo;
    const float* const centre = c.centre;
    const float* const depth = c.depth;
    int i = 0;
    for (; i + 4 <= frames; i += 4) {
        __m128 left, right;
        sweep(_mm_loadu_ps(coefLeft + i), _mm_loadu_ps(stereo + i), _mm_loadu_ps(centre + i),
              _mm_loadu_ps(depth + i), left, right);
        _mm_storeu_ps(coefLeft + i, left);
        _mm_storeu_ps(coefRight + i, right);
    }
    for (; i < frames; ++i) {
        __m128 left, right;
        sweep(_mm_set_ss(coefLeft[i]), _mm_set_ss(c.stereo[i]), _mm_set_ss(c.centre[i]),
              _mm_set_ss(c.depth[i]), left, right);
        coefLeft[i] = simd::lane0(left);
        coefRight[i] = simd::lane0(right);
    }
}

template <int Stages>
void PhaserCore::runStages(int frames, float sampleRate, const float* left, const float* right,
                           const Controls& c, float* wetLeft, float* wetRight) {
    static_assert(Stages <= kMaxStages);
    // The coefficients go into the wet buffers first; each is read before its sample's output
    // takes its place.
    sweepCoefficients(frames, sampleRate, c, wetLeft, wetRight);
    // Left and right side by side in lanes 0 and 1; each stage's state in a register.
    __m128 y = _mm_setr_ps(feedback_[0], feedback_[1], 0.0f, 0.0f);
    __m128 state[Stages];
    for (int s = 0; s < Stages; ++s) state[s] = _mm_setr_ps(allpass_[0][s], allpass_[1][s], 0, 0);
    // One sample: coefficients a, feedback k (all lanes) and input x, left and right in lanes
    // 0 and 1 (what the other two lanes carry does not reach them).
    const auto step = [&](__m128 a, __m128 k, __m128 in) __attribute__((always_inline)) {
        __m128 x = _mm_add_ps(_mm_mul_ps(k, y), in);
        for (__m128& s : state) {
            // One first-order all-pass step (allpass() below, on both lanes).
            const __m128 out = _mm_sub_ps(s, _mm_mul_ps(a, x));
            s = _mm_add_ps(_mm_mul_ps(a, out), x);
            x = out;
        }
        y = x;
        return y;
    };
    const auto broadcast = [](__m128 v, auto lane) {
        return _mm_shuffle_ps(v, v, _MM_SHUFFLE(lane(), lane(), lane(), lane()));
    };
    int i = 0;
    // Four samples at a time: the loads, the feedback gains and the stores go four wide, the
    // pairs are taken apart and put together with shuffles.
    for (; i + 4 <= frames; i += 4) {
        const __m128 coefL = _mm_loadu_ps(wetLeft + i), coefR = _mm_loadu_ps(wetRight + i);
        const __m128 a01 = _mm_unpacklo_ps(coefL, coefR); // aL0 aR0 aL1 aR1
        const __m128 a23 = _mm_unpackhi_ps(coefL, coefR);
        const __m128 inL = _mm_loadu_ps(left + i), inR = _mm_loadu_ps(right + i);
        const __m128 in01 = _mm_unpacklo_ps(inL, inR);
        const __m128 in23 = _mm_unpackhi_ps(inL, inR);
        const __m128 k = _mm_sub_ps(_mm_mul_ps(_mm_loadu_ps(c.feedback + i), _mm_set1_ps(1.9f)),
                                    _mm_set1_ps(0.95f));
        const __m128 y0 = step(a01, broadcast(k, std::integral_constant<int, 0>{}), in01);
        const __m128 y1 = step(_mm_movehl_ps(a01, a01),
                               broadcast(k, std::integral_constant<int, 1>{}),
                               _mm_movehl_ps(in01, in01));
        const __m128 y2 = step(a23, broadcast(k, std::integral_constant<int, 2>{}), in23);
        const __m128 y3 = step(_mm_movehl_ps(a23, a23),
                               broadcast(k, std::integral_constant<int, 3>{}),
                               _mm_movehl_ps(in23, in23));
        const __m128 y01 = _mm_unpacklo_ps(y0, y1); // L0 L1 R0 R1
        const __m128 y23 = _mm_unpacklo_ps(y2, y3);
        _mm_storeu_ps(wetLeft + i, _mm_movelh_ps(y01, y23));
        _mm_storeu_ps(wetRight + i, _mm_movehl_ps(y23, y01));
    }
    for (; i < frames; ++i) {
        const __m128 y1 = step(simd::pairOf(wetLeft[i], wetRight[i]),
                               _mm_set1_ps(c.feedback[i] * 1.9f - 0.95f),
                               simd::pairOf(left[i], right[i]));
        wetLeft[i] = simd::lane0(y1);
        wetRight[i] = simd::lane1(y1);
    }
    feedback_[0] = simd::lane0(y);
    feedback_[1] = simd::lane1(y);
    for (int s = 0; s < Stages; ++s) {
        allpass_[0][s] = simd::lane0(state[s]);
        allpass_[1][s] = simd::lane1(state[s]);
    }
}

void PhaserCore::runVowel(int frames, float sampleRate, const float* left, const float* right,
                          int mode, const Controls& c, float* wetLeft, float* wetRight) {
    const float invRate = 1.0f / sampleRate;
    LfoClock clock(sampleRate);
    constexpr float kVowelSpan = static_cast<float>(kVowelPoints - 1);
    float phase = phase_;
    for (int i = 0; i < frames; ++i) {
        phase = clock.advance(phase, c.rate[i]);
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
