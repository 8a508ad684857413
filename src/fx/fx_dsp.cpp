#include "fx/fx_dsp.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kolva::fx {

void wrapUnit(float* buffer, int n) {
    for (int i = 0; i < n; ++i) buffer[i] = wrapUnit(buffer[i]);
}

void mixDryWet(float* io, const float* wet, const float* mix, int n) {
    for (int i = 0; i < n; ++i) io[i] = io[i] * (1.0f - mix[i]) + wet[i] * mix[i];
}

namespace {

template <int Tap> __m128 svfTap(__m128 low, __m128 band, __m128 high, __m128 notch) {
    switch (Tap) {
    case SvfFilter::kLow: return low;
    case SvfFilter::kBand: return band;
    case SvfFilter::kHigh: return high;
    default: return notch;
    }
}

// One sample of the two-pass Chamberlin loop on four lanes, each with its own q and f. Lanes
// 0-1 give tap TapA, lanes 2-3 tap TapB, summed over the passes from 0 and halved as the
// scalar form does. With two taps each is summed on all lanes and the halves joined once at
// the end (per lane the same sums as picking the tap on every pass).
template <int TapA, int TapB>
inline __m128 svfStep(__m128& low, __m128& band, __m128 q, __m128 f, __m128 in) {
    __m128 outA = _mm_setzero_ps(), outB = _mm_setzero_ps();
    for (int pass = 0; pass < 2; ++pass) {
        const __m128 notch = _mm_sub_ps(in, _mm_mul_ps(q, band));
        low = _mm_add_ps(low, _mm_mul_ps(f, band));
        const __m128 high = _mm_sub_ps(notch, low);
        band = _mm_add_ps(band, _mm_mul_ps(f, high));
        outA = _mm_add_ps(outA, svfTap<TapA>(low, band, high, notch));
        if constexpr (TapA != TapB) outB = _mm_add_ps(outB, svfTap<TapB>(low, band, high, notch));
    }
    if constexpr (TapA != TapB) outA = _mm_shuffle_ps(outA, outB, _MM_SHUFFLE(3, 2, 1, 0));
    return _mm_mul_ps(_mm_set1_ps(0.5f), outA);
}

// Lane k of v as a float, without a copy of v first (pshufd leaves its source alone).
template <int K> inline float laneOf(__m128 v) {
    return _mm_cvtss_f32(_mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(v), K)));
}

// The cutoff control through the curve, scaled to the rate and kept inside the stable range.
struct SvfCoefficient {
    const float* curve;
    float scale, limit;
    Memo memo;
    SvfCoefficient(float q, float sampleRate)
        : curve(tables().svfCutoff.data()),
          scale(sampleRate == 44100.0f ? 1.0f : 44100.0f / sampleRate),
          // The two-pass loop is stable while f^2 + 2fq < 4; at low sample rates the scaled
          // top of the curve would cross that, so the coefficient stops short of it.
          limit(0.95f * (std::sqrt(q * q + 4.0f) - q)) {}
    float operator()(float control) {
        return memo(control, [this](float c) {
            return std::min(lookupCurve(curve, kCutoffPoints, c * (kCutoffPoints - 1)) * scale,
                            limit);
        });
    }
};

} // namespace

template <int Tap>
void SvfFilter::run(float* left, float* right, const float* cutoff, int n, float sampleRate) {
    SvfCoefficient coefficient(q_, sampleRate);
    const __m128 q = _mm_set1_ps(q_);
    __m128 low = _mm_setr_ps(low_[0], low_[1], 0.0f, 0.0f);
    __m128 band = _mm_setr_ps(band_[0], band_[1], 0.0f, 0.0f);
    const auto loop = [&](auto&& coefficientAt) {
        for (int i = 0; i < n; ++i) {
            const __m128 f = _mm_set1_ps(coefficientAt(cutoff[i]));
            const __m128 out = svfStep<Tap, Tap>(low, band, q, f, simd::pairOf(left[i], right[i]));
            left[i] = simd::lane0(out);
            right[i] = laneOf<1>(out);
        }
    };
    if (n > 0 && holdsStill(cutoff, n))
        loop(Held{coefficient(cutoff[0])});
    else
        loop(coefficient);
    low_[0] = simd::lane0(low);
    low_[1] = simd::lane1(low);
    band_[0] = simd::lane0(band);
    band_[1] = simd::lane1(band);
}

