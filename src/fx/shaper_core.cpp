#include "fx/shaper_core.h"

#include "engine/block_gates.h"
#include "engine/lookup_curve.h"
#include "fx/fx_dsp.h"
#include "fx/shaper_curves.h"

#include <algorithm>
#include <cmath>

namespace kolva::fx {
namespace {

constexpr int kDrivePoints = 32;
constexpr int kCrusherPoints = 32;
// Anti-imaging low-pass, designed against the block rate but run on the 8x stream: its
// corner lands at 8 x 1378.125 = 11025 Hz.
constexpr double kAntiImageHz = 1378.125;
constexpr double kAntiImageQ = 1.02597;
// Output lift of the filtered band at the block rate.
constexpr double kOutputHz = 20200.0;
constexpr double kOutputQ = 0.26073;
constexpr double kOutputGainDb = 5.769;

// Scratch roles (each at least blockSize floats).
constexpr int kWorkL = 0, kWorkR = 1, kCurve = 2, kDriveRaw = 3, kLevels = 4, kHold = 5;
static_assert(kHold < ShaperCore::kScratchUsed);

// The lane forms below compute, lane by lane, exactly what the scalar steps they are named
// after compute.

inline __m128 select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// Lanes 2 and 3 moved down to 0 and 1 (pshufd: no copy of the source needed).
inline __m128 upperPair(__m128 v) {
    return _mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(v), _MM_SHUFFLE(3, 2, 3, 2)));
}

// std::clamp(x, lo, hi), NaN passing through as it does there.
inline __m128 clampLanes(__m128 x, float lo, float hi) {
    return _mm_min_ps(_mm_set1_ps(hi), _mm_max_ps(_mm_set1_ps(lo), x));
}

// std::trunc: past 2^23 every float is whole (and too large for the integer conversion).
inline __m128 truncLanes(__m128 x) {
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.0f), x);
    const __m128 whole = _mm_cmpge_ps(magnitude, _mm_set1_ps(8388608.0f));
    return select(whole, x, _mm_cvtepi32_ps(_mm_cvttps_epi32(x)));
}

// wrapUnit.
inline __m128 wrapUnitLanes(__m128 x) {
    const __m128 one = _mm_set1_ps(1.0f);
    const __m128 negated = _mm_xor_ps(x, _mm_set1_ps(-0.0f));
    const __m128 above = _mm_sub_ps(x, truncLanes(x));
    const __m128 below = _mm_sub_ps(one, _mm_sub_ps(negated, truncLanes(negated)));
    return select(_mm_cmpge_ps(x, one), above,
                  select(_mm_cmplt_ps(x, _mm_setzero_ps()), below, x));
}

// quantize: int(levels * x * 2 + 0.5) >> 1, over levels, the argument held inside int range
// first and NaN read as silence.
inline __m128 quantizeLanes(__m128 x, __m128 levels) {
    constexpr float kLimit = 1073741824.0f; // 2^30
    __m128 v = _mm_add_ps(_mm_mul_ps(_mm_mul_ps(levels, x), _mm_set1_ps(2.0f)), _mm_set1_ps(0.5f));
    v = _mm_and_ps(v, _mm_cmpord_ps(v, v));
    v = _mm_min_ps(_mm_max_ps(v, _mm_set1_ps(-kLimit)), _mm_set1_ps(kLimit));
    const __m128i steps = _mm_srai_epi32(_mm_cvttps_epi32(v), 1);
    return _mm_div_ps(_mm_cvtepi32_ps(steps), levels);
}

// quantizeLanes on the eight steps of a sample. levels * x * 2 is worked out as x * (2 levels),
// the same float (doubling is exact); a NaN anywhere sends all four registers the slow way.
inline void quantizeSteps(__m128 (&v)[4], float levelsValue) {
    constexpr float kLimit = 1073741824.0f; // 2^30
    const __m128 levels = _mm_set1_ps(levelsValue);
    const __m128 twice = _mm_set1_ps(2.0f * levelsValue);
    const __m128 half = _mm_set1_ps(0.5f);
    __m128 a[4];
    for (int k = 0; k < 4; ++k) a[k] = _mm_add_ps(_mm_mul_ps(v[k], twice), half);
    const __m128 ordered = _mm_and_ps(_mm_cmpord_ps(a[0], a[1]), _mm_cmpord_ps(a[2], a[3]));
    if (_mm_movemask_ps(ordered) != 0xF) [[unlikely]] {
        for (__m128& s : v) s = quantizeLanes(s, levels);
        return;
    }
    for (int k = 0; k < 4; ++k) {
        const __m128 bounded =
            _mm_min_ps(_mm_max_ps(a[k], _mm_set1_ps(-kLimit)), _mm_set1_ps(kLimit));
        const __m128i steps = _mm_srai_epi32(_mm_cvttps_epi32(bounded), 1);
        v[k] = _mm_div_ps(_mm_cvtepi32_ps(steps), levels);
    }
}

