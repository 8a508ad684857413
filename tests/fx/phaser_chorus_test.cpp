// Phaser and chorus measured on signals: notch counts and positions of the all-pass chain,
// notch movement under the LFO, formant peaks of the vowel modes, chorus tap delays and their
// modulation, stereo spread, activity rules, feedback stability, extreme rates and NaN
// recovery.

#include "fx/module_fx_chorus.h"
#include "fx/module_fx_phaser.h"

#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <initializer_list>
#include <cstring>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace kolva::test {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr float kRate = 44100.0f;

// Note scale the frequency controls read: 440 Hz at entry 53 of 120, a semitone per entry.
double noteHz(double control) { return 440.0 * std::exp2((control * 119.0 - 53.0) / 12.0); }

// Magnitude of the spectrum of h at `hz`.
double magnitudeAt(const std::vector<float>& h, std::size_t from, std::size_t count, double hz,
                   double rate) {
    const std::complex<double> step = std::polar(1.0, -2.0 * kPi * hz / rate);
    std::complex<double> rot(1.0, 0.0), sum(0.0, 0.0);
    for (std::size_t n = 0; n < count; ++n) {
        sum += static_cast<double>(h[from + n]) * rot;
        rot *= step;
    }
    return std::abs(sum);
}

// Log-spaced frequency grid.
std::vector<double> logGrid(double lo, double hi, int points) {
    std::vector<double> f(static_cast<std::size_t>(points));
    for (int i = 0; i < points; ++i)
        f[static_cast<std::size_t>(i)] = lo * std::pow(hi / lo, i / (points - 1.0));
    return f;
}

std::vector<double> spectrum(const std::vector<float>& h, std::size_t from, std::size_t count,
                             const std::vector<double>& grid, double rate) {
    std::vector<double> m;
    m.reserve(grid.size());
    for (double f : grid) m.push_back(magnitudeAt(h, from, count, f, rate));
    return m;
}

// Notch frequencies: dips below 0.2 (the dry/wet 50/50 response peaks at 1 between them),
// each refined by a parabola through |H|^2 on the log grid.
std::vector<double> notches(const std::vector<double>& m, const std::vector<double>& grid) {
    std::vector<double> found;
    bool inside = false;
    std::size_t best = 0;
    for (std::size_t i = 0; i < m.size(); ++i) {
        if (!inside && m[i] < 0.2) {
            inside = true;
            best = i;
        }
        if (inside) {
            if (m[i] < m[best]) best = i;
            if (m[i] > 0.5) {
                inside = false;
                double pos = std::log(grid[best]);
                if (best > 0 && best + 1 < m.size()) {
                    const double a = m[best - 1] * m[best - 1], b = m[best] * m[best],
                                 c = m[best + 1] * m[best + 1];
                    const double den = a - 2.0 * b + c;
                    const double shift = den > 0.0 ? 0.5 * (a - c) / den : 0.0;
                    const double stepLog = std::log(grid[best + 1]) - std::log(grid[best]);
                    pos += std::clamp(shift, -1.0, 1.0) * stepLog;
                }
                found.push_back(std::exp(pos));
            }
        }
    }
    return found;
}

std::vector<float> noise(int n, float amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> x(static_cast<std::size_t>(n));
    for (float& v : x) v = u(rng);
    return x;
}

template <class Fx> void runSilence(FxHarness& h, Fx& fx, int frames) {
    std::vector<float> l(static_cast<std::size_t>(frames), 0.0f), r = l;
    h.run(fx, l, r);
}

// Sub-sample position of the largest |x| in [from, to), by a parabola through the peak.
double peakPosition(const std::vector<float>& x, std::size_t from, std::size_t to) {
    std::size_t best = from;
    for (std::size_t i = from; i < to; ++i)
        if (std::fabs(x[i]) > std::fabs(x[best])) best = i;
    if (best == 0 || best + 1 >= x.size()) return static_cast<double>(best);
    const double a = std::fabs(x[best - 1]), b = std::fabs(x[best]), c = std::fabs(x[best + 1]);
    const double den = a - 2.0 * b + c;
    return static_cast<double>(best) + (den < 0.0 ? 0.5 * (a - c) / den : 0.0);
}

