#include "fx/module_fx_equalizer.h"

#include "engine/lookup_curve.h"
#include "engine/module_matrix.h"
#include "fx/fx_tables.h"
#include "platform/denormals.h"

#include <algorithm>

namespace kolva {
namespace {

using Eq = ModuleFxEqualizer;

constexpr FxDecode kDecodes[Eq::kSlotCount] = {
    FxDecode::kSwitch,     FxDecode::kSwitch,     FxDecode::kSwitch,     FxDecode::kSwitch,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous, FxDecode::kContinuous,
    FxDecode::kContinuous, FxDecode::kContinuous};

// Band gain in dB for a gain control 0..1; the middle (0.5) lands exactly on 0 dB.
constexpr float kGainDb[32] = {
    -20.0f,  -19.31f, -18.53f, -17.66f, -16.7f,  -15.65f,  -14.51f, -13.27f,
    -11.95f, -10.55f, -9.07f,  -7.522f, -5.918f, -4.261f,  -2.572f, -0.8596f,
    0.8596f, 2.572f,  4.261f,  5.918f,  7.522f,  9.07f,    10.55f,  11.95f,
    13.27f,  14.51f,  15.65f,  16.7f,   17.66f,  18.53f,   19.31f,  20.0f};

// Master soft clip, read at x * volume * 0.2 + 0.5: linear around the middle, rounding into
// +-1 towards the ends.
constexpr int kSoftClipPoints = 20;
constexpr float kSoftClip[kSoftClipPoints] = {
    -1.0f,    -0.9826f, -0.941f, -0.8727f, -0.7758f, -0.6504f, -0.5f,   -0.3571f, -0.2143f,
    -0.0714f, 0.0714f,  0.2143f, 0.3571f,  0.5f,     0.6504f,  0.7758f, 0.8727f, 0.941f,
    0.9826f,  1.0f};

// Tone pairs: {frequency Hz, Q, gain dB}.
struct Fixed {
    double frequency, q, gainDb;
};
constexpr Fixed kWarmHighPass = {5.0, 0.23023, 0.0};
constexpr Fixed kWarmShelf = {68.152, 0.23562, 7.7542};
constexpr Fixed kSoftPeak = {15657.9, 0.37618, 1.1712};
constexpr Fixed kSoftLowPass = {18848.2, 0.23023, 0.0};

void designFixed(fx::Biquad& f, float rate, int type, const Fixed& c) {
    f.design(rate, type, c.frequency, c.q, c.gainDb);
}

} // namespace

ModuleFxEqualizer::ModuleFxEqualizer() : FxModule(kDecodes, kSlotCount, -1, -1) {
    (void)fx::tables(); // built here, never first on the audio thread
    const int types[3] = {fx::Biquad::kLowShelf, fx::Biquad::kPeaking, fx::Biquad::kHighShelf};
    for (int b = 0; b < 3; ++b) {
        bands_[static_cast<std::size_t>(b)].type = types[b];
        bands_[static_cast<std::size_t>(b)].freqSlot = kLowFreq + 3 * b;
    }
}

void ModuleFxEqualizer::processStage(int stage, int frames, float* left, float* right) {
    if (frames <= 0 || inactive()) return;
    const platform::ScopedFlushDenormals flushDenormals;
    const int capacity = blockCapacity();
    for (int done = 0; done < frames;) {
        const int n = std::min(capacity, frames - done);
        float* l = left + done;
        float* r = right + done;
        switch (stage) {
        case 1: parametric(n, l, r); break;
        case 2: tonePairs(n, l, r); break;
        case 3: master(n, l, r); break;
        default: return;
        }
        done += n;
    }
}

void ModuleFxEqualizer::parametric(int n, float* left, float* right) {
    const bool on = switchValue(kPower) == 1;
    const bool switchedOn = on && !powerWasOn_;
    powerWasOn_ = on;
    if (!on) return;
    for (Band& band : bands_) {
        if (switchedOn) band.filter.clear(); // start from rest, not from a long-stale state
        // Settled, unmodulated controls give one value for the whole block: one design check
        // and a block-wide filter run instead of per-sample work.
        bool constant = true;
        for (int s = band.freqSlot; s < band.freqSlot + 3; ++s) {
            const int param = params_.binding[static_cast<std::size_t>(s)];
            constant = constant && params_.smooth[static_cast<std::size_t>(s)].state() != 1 &&
                       (matrix_ == nullptr || !matrix_->isModulated(param));
        }
        const float* f = modulated(band.freqSlot, n);
        const float* q = modulated(band.freqSlot + 1, n);
        const float* g = modulated(band.freqSlot + 2, n);
        if (band.rate != sampleRate_) {
            band.rate = sampleRate_;
            band.freq = -1.0f; // forces a design at the new rate
        }
        runBand(band, constant, f, q, g, n, left, right);
    }
}

void ModuleFxEqualizer::runBand(Band& band, bool constant, const float* f, const float* q,
                                const float* g, int n, float* left, float* right) {
    const float rate = sampleRate_;
    auto redesign = [&](float fv, float qv, float gv) {
        band.freq = fv;
        band.q = qv;
        band.gain = gv;
        band.filter.design(rate, band.type, fx::noteFrequencyAt(fv), fx::qAt(qv),
                           lookupCurve01(kGainDb, gv));
    };
    if (constant) {
        if (f[0] != band.freq || q[0] != band.q || g[0] != band.gain) redesign(f[0], q[0], g[0]);
        band.filter.process(left, right, n);
        return;
    }
    fx::Biquad& filter = band.filter;
    for (int i = 0; i < n; ++i) {
        if (f[i] != band.freq || q[i] != band.q || g[i] != band.gain) redesign(f[i], q[i], g[i]);
        filter.tick(left[i], right[i]);
    }
}

void ModuleFxEqualizer::tonePairs(int n, float* left, float* right) {
    const float rate = sampleRate_;
    const bool warm = switchValue(kWarm) == 1;
    const bool soft = switchValue(kSoft) == 1;
    if (warm) {
        // A pair switched back on starts from rest rather than from a long-stale state.
        if (!warmWasOn_) {
            warmHighPass_.clear();
            warmShelf_.clear();
        }
        designFixed(warmHighPass_, rate, fx::Biquad::kHighPass, kWarmHighPass);
        designFixed(warmShelf_, rate, fx::Biquad::kLowShelf, kWarmShelf);
        warmHighPass_.process(left, right, n);
        warmShelf_.process(left, right, n);
    }
    if (soft) {
        if (!softWasOn_) {
            softPeak_.clear();
            softLowPass_.clear();
        }
        designFixed(softPeak_, rate, fx::Biquad::kPeaking, kSoftPeak);
        designFixed(softLowPass_, rate, fx::Biquad::kLowPass, kSoftLowPass);
        softPeak_.process(left, right, n);
        softLowPass_.process(left, right, n);
    }
    warmWasOn_ = warm;
    softWasOn_ = soft;
}

void ModuleFxEqualizer::master(int n, float* left, float* right) {
    const float* v = modulated(kVolume, n);
    const float scale = switchValue(kBoost) == 1 ? 2.0f : 1.0f;
    constexpr float last = static_cast<float>(kSoftClipPoints - 1);
    const auto clip = [scale](float x, float gain) {
        return lookupCurve(kSoftClip, kSoftClipPoints, (x * gain + 0.5f) * last) * scale;
    };
    int i = 0;
    // Four samples of a channel per step; the same arithmetic on each lane.
    for (; i + 4 <= n; i += 4) {
        const __m128 gain = _mm_mul_ps(_mm_loadu_ps(v + i), _mm_set1_ps(0.2f));
        for (float* x : {left, right}) {
            const __m128 position = _mm_mul_ps(
                _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(x + i), gain), _mm_set1_ps(0.5f)),
                _mm_set1_ps(last));
            _mm_storeu_ps(x + i, _mm_mul_ps(fx::simd::lookupCurve4(kSoftClip, kSoftClipPoints,
                                                                   position),
                                            _mm_set1_ps(scale)));
        }
    }
    for (; i < n; ++i) {
        const float gain = v[i] * 0.2f;
        left[i] = clip(left[i], gain);
        right[i] = clip(right[i], gain);
    }
}

void ModuleFxEqualizer::recover() {
    for (Band& band : bands_) band.filter.clear();
    warmHighPass_.clear();
    warmShelf_.clear();
    softPeak_.clear();
    softLowPass_.clear();
}

} // namespace kolva