// isBlockSilent, answered at once when one of the first samples alone passes the threshold:
// the running sum of |x| never shrinks, so the whole block's sum would pass it too.
inline bool silentBlock(const float* x, int frames) {
    for (int i = 0; i < std::min(frames, 8); ++i)
        if (std::fabs(x[i]) > 0.01f) return false;
    return isBlockSilent(x, frames);
}

// The crusher's hold in whole samples (a huge or NaN hold stays a defined integer).
inline int holdLength(float hold) { return static_cast<int>(std::min(hold, 1.0e6f)); }

// Shapes of the lanes, called as shape(x, c, d). kShapes: whether the drive controls (and
// split mode's add-back) take part at all.
struct CrusherOnly {
    static constexpr bool kShapes = false;
    __m128 operator()(__m128 x, __m128, __m128) const { return x; }
};

// A type with no shaping step: the samples pass, split mode still adds back.
struct Unshaped {
    static constexpr bool kShapes = true;
    __m128 operator()(__m128 x, __m128, __m128) const { return x; }
};

// simd::lookupCurve4 for lanes of which at least one lies inside the table, with the
// table's constants worked out once per block and the end mask (position >= last) given.
struct CurveLanes {
    const float* table;
    __m128 last;     // n - 1
    __m128 lastCell; // n - 1.5: indices stay below n - 1 so that i + 1 is inside the table
    __m128 lastPoint;
    CurveLanes(const float* t, int n)
        : table(t), last(_mm_set1_ps(static_cast<float>(n - 1))),
          lastCell(_mm_set1_ps(static_cast<float>(n) - 1.5f)), lastPoint(_mm_set1_ps(t[n - 1])) {}
    __m128 operator()(__m128 position, __m128 atEnd) const {
        // max(NaN, 0) is 0: NaN reads the first point.
        const __m128 p = _mm_max_ps(position, _mm_setzero_ps());
        const __m128i whole = _mm_cvttps_epi32(_mm_min_ps(p, lastCell));
        const __m128 frac = _mm_sub_ps(p, _mm_cvtepi32_ps(whole));
        alignas(16) unsigned at[4]; // never negative: no sign extension
        _mm_store_si128(reinterpret_cast<__m128i*>(at), whole);
        const auto neighbours = [this](unsigned i) {
            return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(table + i));
        };
        const __m128 low =
            _mm_castsi128_ps(_mm_unpacklo_epi64(neighbours(at[0]), neighbours(at[1])));
        const __m128 high =
            _mm_castsi128_ps(_mm_unpacklo_epi64(neighbours(at[2]), neighbours(at[3])));
        const __m128 a = _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
        const __m128 b = _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
        return select(atEnd, lastPoint, _mm_add_ps(a, _mm_mul_ps(_mm_sub_ps(b, a), frac)));
    }
};