// Peaks above `threshold` (|x|), at least `gap` samples apart: sub-sample positions and signs.
struct Tap {
    double position;
    float sign;
};
std::vector<Tap> taps(const std::vector<float>& x, std::size_t from, std::size_t to,
                      float threshold, std::size_t gap) {
    std::vector<Tap> found;
    std::size_t i = from;
    while (i < to) {
        if (std::fabs(x[i]) < threshold) {
            ++i;
            continue;
        }
        const std::size_t end = std::min(to, i + gap);
        const double p = peakPosition(x, i, end);
        found.push_back({p, x[static_cast<std::size_t>(std::lround(p))] < 0.0f ? -1.0f : 1.0f});
        i = end;
    }
    return found;
}

// ---------------------------------------------------------------------------------------------
// Phaser

// A phaser with its sweep held still: no LFO depth, no feedback, dry and wet 50/50.
void stillPhaser(FxHarness& h, int mode, float centre) {
    h.option("phs_stages", mode);
    h.set("phs_freq", centre);
    h.set("phs_depth", 0.0f);
    h.set("phs_fback", 0.5f); // feedback gain 0
    h.set("phs_spread", 0.0f);
    h.set("phs_wet", 0.5f);
}

// Impulse response of both channels after the controls have settled.
std::vector<float> phaserImpulse(FxHarness& h, int length) {
    auto& fx = h.module<ModuleFxPhaser>(kModFxPhaser);
    runSilence(h, fx, static_cast<int>(h.rate)); // smoothers reach their targets
    std::vector<float> l = impulse(length), r = impulse(length);
    h.run(fx, l, r);
    for (int i = 0; i < length; ++i) EXPECT_EQ(l[i], r[i]) << "channels differ at " << i;
    return l;
}

TEST(Phaser, ClassicModesCascadeTwoToTwelveAllPassStages) {
    // N first-order all-passes at break coefficient w give total phase -2N atan(tan(pi f/sr)/w);
    // mixed 50/50 with the dry signal that cancels at every odd multiple of -pi: N/2 notches.
    constexpr float kCentre = 0.7f;
    const double w = noteHz(kCentre) / kRate;
    const auto grid = logGrid(20.0, 20000.0, 1200);
    for (int mode = 0; mode <= 5; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        FxHarness h(kRate);
        stillPhaser(h, mode, kCentre);
        const std::vector<float> ir = phaserImpulse(h, 4096);
        const auto m = spectrum(ir, 0, ir.size(), grid, kRate);
        // Between the notches the all-pass sum comes back to unity.
        EXPECT_NEAR(*std::max_element(m.begin(), m.end()), 1.0, 0.02);

        const int stages = 2 * mode + 2;
        const auto found = notches(m, grid);
        ASSERT_EQ(static_cast<int>(found.size()), stages / 2);
        for (int k = 0; k < stages / 2; ++k) {
            const double expected =
                kRate / kPi * std::atan(w * std::tan((2 * k + 1) * kPi / (2.0 * stages)));
            EXPECT_NEAR(found[static_cast<std::size_t>(k)] / expected, 1.0, 0.01)
                << "notch " << k;
        }
    }
}

