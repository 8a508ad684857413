// Perfecto and Acido: the digital approximation of the four-pole transistor ladder (bilinear
// one-pole stages, global feedback from the last stage, a cubic soft-clip on that stage).
// Acido taps one stage per mode; Perfecto drives the core harder, cascades two cores for its
// band- and high-pass and adds make-up gain over the resonance.

#include "engine/filter_ladder.h"
#include "engine/filter_kernel.h"
#include "engine/filter_tables.h"
#include "engine/lookup_curve.h"

#include <memory>

namespace kolva::flt {
namespace {

constexpr int kCurvePoints = 32;

// Perfecto's resonance depth over the cutoff.
constexpr float kCurveR[kCurvePoints] = {
    1.3832f, 1.3796f, 1.375f,  1.3695f, 1.3623f, 1.3538f, 1.3439f, 1.3325f,
    1.3194f, 1.3046f, 1.2878f, 1.269f,  1.248f,  1.2248f, 1.1994f, 1.1718f,
    1.1421f, 1.1101f, 1.0768f, 1.0424f, 1.0083f, 0.9758f, 0.9466f, 0.9226f,
    0.9055f, 0.8962f, 0.895f,  0.9015f, 0.9153f, 0.9156f, 0.9114f, 0.9918f};
// Perfecto LP4 gain at full resonance (read at 0.85 x cutoff): the feedback costs the pass band
// most at low cutoffs.
constexpr float kCurveL[kCurvePoints] = {
    6.0f,    5.9904f, 5.9737f, 5.949f,  5.9154f, 5.8722f, 5.8185f, 5.7534f,
    5.6739f, 5.5807f, 5.473f,  5.348f,  5.2078f, 5.0494f, 4.8758f, 4.6857f,
    4.482f,  4.2656f, 4.0387f, 3.8033f, 3.5617f, 3.3154f, 3.0665f, 2.8162f,
    2.5657f, 2.316f,  2.0677f, 1.8215f, 1.5777f, 1.3369f, 1.0989f, 0.864f};
// Perfecto BP4 gain at full resonance.
constexpr float kCurveB[kCurvePoints] = {
    3.5f,    3.5113f, 3.522f,  3.5319f, 3.5409f, 3.5487f, 3.5549f, 3.5591f,
    3.5608f, 3.5595f, 3.5547f, 3.5455f, 3.5312f, 3.511f,  3.4838f, 3.4479f,
    3.4016f, 3.3445f, 3.2734f, 3.1872f, 3.0836f, 2.9611f, 2.8166f, 2.6508f,
    2.4602f, 2.2457f, 2.0082f, 1.7463f, 1.4632f, 1.1609f, 0.8395f, 0.504f};
// Acido's resonance depth over the cutoff; with its 0.955 it stays short of self-oscillation.
constexpr float kAcidoRes[kCurvePoints] = {
    0.794f,  0.8077f, 0.8214f, 0.8343f, 0.8472f, 0.8594f, 0.8714f, 0.8826f,
    0.8935f, 0.9037f, 0.9133f, 0.9224f, 0.9306f, 0.9379f, 0.9445f, 0.9501f,
    0.9547f, 0.9579f, 0.9597f, 0.9598f, 0.958f,  0.954f,  0.9476f, 0.9381f,
    0.9252f, 0.9091f, 0.8923f, 0.8811f, 0.8832f, 0.8995f, 0.9256f, 0.958f};

constexpr float kAcidoDepth = 0.955f;

// At a frequency coefficient of 1 every stage's pole sits on z = -1, so a Nyquist ripple never
// dies; just above, p passes 1 and the stages blow up (further up p falls and the cutoff folds
// back). The curve reaches 1 at 44.1 kHz and passes it at lower rates.
constexpr float kMaxFrequency = 0.99f;
constexpr float kClip = 1.414f;

struct Ladder {
    float y1 = 0.0f, y2 = 0.0f, y3 = 0.0f, y4 = 0.0f;
    float x1 = 0.0f, y1o = 0.0f, y2o = 0.0f, y3o = 0.0f; // previous inputs of each stage

