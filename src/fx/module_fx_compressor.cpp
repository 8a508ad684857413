#include "fx/module_fx_compressor.h"

#include "engine/lookup_curve.h"
#include "fx/fx_simd.h"
#include "platform/denormals.h"

#include <algorithm>
#include <cmath>

namespace kolva {
namespace {

constexpr FxDecode kDecodes[1] = {FxDecode::kContinuous}; // amount

// Amount control -> g: how hard the stages work and how loud the bands come back.
constexpr float kAmountCurve[32] = {
    0.0f,    0.0027f, 0.0056f, 0.0087f, 0.012f,  0.0156f, 0.0197f, 0.0242f,
    0.0294f, 0.0352f, 0.0418f, 0.0493f, 0.0579f, 0.0677f, 0.0789f, 0.0918f,
    0.1064f, 0.1231f, 0.1422f, 0.1642f, 0.1895f, 0.2184f, 0.2517f, 0.2902f,
    0.3346f, 0.3866f, 0.4473f, 0.5188f, 0.6042f, 0.708f,  0.8367f, 1.0f};

using Constants = ModuleFxCompressor::StageConstants;

// Per band: {input gain, output gain, threshold, ratio scale} of the upward stage, then of the
// downward stage. The downward output gains restore the level the band filters and the
// recombination take away.
constexpr Constants kUpward[3] = {
    {2.455761, 1.0, 0.00912, 0.760192},  // low
    {2.455761, 1.0, 0.008128, 0.760192}, // mid
    {2.819701, 1.0, 0.02884, 0.760192},  // high
};
constexpr Constants kDownward[3] = {
    {1.0, 6.821032, 0.020417, 0.985008}, // low
    {1.0, 2.927525, 0.030549, 0.985008}, // mid
    {1.0, 3.06538, 0.016788, 1.0},       // high
};
// The stages leave out the products with these unit gains.
static_assert(kUpward[0].outputGain == 1.0 && kUpward[1].outputGain == 1.0 &&
              kUpward[2].outputGain == 1.0);
static_assert(kDownward[0].inputGain == 1.0 && kDownward[1].inputGain == 1.0 &&
              kDownward[2].inputGain == 1.0);
// Follower times in ms per band: {attack, release}, shared by both stages of the band.
constexpr double kTimesMs[3][2] = {{15.936, 70.5}, {7.304, 70.5}, {15.0, 60.0}};

constexpr double kLowSplitHz = 88.3;
constexpr double kHighSplitHz = 2500.0;
constexpr double kSplitBandwidth = 2.0; // octaves
constexpr double kSplitGainDb = 1.0;    // unused by low- and high-passes

// Scratch layout: each band's samples as frame pairs (left, right per frame, so a pair
// buffer holds half as many frames as a scratch buffer has floats), then g.
enum Scratch { kLowPairs, kMidPairs, kHighPairs, kCurve, kScratchCount };

// A frame pair (left, right) to and from the low lanes of a register.
inline __m128 loadPair(const float* p) {
    return _mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
}
inline void storePair(float* p, __m128 v) { _mm_storel_pi(reinterpret_cast<__m64*>(p), v); }
// Lanes 2-3 into lanes 0-1, and a double register's lanes swapped: pshufd leaves its source
// alone, where the float and double shuffles would first need a copy of it.
inline __m128 upperPair(__m128 v) {
    return _mm_castsi128_ps(_mm_shuffle_epi32(_mm_castps_si128(v), _MM_SHUFFLE(3, 2, 3, 2)));
}
inline __m128d swapped(__m128d v) {
    return _mm_castsi128_pd(_mm_shuffle_epi32(_mm_castpd_si128(v), _MM_SHUFFLE(1, 0, 3, 2)));
}

// A band-split section over m frames, from the block's two channels into frame pairs. Each
// sample takes the same steps as in Biquad::process (low- and high-passes never pass the
// samples through, so that shortcut never applies).
void sectionToPairs(fx::Biquad& f, const float* left, const float* right, float* pairs, int m) {
    using namespace fx::simd;
    BiquadLanes s = f.lanes();
    int i = 0;
    for (; i + 4 <= m; i += 4) {
        const __m128 l = _mm_loadu_ps(left + i), r = _mm_loadu_ps(right + i);
        const __m128 lo = _mm_unpacklo_ps(l, r); // L0 R0 L1 R1
        const __m128 hi = _mm_unpackhi_ps(l, r); // L2 R2 L3 R3
        const __m128 y0 = narrow(s.step(widen(lo)));
        const __m128 y1 = narrow(s.step(widen(_mm_movehl_ps(lo, lo))));
        const __m128 y2 = narrow(s.step(widen(hi)));
        const __m128 y3 = narrow(s.step(widen(_mm_movehl_ps(hi, hi))));
        _mm_storeu_ps(pairs + 2 * i, _mm_movelh_ps(y0, y1));
        _mm_storeu_ps(pairs + 2 * i + 4, _mm_movelh_ps(y2, y3));
    }
    for (; i < m; ++i) storePair(pairs + 2 * i, narrow(s.step(widen(pairOf(left[i], right[i])))));
    f.keep(s);
}

// A band-split section over m frame pairs, in place.
void sectionOnPairs(fx::Biquad& f, float* pairs, int m) {
    using namespace fx::simd;
    BiquadLanes s = f.lanes();
    int i = 0;
    for (; i + 4 <= m; i += 4) {
        const __m128 a = _mm_loadu_ps(pairs + 2 * i);     // L0 R0 L1 R1
        const __m128 b = _mm_loadu_ps(pairs + 2 * i + 4); // L2 R2 L3 R3
        const __m128 y0 = narrow(s.step(widen(a)));
        const __m128 y1 = narrow(s.step(widen(_mm_movehl_ps(a, a))));
        const __m128 y2 = narrow(s.step(widen(b)));
        const __m128 y3 = narrow(s.step(widen(_mm_movehl_ps(b, b))));
        _mm_storeu_ps(pairs + 2 * i, _mm_movelh_ps(y0, y1));
        _mm_storeu_ps(pairs + 2 * i + 4, _mm_movelh_ps(y2, y3));
    }
    for (; i + 2 <= m; i += 2) {
        const __m128 x = _mm_loadu_ps(pairs + 2 * i);
        const __m128 y0 = narrow(s.step(widen(x)));
        const __m128 y1 = narrow(s.step(widen(_mm_movehl_ps(x, x))));
        _mm_storeu_ps(pairs + 2 * i, _mm_movelh_ps(y0, y1));
    }
    if (i < m) storePair(pairs + 2 * i, narrow(s.step(widen(loadPair(pairs + 2 * i)))));
    f.keep(s);
}

// The stages of two bands side by side, one band per double lane (the high band's registers
// carry it twice: its left and right channels side by side, each lane with the same
// followers). Each lane computes what the per-band scalar stage computes, in the same order.
struct StageLanes {
    __m128d inputGain, outputGain, threshold, ratioScale;
    __m128d attack, keepAttack, release, keepRelease; // keep = 1 - coefficient
    __m128d average, envelope, smooth;

