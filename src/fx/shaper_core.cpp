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

// Scratch roles (each blockSize * 8 floats).
constexpr int kWorkL = 0, kWorkR = 1, kRestL = 2, kRestR = 3, kCurve = 4, kDriveRaw = 5,
              kLevels = 6, kHold = 7;

// Repeats each of the first n samples `factor` times, in place (from the end backwards).
void stretch(float* x, int n, int factor) {
    for (int i = n - 1; i >= 0; --i) {
        const float v = x[i];
        float* out = x + static_cast<std::ptrdiff_t>(i) * factor;
        for (int j = 0; j < factor; ++j)
            out[j] = v;
    }
}

// Boxcar decimation: the mean of each run of `factor` samples.
void decimate(const float* x, float* out, int n, int factor) {
    const float scale = 1.0f / static_cast<float>(factor);
    for (int i = 0; i < n; ++i) {
        const float* run = x + static_cast<std::ptrdiff_t>(i) * factor;
        float sum = 0.0f;
        for (int j = 0; j < factor; ++j)
            sum += run[j];
        out[i] = sum * scale;
    }
}

// Rounds to the crusher grid: int(levels * x * 2 + 0.5) >> 1, over levels. The argument is
// kept inside int range first; NaN reads as silence.
inline float quantize(float x, float levels) {
    constexpr float kLimit = 1073741824.0f; // 2^30
    float v = levels * x * 2.0f + 0.5f;
    if (!(std::fabs(v) < kLimit)) v = v > 0.0f ? kLimit : (v < 0.0f ? -kLimit : 0.0f);
    return static_cast<float>(static_cast<int>(v) >> 1) / levels;
}

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
    if (!b.oversample) {
        // Block rate. Types 11 to 14 run the same steps as on the oversampled path at ratio 1,
        // so every type behaves alike with the switch off; types above 14 skip the shaping.
        if (crushOnly)
            crushPath(b, inL, inR, frames, scratch, sampleRate, false);
        else
            shapePath(b, inL, inR, frames, scratch, sampleRate, false);
        std::copy_n(scratch[kWorkL], frames, wetL);
        std::copy_n(scratch[kWorkR], frames, wetR);
        if (b.type == kTypeFilterCrush && !b.filteredOnly) {
            filterBand(b, wetL, wetR, frames, sampleRate, false);
        }
        return;
    }

    if (crushOnly)
        crushPath(b, inL, inR, frames, scratch, sampleRate, true);
    else
        shapePath(b, inL, inR, frames, scratch, sampleRate, true);
    decimate(scratch[kWorkL], wetL, frames, kOversample);
    decimate(scratch[kWorkR], wetR, frames, kOversample);
    if (b.filteredOnly) {
        output_.design(sampleRate, Biquad::kPeaking, kOutputHz, kOutputQ, kOutputGainDb);
        output_.process(wetL, wetR, frames);
    }
    if (b.type == kTypeFilterCrush && !b.filteredOnly) {
        filterBand(b, wetL, wetR, frames, sampleRate, true);
    }
}

void ShaperCore::filterBand(const Block& b, float* left, float* right, int frames,
                            float sampleRate, bool oversampled) {
    lowPass_.process(left, right, b.hiCut, frames, sampleRate);
    (oversampled ? highPass_ : plainHighPass_).process(left, right, b.lowCut, frames, sampleRate);
}

void ShaperCore::shapePath(const Block& b, const float* inL, const float* inR, int frames,
                           const ScratchBuffers& scratch, float sampleRate, bool oversampled) {
    const int ratio = oversampled ? kOversample : 1;
    const int n = frames * ratio;
    float* wl = scratch[kWorkL];
    float* wr = scratch[kWorkR];
    float* c = scratch[kCurve];
    float* d = scratch[kDriveRaw];

    std::copy_n(inL, frames, wl);
    std::copy_n(inR, frames, wr);
    filterBand(b, wl, wr, frames, sampleRate, oversampled);

    // d holds 1 / (1 + drive): the table types' drive compensation, divided once per block
    // sample rather than once per oversampled one.
    for (int i = 0; i < frames; ++i) {
        d[i] = 1.0f / (1.0f + b.drive[i]);
        c[i] = lookupCurve(kShaperDrive, kDrivePoints, b.drive[i] * (kDrivePoints - 1));
    }
    if (oversampled) {
        stretch(wl, frames, ratio);
        stretch(wr, frames, ratio);
        stretch(c, frames, ratio);
        stretch(d, frames, ratio);
        antiImage_.design(sampleRate, Biquad::kLowPass, kAntiImageHz, kAntiImageQ, 0.0);
        antiImage_.process(wl, wr, n);
    }

    const bool split = !b.filteredOnly;
    float* rl = scratch[kRestL];
    float* rr = scratch[kRestR];
    if (split) {
        // What the filters took away, against the (repeated) input.
        for (int i = 0; i < frames; ++i) {
            const float xl = inL[i], xr = inR[i];
            const int at = i * ratio;
            for (int j = at; j < at + ratio; ++j) {
                rl[j] = xl - wl[j];
                rr[j] = xr - wr[j];
            }
        }
    }

    // Silence is judged on the block as it came in, whatever the rate it is shaped at.
    shape(b.type, wl, c, d, n, isBlockSilent(inL, frames));
    shape(b.type, wr, c, d, n, isBlockSilent(inR, frames));

    if (split) {
        for (int i = 0; i < n; ++i) {
            const float g = 1.0f + 2.0f * c[i];
            wl[i] += g * rl[i];
            wr[i] += g * rr[i];
        }
    }

    crusherControls(b, frames, scratch, sampleRate, ratio);
    crush(wl, wr, scratch[kLevels], scratch[kHold], n);
}