    // One sample; returns the stage input after the feedback (the high-pass tap needs it).
    float step(float in, float p, float k, float r) {
        const float x = in - r * y4;
        y1 = (x + x1) * p - k * y1;
        y2 = (y1 + y1o) * p - k * y2;
        y3 = (y2 + y2o) * p - k * y3;
        const float v = std::clamp((y3 + y3o) * p - k * y4, -kClip, kClip);
        y4 = v - v * v * v * (1.0f / 6.0f);
        x1 = x;
        y1o = y1;
        y2o = y2;
        y3o = y3;
        return x;
    }
    float band() const { return y4 - y1; }

    void settle() {
        for (float* v : {&y1, &y2, &y3, &y4, &x1, &y1o, &y2o, &y3o})
            detail::settle(*v);
    }
};

// Per-sample coefficients, in the voice's scratch buffers.
struct Coeffs {
    float* p;
    float* k;
    float* r; // core feedback
    float* g; // output gain
};

// Output gain g = post x (c R + 1 - R) x (1 - taper R), c read from a make-up curve at
// `at` x cutoff, or 1 without one.
struct GainRule {
    const float* curve;
    float at;
    float post;
    float taper;
};

Coeffs ladderCoefficients(const FilterBlock& b, const float* depth, float depthScale,
                          const GainRule& gain) {
    const Coeffs c{b.scratch[0], b.scratch[1], b.scratch[2], b.scratch[3]};
    const FrequencyCurve& curve = ladderFrequencyCurve();
    const int n = b.frames;
    // Curve lookups first, then the arithmetic in branch-free loops that vectorise.
    for (int i = 0; i < n; ++i) {
        c.p[i] = readFrequencyCurve(curve, b.cutoff[i]);
        c.r[i] = lookupCurve(depth, kCurvePoints, b.cutoff[i] * (kCurvePoints - 1));
    }
    if (gain.curve != nullptr) {
        for (int i = 0; i < n; ++i)
            c.g[i] =
                lookupCurve(gain.curve, kCurvePoints, gain.at * b.cutoff[i] * (kCurvePoints - 1));
    } else {
        std::fill(c.g, c.g + n, 1.0f);
    }
    // Clamps in loops of their own: mixed into the arithmetic they keep it from vectorising.
    const float rs = detail::rateScale(b.sampleRate);
    for (int i = 0; i < n; ++i)
        c.p[i] = std::min(c.p[i] * rs, kMaxFrequency);
    for (int i = 0; i < n; ++i)
        c.k[i] = detail::unitClamp(b.resonance[i]);
    for (int i = 0; i < n; ++i) {
        const float f = c.p[i], res = c.k[i];
        const float p = f * (1.8f - 0.8f * f);
        // The feedback the loop needs grows as the cutoff falls: e^x by its Pade form.
        const float x = (1.0f - p) * 1.386249f;
        const float x2 = x * x;
        const float scale = (12.0f + 6.0f * x + x2) / (12.0f - 6.0f * x + x2);
        c.p[i] = p;
        c.k[i] = 2.0f * p - 1.0f;
        c.r[i] = c.r[i] * depthScale * res * scale;
        c.g[i] = gain.post * (c.g[i] * res + 1.0f - res) * (1.0f - gain.taper * res);
    }
    return c;
}

// ---------------------------------------------------------------------------------------------

enum PerfectoMode { kLP4, kBP4, kHP4, kPeak };

class Perfecto final : public FilterKernel {
public:
    void process(const FilterBlock& b) override {
        if (b.frames <= 0) return;
        if (b.mode < kLP4 || b.mode > kPeak) return detail::passThrough(b);
        // The 0.5 undoes the doubled input. HP4 takes its own 0.5 in place of BP4's 0.215 and
        // make-up curve: the chain's 0.6 x 4.3 then passes the band above the corner near unity
        // (+2 dB) instead of 11 dB down.
        static constexpr GainRule kRules[4] = {{kCurveL, 0.85f, 0.5f, 0.75f},
                                               {kCurveB, 1.0f, 0.215f, 0.75f},
                                               {nullptr, 1.0f, 0.5f, 0.75f},
                                               {nullptr, 1.0f, 0.5f, 0.75f}};
        const Coeffs c = ladderCoefficients(b, kCurveR, 1.0f, kRules[b.mode]);
        detail::runNoteSegments(
            b,
            [&](int begin, int end) {
                switch (b.mode) {
                case kLP4:
                    run<kLP4>(b, c, begin, end);
                    break;
                case kBP4:
                    run<kBP4>(b, c, begin, end);
                    break;
                case kHP4:
                    run<kHP4>(b, c, begin, end);
                    break;
                default:
                    run<kPeak>(b, c, begin, end);
                    break;
                }
            },
            [this] { reset(); });
        for (Ladder& l : first_)
            l.settle();
        for (Ladder& l : second_)
            l.settle();
    }