// Notch frequency of each impulse response in a train (mode 0: one notch per response).
std::vector<double> trackNotch(FxHarness& h, int segment, int segments) {
    auto& fx = h.module<ModuleFxPhaser>(kModFxPhaser);
    runSilence(h, fx, static_cast<int>(h.rate));
    const int n = segment * segments;
    std::vector<float> l(static_cast<std::size_t>(n), 0.0f);
    for (int s = 0; s < segments; ++s) l[static_cast<std::size_t>(s * segment)] = 1.0f;
    std::vector<float> r = l;
    h.run(fx, l, r);
    const auto grid = logGrid(20.0, 20000.0, 300);
    std::vector<double> track;
    for (int s = 0; s < segments; ++s) {
        const auto m = spectrum(l, static_cast<std::size_t>(s * segment),
                                static_cast<std::size_t>(segment), grid, h.rate);
        const auto found = notches(m, grid);
        EXPECT_EQ(found.size(), 1u) << "segment " << s;
        track.push_back(found.empty() ? 0.0 : found.front());
    }
    return track;
}

TEST(Phaser, NotchFollowsTheLfoOnlyWithDepth) {
    // Two stages: the notch sits where one stage turns by -pi/2, sr/pi atan(f/sr) for the
    // swept note frequency f; the sweep runs from the centre up by depth of the rest.
    constexpr float kCentre = 0.35f;
    constexpr float kRateControl = 4.0f / 11.0f; // 0.83 Hz
    constexpr double kLfoHz = 0.83;
    constexpr int kSegment = 1024;
    const auto notchAt = [](double control) {
        return kRate / kPi * std::atan(noteHz(control) / kRate);
    };
    struct Case {
        float depth;
    };
    for (const Case c : {Case{0.0f}, Case{0.3f}, Case{0.6f}}) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        FxHarness h(kRate);
        stillPhaser(h, 0, kCentre);
        h.set("phs_depth", c.depth);
        h.set("phs_rate", kRateControl);
        const int segments = static_cast<int>(2.5 * kRate / kLfoHz / kSegment);
        const auto track = trackNotch(h, kSegment, segments);
        const double lo = *std::min_element(track.begin(), track.end());
        const double hi = *std::max_element(track.begin(), track.end());
        EXPECT_NEAR(lo / notchAt(kCentre), 1.0, 0.04);
        const double top = kCentre + (1.0 - kCentre) * c.depth;
        EXPECT_NEAR(hi / notchAt(top), 1.0, 0.04);
        if (c.depth == 0.0f) {
            EXPECT_LT(hi / lo, 1.001) << "the notch moved without depth";
            continue;
        }
        // One sweep per LFO cycle: rising crossings of the middle frequency one period apart.
        const double mid = std::sqrt(lo * hi);
        std::vector<double> rises;
        for (std::size_t s = 1; s < track.size(); ++s)
            if (track[s - 1] < mid && track[s] >= mid)
                rises.push_back(static_cast<double>(s - 1) +
                                (mid - track[s - 1]) / (track[s] - track[s - 1]));
        ASSERT_GE(rises.size(), 2u);
        const double period = (rises[1] - rises[0]) * kSegment / kRate;
        EXPECT_NEAR(period * kLfoHz, 1.0, 0.03);
    }
}

TEST(Phaser, StereoOffsetsTheRightSweep) {
    // With stereo the right LFO runs an eighth of a cycle ahead: the channels differ while
    // the sweep moves; without it they match sample for sample.
    for (const float stereo : {0.0f, 1.0f}) {
        FxHarness h(kRate);
        h.option("phs_stages", 3);
        h.set("phs_depth", 0.9f);
        h.set("phs_rate", 0.5f);
        h.set("phs_spread", stereo);
        h.set("phs_wet", 1.0f);
        auto& fx = h.module<ModuleFxPhaser>(kModFxPhaser);
        std::vector<float> l = noise(44100, 0.5f, 7), r = l;
        h.run(fx, l, r);
        double diff = 0.0;
        for (std::size_t i = 0; i < l.size(); ++i) diff += std::fabs(l[i] - r[i]);
        if (stereo == 0.0f)
            EXPECT_EQ(diff, 0.0);
        else
            EXPECT_GT(diff / static_cast<double>(l.size()), 0.01);
    }
}