    StageLanes(const Constants& c0, const Constants& c1, const ModuleFxCompressor::Stage& s0,
               const ModuleFxCompressor::Stage& s1)
        : inputGain(_mm_setr_pd(c0.inputGain, c1.inputGain)),
          outputGain(_mm_setr_pd(c0.outputGain, c1.outputGain)),
          threshold(_mm_setr_pd(c0.threshold, c1.threshold)),
          ratioScale(_mm_setr_pd(c0.ratioScale, c1.ratioScale)),
          attack(_mm_setr_pd(s0.attack, s1.attack)),
          keepAttack(_mm_setr_pd(1.0 - s0.attack, 1.0 - s1.attack)),
          release(_mm_setr_pd(s0.release, s1.release)),
          keepRelease(_mm_setr_pd(1.0 - s0.release, 1.0 - s1.release)),
          average(_mm_setr_pd(s0.average, s1.average)),
          envelope(_mm_setr_pd(s0.envelope, s1.envelope)),
          smooth(_mm_setr_pd(s0.smooth, s1.smooth)) {}

    void store(ModuleFxCompressor::Stage& s0, ModuleFxCompressor::Stage& s1) const {
        alignas(16) double v[3][2];
        _mm_store_pd(v[0], average);
        _mm_store_pd(v[1], envelope);
        _mm_store_pd(v[2], smooth);
        s0.average = v[0][0], s0.envelope = v[1][0], s0.smooth = v[2][0];
        s1.average = v[0][1], s1.envelope = v[1][1], s1.smooth = v[2][1];
    }

