// Combo: a feedback comb per channel. The cutoff picks the loop delay (the state-variable
// frequency curve read as periods: 0.125 s x the curve at 1 - C), so the peaks sit at multiples
// of 1 / delay, or half-way between them with negative feedback. The stereo modes lengthen the
// right channel's delay by 0.005 of the curve.

#include "engine/filter_kernel.h"
#include "engine/engine_value.h"
#include "engine/filter_tables.h"
#include "engine/lookup_curve.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

namespace kolva::flt {
namespace {

constexpr int kLineLength = 38400;
constexpr float kPeriodScale = 0.125f; // curve value -> seconds
constexpr float kFeedback = 0.99f;
constexpr float kSpread = 0.005f;
constexpr float kWet = 0.62f;
constexpr float kDry = 0.38f;
constexpr float kClearBelow = 0.2f; // a note start clears the lines under this resonance

// The longest delay is 0.738 x 0.125 s, 17712 samples at 192 kHz; the read needs one sample more.
constexpr float kMinRate = 22050.0f;
constexpr float kMaxRate = 192000.0f;
constexpr float kMaxDelay = static_cast<float>(kLineLength - 2);
static_assert(0.738f * kMaxRate * kPeriodScale + 2.0f < kMaxDelay);

inline float unit(float v) { return clampUnit(v); }

inline float rateOf(float sampleRate) {
    return sampleRate >= kMinRate ? std::min(sampleRate, kMaxRate)
                                  : (sampleRate > 0.0f ? kMinRate : 44100.0f);
}

// Far above any real signal; the lines stay finite whatever arrives (NaN reads as 0).
inline float guard(float v) {
    constexpr float limit = 1.0e6f;
    return v >= -limit && v <= limit ? v : (v > 0.0f ? limit : (v < 0.0f ? -limit : 0.0f));
}

// Subnormal-small values go back into a line as 0: a ringing line would decay through them for
// a long time.
inline float clean(float v) {
    return std::abs(v) > 1.0e-20f ? v : 0.0f;
}

inline float curveAt(const FrequencyCurve& curve, float x) {
    return lookupCurve(curve.data(), kFrequencyPoints, x * (kFrequencyPoints - 1));
}

struct Line {
    std::vector<float> data;
    int write = 0;

    // The line read `delay` samples before the write position (1 <= delay <= length - 2),
    // linear interpolation. Split before wrapping so the fraction keeps its precision.
    float read(float delay) const {
        const int whole = static_cast<int>(delay);
        const float frac = delay - static_cast<float>(whole);
        int newer = write - whole;
        if (newer < 0) newer += kLineLength;
        const int older = newer > 0 ? newer - 1 : kLineLength - 1;
        return data[newer] + (data[older] - data[newer]) * frac;
    }

    void push(float v) {
        data[write] = v;
        if (++write == kLineLength) write = 0;
    }
};

class Combo final : public FilterKernel {
public:
    Combo() : curve_(svfFrequencyCurve()) {
        for (Line& l : lines_)
            l.data.assign(kLineLength, 0.0f);
    }

    void process(const FilterBlock& b) override {
        const int n = b.frames;
        if (n <= 0) return;
        const int mode = std::clamp(b.mode, 0, 3);
        const float sign = mode == 0 || mode == 2 ? kFeedback : -kFeedback;
        const float spread = mode >= 2 ? kSpread : 0.0f;
        const float samplesPerPeriod = rateOf(b.sampleRate) * kPeriodScale;

        // Per block into the scratch: [0] left delay, [1] right delay, [2] feedback gain,
        // [3] resonance.
        float* dl = b.scratch[0];
        float* dr = b.scratch[1];
        float* h = b.scratch[2];
        float* r = b.scratch[3];
        for (int i = 0; i < n; ++i) {
            const float c = 1.0f - unit(b.cutoff[i]);
            dl[i] = curveAt(curve_, c);
            dr[i] = curveAt(curve_, c + spread);
            r[i] = unit(b.resonance[i]);
        }
        for (int i = 0; i < n; ++i) {
            dl[i] = std::clamp(dl[i] * samplesPerPeriod, 1.0f, kMaxDelay);
            dr[i] = std::clamp(dr[i] * samplesPerPeriod, 1.0f, kMaxDelay);
            const float open = 1.0f - r[i];
            h[i] = (1.0f - open * open) * sign;
        }

        Line& left = lines_[0];
        Line& right = lines_[1];
        for (int i = 0; i < n; ++i) {
            if (b.retrig[i] > 0.5f && r[i] < kClearBelow) clear();
            const float xl = guard(b.inL[i]);
            const float xr = guard(b.inR[i]);
            const float yl = left.read(dl[i]);
            const float yr = right.read(dr[i]);
            left.push(clean(h[i] * yl + xl));
            right.push(clean(h[i] * yr + xr));
            if (used_ < kLineLength) ++used_;
            b.outL[i] = kWet * yl + kDry * xl;
            b.outR[i] = kWet * yr + kDry * xr;
        }
    }

    void reset() override { clear(); }

private:
    // Only what was written since the last clear can be non-zero, so only that is zeroed: a
    // short note costs a short clear.
    void clear() {
        for (Line& l : lines_) {
            float* d = l.data.data();
            const int recent = std::min(used_, l.write);
            std::fill(d + (l.write - recent), d + l.write, 0.0f);
            const int older = used_ - recent; // wrapped round to the end of the line
            std::fill(d + (kLineLength - older), d + kLineLength, 0.0f);
        }
        used_ = 0;
    }

    const FrequencyCurve& curve_;
    Line lines_[2];
    int used_ = 0; // samples written since the lines were last cleared (capped at the length)
};

} // namespace

std::unique_ptr<FilterKernel> makeCombo() {
    return std::make_unique<Combo>();
}

} // namespace kolva::flt
