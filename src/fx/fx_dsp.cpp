#include "fx/fx_dsp.h"

#include "engine/lookup_curve.h"
#include "fx/fx_tables.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kolva::fx {

void wrapUnit(float* buffer, int n) {
    for (int i = 0; i < n; ++i) buffer[i] = wrapUnit(buffer[i]);
}

void mixDryWet(float* io, const float* wet, const float* mix, int n) {
    for (int i = 0; i < n; ++i) io[i] = io[i] * (1.0f - mix[i]) + wet[i] * mix[i];
}

void SvfFilter::process(float* left, float* right, const float* cutoff, int n,
                        float sampleRate) {
    const auto& curve = tables().svfCutoff;
    const float scale = sampleRate == 44100.0f ? 1.0f : 44100.0f / sampleRate;
    // The two-pass Chamberlin loop is stable while f^2 + 2fq < 4; at low sample rates the
    // scaled top of the curve would cross that, so the coefficient stops short of it.
    const float limit = 0.95f * (std::sqrt(q_ * q_ + 4.0f) - q_);
    const float q = q_;
    const int tap = tap_;
    float lowL = low_[0], bandL = band_[0], lowR = low_[1], bandR = band_[1];
    Memo coefficient;
    for (int i = 0; i < n; ++i) {
        const float f = coefficient(cutoff[i], [&](float c) {
            return std::min(
                lookupCurve(curve.data(), kCutoffPoints, c * (kCutoffPoints - 1)) * scale, limit);
        });
        const float inL = left[i], inR = right[i];
        float outL = 0.0f, outR = 0.0f;
        for (int pass = 0; pass < 2; ++pass) {
            const float notchL = inL - q * bandL;
            const float notchR = inR - q * bandR;
            lowL += f * bandL;
            lowR += f * bandR;
            const float highL = notchL - lowL;
            const float highR = notchR - lowR;
            bandL += f * highL;
            bandR += f * highR;
            switch (tap) {
            case kLow: outL += lowL; outR += lowR; break;
            case kBand: outL += bandL; outR += bandR; break;
            case kHigh: outL += highL; outR += highR; break;
            default: outL += notchL; outR += notchR; break;
            }
        }
        left[i] = 0.5f * outL;
        right[i] = 0.5f * outR;
    }
    low_[0] = lowL;
    band_[0] = bandL;
    low_[1] = lowR;
    band_[1] = bandR;
}

void SvfFilter::clear() {
    low_[0] = low_[1] = 0.0f;
    band_[0] = band_[1] = 0.0f;
}