    // The constants the stages use, made once per block rather than once per sample.
    struct Shared {
        __m128d one = _mm_set1_pd(1.0), half = _mm_set1_pd(0.5);
        // |x| as x & magnitude: the and takes its operands either way round, so the
        // mask needs no copy.
        __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffff));
        __m128d nearlyOne = _mm_set1_pd(0.97), averaging = _mm_set1_pd(0.01);
    };

    static __m128d select(__m128d mask, __m128d a, __m128d b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    }
    // The amount's share of a gain: k = g x ratio scale and (1 - k) threshold. Made per
    // sample, or once per block when g holds still.
    struct Amount {
        __m128d k, rest;
    };
    Amount amount(const Shared& c, __m128d g) const {
        const __m128d k = _mm_mul_pd(g, ratioScale);
        return {k, _mm_mul_pd(_mm_sub_pd(c.one, k), threshold)};
    }
    // threshold / ((1 - k) threshold + k level)
    __m128d pull(const Amount& a, __m128d level) const {
        return _mm_div_pd(threshold, _mm_add_pd(a.rest, _mm_mul_pd(a.k, level)));
    }

    // Lifts a band while its envelope sits under the threshold (at most by 1 / (1 - k)). The
    // gain follows the peak envelope so quiet onsets come up at once; nothing reads a
    // smoothed level here, so this stage keeps none. In and out: one float sample per lane
    // (left, right). Per lane:
    //   l, r = left, right x input gain;  p = |(l + r) 0.5|
    //   env = p > env ? p : (1 - release) p + release env
    //   gain = env < threshold ? threshold / ((1 - k) threshold + k env) : 1
    //   left, right = l, r x gain (the output gain is 1)
    void upward(const Shared& c, __m128& left, __m128& right, const Amount& a) {
        const __m128d l = _mm_mul_pd(_mm_cvtps_pd(left), inputGain);
        const __m128d r = _mm_mul_pd(_mm_cvtps_pd(right), inputGain);
        const __m128d p = _mm_and_pd(_mm_mul_pd(_mm_add_pd(l, r), c.half), c.magnitude);
        envelope = select(_mm_cmpgt_pd(p, envelope), p,
                          _mm_add_pd(_mm_mul_pd(keepRelease, p), _mm_mul_pd(release, envelope)));
        // Above the threshold (loud material, both lanes) the gain is 1: no division and no
        // product (x 1 changes no bit).
        const __m128d below = _mm_cmplt_pd(envelope, threshold);
        if (_mm_movemask_pd(below) == 0) {
            left = _mm_cvtpd_ps(l);
            right = _mm_cvtpd_ps(r);
            return;
        }
        const __m128d gain = select(below, pull(a, envelope), c.one);
        left = _mm_cvtpd_ps(_mm_mul_pd(l, gain));
        right = _mm_cvtpd_ps(_mm_mul_pd(r, gain));
    }

