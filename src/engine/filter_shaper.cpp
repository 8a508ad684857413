// Shaper: drive (the resonance control), 4x polyphase upsampling, a static curve per sub-sample
// ("Saturate" or "Foldback"), the four sub-samples summed back to one, then a tone control: a
// one-pole high-pass into a one-pole low-pass. Below the middle the cutoff lowers the low-pass
// from 20 kHz, above it it raises the high-pass from 20 Hz.
//
// Our choices:
// - Upsampling: 64-tap Kaiser-windowed sinc (beta 8), cut at 0.9 x the input Nyquist, split
//   into 4 phases of 16 taps, each phase scaled to unit DC gain. Flat within 0.3 dB to 0.35 x
//   the rate, images above 0.6 x the rate 60 dB down; latency about 7.9 samples.
// - Tone corner curve: 120 points, 20 Hz x 1000^(p / 119) (20 Hz .. 20 kHz, about 6 % a point,
//   like the other filter curves).
// - Coefficient table: 1024 points over 0..0.5 x the rate of a = 1 - exp(-2 pi f), the one-pole
//   whose pole sits at the matched frequency.
// Summing the four sub-samples (a box-car decimator) puts nulls on every multiple of the rate,
// so what aliases close to 0 Hz is strongly cut; aliases landing near Nyquist much less.

#include "engine/engine_value.h"
#include "engine/filter_kernel.h"
#include "engine/lookup_curve.h"
#include "platform/denormals.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <numbers>

namespace kolva::flt {
namespace {

constexpr int kPhases = 4;
constexpr int kTaps = 16; // per phase
constexpr int kCurvePoints = 120;
constexpr int kCoefficientPoints = 1024;
constexpr double kLowestHz = 20.0;
constexpr double kHighestHz = 20000.0;
constexpr float kOutputScale = 0.0425f;
constexpr float kFoldFrequency = 3.846f; // sin(3.846 x) turns back at x = 0.41
constexpr float kInputGuard = 1000.0f;   // driven input, far above any fold or clip

inline float unit(float v) { return clampUnit(v); }

inline float rateOf(float sampleRate) {
    return sampleRate >= 22050.0f ? std::min(sampleRate, 192000.0f)
                                  : (sampleRate > 0.0f ? 22050.0f : 44100.0f);
}

double besselI0(double x) {
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 40; ++k) {
        const double h = x / (2.0 * k);
        term *= h * h;
        sum += term;
    }
    return sum;
}

struct Tables {
    // taps[m][p]: phase p, newest input last (m = kTaps - 1 weights the current sample); the
    // four phases side by side are one 4-wide multiply-add per input.
    alignas(16) float taps[kTaps][kPhases];
    float cornerHz[kCurvePoints];
    float coefficient[kCoefficientPoints];

    Tables() {
        constexpr double pi = std::numbers::pi;
        constexpr int n = kPhases * kTaps;
        constexpr double centre = (n - 1) / 2.0;
        constexpr double cut = 0.9, beta = 8.0;
        double proto[n];
        for (int t = 0; t < n; ++t) {
            const double u = (t - centre) / kPhases * cut;
            const double sinc = u == 0.0 ? 1.0 : std::sin(pi * u) / (pi * u);
            const double e = (t - centre) / centre;
            proto[t] =
                sinc * besselI0(beta * std::sqrt(std::max(0.0, 1.0 - e * e))) / besselI0(beta);
        }
        // Output sub-sample p of input n is sum_j proto[4 j + p] x[n - j].
        for (int p = 0; p < kPhases; ++p) {
            double sum = 0.0;
            for (int j = 0; j < kTaps; ++j)
                sum += proto[kPhases * j + p];
            for (int j = 0; j < kTaps; ++j)
                taps[kTaps - 1 - j][p] = static_cast<float>(proto[kPhases * j + p] / sum);
        }
        for (int i = 0; i < kCurvePoints; ++i)
            cornerHz[i] = static_cast<float>(
                kLowestHz * std::pow(kHighestHz / kLowestHz, i / double(kCurvePoints - 1)));
        for (int i = 0; i < kCoefficientPoints; ++i)
            coefficient[i] = static_cast<float>(
                1.0 - std::exp(-2.0 * pi * 0.5 * i / double(kCoefficientPoints - 1)));
    }