void Biquad::design(float sampleRate, int type, double frequency, double q, double gainDb,
                    bool bandwidthMode) {
    if (sampleRate == rate_ && type == type_ && frequency == frequency_ && q == q_ &&
        gainDb == gain_ && bandwidthMode == bandwidth_)
        return;
    rate_ = sampleRate;
    type_ = type;
    frequency_ = frequency;
    q_ = q;
    gain_ = gainDb;
    bandwidth_ = bandwidthMode;
    ++designs_;

    // Keep the design inside the band and away from a zero Q, whatever the caller asks.
    const double nyquist = 0.5 * sampleRate;
    const double f = std::clamp(frequency, 1.0e-3, nyquist * 0.9999);
    const double qq = std::max(q, 1.0e-4);
    const double w0 = 2.0 * std::numbers::pi * f / sampleRate;
    const double cw = std::cos(w0), sw = std::sin(w0);
    const double A = std::pow(10.0, gainDb / 40.0);
    const double alpha = bandwidthMode
                             ? sw * std::sinh(std::numbers::ln2 / 2.0 * qq * w0 / sw)
                             : sw / (2.0 * qq);
    const double shelf = std::sqrt(A) * sw / qq; // replaces 2 sqrt(A) alpha
    double b0, b1, b2, a0, a1, a2;
    switch (type) {
    case kLowPass:
        b0 = (1 - cw) / 2; b1 = 1 - cw; b2 = (1 - cw) / 2;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kHighPass:
        b0 = (1 + cw) / 2; b1 = -(1 + cw); b2 = (1 + cw) / 2;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kBandPassPeakQ:
        b0 = sw / 2; b1 = 0; b2 = -sw / 2;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kBandPass:
        b0 = alpha; b1 = 0; b2 = -alpha;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kNotch:
        b0 = 1; b1 = -2 * cw; b2 = 1;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kAllPass:
        b0 = 1 - alpha; b1 = -2 * cw; b2 = 1 + alpha;
        a0 = 1 + alpha; a1 = -2 * cw; a2 = 1 - alpha;
        break;
    case kPeaking:
        b0 = 1 + alpha * A; b1 = -2 * cw; b2 = 1 - alpha * A;
        a0 = 1 + alpha / A; a1 = -2 * cw; a2 = 1 - alpha / A;
        break;
    case kLowShelf:
        b0 = A * ((A + 1) - (A - 1) * cw + shelf);
        b1 = 2 * A * ((A - 1) - (A + 1) * cw);
        b2 = A * ((A + 1) - (A - 1) * cw - shelf);
        a0 = (A + 1) + (A - 1) * cw + shelf;
        a1 = -2 * ((A - 1) + (A + 1) * cw);
        a2 = (A + 1) + (A - 1) * cw - shelf;
        break;
    case kHighShelf:
        b0 = A * ((A + 1) + (A - 1) * cw + shelf);
        b1 = -2 * A * ((A - 1) + (A + 1) * cw);
        b2 = A * ((A + 1) + (A - 1) * cw - shelf);
        a0 = (A + 1) - (A - 1) * cw + shelf;
        a1 = 2 * ((A - 1) - (A + 1) * cw);
        a2 = (A + 1) - (A - 1) * cw - shelf;
        break;
    default: // unknown type: pass through
        b0 = 1; b1 = 0; b2 = 0; a0 = 1; a1 = 0; a2 = 0;
        break;
    }
    b0_ = b0 / a0;
    b1_ = b1 / a0;
    b2_ = b2 / a0;
    a1_ = a1 / a0;
    a2_ = a2 / a0;
}

void Biquad::processMono(float* x, int n, int channel) {
    State s = state_[channel];
    const double b0 = b0_, b1 = b1_, b2 = b2_, a1 = a1_, a2 = a2_;
    for (int i = 0; i < n; ++i) {
        const float in = x[i];
        const double y = b0 * in + b1 * s.x1 + b2 * s.x2 - a1 * s.y1 - a2 * s.y2;
        s.x2 = s.x1;
        s.x1 = in;
        s.y2 = s.y1;
        s.y1 = y;
        x[i] = static_cast<float>(y);
    }
    state_[channel] = s;
}

void Biquad::process(float* left, float* right, int n) {
    // Both channels in one loop: two independent recursions keep the pipeline busy.
    State l = state_[0], r = state_[1];
    const double b0 = b0_, b1 = b1_, b2 = b2_, a1 = a1_, a2 = a2_;
    for (int i = 0; i < n; ++i) {
        const float inL = left[i], inR = right[i];
        const double yL = b0 * inL + b1 * l.x1 + b2 * l.x2 - a1 * l.y1 - a2 * l.y2;
        const double yR = b0 * inR + b1 * r.x1 + b2 * r.x2 - a1 * r.y1 - a2 * r.y2;
        l.x2 = l.x1;
        l.x1 = inL;
        l.y2 = l.y1;
        l.y1 = yL;
        r.x2 = r.x1;
        r.x1 = inR;
        r.y2 = r.y1;
        r.y1 = yR;
        left[i] = static_cast<float>(yL);
        right[i] = static_cast<float>(yR);
    }
    state_[0] = l;
    state_[1] = r;
}

void Biquad::clear() {
    state_[0] = State{};
    state_[1] = State{};
}

} // namespace kolva::fx