    // Pulls a band back while its smoothed level sits over the threshold. Per lane, as upward()
    // but with a running average in front of the envelope and the gain decided on `smooth`:
    //   avg += (|(l + r) 0.97| - avg) 0.01;  env = avg > env ? avg : (1 - release) avg + ...
    //   gain = smooth > threshold ? threshold / ((1 - k) threshold + k smooth) : 1
    // (the input gain is 1).
    void downward(const Shared& c, __m128& left, __m128& right, const Amount& a) {
        const __m128d l = _mm_cvtps_pd(left);
        const __m128d r = _mm_cvtps_pd(right);
        const __m128d level =
            _mm_and_pd(_mm_mul_pd(_mm_add_pd(l, r), c.nearlyOne), c.magnitude);
        average = _mm_add_pd(average, _mm_mul_pd(_mm_sub_pd(level, average), c.averaging));
        envelope =
            select(_mm_cmpgt_pd(average, envelope), average,
                   _mm_add_pd(_mm_mul_pd(keepRelease, average), _mm_mul_pd(release, envelope)));
        smooth = _mm_add_pd(_mm_mul_pd(keepAttack, envelope), _mm_mul_pd(attack, smooth));
        const __m128d gain = select(_mm_cmpgt_pd(smooth, threshold), pull(a, smooth), c.one);
        const __m128d f = _mm_mul_pd(outputGain, gain);
        left = _mm_cvtpd_ps(_mm_mul_pd(l, f));
        right = _mm_cvtpd_ps(_mm_mul_pd(r, f));
    }

    // upward() then downward() for one band whose left and right share a register (lane 0
    // left, lane 1 right); both lanes then carry the band's followers. r + l is the same sum
    // as l + r, so each lane computes what the per-band stages compute.
    __m128 bothStereo(const Shared& c, __m128 in, const Amount& upAmount, StageLanes& down,
                      const Amount& downAmount) {
        const __m128d lr = _mm_mul_pd(_mm_cvtps_pd(in), inputGain);
        const __m128d p =
            _mm_and_pd(_mm_mul_pd(_mm_add_pd(lr, swapped(lr)), c.half), c.magnitude);
        envelope = select(_mm_cmpgt_pd(p, envelope), p,
                          _mm_add_pd(_mm_mul_pd(keepRelease, p), _mm_mul_pd(release, envelope)));
        const __m128d below = _mm_cmplt_pd(envelope, threshold);
        const __m128d lifted = _mm_movemask_pd(below) == 0
                                   ? lr
                                   : _mm_mul_pd(lr, select(below, pull(upAmount, envelope), c.one));
        const __m128d x = _mm_cvtps_pd(_mm_cvtpd_ps(lifted));
        const __m128d level =
            _mm_and_pd(_mm_mul_pd(_mm_add_pd(x, swapped(x)), c.nearlyOne), c.magnitude);
        down.average =
            _mm_add_pd(down.average, _mm_mul_pd(_mm_sub_pd(level, down.average), c.averaging));
        down.envelope = select(_mm_cmpgt_pd(down.average, down.envelope), down.average,
                               _mm_add_pd(_mm_mul_pd(down.keepRelease, down.average),
                                          _mm_mul_pd(down.release, down.envelope)));
        down.smooth = _mm_add_pd(_mm_mul_pd(down.keepAttack, down.envelope),
                                 _mm_mul_pd(down.attack, down.smooth));
        const __m128d pulled = select(_mm_cmpgt_pd(down.smooth, down.threshold),
                                      down.pull(downAmount, down.smooth), c.one);
        return _mm_cvtpd_ps(_mm_mul_pd(x, _mm_mul_pd(down.outputGain, pulled)));
    }
};