// Types 0-5, 7, 8, 11-13: k = c * scale + offset; x -> curve(x * k + 0.5) * gain / (1 + d).
template <bool Wrap> struct TableLanes {
    static constexpr bool kShapes = true;
    CurveLanes lookup;
    __m128 scale, gainComp, offset;
    // The end points times gainComp, and the bits in which the two differ: the ends are
    // picked as first ^ (high & (first ^ last)).
    __m128 firstScaled, endsDiffer;
    TableLanes(const float* curve, int size, float scaleValue, float gain, float offsetValue)
        : lookup(curve, size), scale(_mm_set1_ps(scaleValue)), gainComp(_mm_set1_ps(gain)),
          offset(_mm_set1_ps(offsetValue)), firstScaled(_mm_set1_ps(curve[0] * gain)),
          endsDiffer(_mm_xor_ps(firstScaled, _mm_set1_ps(curve[size - 1] * gain))) {}
    // k of a sample, the same for all of its lanes.
    __m128 gain(__m128 c) const { return _mm_add_ps(_mm_mul_ps(c, scale), offset); }
    __m128 shaped(__m128 x, __m128 k, __m128 d) const {
        __m128 u = _mm_add_ps(_mm_mul_ps(x, k), _mm_set1_ps(0.5f));
        if constexpr (Wrap) u = wrapUnitLanes(u);
        const __m128 position = _mm_mul_ps(u, lookup.last);
        // Driven hard, every lane lies at or past an end of the curve (NaN reads the first
        // point): the end points then, without table reads.
        const __m128 high = _mm_cmpge_ps(position, lookup.last);
        const __m128 outside = _mm_or_ps(high, _mm_cmpnlt_ps(_mm_setzero_ps(), position));
        const __m128 y = _mm_movemask_ps(outside) == 0xF
                             ? _mm_xor_ps(firstScaled, _mm_and_ps(high, endsDiffer))
                             : _mm_mul_ps(lookup(position, high), gainComp);
        return _mm_mul_ps(y, d);
    }
    __m128 operator()(__m128 x, __m128 c, __m128 d) const { return shaped(x, gain(c), d); }
};

// Type 6: the positive half through the straight curve, the negative half through its own.
struct AsymmetricLanes {
    static constexpr bool kShapes = true;
    const float* positive;
    const float* negative;
    __m128 operator()(__m128 x, __m128 c, __m128) const {
        const __m128 last = _mm_set1_ps(static_cast<float>(kShaperCurvePoints - 1));
        const __m128 k = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(_mm_set1_ps(180.0f), c));
        const __m128 p = _mm_add_ps(_mm_mul_ps(clampLanes(x, 0.0f, 10.0f), k), _mm_set1_ps(0.5f));
        const __m128 q = _mm_add_ps(
            _mm_mul_ps(_mm_mul_ps(clampLanes(x, -10.0f, 0.0f), k), _mm_set1_ps(0.25f)),
            _mm_set1_ps(1.0f));
        return _mm_add_ps(simd::lookupCurve4(positive, kShaperCurvePoints, _mm_mul_ps(p, last)),
                          simd::lookupCurve4(negative, kShaperCurvePoints, _mm_mul_ps(q, last)));
    }
};

// Type 14: quiet signals keep unit gain; hard-driven ones settle at half scale.
struct HardClipLanes {
    static constexpr bool kShapes = true;
    __m128 operator()(__m128 x, __m128 c, __m128) const {
        const __m128 k = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(_mm_set1_ps(60.0f), c));
        const __m128 bound = _mm_max_ps(_mm_div_ps(_mm_set1_ps(1.0f), k), _mm_set1_ps(0.5f));
        return _mm_mul_ps(clampLanes(_mm_mul_ps(x, k), -1.0f, 1.0f), bound);
    }
};

} // namespace

ShaperCore::ShaperCore() {
    const ShaperCurves& c = shaperCurves();
    constexpr int n = kShaperCurvePoints;
    // curve, entries, scale, gainComp, wrap, offset
    types_[0] = {c.softA.data(), n, 60.0f, 0.4f, false, 1.0f};
    types_[1] = {c.warmB.data(), n, 150.0f, 0.4f, false, 1.0f};
    types_[2] = {c.hardC.data(), n, 150.0f, 0.4f, false, 1.0f};
    types_[3] = {c.linearD.data(), n, 500.0f, 0.42f, false, 1.0f};
    types_[4] = {c.tubeE.data(), n, 200.0f, 0.4f, false, 1.0f};
    types_[5] = {kStaircaseF, 32, 60.0f, 0.4f, false, 1.0f};
    types_[7] = {kTriangle, 5, 62.38f, 0.4f, true, 0.74f};
    types_[8] = {c.sine.data(), n, 79.6178f, 0.4f, true, 0.1592f};
    types_[11] = {kFoldG, 9, 79.6178f, 0.4f, true, 0.1592f};
    types_[12] = {kFoldH, 17, 79.6178f, 0.4f, true, 0.1592f};
    types_[13] = {c.doubleSine.data(), n, 10.6178f, 0.4f, true, 0.1592f};
}

void ShaperCore::clear() {
    lowPass_.clear();
    highPass_.clear();
    plainHighPass_.clear();
    antiImage_.clear();
    output_.clear();
    holdCounter_ = 0;
    held_[0] = held_[1] = 0.0f;
}

