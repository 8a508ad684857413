// Scorpio: a chain of one-pole stages whose first two stages close a feedback loop through
// their difference (s1 - s2), run in four sub-steps per sample on the same input. Red modes
// soft-clip the feedback and saturate the tap; Black modes clip the feedback one-sided.
//
// The loop (s1, s2 and the feedback K (s1 - s2)) has its poles on the unit circle exactly at
// K = 1 / (1 - g) + 1, so the per-stage amount K = k / (1 - g) + k puts self-oscillation at
// k = 1 whatever the cutoff. The later stages only filter what the loop passes on.

#include "engine/filter_kernel.h"
#include "engine/engine_value.h"
#include "engine/filter_tables.h"
#include "engine/lookup_curve.h"
#include "platform/denormals.h"

#include <algorithm>
#include <cmath>
#include <memory>

namespace kolva::flt {
namespace {

enum Mode { RedLP2, RedLP4, BlackLP2, BlackLP4, BlackHP4, BlackBP4 };

// Feedback base by cutoff, with the constant the resonance blends it from.
constexpr float kRed[32] = {4.9181f, 5.1436f, 5.3237f, 5.4557f, 5.5451f, 5.5959f, 5.6096f, 5.5943f,
                            5.5494f, 5.4842f, 5.3984f, 5.2995f, 5.1886f, 5.0707f, 4.9481f, 4.8236f,
                            4.6996f, 4.5781f, 4.4612f, 4.3502f, 4.246f,  4.1498f, 4.0625f, 3.9853f,
                            3.9185f, 3.8624f, 3.8172f, 3.7831f, 3.7603f, 3.7489f, 3.7488f, 3.76f};
constexpr float kBlack2[32] = {3.0037f, 3.4292f, 3.7958f, 4.0994f, 4.3461f, 4.5406f, 4.6835f,
                               4.7855f, 4.8442f, 4.8722f, 4.8677f, 4.8411f, 4.7926f, 4.7291f,
                               4.6536f, 4.5691f, 4.4794f, 4.3869f, 4.2941f, 4.203f,  4.1154f,
                               4.0327f, 3.9561f, 3.8873f, 3.827f,  3.7756f, 3.7338f, 3.702f,
                               3.6807f, 3.67f,   3.67f,   3.681f};
constexpr float kBlack[32] = {4.3583f, 4.5346f, 4.6781f, 4.7856f, 4.8622f, 4.9093f, 4.9292f,
                              4.9265f, 4.9018f, 4.861f,  4.8046f, 4.7376f, 4.6615f, 4.5793f,
                              4.4935f, 4.4059f, 4.3183f, 4.2323f, 4.1497f, 4.0713f, 3.998f,
                              3.9305f, 3.8696f, 3.8161f, 3.7705f, 3.7327f, 3.7031f, 3.6819f,
                              3.669f,  3.6646f, 3.6686f, 3.681f};
constexpr float kRedBase = 3.76f;
constexpr float kBlackBase = 3.681f;

// Resonance scale: Q(0) = 0, so no resonance means no feedback at all.
constexpr float kQ[32] = {0.0f,    0.0453f, 0.0773f, 0.1019f, 0.1212f, 0.1372f, 0.1503f, 0.1614f,
                          0.1708f, 0.1788f, 0.1856f, 0.1915f, 0.1967f, 0.2011f, 0.205f,  0.2085f,
                          0.2115f, 0.2143f, 0.217f,  0.2194f, 0.2218f, 0.2243f, 0.2268f, 0.2295f,
                          0.2325f, 0.2358f, 0.2396f, 0.244f,  0.2491f, 0.2553f, 0.2627f, 0.2715f};

// Red input gain: A by cutoff, weighted in by B of the resonance.
constexpr float kA[32] = {1.0f,    1.0003f, 1.0006f, 0.9995f, 0.9982f, 0.9952f, 0.9918f, 0.9868f,
                          0.9806f, 0.9732f, 0.9636f, 0.952f,  0.9383f, 0.9218f, 0.9018f, 0.8773f,
                          0.8473f, 0.8104f, 0.7622f, 0.6992f, 0.6136f, 0.5046f, 0.3976f, 0.3189f,
                          0.2654f, 0.2282f, 0.2017f, 0.1828f, 0.1694f, 0.16f,   0.1538f, 0.15f};
constexpr float kB[32] = {0.0f,    0.0002f, 0.0004f, 0.0007f, 0.001f,  0.0013f, 0.0017f, 0.0022f,
                          0.0028f, 0.0036f, 0.0046f, 0.0056f, 0.0071f, 0.0089f, 0.011f,  0.0137f,
                          0.0169f, 0.0208f, 0.0256f, 0.0314f, 0.0386f, 0.0476f, 0.0588f, 0.0729f,
                          0.0909f, 0.114f,  0.1451f, 0.1882f, 0.2508f, 0.3524f, 0.5473f, 1.0f};

// Fixed resonance the HP/BP modes blend in at the very top of the cutoff range.
constexpr float kE[128] = {
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0f,    0.0f,    0.0f,    0.0f,    0.0f,  0.0f,    0.0f, 0.0f, 0.0f,
    0.0f, 0.0f, 0.0f, 0.0f, 0.0019f, 0.0048f, 0.0105f, 0.0225f, 0.05f, 0.1245f, 1.0f};
constexpr float kFixedResonance = 0.62f;

// The Red modes' output saturation over -0.5..0.5 (slope about 2.7 around zero, +-1 at the ends).
constexpr float kSaturation[20] = {
    -1.0f,   -0.9826f, -0.941f, -0.8727f, -0.7758f, -0.6504f, -0.5f,   -0.3571f, -0.2143f, -0.0714f,
    0.0714f, 0.2143f,  0.3571f, 0.5f,     0.6504f,  0.7758f,  0.8727f, 0.941f,   0.9826f,  1.0f};

// The stage coefficient is held at the curve's top (its 44.1 kHz value) at lower rates: above
// it the one-poles ring and 1 / (1 - g) runs away.
constexpr float kMaxStage = 0.738f;
constexpr float kReferenceRate = 44100.0f;

inline float unit(float v) { return clampUnit(v); }

inline float rateOf(float sampleRate) {
    return sampleRate >= 22050.0f ? std::min(sampleRate, 192000.0f)
                                  : (sampleRate > 0.0f ? 22050.0f : kReferenceRate);
}

inline float saturate(float v) {
    return lookupCurve(kSaturation, 20, (v + 0.5f) * 19.0f);
}

inline float softClip(float v) {
    v = std::clamp(v, -1.414f, 1.414f);
    return v - v * v * v * (1.0f / 6.0f);
}

// Far above any real signal; keeps every state finite whatever arrives (NaN reads as 0).
inline float guard(float v) {
    constexpr float limit = 1.0e6f;
    return v >= -limit && v <= limit ? v : (v > 0.0f ? limit : (v < 0.0f ? -limit : 0.0f));
}

// A value that is subnormal-small, NaN or runaway restarts from rest.
inline void settle(float& v) {
    const float m = std::abs(v);
    if (!(m > 1.0e-20f && m < 1.0e18f)) v = 0.0f;
}

struct Chain {
    float s1 = 0.0f, s2 = 0.0f, s3 = 0.0f, s4 = 0.0f;

