// Infecto: the Chamberlin state-variable filter, run four times per sample on the held input
// and averaged, which moves its frequency warping and its stability limit far above the audio
// band. One structure gives all four modes as taps.

#include "engine/filter_kernel.h"
#include "engine/filter_ladder.h"
#include "engine/filter_tables.h"
#include "engine/lookup_curve.h"

#include <memory>

namespace kolva::flt {
namespace {

constexpr int kCurvePoints = 32;

// The damping curve: how far the resonance control's floor sits above zero over the cutoff. It
// lowers q, so with the control at 0 there is next to no peak at low cutoffs and a clear one at
// the top.
constexpr float kDamping[kCurvePoints] = {
    0.008f,  0.0146f, 0.0211f, 0.0274f, 0.0335f, 0.0395f, 0.0454f, 0.0513f,
    0.0571f, 0.063f,  0.0689f, 0.0749f, 0.0812f, 0.0878f, 0.0948f, 0.1024f,
    0.1106f, 0.1197f, 0.1298f, 0.1413f, 0.1545f, 0.1699f, 0.1882f, 0.2098f,
    0.236f,  0.2681f, 0.3086f, 0.3603f, 0.4285f, 0.5233f, 0.6655f, 0.918f};

// The curve tops out at 0.738 at 44.1 kHz but doubles at 22.05 kHz. From f = 0.8 the corner is
// above Nyquist at any rate, so it is held there, well inside the recursion's stability limit
// (f^2 + 2 f q < 4, which with q up to 1.85 holds to f = 0.87).
constexpr float kMaxFrequency = 0.8f;
constexpr int kSubSteps = 4;

enum Mode { kLP2, kBP2, kHP2, kNotch };

struct Svf {
    float low = 0.0f;
    float band = 0.0f;
};

class Infecto final : public FilterKernel {
public:
    void process(const FilterBlock& b) override {
        if (b.frames <= 0) return;
        if (b.mode < kLP2 || b.mode > kNotch) return detail::passThrough(b);
        float* f = b.scratch[0];
        float* q = b.scratch[1];
        const int n = b.frames;
        const FrequencyCurve& curve = svfFrequencyCurve();
        for (int i = 0; i < n; ++i) {
            f[i] = readFrequencyCurve(curve, b.cutoff[i]);
            q[i] = lookupCurve(kDamping, kCurvePoints, b.cutoff[i] * (kCurvePoints - 1));
        }
        const float rs = detail::rateScale(b.sampleRate);
        // Clamps in loops of their own: mixed into the arithmetic they keep it from vectorising.
        float* res = b.scratch[2];
        for (int i = 0; i < n; ++i)
            f[i] = std::min(f[i] * rs, kMaxFrequency);
        for (int i = 0; i < n; ++i)
            res[i] = detail::unitClamp(b.resonance[i]);
        for (int i = 0; i < n; ++i)
            q[i] = 1.85f - 1.8469f * (res[i] + (1.0f - res[i]) * q[i]);
        detail::runNoteSegments(
            b,
            [&](int begin, int end) {
                switch (b.mode) {
                case kLP2:
                    run<kLP2>(b, f, q, begin, end);
                    break;
                case kBP2:
                    run<kBP2>(b, f, q, begin, end);
                    break;
                case kHP2:
                    run<kHP2>(b, f, q, begin, end);
                    break;
                default:
                    run<kNotch>(b, f, q, begin, end);
                    break;
                }
            },
            [this] { reset(); });
        for (Svf& s : state_) {
            detail::settle(s.low);
            detail::settle(s.band);
        }
    }

    void reset() override { state_ = {}; }

private:
    // Both channels in one loop, so their dependency chains overlap; the states live in locals,
    // as the output stores could otherwise alias them.
    template <int M>
    void run(const FilterBlock& b, const float* fc, const float* qc, int begin, int end) {
        Svf l = state_[0], r = state_[1];
        for (int i = begin; i < end; ++i) {
            const float f = fc[i], q = qc[i];
            b.outL[i] = tick<M>(detail::boundInput(b.inL[i]), l, f, q);
            b.outR[i] = tick<M>(detail::boundInput(b.inR[i]), r, f, q);
        }
        state_ = {l, r};
    }

    // Four steps on the held input, averaged.
    template <int M> static float tick(float x, Svf& s, float f, float q) {
        float sum = 0.0f;
        for (int step = 0; step < kSubSteps; ++step) {
            const float notch = x - q * s.band;
            s.low += f * s.band;
            const float high = notch - s.low;
            s.band += f * high;
            sum += M == kLP2 ? s.low : M == kBP2 ? s.band : M == kHP2 ? high : notch;
        }
        return sum * (1.0f / kSubSteps);
    }

    std::array<Svf, 2> state_{}; // per channel
};

} // namespace

std::unique_ptr<FilterKernel> makeInfecto() {
    return std::make_unique<Infecto>();
}

} // namespace kolva::flt