    void reset() override {
        first_ = {};
        second_ = {};
    }

private:
    // Both channels in one loop, so their dependency chains overlap; the cores are copied to
    // locals, as the output stores could otherwise alias them.
    template <int Mode> void run(const FilterBlock& b, const Coeffs& c, int begin, int end) {
        Ladder aL = first_[0], aR = first_[1], zL = second_[0], zR = second_[1];
        for (int i = begin; i < end; ++i) {
            const float p = c.p[i], k = c.k[i], r = c.r[i], g = c.g[i];
            b.outL[i] = tick<Mode>(detail::boundInput(b.inL[i]), aL, zL, p, k, r) * g;
            b.outR[i] = tick<Mode>(detail::boundInput(b.inR[i]), aR, zR, p, k, r) * g;
        }
        first_ = {aL, aR};
        second_ = {zL, zR};
    }

    template <int Mode>
    static float tick(float x, Ladder& a, Ladder& z, float p, float k, float r) {
        if constexpr (Mode == kLP4) {
            a.step(2.0f * x, p, k, r);
            return a.y4;
        } else if constexpr (Mode == kBP4) {
            // The first core has no feedback; the second, driven hot, carries the resonance.
            a.step(0.6f * x, p, k, 0.0f);
            z.step(4.3f * a.band(), p, k, r);
            return z.band();
        } else if constexpr (Mode == kHP4) {
            const float xa = a.step(0.6f * x, p, k, 0.0f);
            const float xz = z.step(4.3f * (xa - a.y4), p, k, r);
            return xz - z.y4;
        } else {
            a.step(2.0f * x, p, k, r);
            return 2.0f * x + a.band();
        }
    }

    std::array<Ladder, 2> first_{};  // per channel
    std::array<Ladder, 2> second_{}; // the cascaded modes' second core
};

// ---------------------------------------------------------------------------------------------

class Acido final : public FilterKernel {
public:
    void process(const FilterBlock& b) override {
        if (b.frames <= 0) return;
        if (b.mode < 0 || b.mode > 3) return detail::passThrough(b);
        // The feedback also costs level, so the output drops with the resonance.
        static constexpr GainRule kRule{nullptr, 1.0f, 1.0f, 0.3f};
        const Coeffs c = ladderCoefficients(b, kAcidoRes, kAcidoDepth, kRule);
        detail::runNoteSegments(
            b,
            [&](int begin, int end) {
                switch (b.mode) {
                case 0:
                    run<1>(b, c, begin, end);
                    break;
                case 1:
                    run<2>(b, c, begin, end);
                    break;
                case 2:
                    run<3>(b, c, begin, end);
                    break;
                default:
                    run<4>(b, c, begin, end);
                    break;
                }
            },
            [this] { reset(); });
        for (Ladder& l : core_)
            l.settle();
    }

    void reset() override { core_ = {}; }

private:
    template <int Poles> void run(const FilterBlock& b, const Coeffs& c, int begin, int end) {
        Ladder l = core_[0], r = core_[1];
        for (int i = begin; i < end; ++i) {
            l.step(detail::boundInput(b.inL[i]), c.p[i], c.k[i], c.r[i]);
            r.step(detail::boundInput(b.inR[i]), c.p[i], c.k[i], c.r[i]);
            b.outL[i] = tap<Poles>(l) * c.g[i];
            b.outR[i] = tap<Poles>(r) * c.g[i];
        }
        core_ = {l, r};
    }

    template <int Poles> static float tap(const Ladder& a) {
        return Poles == 1 ? a.y1 : Poles == 2 ? a.y2 : Poles == 3 ? a.y3 : a.y4;
    }

    std::array<Ladder, 2> core_{}; // per channel
};

} // namespace

std::unique_ptr<FilterKernel> makePerfecto() {
    return std::make_unique<Perfecto>();
}
std::unique_ptr<FilterKernel> makeAcido() {
    return std::make_unique<Acido>();
}

} // namespace kolva::flt