// The stages of all three bands over m frames, then the recombination: out = (low + mid +
// high) x (0.25 + 0.5 g), per channel. The low and mid bands run side by side (lane 0 low,
// lane 1 mid) and are added first, as the recombination adds them.
template <bool ConstantAmount>
void runBands(StageLanes& up01Stage, StageLanes& down01Stage, StageLanes& up2Stage,
              StageLanes& down2Stage, const float* lowPairs, const float* midPairs,
              const float* highPairs, float* left, float* right, const float* g, int n) {
    StageLanes up01 = up01Stage, down01 = down01Stage, up2 = up2Stage, down2 = down2Stage;
    const StageLanes::Shared c;
    const __m128d g0 = _mm_set1_pd(g[0]);
    StageLanes::Amount up01Amount = up01.amount(c, g0), down01Amount = down01.amount(c, g0);
    StageLanes::Amount up2Amount = up2.amount(c, g0), down2Amount = down2.amount(c, g0);
    __m128 level = _mm_set1_ps(0.25f + 0.5f * g[0]);
    for (int i = 0; i < n; ++i) {
        if constexpr (!ConstantAmount) {
            const __m128d gi = _mm_set1_pd(g[i]);
            up01Amount = up01.amount(c, gi);
            down01Amount = down01.amount(c, gi);
            up2Amount = up2.amount(c, gi);
            down2Amount = down2.amount(c, gi);
            level = _mm_set1_ps(0.25f + 0.5f * g[i]);
        }
        __m128 l = _mm_unpacklo_ps(loadPair(lowPairs + 2 * i), loadPair(midPairs + 2 * i));
        __m128 r = upperPair(l);
        up01.upward(c, l, r, up01Amount);
        down01.downward(c, l, r, down01Amount);
        const __m128 bands = _mm_unpacklo_ps(l, r);
        const __m128 sum = _mm_add_ps(bands, upperPair(bands));
        const __m128 high = up2.bothStereo(c, loadPair(highPairs + 2 * i), up2Amount, down2,
                                           down2Amount);
        const __m128 out = _mm_mul_ps(_mm_add_ps(sum, high), level);
        left[i] = fx::simd::lane0(out);
        right[i] = fx::simd::lane1(out);
    }
    up01Stage = up01;
    down01Stage = down01;
    up2Stage = up2;
    down2Stage = down2;
}

double timeCoefficient(float sampleRate, double ms) {
    return std::exp(-1.0 / (static_cast<double>(sampleRate) * ms * 0.001));
}

} // namespace

void ModuleFxCompressor::Stage::prepare(float sampleRate, double attackTimeMs,
                                        double releaseTimeMs) {
    if (sampleRate == rate && attackTimeMs == attackMs && releaseTimeMs == releaseMs) return;
    rate = sampleRate;
    attackMs = attackTimeMs;
    releaseMs = releaseTimeMs;
    instant = timeCoefficient(sampleRate, 0.001);
    attack = timeCoefficient(sampleRate, attackTimeMs);
    release = timeCoefficient(sampleRate, releaseTimeMs);
}

ModuleFxCompressor::ModuleFxCompressor() : FxModule(kDecodes, 1, -1, -1) {
    scratch_.configure(kScratchCount, 1);
}

void ModuleFxCompressor::process(int frames, float* left, float* right) {
    // No modulation check: an amount of 0 switches the compressor off outright.
    if (frames <= 0 || inactive() || params_.smooth[0].target() == 0.0f) return;
    const platform::ScopedFlushDenormals flushDenormals;
    const int capacity = std::min(blockCapacity(), scratch_.capacity());
    if (capacity <= 0) return;
    for (int done = 0; done < frames;) {
        const int n = std::min(capacity, frames - done);
        processChunk(n, left + done, right + done);
        done += n;
    }
}