void ShaperCore::process(const Block& b, const float* inL, const float* inR, float* wetL,
                         float* wetR, int frames, const ScratchBuffers& scratch, float sampleRate) {
    if (frames <= 0) return;
    const bool crushOnly = b.type == kTypeFilterCrush || b.type == kTypeCrush;
    float* wl = scratch[kWorkL];
    float* wr = scratch[kWorkR];
    std::copy_n(inL, frames, wl);
    std::copy_n(inR, frames, wr);
    // The shaping types always take the band first; flt+dcm takes it before the crusher only
    // in the filtered mode (split mode filters after it, below).
    if (!crushOnly || (b.type == kTypeFilterCrush && b.filteredOnly))
        filterBand(b, wl, wr, frames, sampleRate, b.oversample);

    Run run{.inL = inL,
            .inR = inR,
            .bandL = wl,
            .bandR = wr,
            .c = scratch[kCurve],
            .d = scratch[kDriveRaw],
            .levels = scratch[kLevels],
            .hold = scratch[kHold],
            .outL = wetL,
            .outR = wetR,
            .frames = frames};
    const bool driveStill = crushOnly || holdsStill(b.drive, frames); // crushers ignore it
    const bool holdsOne = crusherControls(b, frames, scratch, sampleRate,
                                          b.oversample ? kOversample : 1, driveStill);
    run.steady = holdsOne && driveStill;
    if (!crushOnly) {
        float* c = scratch[kCurve];
        float* d = scratch[kDriveRaw];
        // d holds 1 / (1 + drive): the table types' drive compensation.
        const float top = kDrivePoints - 1;
        int i = 0;
        if (driveStill) {
            const int n = run.steady ? 1 : frames; // a steady run reads the first entries only
            std::fill_n(d, n, 1.0f / (1.0f + b.drive[0]));
            std::fill_n(c, n, lookupCurve(kShaperDrive, kDrivePoints, b.drive[0] * top));
            i = frames;
        }
        for (; i + 4 <= frames; i += 4) {
            const __m128 drive = _mm_loadu_ps(b.drive + i);
            const __m128 one = _mm_set1_ps(1.0f);
            _mm_storeu_ps(d + i, _mm_div_ps(one, _mm_add_ps(one, drive)));
            _mm_storeu_ps(c + i, simd::lookupCurve4(kShaperDrive, kDrivePoints,
                                                    _mm_mul_ps(drive, _mm_set1_ps(top))));
        }
        for (; i < frames; ++i) {
            d[i] = 1.0f / (1.0f + b.drive[i]);
            c[i] = lookupCurve(kShaperDrive, kDrivePoints, b.drive[i] * top);
        }
        run.split = !b.filteredOnly;
        // Silence is judged on the block as it came in, whatever the rate it is shaped at.
        run.keepL = !silentBlock(inL, frames);
        run.keepR = !silentBlock(inR, frames);
    }
    if (b.oversample)
        antiImage_.design(sampleRate, Biquad::kLowPass, kAntiImageHz, kAntiImageQ, 0.0);

    const auto path = [&](const auto& shape, bool zeroesSilence) {
        if (b.oversample)
            oversampled(shape, zeroesSilence, run);
        else
            plain(shape, zeroesSilence, run);
    };
    if (crushOnly)
        path(CrusherOnly{}, false);
    else
        withShape(b.type, path);

    if (b.oversample && b.filteredOnly) {
        output_.design(sampleRate, Biquad::kPeaking, kOutputHz, kOutputQ, kOutputGainDb);
        output_.process(wetL, wetR, frames);
    }
    if (b.type == kTypeFilterCrush && !b.filteredOnly)
        filterBand(b, wetL, wetR, frames, sampleRate, b.oversample);
}

void ShaperCore::filterBand(const Block& b, float* left, float* right, int frames,
                            float sampleRate, bool oversampled) {
    SvfFilter::processPair(lowPass_, oversampled ? highPass_ : plainHighPass_, left, right,
                           b.hiCut, b.lowCut, frames, sampleRate);
}