    // One sub-step of the four-stage Black structure on input u.
    void blackStep(float u, float g, float K) {
        const float f = std::max((s1 - s2) * K, -1.0f);
        s1 += (1.2f * u - s1 + f) * g;
        s2 += (s1 - s2) * g;
        s3 += (s2 - s3) * g;
        s4 += (s3 - s4) * g;
    }

    void settleAll() {
        settle(s1);
        settle(s2);
        settle(s3);
        settle(s4);
    }
};

struct Channel {
    Chain a; // the only chain, or BP4's first
    Chain b; // BP4's second
};

class Scorpio final : public FilterKernel {
public:
    Scorpio() : curve_(svfFrequencyCurve()) {}

    void process(const FilterBlock& b) override {
        if (b.frames <= 0) return;
        const platform::ScopedFlushDenormals ftz; // also when run outside the engine
        const int mode = std::clamp(b.mode, 0, 5);
        if (mode != mode_) {
            clearStages();
            mode_ = mode;
        }
        coefficients(b, mode);
        switch (mode) {
        case RedLP2:
            run<RedLP2>(b);
            break;
        case RedLP4:
            run<RedLP4>(b);
            break;
        case BlackLP2:
            run<BlackLP2>(b);
            break;
        case BlackLP4:
            run<BlackLP4>(b);
            break;
        case BlackHP4:
            run<BlackHP4>(b);
            break;
        default:
            run<BlackBP4>(b);
            break;
        }
        for (Channel& c : ch_) {
            c.a.settleAll();
            c.b.settleAll();
        }
    }

    void reset() override { clearStages(); }

private:
    void clearStages() { ch_[0] = ch_[1] = Channel{}; }