    float corner(float x) const {
        return lookupCurve(cornerHz, kCurvePoints, x * (kCurvePoints - 1));
    }
    // One-pole coefficient for a corner at `normalised` x the rate (held at 0.5).
    float onePole(float normalised) const {
        return lookupCurve(coefficient, kCoefficientPoints,
                           normalised * (2.0f * (kCoefficientPoints - 1)));
    }
};

const Tables& tables() {
    static const Tables t;
    return t;
}

// sin(a) for the fold, a >= 0: reduced to a quarter turn, then its Taylor series to a^11
// (error below 1e-7).
inline float foldSine(float a) {
    float t = a * static_cast<float>(0.5 / std::numbers::pi);
    t -= std::floor(t);          // 0..1 turns
    if (t > 0.5f) t -= 1.0f;     // -0.5..0.5
    if (t > 0.25f) t = 0.5f - t; // sin(pi - x) = sin(x)
    if (t < -0.25f) t = -0.5f - t;
    const float x = t * static_cast<float>(2.0 * std::numbers::pi);
    const float x2 = x * x;
    return x * (1.0f +
                x2 * (-1.0f / 6 +
                      x2 * (1.0f / 120 +
                            x2 * (-1.0f / 5040 + x2 * (1.0f / 362880 + x2 * (-1.0f / 39916800))))));
}

enum Mode { Saturate, Foldback };

template <int M> inline float shape(float x) {
    if constexpr (M == Saturate) {
        const float v = std::clamp(x, -1.0f, 1.0f);
        return 1.5f * v - 0.5f * v * v * v; // 1.5 (v - v^3 / 3): flat at +-1, no kink
    } else {
        return x > 0.0f ? foldSine(kFoldFrequency * x) : (x < -1.0f ? -1.0f : x);
    }
}

inline void settle(float& v) {
    const float m = std::abs(v);
    if (!(m > 1.0e-20f && m < 1.0e18f)) v = 0.0f;
}

// Flush-to-zero for the block: the tone states and quiet inputs would otherwise crawl through

struct Channel {
    // The last kTaps driven inputs, stored twice so that they are always contiguous.
    alignas(16) float history[2 * kTaps] = {};
    int write = 0;
    float hp = 0.0f; // the high-pass's low-passed part
    float lp = 0.0f;
};

class Shaper final : public FilterKernel {
public:
    Shaper() : t_(tables()) {}

    void process(const FilterBlock& b) override {
        if (b.frames <= 0) return;
        const platform::ScopedFlushDenormals ftz; // also when run outside the engine
        coefficients(b);
        if (b.mode == Foldback)
            run<Foldback>(b);
        else
            run<Saturate>(b);
        for (Channel& c : ch_) {
            settle(c.hp);
            settle(c.lp);
        }
    }

    void reset() override { ch_[0] = ch_[1] = Channel{}; }

private:
    // Per block into the scratch: [0] drive, [1] high-pass and [2] low-pass coefficients.
    void coefficients(const FilterBlock& b) {
        const int n = b.frames;
        float* drive = b.scratch[0];
        float* aHp = b.scratch[1];
        float* aLp = b.scratch[2];
        const float perHz = 1.0f / rateOf(b.sampleRate);
        const float lowest = t_.onePole(static_cast<float>(kLowestHz) * perHz);
        const float highest = t_.onePole(static_cast<float>(kHighestHz) * perHz);
        for (int i = 0; i < n; ++i) {
            const float c = unit(b.cutoff[i]);
            if (c > 0.5f) {
                aHp[i] = t_.onePole(t_.corner((c - 0.5f) * 2.0f) * perHz);
                aLp[i] = highest;
            } else {
                aHp[i] = lowest;
                aLp[i] = t_.onePole(t_.corner(2.0f * c) * perHz);
            }
        }
        const float span = b.mode == Foldback ? 20.0f : 40.0f;
        for (int i = 0; i < n; ++i)
            drive[i] = 5.0f + span * unit(b.resonance[i]);
    }

    // Both channels in one pass: their sums are independent, so the CPU overlaps them.
    template <int M> void run(const FilterBlock& b) {
        const float* drive = b.scratch[0];
        const float* aHp = b.scratch[1];
        const float* aLp = b.scratch[2];
        for (int i = 0; i < b.frames; ++i) {
            b.outL[i] = sample<M>(ch_[0], b.inL[i] * drive[i], aHp[i], aLp[i]);
            b.outR[i] = sample<M>(ch_[1], b.inR[i] * drive[i], aHp[i], aLp[i]);
        }
    }

    template <int M> float sample(Channel& c, float v, float aHp, float aLp) {
        if (!(std::abs(v) <= kInputGuard))
            v = v > 0.0f ? kInputGuard : (v < 0.0f ? -kInputGuard : 0.0f);
        c.history[c.write] = c.history[c.write + kTaps] = v;
        c.write = (c.write + 1) & (kTaps - 1);
        const float* h = c.history + c.write; // oldest .. newest
        float u[kPhases] = {};
        for (int m = 0; m < kTaps; ++m)
            for (int p = 0; p < kPhases; ++p)
                u[p] += t_.taps[m][p] * h[m];
        float sum = 0.0f;
        for (int p = 0; p < kPhases; ++p)
            sum += shape<M>(u[p]);
        const float s = kOutputScale * sum;
        c.hp += (s - c.hp) * aHp;
        c.lp += ((s - c.hp) - c.lp) * aLp;
        return c.lp;
    }

    const Tables& t_;
    Channel ch_[2];
};

} // namespace

std::unique_ptr<FilterKernel> makeShaper() {
    return std::make_unique<Shaper>();
}

} // namespace kolva::flt