void SvfFilter::process(float* left, float* right, const float* cutoff, int n,
                        float sampleRate) {
    switch (tap_) {
    case kLow: run<kLow>(left, right, cutoff, n, sampleRate); break;
    case kBand: run<kBand>(left, right, cutoff, n, sampleRate); break;
    case kHigh: run<kHigh>(left, right, cutoff, n, sampleRate); break;
    default: run<kNotch>(left, right, cutoff, n, sampleRate); break;
    }
}

template <int TapA, int TapB>
void SvfFilter::runPair(SvfFilter& a, SvfFilter& b, float* left, float* right,
                        const float* cutoffA, const float* cutoffB, int n, float sampleRate) {
    // Lanes 0-1 run `a` on sample i while lanes 2-3 run `b` on a's output for sample i - 1.
    SvfCoefficient coefficientA(a.q_, sampleRate), coefficientB(b.q_, sampleRate);
    const __m128 q = _mm_setr_ps(a.q_, a.q_, b.q_, b.q_);
    __m128 low = _mm_setr_ps(a.low_[0], a.low_[1], b.low_[0], b.low_[1]);
    __m128 band = _mm_setr_ps(a.band_[0], a.band_[1], b.band_[0], b.band_[1]);
    const auto coefficients = [](float fa, float fb) {
        return _mm_movelh_ps(_mm_set1_ps(fa), _mm_set1_ps(fb));
    };
    // A step with only some lanes running: the others keep their state.
    const auto partial = [&](__m128 running, __m128 f, __m128 in) {
        const __m128 keepLow = low, keepBand = band;
        const __m128 out = svfStep<TapA, TapB>(low, band, q, f, in);
        low = _mm_or_ps(_mm_and_ps(running, low), _mm_andnot_ps(running, keepLow));
        band = _mm_or_ps(_mm_and_ps(running, band), _mm_andnot_ps(running, keepBand));
        return out;
    };
    const __m128 lower = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, 0, 0));

    __m128 out = partial(lower, coefficients(coefficientA(cutoffA[0]), 0.0f),
                         simd::pairOf(left[0], right[0]));
    if (holdsStill(cutoffA, n) && holdsStill(cutoffB, n)) {
        const __m128 f = coefficients(coefficientA(cutoffA[0]), coefficientB(cutoffB[0]));
        for (int i = 1; i < n; ++i) {
            out = svfStep<TapA, TapB>(low, band, q, f,
                                      _mm_movelh_ps(simd::pairOf(left[i], right[i]), out));
            left[i - 1] = laneOf<2>(out);
            right[i - 1] = laneOf<3>(out);
        }
    } else {
        for (int i = 1; i < n; ++i) {
            const __m128 f = coefficients(coefficientA(cutoffA[i]), coefficientB(cutoffB[i - 1]));
            out = svfStep<TapA, TapB>(low, band, q, f,
                                      _mm_movelh_ps(simd::pairOf(left[i], right[i]), out));
            left[i - 1] = laneOf<2>(out);
            right[i - 1] = laneOf<3>(out);
        }
    }
    out = partial(_mm_castsi128_ps(_mm_setr_epi32(0, 0, -1, -1)),
                  coefficients(0.0f, coefficientB(cutoffB[n - 1])), _mm_movelh_ps(out, out));
    left[n - 1] = simd::lane2(out);
    right[n - 1] = simd::lane3(out);

    alignas(16) float l[4], bp[4];
    _mm_store_ps(l, low);
    _mm_store_ps(bp, band);
    a.low_[0] = l[0], a.low_[1] = l[1], b.low_[0] = l[2], b.low_[1] = l[3];
    a.band_[0] = bp[0], a.band_[1] = bp[1], b.band_[0] = bp[2], b.band_[1] = bp[3];
}