template <class Fn> void ShaperCore::withShape(int type, Fn&& run) const {
    const ShaperCurves& curves = shaperCurves();
    if (type == kTypeAsymmetric) {
        run(AsymmetricLanes{curves.linearD.data(), curves.asymNegative.data()}, false);
        return;
    }
    if (type == kTypeHardClip) {
        run(HardClipLanes{}, false);
        return;
    }
    if (type < 0 || type >= kTypes || types_[static_cast<std::size_t>(type)].curve == nullptr) {
        run(Unshaped{}, false); // no shaping step for this type
        return;
    }
    // A silent channel must stay exactly silent, even where a driven curve would lift its
    // residue into something audible.
    const TableShape& t = types_[static_cast<std::size_t>(type)];
    if (t.wrap)
        run(TableLanes<true>(t.curve, t.size, t.scale, t.gainComp, t.offset), true);
    else
        run(TableLanes<false>(t.curve, t.size, t.scale, t.gainComp, t.offset), true);
}

template <class Shape>
void ShaperCore::oversampled(const Shape& shape, bool zeroesSilence, const Run& r) {
    const bool masked = zeroesSilence && !(r.keepL && r.keepR);
    if (r.steady) {
        if (masked)
            oversampledRun<true, true>(shape, r);
        else
            oversampledRun<false, true>(shape, r);
    } else {
        if (masked)
            oversampledRun<true, false>(shape, r);
        else
            oversampledRun<false, false>(shape, r);
    }
}

template <bool Masked, bool Steady, class Shape>
void ShaperCore::oversampledRun(const Shape& shapeIn, const Run& runIn) {
    // Local copies: the compiler then knows that no output store changes them.
    const Shape shape = shapeIn;
    const Run r = runIn;
    // Lanes hold two steps of both channels: L R L R.
    const __m128 keep = _mm_castsi128_ps(_mm_setr_epi32(-static_cast<int>(r.keepL),
                                                        -static_cast<int>(r.keepR),
                                                        -static_cast<int>(r.keepL),
                                                        -static_cast<int>(r.keepR)));
    simd::BiquadLanes f = antiImage_.lanes();
    int counter = holdCounter_;
    float heldL = held_[0], heldR = held_[1];
    __m128 last = _mm_setzero_ps(); // the last step's pair, kept when every step is taken
    // Steady controls are read once, before anything is written, and their lanes (with split
    // mode's gain 1 + 2c) set up once.
    __m128 steadyC = _mm_setzero_ps(), steadyD = _mm_setzero_ps(), steadyG = _mm_setzero_ps();
    float steadyLevels = 0.0f;
    if constexpr (Steady) {
        if constexpr (Shape::kShapes) {
            steadyC = _mm_set1_ps(r.c[0]);
            steadyD = _mm_set1_ps(r.d[0]);
            steadyG = _mm_set1_ps(1.0f + 2.0f * r.c[0]);
        }
        steadyLevels = r.levels[0];
    }
    for (int i = 0; i < r.frames; ++i) {
        // The input repeats for eight steps, so after the first two the filter's feed-forward
        // sum repeats too.
        const __m128d x = simd::widen(simd::pairOf(r.bandL[i], r.bandR[i]));
        const __m128d y0 = f.feedback(f.forward(x, f.x1, f.x2));
        const __m128d y1 = f.feedback(f.forward(x, x, f.x1));
        const __m128d repeated = f.forward(x, x, x);
        const __m128d y2 = f.feedback(repeated);
        const __m128d y3 = f.feedback(repeated);
        const __m128d y4 = f.feedback(repeated);
        const __m128d y5 = f.feedback(repeated);
        const __m128d y6 = f.feedback(repeated);
        const __m128d y7 = f.feedback(repeated);
        f.x1 = f.x2 = x;
        __m128 v[4] = {_mm_movelh_ps(simd::narrow(y0), simd::narrow(y1)),
                       _mm_movelh_ps(simd::narrow(y2), simd::narrow(y3)),
                       _mm_movelh_ps(simd::narrow(y4), simd::narrow(y5)),
                       _mm_movelh_ps(simd::narrow(y6), simd::narrow(y7))};

        if constexpr (Shape::kShapes) {
            const __m128 c = Steady ? steadyC : _mm_set1_ps(r.c[i]);
            const __m128 d = Steady ? steadyD : _mm_set1_ps(r.d[i]);
            const auto shaped = [&](__m128 s) {
                if constexpr (Masked) return _mm_and_ps(shape(s, c, d), keep);
                return shape(s, c, d);
            };
            if (r.split) {
                // What the filters took away, against the held input.
                const __m128 pair = simd::pairOf(r.inL[i], r.inR[i]);
                const __m128 dry = _mm_movelh_ps(pair, pair);
                const __m128 g = Steady ? steadyG : _mm_set1_ps(1.0f + 2.0f * r.c[i]);
                for (__m128& s : v) {
                    const __m128 rest = _mm_sub_ps(dry, s);
                    s = _mm_add_ps(shaped(s), _mm_mul_ps(g, rest));
                }
            } else {
                for (__m128& s : v) s = shaped(s);
            }
        }

        // Crusher, then the mean of the eight steps (summed in order).
        quantizeSteps(v, Steady ? steadyLevels : r.levels[i]);
        if constexpr (Steady) {
            last = v[3];
        } else if (const int length = holdLength(r.hold[i]); length <= 1) {
            counter = 0; // every step takes a new value
            heldL = simd::lane2(v[3]);
            heldR = simd::lane3(v[3]);
        } else {
            alignas(16) float q[16];
            for (int k = 0; k < 4; ++k) _mm_store_ps(q + 4 * k, v[k]);
            for (int j = 0; j < 16; j += 2) {
                if (++counter >= length) {
                    counter = 0;
                    heldL = q[j];
                    heldR = q[j + 1];
                }
                q[j] = heldL;
                q[j + 1] = heldR;
            }
            for (int k = 0; k < 4; ++k) v[k] = _mm_load_ps(q + 4 * k);
        }
        // A crushed step is never -0, so the sum may start at the first step instead of 0.
        __m128 sum = _mm_add_ps(v[0], upperPair(v[0]));
        for (int k = 1; k < 4; ++k) sum = _mm_add_ps(_mm_add_ps(sum, v[k]), upperPair(v[k]));
        sum = _mm_mul_ps(sum, _mm_set1_ps(1.0f / kOversample));
        r.outL[i] = simd::lane0(sum);
        r.outR[i] = simd::lane1(sum);
    }
    if constexpr (Steady) {
        counter = 0;
        heldL = simd::lane2(last);
        heldR = simd::lane3(last);
    }
    antiImage_.keep(f);
    holdCounter_ = counter;
    held_[0] = heldL;
    held_[1] = heldR;
}

