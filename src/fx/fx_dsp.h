#pragma once
// Building blocks the effects share: block-wide curve lookups and wraps, the dry/wet mix, the
// stereo state-variable filter and the stereo biquad. Audio thread only; nothing allocates.

#include "fx/fx_simd.h"
#include "fx/fx_tables.h" // holdsStill, Held

#include <cmath>
#include <cstdint>

namespace kolva::fx {

// Keeps the fractional part: x >= 1 becomes x - int(x), x < 0 becomes 1 - frac(-x). trunc
// keeps huge values defined where an integer cast would not be.
inline float wrapUnit(float x) {
    if (x >= 1.0f) return x - std::trunc(x);
    if (x < 0.0f) return 1.0f - (-x - std::trunc(-x));
    return x;
}
void wrapUnit(float* buffer, int n);
// io = io * (1 - mix) + wet * mix, per sample.
void mixDryWet(float* io, const float* wet, const float* mix, int n);

// Stereo Chamberlin state-variable filter run twice per sample with the same input. The
// cutoff control (0..1 per sample) is read through the 120-point cutoff curve and scaled from
// 44.1 kHz to the running rate.
class SvfFilter {
public:
    enum Tap { kLow = 0, kBand = 1, kHigh = 2, kNotch = 3 };

    SvfFilter(float q, Tap tap) : q_(q), tap_(tap) {}
    // Filters left and right in place; `cutoff` holds n control values.
    void process(float* left, float* right, const float* cutoff, int n, float sampleRate);
    // a, then b, over the same block (as a.process then b.process), in one pass.
    static void processPair(SvfFilter& a, SvfFilter& b, float* left, float* right,
                            const float* cutoffA, const float* cutoffB, int n, float sampleRate);
    void clear();

private:
    template <int Tap>
    void run(float* left, float* right, const float* cutoff, int n, float sampleRate);
    template <int TapA, int TapB>
    static void runPair(SvfFilter& a, SvfFilter& b, float* left, float* right,
                        const float* cutoffA, const float* cutoffB, int n, float sampleRate);

    float q_;
    Tap tap_;
    float low_[2] = {0, 0};
    float band_[2] = {0, 0};
};

// Stereo biquad, direct form I, coefficients designed in double precision from the Audio EQ
// Cookbook. A design is skipped when nothing it depends on changed. Samples in and out are
// float; the output history stays double, so the recursion has no float round trip on its
// critical path. Left and right run side by side in the two lanes of an SSE2 register.
class Biquad {
public:
    enum Type {
        kLowPass = 0, kHighPass, kBandPassPeakQ, kBandPass, kNotch, kAllPass, kPeaking,
        kLowShelf, kHighShelf
    };

    // `q` is the bandwidth in octaves when `bandwidthMode` is set.
    void design(float sampleRate, int type, double frequency, double q, double gainDb,
                bool bandwidthMode = false);
    void process(float* left, float* right, int n);
    // As process(), reading inLeft/inRight and writing outLeft/outRight (the same buffers
    // or apart), so a filter can take its input from another buffer without a copy.
    void process(const float* inLeft, const float* inRight, float* outLeft, float* outRight,
                 int n);
    // True when the design cancels to y = x (b = a, b0 = 1), as every peaking and shelving
    // design at exactly 0 dB does. process() then leaves the samples alone once the output
    // history matches the input history (an earlier design no longer rings).
    bool passesThrough() const;
    bool historySettled() const;
    // Both channels of one sample.
    void tick(float& left, float& right) {
        simd::BiquadLanes s = lanes();
        const __m128 y = simd::narrow(s.step(simd::widen(simd::pairOf(left, right))));
        keep(s);
        left = simd::lane0(y);
        right = simd::lane1(y);
    }
    void clear();
    // The coefficients and both channels' history in registers, for kernels that run the
    // section inside their own loop; keep() stores the history back.
    simd::BiquadLanes lanes() const {
        return {_mm_set1_pd(b0_),       _mm_set1_pd(b1_),       _mm_set1_pd(b2_),
                _mm_set1_pd(a1_),       _mm_set1_pd(a2_),       _mm_load_pd(x1_),
                _mm_load_pd(x2_),       _mm_load_pd(y1_),       _mm_load_pd(y2_)};
    }
    void keep(const simd::BiquadLanes& s) {
        _mm_store_pd(x1_, s.x1);
        _mm_store_pd(x2_, s.x2);
        _mm_store_pd(y1_, s.y1);
        _mm_store_pd(y2_, s.y2);
    }
    // Design inputs and coefficients, for tests.
    double b0() const { return b0_; }
    double b1() const { return b1_; }
    double b2() const { return b2_; }
    double a1() const { return a1_; }
    double a2() const { return a2_; }
    std::uint32_t designCount() const { return designs_; }

private:
    // process()'s shortcut: when the design passes the samples through and nothing rings,
    // moves the history on over inLeft/inRight and answers true.
    bool passOn(const float* inLeft, const float* inRight, int n);

    double b0_ = 1, b1_ = 0, b2_ = 0, a1_ = 0, a2_ = 0;
    // History per channel (index 0 left, 1 right). The inputs were floats; held as doubles
    // they multiply exactly as the floats would.
    alignas(16) double x1_[2] = {0, 0};
    alignas(16) double x2_[2] = {0, 0};
    alignas(16) double y1_[2] = {0, 0};
    alignas(16) double y2_[2] = {0, 0};
    float rate_ = -1.0f;
    int type_ = -1;
    double frequency_ = -1, q_ = -1, gain_ = -1;
    bool bandwidth_ = false;
    std::uint32_t designs_ = 0;
};

} // namespace kolva::fx