void SvfFilter::processPair(SvfFilter& a, SvfFilter& b, float* left, float* right,
                            const float* cutoffA, const float* cutoffB, int n, float sampleRate) {
    if (n <= 0) return;
    if (a.tap_ == kLow && b.tap_ == kHigh) {
        runPair<kLow, kHigh>(a, b, left, right, cutoffA, cutoffB, n, sampleRate);
    } else {
        a.process(left, right, cutoffA, n, sampleRate);
        b.process(left, right, cutoffB, n, sampleRate);
    }
}

void SvfFilter::clear() {
    low_[0] = low_[1] = 0.0f;
    band_[0] = band_[1] = 0.0f;
}

void Biquad::design(float sampleRate, int type, double frequency, double q, double gainDb,
                    bool bandwidthMode) {
    if (sampleRate == rate_ && type == type_ && frequency == frequency_ && q == q_ &&
        gainDb == gain_ && bandwidthMode == bandwidth_)
        return;
    rate_ = sampleRate;
    type_ = type;
    frequency_ = frequency;
    q_ = q;
    gain_ = gainDb;
    bandwidth_ = bandwidthMode;
    ++designs_;

    // Keep the design inside the band and away from a zero Q, whatever the caller asks.
    const double nyquist = 0.5 * sampleRate;
    const double f = std::clamp(frequency, 1.0e-3, nyquist * 0.9999);
    const double qq = std::max(q, 1.0e-4);
    const double w0 = 2.0 * std::numbers::pi * f / sampleRate;
    const double cw = std::cos(w0), sw = std::sin(w0);
    const double A = std::pow(10.0, gainDb / 40.0);
    const double alpha = bandwidthMode
                             ? sw * std::sinh(std::numbers::ln2 / 2.0 * qq * w0 / sw)
                             : sw / (2.0 * qq);
    const double shelf = std::sqrt(A) * sw / qq; // replaces 2 sqrt(A) alpha
    double b0, b1, b2, a0, a1, a2;
    switch (type) {
    case kLowPass:
        b0 = (1 - cw) / 2; b1 = 1 - cw; b2 = (1 - cw) / 2;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kHighPass:
        b0 = (1 + cw) / 2; b1 = -(1 + cw); b2 = (1 + cw) / 2;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kBandPassPeakQ:
        b0 = sw / 2; b1 = 0; b2 = -sw / 2;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kBandPass:
        b0 = alpha; b1 = 0; b2 = -alpha;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kNotch:
        b0 = 1; b1 = -2 * cw; b2 = 1;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kAllPass:
        b0 = 1 - alpha; b1 = -2 * cw; b2 = 1 + alpha;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kPeaking:
        b0 = 1 + alpha * A; b1 = -2 * cw; b2 = 1 - alpha * A;
        a0 = 1 + alpha / A; a1 = -2 * cw; a2 = 1 - alpha / A;
        break;
    case kLowShelf:
        b0 = A * ((A + 1) - (A - 1) * cw + shelf);
        b1 = 2 * A * ((A - 1) - (A + 1) * cw);
        b2 = A * ((A + 1) - (A - 1) * cw - shelf);
        a0 = (A + 1) + (A - 1) * cw + shelf;
        a1 = -2 * ((A - 1) + (A + 1) * cw);
        a2 = (A + 1) + (A - 1) * cw - shelf;
        break;
    case kHighShelf:
        b0 = A * ((A + 1) + (A - 1) * cw + shelf);
        b1 = -2 * A * ((A - 1) + (A + 1) * cw);
        b2 = A * ((A + 1) + (A - 1) * cw - shelf);
        a0 = (A + 1) - (A - 1) * cw + shelf;
        a1 = 2 * ((A - 1) - (A + 1) * cw);
        a2 = (A + 1) - (A - 1) * cw - shelf;
        break;
    default: // unknown type: pass through
        b0 = 1; b1 = 0; b2 = 0; a0 = 1; a1 = 0; a2 = 0;
        break;
    }
    b0_ = b0 / a0;
    b1_ = b1 / a0;
    b2_ = b2 / a0;
    a1_ = a1 / a0;
    a2_ = a2 / a0;
}