template <class Shape>
void ShaperCore::plain(const Shape& shapeIn, bool zeroesSilence, const Run& runIn) {
    // Local copies: the compiler then knows that no output store changes them.
    const Shape shape = shapeIn;
    const Run r = runIn;
    const float* dry[2] = {r.inL, r.inR};
    const __m128 keep[2] = {
        _mm_castsi128_ps(_mm_set1_epi32(-static_cast<int>(!zeroesSilence || r.keepL))),
        _mm_castsi128_ps(_mm_set1_epi32(-static_cast<int>(!zeroesSilence || r.keepR)))};
    // Four samples of each channel (`load` reads four floats of a buffer from the first of
    // them), shaped with the controls c and d, added back and crushed onto `levels`.
    const auto crushed = [&](const auto& load, __m128 c, __m128 d, __m128 levels,
                             __m128 (&q)[2]) {
        q[0] = load(r.bandL);
        q[1] = load(r.bandR);
        if constexpr (Shape::kShapes) {
            const __m128 g = _mm_add_ps(_mm_set1_ps(1.0f), _mm_mul_ps(_mm_set1_ps(2.0f), c));
            for (int ch = 0; ch < 2; ++ch) {
                const __m128 shaped = _mm_and_ps(shape(q[ch], c, d), keep[ch]);
                if (r.split)
                    q[ch] = _mm_add_ps(shaped, _mm_mul_ps(g, _mm_sub_ps(load(dry[ch]), q[ch])));
                else
                    q[ch] = shaped;
            }
        }
        for (__m128& s : q) s = quantizeLanes(s, levels);
    };
    // Reads at i, a short last run padded with silence.
    const auto reader = [&r](int i) {
        return [i, count = std::min(4, r.frames - i)](const float* x) {
            if (count == 4) return _mm_loadu_ps(x + i);
            alignas(16) float pad[4] = {0.0f, 0.0f, 0.0f, 0.0f};
            std::copy_n(x + i, count, pad);
            return _mm_load_ps(pad);
        };
    };

    if (r.steady) {
        // Steady controls (only their first entries are filled) and every sample taken: the
        // crushed samples are the output.
        __m128 c = _mm_setzero_ps(), d = _mm_setzero_ps();
        if constexpr (Shape::kShapes) {
            c = _mm_set1_ps(r.c[0]);
            d = _mm_set1_ps(r.d[0]);
        }
        const __m128 levels = _mm_set1_ps(r.levels[0]);
        __m128 q[2];
        int i = 0;
        for (; i + 4 <= r.frames; i += 4) {
            crushed([i](const float* x) { return _mm_loadu_ps(x + i); }, c, d, levels, q);
            _mm_storeu_ps(r.outL + i, q[0]);
            _mm_storeu_ps(r.outR + i, q[1]);
        }
        if (i < r.frames) {
            crushed(reader(i), c, d, levels, q);
            alignas(16) float lanes[2][4];
            _mm_store_ps(lanes[0], q[0]);
            _mm_store_ps(lanes[1], q[1]);
            std::copy_n(lanes[0], r.frames - i, r.outL + i);
            std::copy_n(lanes[1], r.frames - i, r.outR + i);
        }
        holdCounter_ = 0;
        held_[0] = r.outL[r.frames - 1];
        held_[1] = r.outR[r.frames - 1];
        return;
    }

    int counter = holdCounter_;
    float heldL = held_[0], heldR = held_[1];
    for (int i = 0; i < r.frames; i += 4) {
        const auto load = reader(i);
        __m128 lanes[2];
        crushed(load, load(r.c), load(r.d), load(r.levels), lanes);
        alignas(16) float q[2][4];
        for (int ch = 0; ch < 2; ++ch) _mm_store_ps(q[ch], lanes[ch]);
        for (int j = 0; j < std::min(4, r.frames - i); ++j) {
            if (++counter >= holdLength(r.hold[i + j])) {
                counter = 0;
                heldL = q[0][j];
                heldR = q[1][j];
            }
            r.outL[i + j] = heldL;
            r.outR[i + j] = heldR;
        }
    }
    holdCounter_ = counter;
    held_[0] = heldL;
    held_[1] = heldR;
}