void ModuleFxCompressor::processChunk(int n, float* left, float* right) {
    const float rate = sampleRate_;
    const float* amount = modulated(0, n);
    float* g = scratch_[kCurve];
    const bool still = fx::holdsStill(amount, n);
    if (still)
        g[0] = lookupCurve01(kAmountCurve, amount[0]); // the stages then read g[0] only
    else
        for (int i = 0; i < n; ++i) g[i] = lookupCurve01(kAmountCurve, amount[i]);

    for (auto& f : lowSplit_)
        f.design(rate, fx::Biquad::kLowPass, kLowSplitHz, kSplitBandwidth, kSplitGainDb, true);
    for (auto& f : highSplit_)
        f.design(rate, fx::Biquad::kHighPass, kHighSplitHz, kSplitBandwidth, kSplitGainDb, true);
    midSplit_[0].design(rate, fx::Biquad::kHighPass, kLowSplitHz, kSplitBandwidth, kSplitGainDb,
                        true);
    midSplit_[1].design(rate, fx::Biquad::kHighPass, kLowSplitHz, kSplitBandwidth, kSplitGainDb,
                        true);
    midSplit_[2].design(rate, fx::Biquad::kLowPass, kHighSplitHz, kSplitBandwidth, kSplitGainDb,
                        true);
    midSplit_[3].design(rate, fx::Biquad::kLowPass, kHighSplitHz, kSplitBandwidth, kSplitGainDb,
                        true);

    for (int b = 0; b < kBands; ++b) {
        upward_[b].prepare(rate, kTimesMs[b][0], kTimesMs[b][1]);
        downward_[b].prepare(rate, kTimesMs[b][0], kTimesMs[b][1]);
    }
    StageLanes up01(kUpward[0], kUpward[1], upward_[0], upward_[1]);
    StageLanes down01(kDownward[0], kDownward[1], downward_[0], downward_[1]);
    StageLanes up2(kUpward[2], kUpward[2], upward_[2], upward_[2]);
    StageLanes down2(kDownward[2], kDownward[2], downward_[2], downward_[2]);

    // The pair buffers take half a scratch buffer's frames at a time; filters and followers
    // run per sample, so the pieces give what one pass would. A scratch of one float leaves
    // the single frame to these.
    alignas(16) float single[kBands][2];
    const bool roomy = scratch_.capacity() >= 2;
    float* pairs[kBands] = {roomy ? scratch_[kLowPairs] : single[0],
                            roomy ? scratch_[kMidPairs] : single[1],
                            roomy ? scratch_[kHighPairs] : single[2]};
    const int piece = std::max(scratch_.capacity() / 2, 1);
    for (int at = 0; at < n; at += piece) {
        const int m = std::min(piece, n - at);
        float* l = left + at;
        float* r = right + at;
        // Each band's first filter reads the block itself, so the bands need no copies of it.
        sectionToPairs(lowSplit_[0], l, r, pairs[0], m);
        sectionOnPairs(lowSplit_[1], pairs[0], m);
        sectionToPairs(midSplit_[0], l, r, pairs[1], m);
        for (int k = 1; k < 4; ++k) sectionOnPairs(midSplit_[k], pairs[1], m);
        sectionToPairs(highSplit_[0], l, r, pairs[2], m);
        sectionOnPairs(highSplit_[1], pairs[2], m);

        // Each band runs its upward stage, then its downward stage; the bands come back
        // together at 0.25 + 0.5 g.
        if (still)
            runBands<true>(up01, down01, up2, down2, pairs[0], pairs[1], pairs[2], l, r, g, m);
        else
            runBands<false>(up01, down01, up2, down2, pairs[0], pairs[1], pairs[2], l, r,
                            g + at, m);
    }
    up01.store(upward_[0], upward_[1]);
    down01.store(downward_[0], downward_[1]);
    Stage spare; // the high band's right lane, which holds the same followers
    up2.store(upward_[2], spare);
    down2.store(downward_[2], spare);
}

void ModuleFxCompressor::recover() {
    for (auto& f : lowSplit_) f.clear();
    for (auto& f : midSplit_) f.clear();
    for (auto& f : highSplit_) f.clear();
    for (auto& s : upward_) s.clear();
    for (auto& s : downward_) s.clear();
}

} // namespace kolva