bool Biquad::passesThrough() const { return b0_ == 1.0 && b1_ == a1_ && b2_ == a2_; }

bool Biquad::historySettled() const {
    // Below this the ring left in the history is lost in the float output even behind the
    // sharpest band's resonance; NaN never counts as settled.
    constexpr double kSettled = 1.0e-12;
    for (int ch = 0; ch < 2; ++ch)
        if (!(std::fabs(y1_[ch] - x1_[ch]) <= kSettled && std::fabs(y2_[ch] - x2_[ch]) <= kSettled))
            return false;
    return true;
}

namespace {

// One section over a block: reads inLeft/inRight, writes outLeft/outRight (the same buffers or
// apart). Inlined into both process() forms, so the in-place one keeps its two pointers.
[[gnu::always_inline]] inline void runSection(simd::BiquadLanes& s, const float* inLeft,
                                              const float* inRight, float* outLeft,
                                              float* outRight, int n) {
    int i = 0;
    // Four samples per pass: two loads and two stores, the channels paired per sample in
    // between.
    for (; i + 4 <= n; i += 4) {
        const __m128 l = _mm_loadu_ps(inLeft + i), r = _mm_loadu_ps(inRight + i);
        const __m128 lo = _mm_unpacklo_ps(l, r); // L0 R0 L1 R1
        const __m128 hi = _mm_unpackhi_ps(l, r); // L2 R2 L3 R3
        const __m128 y0 = simd::narrow(s.step(simd::widen(lo)));
        const __m128 y1 = simd::narrow(s.step(simd::widen(_mm_movehl_ps(lo, lo))));
        const __m128 y2 = simd::narrow(s.step(simd::widen(hi)));
        const __m128 y3 = simd::narrow(s.step(simd::widen(_mm_movehl_ps(hi, hi))));
        __m128 outL, outR;
        simd::deinterleave(_mm_movelh_ps(y0, y1), _mm_movelh_ps(y2, y3), outL, outR);
        _mm_storeu_ps(outLeft + i, outL);
        _mm_storeu_ps(outRight + i, outR);
    }
    for (; i < n; ++i) {
        const __m128 y = simd::narrow(s.step(simd::widen(simd::pairOf(inLeft[i], inRight[i]))));
        outLeft[i] = simd::lane0(y);
        outRight[i] = simd::lane1(y);
    }
}

} // namespace

bool Biquad::passOn(const float* inLeft, const float* inRight, int n) {
    if (!(passesThrough() && historySettled())) return false;
    // Numerator and denominator cancel (a peaking or shelving band at 0 dB) and nothing from
    // an earlier design still rings: the output is the input, so only the history moves on,
    // as the filter's own would.
    if (n == 1) {
        std::copy_n(x1_, 2, x2_);
        std::copy_n(y1_, 2, y2_);
    } else {
        x2_[0] = y2_[0] = inLeft[n - 2];
        x2_[1] = y2_[1] = inRight[n - 2];
    }
    x1_[0] = y1_[0] = inLeft[n - 1];
    x1_[1] = y1_[1] = inRight[n - 1];
    return true;
}

void Biquad::process(float* left, float* right, int n) {
    if (n <= 0 || passOn(left, right, n)) return;
    simd::BiquadLanes s = lanes();
    runSection(s, left, right, left, right, n);
    keep(s);
}

void Biquad::process(const float* inLeft, const float* inRight, float* outLeft, float* outRight,
                     int n) {
    if (n <= 0) return;
    if (passOn(inLeft, inRight, n)) {
        if (outLeft != inLeft) std::copy_n(inLeft, n, outLeft);
        if (outRight != inRight) std::copy_n(inRight, n, outRight);
        return;
    }
    simd::BiquadLanes s = lanes();
    runSection(s, inLeft, inRight, outLeft, outRight, n);
    keep(s);
}

void Biquad::clear() {
    x1_[0] = x1_[1] = x2_[0] = x2_[1] = 0.0;
    y1_[0] = y1_[1] = y2_[0] = y2_[1] = 0.0;
}

} // namespace kolva::fx