bool ShaperCore::crusherControls(const Block& b, int frames, const ScratchBuffers& scratch,
                                 float sampleRate, int ratio, bool driveStill) const {
    float* levels = scratch[kLevels];
    float* hold = scratch[kHold];
    const float rateScale = 44100.0f / sampleRate;
    const auto r = static_cast<float>(ratio);
    const float top = kCrusherPoints - 1;
    int i = 0;
    if (holdsStill(b.bits, frames) && holdsStill(b.rate, frames)) {
        const float h = lookupCurve(kCrusherHold, kCrusherPoints, b.rate[0] * top);
        const float steps = h * rateScale * 220.0f * r + 1.0f;
        const bool one = steps < 2.0f; // holdLength(steps) <= 1, NaN taking the general way
        // A steady run reads the first entries only.
        const int n = one && driveStill ? 1 : frames;
        std::fill_n(levels, n, lookupCurve(kCrusherLevels, kCrusherPoints, b.bits[0] * top));
        std::fill_n(hold, n, steps);
        return one;
    }
    for (; i + 4 <= frames; i += 4) {
        const __m128 topLanes = _mm_set1_ps(top);
        _mm_storeu_ps(levels + i,
                      simd::lookupCurve4(kCrusherLevels, kCrusherPoints,
                                         _mm_mul_ps(_mm_loadu_ps(b.bits + i), topLanes)));
        const __m128 h = simd::lookupCurve4(kCrusherHold, kCrusherPoints,
                                            _mm_mul_ps(_mm_loadu_ps(b.rate + i), topLanes));
        const __m128 samples = _mm_mul_ps(
            _mm_mul_ps(_mm_mul_ps(h, _mm_set1_ps(rateScale)), _mm_set1_ps(220.0f)),
            _mm_set1_ps(r));
        _mm_storeu_ps(hold + i, _mm_add_ps(samples, _mm_set1_ps(1.0f)));
    }
    for (; i < frames; ++i) {
        levels[i] = lookupCurve(kCrusherLevels, kCrusherPoints, b.bits[i] * top);
        const float h = lookupCurve(kCrusherHold, kCrusherPoints, b.rate[i] * top);
        hold[i] = h * rateScale * 220.0f * r + 1.0f;
    }
    return false;
}

} // namespace kolva::fx