// Resonance peaks of an impulse response: local maxima standing well above the floor.
std::vector<double> resonances(const std::vector<float>& ir, const std::vector<double>& grid) {
    const auto m = spectrum(ir, 0, ir.size(), grid, kRate);
    const double floor = *std::min_element(m.begin(), m.end());
    std::vector<double> peaks;
    for (std::size_t i = 1; i + 1 < m.size(); ++i)
        if (m[i] > m[i - 1] && m[i] >= m[i + 1] && m[i] > 8.0 * floor) peaks.push_back(grid[i]);
    return peaks;
}

TEST(Phaser, VowelModesRingBelowEachFormant) {
    // Each band is its all-pass chain in negative feedback; it rings at 0.5 to 0.6 of its
    // formant frequency (the chain's break sits well under the frequency that sets it). Centre
    // 0 reads the first vowel: 805, 1140, 2900, 3900 Hz, stretched per mode; the right channel
    // is tuned 200 Hz higher at full stereo.
    constexpr double kVowel[4] = {805.0, 1140.0, 2900.0, 3900.0};
    struct Case {
        int mode;
        double scale, shift;
    };
    const auto grid = logGrid(100.0, 15000.0, 1500);
    for (const Case c : {Case{6, 1.2, -100.0}, Case{7, 1.5, 0.0}, Case{8, 1.5, 500.0},
                         Case{9, 1.0, 0.0}, Case{40, 1.0, 0.0}}) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        FxHarness h(kRate);
        stillPhaser(h, c.mode, 0.0f);
        h.set("phs_wet", 1.0f);
        h.set("phs_fback", 1.0f); // sharpest resonances
        h.set("phs_spread", 1.0f);
        auto& fx = h.module<ModuleFxPhaser>(kModFxPhaser);
        runSilence(h, fx, static_cast<int>(h.rate));
        std::vector<float> l = impulse(16384), r = impulse(16384);
        h.run(fx, l, r);
        const auto left = resonances(l, grid);
        const auto right = resonances(r, grid);
        ASSERT_EQ(left.size(), 4u);
        ASSERT_EQ(right.size(), 4u);
        for (int b = 0; b < 4; ++b) {
            const double formant = kVowel[b] * c.scale + c.shift;
            EXPECT_GT(left[b] / formant, 0.47) << "band " << b;
            EXPECT_LT(left[b] / formant, 0.64) << "band " << b;
            EXPECT_GT(right[b] - left[b], 0.3 * 200.0) << "band " << b;
            EXPECT_LT(right[b] - left[b], 0.75 * 200.0) << "band " << b;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Chorus

// Chorus with the LFO out of the way: no depth, no feedback, full wet, open filters.
void stillChorus(FxHarness& h, int mode, float delay) {
    h.option("chr_mode", mode);
    h.set("chr_delay", delay);
    h.set("chr_depth", 0.0f);
    h.set("chr_fback", 0.5f); // feedback gain 0
    h.set("chr_wide", 0.0f);
    h.set("chr_hicut", 1.0f);
    h.set("chr_lowcut", 0.0f);
    h.set("chr_wet", 1.0f);
}

TEST(Chorus, VoiceTapsSitAtTheirShareOfTheDelay) {
    // Delay control 0.5 reads 0.2406 from the delay curve; each voice reads its factor of
    // (delay + 0.01) seconds. Mode 4 is mode 2's voices; mode 5 doubles mode 3's.
    constexpr double kDelaySeconds = 0.2406 + 0.01;
    struct Case {
        int mode;
        std::vector<double> factors;
    };
    const std::vector<Case> cases = {
        {0, {0.04}},
        {1, {0.032, 0.041}},
        {2, {0.025, 0.034, 0.045}},
        {3, {0.012, 0.023, 0.037, 0.042}},
        {4, {0.025, 0.034, 0.045}},
        {5, {0.024, 0.046, 0.074, 0.084}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        FxHarness h(kRate);
        stillChorus(h, c.mode, 0.5f);
        auto& fx = h.module<ModuleFxChorus>(kModFxChorus);
        runSilence(h, fx, static_cast<int>(kRate));
        const int n = 6000;
        std::vector<float> l = impulse(n), r = impulse(n);
        h.run(fx, l, r);
        EXPECT_EQ(std::memcmp(l.data(), r.data(), l.size() * sizeof(float)), 0);
        const auto found = taps(l, 0, l.size(), 0.3f, 40);
        ASSERT_EQ(found.size(), c.factors.size());
        for (std::size_t v = 0; v < found.size(); ++v) {
            EXPECT_NEAR(found[v].position, c.factors[v] * kDelaySeconds * kRate, 1.5)
                << "voice " << v;
            EXPECT_GT(found[v].sign, 0.0f);
        }
    }
}

TEST(Chorus, EnsembleTapsSpreadAroundHalfAndFullDelay) {
    // Without depth the ensemble reads 60 ms x delay at half and full length per channel, the
    // second tap subtracted; full width moves the right taps by 5% of the span. Modes past 6
    // are the ensemble too.
    constexpr double kBase = 0.06 * 0.2406 * kRate;
    for (const int mode : {6, 7, 50}) {
        for (const float wide : {0.0f, 1.0f}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " wide " + std::to_string(wide));
            FxHarness h(kRate);
            stillChorus(h, mode, 0.5f);
            h.set("chr_wide", wide);
            auto& fx = h.module<ModuleFxChorus>(kModFxChorus);
            runSilence(h, fx, static_cast<int>(kRate));
            const int n = 3000;
            std::vector<float> l = impulse(n), r = impulse(n);
            h.run(fx, l, r);
            const double offset = wide * 0.05 * kBase;
            const std::vector<float>* channel[2] = {&l, &r};
            for (int ch = 0; ch < 2; ++ch) {
                const auto found = taps(*channel[ch], 0, static_cast<std::size_t>(n), 0.3f, 40);
                ASSERT_EQ(found.size(), 2u) << "channel " << ch;
                const double shift = ch == 1 ? offset : 0.0;
                EXPECT_NEAR(found[0].position, kBase * 0.5 + shift, 1.5);
                EXPECT_NEAR(found[1].position, kBase + shift, 1.5);
                EXPECT_GT(found[0].sign, 0.0f);
                EXPECT_LT(found[1].sign, 0.0f);
            }
        }
    }
}

// Arrival delay (samples) of each impulse of a train through the wet chorus, one per segment.
std::vector<double> trackDelay(FxHarness& h, std::vector<float>& l, std::vector<float>& r,
                               int segment, std::vector<double>* right = nullptr) {
    auto& fx = h.module<ModuleFxChorus>(kModFxChorus);
    const std::size_t n = l.size();
    for (std::size_t i = 0; i < n; i += static_cast<std::size_t>(segment)) l[i] = r[i] = 1.0f;
    h.run(fx, l, r);
    std::vector<double> delays;
    for (std::size_t i = 0; i + static_cast<std::size_t>(segment) <= n;
         i += static_cast<std::size_t>(segment)) {
        const std::size_t end = i + static_cast<std::size_t>(segment);
        delays.push_back(peakPosition(l, i, end) - static_cast<double>(i));
        if (right != nullptr) right->push_back(peakPosition(r, i, end) - static_cast<double>(i));
    }
    return delays;
}

TEST(Chorus, LfoDepthSwingsTheDelayThroughTheDepthCurve) {
    // Mode 0: delay = 0.04 x (cosine LFO x 0.24 x depth curve + delay curve + 0.01) seconds.
    // Delay control 0 leaves 0.4 ms; the swing on top follows the depth curve.
    struct Case {
        float depth;
        double curve; // depth curve value
    };
    constexpr int kSegment = 1024;
    for (const Case c : {Case{0.0f, 0.0}, Case{0.5f, 0.2393}, Case{0.7f, 0.42770},
                         Case{1.0f, 1.0}}) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        FxHarness h(kRate);
        stillChorus(h, 0, 0.0f);
        h.set("chr_depth", c.depth);
        h.set("chr_rate", 4.0f / 11.0f); // 0.83 Hz: ~52 impulses per cycle
        auto& fx = h.module<ModuleFxChorus>(kModFxChorus);
        runSilence(h, fx, static_cast<int>(kRate));
        std::vector<float> l(static_cast<std::size_t>(kRate * 1.5f), 0.0f), r = l;
        const auto delays = trackDelay(h, l, r, kSegment);
        const double lo = *std::min_element(delays.begin(), delays.end());
        const double hi = *std::max_element(delays.begin(), delays.end());
        const double floorSamples = 0.04 * 0.01 * kRate;
        const double swing = 0.04 * 0.24 * c.curve * kRate;
        EXPECT_NEAR(lo, floorSamples, 1.5);
        EXPECT_NEAR(hi - lo, swing, 0.5 + 0.01 * swing);
    }
}

TEST(Chorus, SpreadOffsetsOnlyTheRightChannel) {
    // Spread 0 gives the right channel the left's delays exactly; full spread puts its LFO a
    // quarter cycle away, so the right delay peaks a quarter period from the left.
    constexpr int kSegment = 512;
    constexpr double kLfoHz = 0.83;
    for (const int mode : {0, 3, 5}) {
        for (const float wide : {0.0f, 1.0f}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " wide " + std::to_string(wide));
            FxHarness h(kRate);
            stillChorus(h, mode, 0.3f);
            h.set("chr_depth", 1.0f);
            h.set("chr_rate", 4.0f / 11.0f);
            h.set("chr_wide", wide);
            auto& fx = h.module<ModuleFxChorus>(kModFxChorus);
            runSilence(h, fx, static_cast<int>(kRate));
            std::vector<float> l = noise(static_cast<int>(kRate), 0.5f, 3), r = l;
            h.run(fx, l, r);
            const bool same = std::memcmp(l.data(), r.data(), l.size() * sizeof(float)) == 0;
            EXPECT_EQ(same, wide == 0.0f);
            if (mode != 0 || wide == 0.0f) continue;
            // Single voice: compare where each channel's delay is longest.
            std::vector<float> tl(static_cast<std::size_t>(1.25 * kRate / kLfoHz), 0.0f), tr = tl;
            std::vector<double> right;
            const auto left = trackDelay(h, tl, tr, kSegment, &right);
            const auto argmax = [](const std::vector<double>& d) {
                return static_cast<double>(std::max_element(d.begin(), d.end()) - d.begin());
            };
            double lag = (argmax(left) - argmax(right)) * kSegment * kLfoHz / kRate;
            lag -= std::floor(lag); // in cycles, 0..1
            EXPECT_NEAR(lag, 0.25, 0.03);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Both effects

struct FxCase {
    const char* name;
    int module;
    const char* mode;
    int modeValue;
    const char* wet;
    const char* mute;
    int mixDestination; // modulation target code of the mix
};
const FxCase kEffects[] = {
    {"phaser", kModFxPhaser, "phs_stages", 3, "phs_wet", "phs_mute", 121},
    {"phaser vowel", kModFxPhaser, "phs_stages", 7, "phs_wet", "phs_mute", 121},
    {"chorus", kModFxChorus, "chr_mode", 2, "chr_wet", "chr_mute", 129},
    {"chorus ensemble", kModFxChorus, "chr_mode", 6, "chr_wet", "chr_mute", 129},
};

void processWith(FxHarness& h, int module, std::vector<float>& l, std::vector<float>& r) {
    if (module == kModFxPhaser)
        h.run(h.module<ModuleFxPhaser>(module), l, r);
    else
        h.run(h.module<ModuleFxChorus>(module), l, r);
}

bool identical(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

TEST(PhaserChorusActivity, SilentMixAndBypassLeaveAudioAndStateAlone) {
    // While inactive the block is untouched and nothing runs: afterwards the effect behaves
    // exactly like one that never saw those blocks.
    for (const FxCase& fx : kEffects) {
        for (const bool bypass : {false, true}) {
            SCOPED_TRACE(std::string(fx.name) + (bypass ? " bypass" : " mix 0"));
            FxHarness used(kRate), fresh(kRate);
            for (FxHarness* h : {&used, &fresh}) {
                h->option(fx.mode, fx.modeValue);
                if (bypass) {
                    h->set(fx.wet, 0.8f);
                    h->set(fx.mute, 1.0f);
                }
            }
            const std::vector<float> in = noise(20000, 0.5f, 11);
            std::vector<float> l = in, r = in;
            processWith(used, fx.module, l, r);
            EXPECT_TRUE(identical(l, in));
            EXPECT_TRUE(identical(r, in));

            for (FxHarness* h : {&used, &fresh}) {
                if (bypass)
                    h->set(fx.mute, 0.0f);
                else
                    h->set(fx.wet, 0.8f);
            }
            std::vector<float> l1 = noise(20000, 0.5f, 12), r1 = noise(20000, 0.5f, 13);
            std::vector<float> l2 = l1, r2 = r1;
            processWith(used, fx.module, l1, r1);
            processWith(fresh, fx.module, l2, r2);
            EXPECT_FALSE(identical(l1, noise(20000, 0.5f, 12))) << "effect never ran";
            EXPECT_TRUE(identical(l1, l2));
            EXPECT_TRUE(identical(r1, r2));
        }
    }
}

TEST(PhaserChorusActivity, ModulatedMixRunsAtMixZero) {
    // Constant 50% source (code 32) on the mix target: the effect must run although the mix
    // control itself is 0.
    for (const FxCase& fx : kEffects) {
        SCOPED_TRACE(fx.name);
        FxHarness h(kRate);
        h.option(fx.mode, fx.modeValue);
        const std::vector<float> in = noise(20000, 0.5f, 5);
        std::vector<float> l = in, r = in;
        processWith(h, fx.module, l, r);
        EXPECT_TRUE(identical(l, in)); // unmodulated mix 0: untouched

        h.route(0, 32, fx.mixDestination, 1.0f);
        l = in;
        r = in;
        processWith(h, fx.module, l, r);
        double diff = 0.0;
        for (std::size_t i = 0; i < in.size(); ++i) diff += std::fabs(l[i] - in[i]);
        EXPECT_GT(diff / static_cast<double>(in.size()), 0.01);
    }
}

float peakOf(const std::vector<float>& l, const std::vector<float>& r) {
    float peak = 0.0f;
    for (std::size_t i = 0; i < l.size(); ++i) {
        if (!std::isfinite(l[i]) || !std::isfinite(r[i])) return INFINITY;
        peak = std::max({peak, std::fabs(l[i]), std::fabs(r[i])});
    }
    return peak;
}

// Every mode of both effects in turn (states carried over, as when a user switches modes),
// each with all controls at each of `values`, on full-scale noise.
void everyModeBounded(float rate, int block, std::initializer_list<float> values, float limit) {
    struct ModeRange {
        int module;
        const char* mode;
        int last;
        std::vector<const char*> controls;
        const char* wet;
    };
    const ModeRange ranges[] = {
        {kModFxPhaser, "phs_stages", 9,
         {"phs_freq", "phs_fback", "phs_spread", "phs_rate", "phs_depth"}, "phs_wet"},
        {kModFxChorus, "chr_mode", 7,
         {"chr_delay", "chr_fback", "chr_rate", "chr_depth", "chr_wide", "chr_hicut",
          "chr_lowcut"},
         "chr_wet"},
    };
    const int frames = static_cast<int>(rate * 0.3f);
    for (const ModeRange& m : ranges) {
        FxHarness h(rate, block);
        h.set(m.wet, 1.0f);
        unsigned seed = 1;
        for (int mode = 0; mode <= m.last; ++mode) {
            h.option(m.mode, mode);
            for (const float value : values) {
                SCOPED_TRACE(std::string(m.mode) + " " + std::to_string(mode) + " controls " +
                             std::to_string(value));
                for (const char* c : m.controls) h.set(c, value);
                std::vector<float> l = noise(frames, 1.0f, ++seed);
                std::vector<float> r = noise(frames, 1.0f, ++seed);
                processWith(h, m.module, l, r);
                EXPECT_LT(peakOf(l, r), limit);
            }
        }
    }
}

TEST(PhaserChorusStability, FullFeedbackStaysBounded) {
    everyModeBounded(kRate, 256, {1.0f}, 200.0f);
}

TEST(PhaserChorusStability, ExtremeRatesAndControlsStayInRange) {
    // Lines and coefficients at both ends of the supported rates, all controls at either
    // end; the sanitizers catch any read outside a line.
    for (const float rate : {22050.0f, 192000.0f}) {
        SCOPED_TRACE("rate " + std::to_string(rate));
        everyModeBounded(rate, 512, {0.0f, 1.0f, 0.5f}, 200.0f);
    }
}

TEST(PhaserChorusStability, RecoverClearsNanState) {
    // A NaN block poisons every state it passes through; recover() must bring back clean output.
    for (const FxCase& fx : kEffects) {
        SCOPED_TRACE(fx.name);
        FxHarness h(kRate);
        h.option(fx.mode, fx.modeValue);
        h.set(fx.wet, 1.0f);
        std::vector<float> l(2048, NAN), r(2048, NAN);
        processWith(h, fx.module, l, r);
        if (fx.module == kModFxPhaser)
            h.module<ModuleFxPhaser>(fx.module).recover();
        else
            h.module<ModuleFxChorus>(fx.module).recover();
        l = noise(20000, 0.5f, 1);
        r = noise(20000, 0.5f, 2);
        processWith(h, fx.module, l, r);
        EXPECT_LT(peakOf(l, r), 100.0f);
    }
}

TEST(PhaserChorusStability, ProcessDoesNotAllocate) {
    for (const FxCase& fx : kEffects) {
        SCOPED_TRACE(fx.name);
        FxHarness h(kRate);
        h.option(fx.mode, fx.modeValue);
        h.set(fx.wet, 0.7f);
        h.route(0, 32, fx.mixDestination, 0.5f);
        std::vector<float> l = noise(8192, 0.5f, 9), r = noise(8192, 0.5f, 10);
        AllocationGuard guard;
        processWith(h, fx.module, l, r);
        EXPECT_EQ(guard.count(), 0);
    }
}

TEST(Chorus, ClearEmptiesTheLines) {
    // After a reset the long feedback tail of the lines is gone; without it the tail rings on.
    double tail[2] = {0, 0};
    for (const bool clear : {false, true}) {
        FxHarness h(kRate);
        stillChorus(h, 3, 1.0f);
        h.set("chr_fback", 1.0f);
        h.set("chr_lowcut", 0.4f);
        auto& fx = h.module<ModuleFxChorus>(kModFxChorus);
        std::vector<float> l = noise(20000, 0.5f, 4), r = l;
        h.run(fx, l, r);
        if (clear) fx.clear();
        std::vector<float> sl(8192, 0.0f), sr = sl;
        h.run(fx, sl, sr);
        tail[clear ? 1 : 0] = rms(sl, 1024);
    }
    EXPECT_GT(tail[0], 0.05);
    EXPECT_LT(tail[1], tail[0] * 0.01);
}

} // namespace
} // namespace kolva::test