void ShaperCore::crushPath(const Block& b, const float* inL, const float* inR, int frames,
                           const ScratchBuffers& scratch, float sampleRate, bool oversampled) {
    const int ratio = oversampled ? kOversample : 1;
    const int n = frames * ratio;
    float* wl = scratch[kWorkL];
    float* wr = scratch[kWorkR];
    std::copy_n(inL, frames, wl);
    std::copy_n(inR, frames, wr);
    // Filtered mode: the band is chosen before the crusher (split mode filters after it).
    if (b.type == kTypeFilterCrush && b.filteredOnly) {
        filterBand(b, wl, wr, frames, sampleRate, oversampled);
    }
    if (oversampled) {
        stretch(wl, frames, ratio);
        stretch(wr, frames, ratio);
        antiImage_.design(sampleRate, Biquad::kLowPass, kAntiImageHz, kAntiImageQ, 0.0);
        antiImage_.process(wl, wr, n);
    }
    crusherControls(b, frames, scratch, sampleRate, ratio);
    crush(wl, wr, scratch[kLevels], scratch[kHold], n);
}

void ShaperCore::shape(int type, float* x, const float* c, const float* d, int n,
                       bool silent) const {
    const ShaperCurves& curves = shaperCurves();
    if (type == kTypeAsymmetric) {
        // Positive half through the straight curve, negative half through its own curve.
        const float* pos = curves.linearD.data();
        const float* neg = curves.asymNegative.data();
        constexpr float last = kShaperCurvePoints - 1;
        for (int i = 0; i < n; ++i) {
            const float k = 1.0f + 180.0f * c[i];
            const float p = std::clamp(x[i], 0.0f, 10.0f) * k + 0.5f;
            const float q = std::clamp(x[i], -10.0f, 0.0f) * k * 0.25f + 1.0f;
            x[i] = lookupCurve(pos, kShaperCurvePoints, p * last) +
                   lookupCurve(neg, kShaperCurvePoints, q * last);
        }
        return;
    }
    if (type == kTypeHardClip) {
        for (int i = 0; i < n; ++i) {
            const float k = 1.0f + 60.0f * c[i];
            // Quiet signals keep unit gain; hard-driven ones settle at half scale.
            x[i] = std::clamp(x[i] * k, -1.0f, 1.0f) * std::max(0.5f, 1.0f / k);
        }
        return;
    }
    if (type < 0 || type >= kTypes || types_[static_cast<std::size_t>(type)].curve == nullptr)
        return; // no shaping step for this type

    const TableShape& t = types_[static_cast<std::size_t>(type)];
    // A silent channel must stay exactly silent, even where a driven curve would lift its
    // residue into something audible.
    if (silent) {
        std::fill_n(x, n, 0.0f);
        return;
    }
    const float last = static_cast<float>(t.size - 1);
    if (t.wrap) {
        for (int i = 0; i < n; ++i) {
            const float k = c[i] * t.scale + t.offset;
            const float u = wrapUnit(x[i] * k + 0.5f);
            x[i] = lookupCurve(t.curve, t.size, u * last) * t.gainComp * d[i];
        }
    } else {
        for (int i = 0; i < n; ++i) {
            const float k = c[i] * t.scale + t.offset;
            const float u = x[i] * k + 0.5f;
            x[i] = lookupCurve(t.curve, t.size, u * last) * t.gainComp * d[i];
        }
    }
}

void ShaperCore::crusherControls(const Block& b, int frames, const ScratchBuffers& scratch,
                                 float sampleRate, int ratio) const {
    float* levels = scratch[kLevels];
    float* hold = scratch[kHold];
    const float rateScale = 44100.0f / sampleRate;
    const auto r = static_cast<float>(ratio);
    for (int i = 0; i < frames; ++i) {
        levels[i] = lookupCurve(kCrusherLevels, kCrusherPoints, b.bits[i] * (kCrusherPoints - 1));
        const float h = lookupCurve(kCrusherHold, kCrusherPoints, b.rate[i] * (kCrusherPoints - 1));
        hold[i] = h * rateScale * 220.0f * r + 1.0f;
    }
    if (ratio > 1) {
        stretch(levels, frames, ratio);
        stretch(hold, frames, ratio);
    }
}

void ShaperCore::crush(float* left, float* right, const float* levels, const float* hold, int n) {
    int counter = holdCounter_;
    float hl = held_[0], hr = held_[1];
    for (int i = 0; i < n; ++i) {
        const int length = static_cast<int>(std::min(hold[i], 1.0e6f));
        if (++counter >= length) {
            counter = 0;
            hl = quantize(left[i], levels[i]);
            hr = quantize(right[i], levels[i]);
        }
        left[i] = hl;
        right[i] = hr;
    }
    holdCounter_ = counter;
    held_[0] = hl;
    held_[1] = hr;
}

} // namespace kolva::fx