    // Per block into the scratch: [0] stage coefficient g, [1] feedback K, [2] Red input gain G
    // or BP4's first-chain feedback K2.
    void coefficients(const FilterBlock& b, int mode) {
        const int n = b.frames;
        float* g = b.scratch[0];
        float* K = b.scratch[1];
        float* aux = b.scratch[2];
        const bool red = mode == RedLP2 || mode == RedLP4;
        const float* T = red ? kRed : (mode == BlackLP2 ? kBlack2 : kBlack);
        const float base = red ? kRedBase : kBlackBase;

        for (int i = 0; i < n; ++i) {
            const float c = unit(b.cutoff[i]);
            float r = unit(b.resonance[i]);
            const float t = lookupCurve(T, 32, c * 31.0f);
            g[i] = lookupCurve(curve_.data(), kFrequencyPoints, c * (kFrequencyPoints - 1));
            if (red) {
                const float h = lookupCurve01(kB, r);
                aux[i] = lookupCurve01(kA, c) * h + (1.0f - h);
            } else if (mode == BlackHP4) {
                const float e = lookupCurve01(kE, c);
                r = (1.0f - e) * r + kFixedResonance * e;
            } else if (mode == BlackBP4) {
                const float r2 = kFixedResonance * lookupCurve01(kE, c);
                aux[i] = (t * r2 + (1.0f - r2) * base) * lookupCurve01(kQ, r2);
            }
            K[i] = (t * r + (1.0f - r) * base) * lookupCurve01(kQ, r);
        }

        const float scale = kReferenceRate / rateOf(b.sampleRate);
        for (int i = 0; i < n; ++i) {
            g[i] = std::min(g[i] * scale, kMaxStage);
            K[i] *= 1.0f / (1.0f - g[i]) + 1.0f;
        }
        if (mode == BlackBP4)
            for (int i = 0; i < n; ++i)
                aux[i] *= 1.0f / (1.0f - g[i]) + 1.0f;
    }

    // Both channels in one pass: their chains are independent, so the CPU overlaps them.
    template <int M> void run(const FilterBlock& b) {
        const float* g = b.scratch[0];
        const float* K = b.scratch[1];
        const float* aux = b.scratch[2];
        // Only a note on a silent voice starts the stages from rest.
        const float* retrig = b.voiceSilent ? b.retrig : nullptr;
        Channel l = ch_[0], r = ch_[1];
        for (int i = 0; i < b.frames; ++i) {
            if (retrig != nullptr && retrig[i] > 0.5f) l = r = Channel{};
            b.outL[i] = sample<M>(l, guard(b.inL[i]), g[i], K[i], aux[i]);
            b.outR[i] = sample<M>(r, guard(b.inR[i]), g[i], K[i], aux[i]);
        }
        ch_[0] = l;
        ch_[1] = r;
    }

    template <int M> static float sample(Channel& ch, float x, float g, float K, float aux) {
        Chain& a = ch.a;
        float acc = 0.0f;
        if constexpr (M == RedLP2 || M == RedLP4) {
            const float u = 1.2f * aux * x;
            for (int s = 0; s < 4; ++s) {
                const float f = softClip((a.s1 - a.s2) * K);
                a.s1 += (f + u - a.s1) * g;
                a.s2 += (a.s1 - a.s2) * g;
                if constexpr (M == RedLP4) {
                    a.s3 += (a.s2 - a.s3) * g;
                    a.s4 += (a.s3 - a.s4) * g;
                    acc += saturate(0.8f * a.s4);
                } else {
                    acc += saturate(0.8f * a.s2);
                }
            }
            return 0.095f * acc;
        } else if constexpr (M == BlackLP2) {
            for (int s = 0; s < 4; ++s) {
                const float f = std::max((a.s1 - a.s2) * K, -1.0f);
                a.s1 += (x - a.s1 + f) * g;
                a.s2 += (a.s1 - a.s2) * g;
                acc += a.s2;
            }
            return 0.25f * acc;
        } else if constexpr (M == BlackLP4) {
            for (int s = 0; s < 4; ++s) {
                a.blackStep(x, g, K);
                acc += a.s4;
            }
            return 0.21f * acc;
        } else if constexpr (M == BlackHP4) {
            for (int s = 0; s < 4; ++s) {
                a.blackStep(x, g, K);
                acc += x - 0.83f * a.s4;
            }
            return 0.23f * acc;
        } else { // BlackBP4: the high-pass chain (feedback K2) into a resonant low-pass chain
            for (int s = 0; s < 4; ++s) {
                a.blackStep(x, g, aux);
                acc += x - 0.83f * a.s4;
            }
            const float h = 1.2f * 0.21f * acc;
            Chain& c = ch.b;
            float lp = 0.0f;
            for (int s = 0; s < 4; ++s) {
                const float f = std::max((c.s1 - c.s2) * K, -1.0f);
                c.s1 += (h - c.s1 + f) * g;
                c.s2 += (c.s1 - c.s2) * g;
                c.s3 += (c.s2 - c.s3) * g;
                c.s4 += (c.s3 - c.s4) * g;
                lp += c.s4;
            }
            return 0.21f * lp;
        }
    }

    const FrequencyCurve& curve_;
    Channel ch_[2];
    int mode_ = -1;
};

} // namespace

std::unique_ptr<FilterKernel> makeScorpio() {
    return std::make_unique<Scorpio>();
}

} // namespace kolva::flt
