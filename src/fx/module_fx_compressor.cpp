#include "fx/module_fx_compressor.h"

#include "engine/lookup_curve.h"
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
// Follower times in ms per band: {attack, release}, shared by both stages of the band.
constexpr double kTimesMs[3][2] = {{15.936, 70.5}, {7.304, 70.5}, {15.0, 60.0}};

constexpr double kLowSplitHz = 88.3;
constexpr double kHighSplitHz = 2500.0;
constexpr double kSplitBandwidth = 2.0; // octaves
constexpr double kSplitGainDb = 1.0;    // unused by low- and high-passes

// Scratch layout: left/right of each band, then g.
enum Scratch { kLowL, kLowR, kMidL, kMidR, kHighL, kHighR, kCurve, kScratchCount };

// Lifts a band while its envelope sits under the threshold (at most by 1 / (1 - k)). The gain
// follows the peak envelope so quiet onsets come up at once; the smoothed level is tracked
// alongside but only the downward stage decides on it.
void upwardStage(ModuleFxCompressor::Stage& s, const Constants& c, float* left, float* right,
                 const float* g, int n) {
    double env = s.envelope, smooth = s.smooth;
    const double att = s.attack, rel = s.release;
    const double thr = c.threshold;
    for (int i = 0; i < n; ++i) {
        const double l = left[i] * c.inputGain;
        const double r = right[i] * c.inputGain;
        const double p = std::fabs((l + r) * 0.5);
        env = p > env ? p : (1.0 - rel) * p + rel * env;
        smooth = (1.0 - att) * env + att * smooth;
        const double k = g[i] * c.ratioScale;
        const double gain = env < thr ? thr / ((1.0 - k) * thr + k * env) : 1.0;
        const double f = c.outputGain * gain;
        left[i] = static_cast<float>(l * f);
        right[i] = static_cast<float>(r * f);
    }
    s.envelope = env;
    s.smooth = smooth;
}

// Pulls a band back while its smoothed level sits over the threshold.
void downwardStage(ModuleFxCompressor::Stage& s, const Constants& c, float* left, float* right,
                   const float* g, int n) {
    double avg = s.average, env = s.envelope, smooth = s.smooth;
    const double att = s.attack, rel = s.release;
    const double thr = c.threshold;
    for (int i = 0; i < n; ++i) {
        const double l = left[i] * c.inputGain;
        const double r = right[i] * c.inputGain;
        avg += (std::fabs((l + r) * 0.97) - avg) * 0.01;
        env = avg > env ? avg : (1.0 - rel) * avg + rel * env;
        smooth = (1.0 - att) * env + att * smooth;
        const double k = g[i] * c.ratioScale;
        const double gain = smooth > thr ? thr / ((1.0 - k) * thr + k * smooth) : 1.0;
        const double f = c.outputGain * gain;
        left[i] = static_cast<float>(l * f);
        right[i] = static_cast<float>(r * f);
    }
    s.average = avg;
    s.envelope = env;
    s.smooth = smooth;
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

    float* bandL[kBands] = {scratch_[kLowL], scratch_[kMidL], scratch_[kHighL]};
    float* bandR[kBands] = {scratch_[kLowR], scratch_[kMidR], scratch_[kHighR]};
    for (int b = 0; b < kBands; ++b) {
        std::copy(left, left + n, bandL[b]);
        std::copy(right, right + n, bandR[b]);
    }
    for (auto& f : lowSplit_) f.process(bandL[0], bandR[0], n);
    for (auto& f : midSplit_) f.process(bandL[1], bandR[1], n);
    for (auto& f : highSplit_) f.process(bandL[2], bandR[2], n);

    for (int b = 0; b < kBands; ++b) {
        upward_[b].prepare(rate, kTimesMs[b][0], kTimesMs[b][1]);
        downward_[b].prepare(rate, kTimesMs[b][0], kTimesMs[b][1]);
        upwardStage(upward_[b], kUpward[b], bandL[b], bandR[b], g, n);
        downwardStage(downward_[b], kDownward[b], bandL[b], bandR[b], g, n);
    }

    for (int i = 0; i < n; ++i) {
        const float level = 0.25f + 0.5f * g[i];
        left[i] = (bandL[0][i] + bandL[1][i] + bandL[2][i]) * level;
        right[i] = (bandR[0][i] + bandR[1][i] + bandR[2][i]) * level;
    }
}

void ModuleFxCompressor::recover() {
    for (auto& f : lowSplit_) f.clear();
    for (auto& f : midSplit_) f.clear();
    for (auto& f : highSplit_) f.clear();
    for (auto& s : upward_) s.clear();
    for (auto& s : downward_) s.clear();
}

} // namespace kolva
