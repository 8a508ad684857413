// Phaser and chorus measured on signals: notches of the all-pass chain and their sweep, vowel
// resonances, chorus taps and their modulation, stereo offsets, activity rules, stability and
// state resets. Building an engine is the slow part, so each test reuses one across its cases.

#include "fx/module_fx_chorus.h"
#include "fx/module_fx_phaser.h"

#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
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
double noteHz(double control) {
    return 440.0 * std::exp2((control * 119.0 - 53.0) / 12.0);
}

std::vector<double> logGrid(double lo, double hi, int points) {
    std::vector<double> f;
    for (int i = 0; i < points; ++i)
        f.push_back(lo * std::pow(hi / lo, i / (points - 1.0)));
    return f;
}

// |DFT| of x[from, from + count) at each grid frequency (Goertzel: cheap per point).
std::vector<double> spectrum(const std::vector<float>& x, std::size_t from, std::size_t count,
                             const std::vector<double>& grid) {
    std::vector<double> m;
    for (const double hz : grid) {
        const double c = 2.0 * std::cos(2.0 * kPi * hz / kRate);
        double s1 = 0.0, s2 = 0.0;
        for (std::size_t n = from; n < from + count; ++n) {
            const double s = x[n] + c * s1 - s2;
            s2 = s1;
            s1 = s;
        }
        m.push_back(std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - c * s1 * s2)));
    }
    return m;
}

// Notch frequencies: dips below 0.2 (the dry/wet 50/50 response peaks at 1 between them),
// each refined by a parabola through |H|^2 on the log grid.
std::vector<double> notches(const std::vector<double>& m, const std::vector<double>& grid) {
    std::vector<double> found;
    std::size_t best = 0;
    bool inside = false;
    for (std::size_t i = 0; i < m.size(); ++i) {
        if (!inside && m[i] < 0.2) inside = true, best = i;
        if (!inside) continue;
        if (m[i] < m[best]) best = i;
        if (m[i] <= 0.5) continue;
        inside = false;
        double shift = 0.0;
        if (best > 0) {
            const double a = m[best - 1] * m[best - 1], b = m[best] * m[best],
                         c = m[best + 1] * m[best + 1];
            if (a - 2.0 * b + c > 0.0)
                shift = std::clamp(0.5 * (a - c) / (a - 2.0 * b + c), -1.0, 1.0);
        }
        found.push_back(grid[best] * std::pow(grid[1] / grid[0], shift));
    }
    return found;
}

// Interpolated indices where `track` rises through `level`.
std::vector<double> risings(const std::vector<double>& track, double level) {
    std::vector<double> at;
    for (std::size_t s = 1; s < track.size(); ++s)
        if (track[s - 1] < level && track[s] >= level)
            at.push_back(static_cast<double>(s - 1) +
                         (level - track[s - 1]) / (track[s] - track[s - 1]));
    return at;
}

// How far b runs ahead of a, in cycles of `period` (0..1).
double lead(double a, double b, double period) {
    return (a - b) / period - std::floor((a - b) / period);
}

std::vector<float> noise(int n, float amplitude, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-amplitude, amplitude);
    std::vector<float> x(static_cast<std::size_t>(n));
    for (float& v : x)
        v = u(rng);
    return x;
}

// One unit impulse at the start of each of `segments` segments.
std::vector<float> train(int segment, int segments) {
    std::vector<float> x(static_cast<std::size_t>(segment * segments), 0.0f);
    for (std::size_t i = 0; i < x.size(); i += static_cast<std::size_t>(segment))
        x[i] = 1.0f;
    return x;
}

bool identical(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

ModuleFxPhaser& phaser(FxHarness& h) {
    return h.module<ModuleFxPhaser>(kModFxPhaser);
}
ModuleFxChorus& chorus(FxHarness& h) {
    return h.module<ModuleFxChorus>(kModFxChorus);
}

void processWith(FxHarness& h, int module, std::vector<float>& l, std::vector<float>& r) {
    if (module == kModFxPhaser)
        h.run(phaser(h), l, r);
    else
        h.run(chorus(h), l, r);
}

// Silence until every smoother sits on its target (any glide ends within ~3700 samples at
// 44.1 kHz), then the effect's state zeroed: the next case starts like a fresh effect whose
// controls were always there, except for the LFO phases.
template <class Fx> void settle(FxHarness& h, Fx& fx) {
    std::vector<float> l(5120, 0.0f), r = l;
    h.run(fx, l, r);
    fx.recover();
}

// Sub-sample position of the largest |x| in [from, to), by a parabola through the peak.
double peakPosition(const std::vector<float>& x, std::size_t from, std::size_t to) {
    std::size_t best = from;
    for (std::size_t i = from; i < to; ++i)
        if (std::fabs(x[i]) > std::fabs(x[best])) best = i;
    if (best == 0 || best + 1 >= x.size()) return static_cast<double>(best);
    const double a = std::fabs(x[best - 1]), b = std::fabs(x[best]), c = std::fabs(x[best + 1]);
    return static_cast<double>(best) +
           (a - 2.0 * b + c < 0.0 ? 0.5 * (a - c) / (a - 2.0 * b + c) : 0.0);
}

// Peaks above 0.3 at least 40 samples apart: sub-sample positions, negated for negative peaks.
std::vector<double> taps(const std::vector<float>& x) {
    std::vector<double> found;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (std::fabs(x[i]) < 0.3f) continue;
        const double p = peakPosition(x, i, std::min(x.size(), i + 40));
        found.push_back(x[static_cast<std::size_t>(std::lround(p))] < 0.0f ? -p : p);
        i += 39;
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

TEST(Phaser, ClassicModesCascadeTwoToTwelveAllPassStages) {
    // N first-order all-passes at break coefficient w give total phase -2N atan(tan(pi f/sr)/w);
    // mixed 50/50 with the dry signal that cancels at every odd multiple of -pi: N/2 notches.
    // A fast LFO without depth must not move them.
    constexpr float kCentre = 0.7f;
    const double w = noteHz(kCentre) / kRate;
    const auto grid = logGrid(20.0, 20000.0, 1200);
    FxHarness h(kRate);
    for (int mode = 0; mode <= 5; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        stillPhaser(h, mode, kCentre);
        h.set("phs_rate", 0.8f); // 9 Hz
        settle(h, phaser(h));
        std::vector<float> l = impulse(2048), r = l;
        h.run(phaser(h), l, r);
        EXPECT_TRUE(identical(l, r));
        const auto m = spectrum(l, 0, l.size(), grid);
        // Between the notches the all-pass sum comes back to unity.
        EXPECT_NEAR(*std::max_element(m.begin(), m.end()), 1.0, 0.02);
        const int stages = 2 * mode + 2;
        const auto found = notches(m, grid);
        ASSERT_EQ(static_cast<int>(found.size()), stages / 2);
        for (int k = 0; k < stages / 2; ++k) {
            const double expected =
                kRate / kPi * std::atan(w * std::tan((2 * k + 1) * kPi / (2.0 * stages)));
            EXPECT_NEAR(found[static_cast<std::size_t>(k)] / expected, 1.0, 0.01) << k;
        }
    }
}

TEST(Phaser, NotchFollowsTheLfoWithDepthAndStereoLeadsTheRight) {
    // Two stages: the notch sits where one stage turns by -pi/2, sr/pi atan(f/sr) for the
    // swept note frequency f; the sweep runs from the centre up by depth of the rest, once per
    // LFO cycle. Full stereo runs the right LFO an eighth of a cycle ahead; none leaves the
    // channels equal.
    constexpr float kCentre = 0.5f;
    constexpr double kLfoHz = 1.25; // rate control 5/11
    constexpr int kSegment = 512;   // one impulse response each, ~70 per LFO cycle
    constexpr int kSegments = static_cast<int>(2.2 * kRate / kLfoHz / kSegment);
    const auto notchAt = [](double control) {
        return kRate / kPi * std::atan(noteHz(control) / kRate);
    };
    const auto grid = logGrid(200.0, 5000.0, 250);
    struct Case {
        float depth, stereo;
    };
    FxHarness h(kRate);
    for (const Case c : {Case{0.3f, 0.0f}, Case{0.6f, 1.0f}}) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        stillPhaser(h, 0, kCentre);
        h.set("phs_depth", c.depth);
        h.set("phs_rate", 5.0f / 11.0f);
        h.set("phs_spread", c.stereo);
        settle(h, phaser(h));
        std::vector<float> l = train(kSegment, kSegments), r = l;
        h.run(phaser(h), l, r);
        std::vector<double> track[2];
        for (int s = 0; s < kSegments; ++s) {
            for (int ch = 0; ch < 2; ++ch) {
                const auto m = spectrum(ch == 0 ? l : r, s * kSegment, kSegment, grid);
                const auto found = notches(m, grid);
                ASSERT_EQ(found.size(), 1u) << "segment " << s << " channel " << ch;
                track[ch].push_back(found.front());
            }
        }
        const double lo = *std::min_element(track[0].begin(), track[0].end());
        const double hi = *std::max_element(track[0].begin(), track[0].end());
        EXPECT_NEAR(lo / notchAt(kCentre), 1.0, 0.04);
        EXPECT_NEAR(hi / notchAt(kCentre + (1.0 - kCentre) * c.depth), 1.0, 0.04);
        EXPECT_EQ(identical(l, r), c.stereo == 0.0f);
        const auto left = risings(track[0], std::sqrt(lo * hi));
        const auto right = risings(track[1], std::sqrt(lo * hi));
        ASSERT_GE(left.size(), 2u);
        ASSERT_GE(right.size(), 1u);
        const double period = left[1] - left[0];
        EXPECT_NEAR(period * kSegment / kRate * kLfoHz, 1.0, 0.01);
        EXPECT_NEAR(lead(left[0], right[0], period), c.stereo * 0.125, 0.015);
    }
}

TEST(Phaser, VowelModesRingBelowEachFormant) {
    // Each band is its all-pass chain in negative feedback; it rings at 0.5 to 0.6 of its
    // formant frequency (the chain's break sits well under the frequency that sets it). Centre
    // 0 reads the first vowel: 805, 1140, 2900, 3900 Hz, stretched per mode; the right channel
    // is tuned 200 Hz higher at full stereo. Modes past 9 are mode 9.
    constexpr double kVowel[4] = {805.0, 1140.0, 2900.0, 3900.0};
    struct Case {
        int mode;
        double scale, shift;
    };
    const auto grid = logGrid(100.0, 15000.0, 1500);
    const auto resonances = [&grid](const std::vector<float>& ir) {
        const auto m = spectrum(ir, 0, ir.size(), grid);
        const double floor = *std::min_element(m.begin(), m.end());
        std::vector<double> peaks;
        for (std::size_t i = 1; i + 1 < m.size(); ++i)
            if (m[i] > m[i - 1] && m[i] >= m[i + 1] && m[i] > 8.0 * floor) peaks.push_back(grid[i]);
        return peaks;
    };
    FxHarness h(kRate);
    std::vector<float> plain;
    for (const Case c : {Case{6, 1.2, -100.0}, Case{7, 1.5, 0.0}, Case{8, 1.5, 500.0},
                         Case{9, 1.0, 0.0}, Case{40, 1.0, 0.0}}) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        stillPhaser(h, c.mode, 0.0f);
        h.set("phs_wet", 1.0f);
        h.set("phs_fback", 1.0f); // sharpest resonances
        h.set("phs_spread", 1.0f);
        settle(h, phaser(h));
        std::vector<float> l = impulse(8192), r = l;
        h.run(phaser(h), l, r);
        if (c.mode == 40) {
            EXPECT_TRUE(identical(l, plain));
            continue;
        }
        plain = l;
        const auto left = resonances(l), right = resonances(r);
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

TEST(Chorus, TapsSitAtTheirShareOfTheDelay) {
    // Delay control 0.5 reads 0.2406 from the delay curve. Voice modes: each voice reads its
    // factor of (delay + 0.01) seconds, both channels alike; mode 4 is mode 2's voices, mode 5
    // doubles mode 3's. Ensemble (6 and past): 60 ms x delay at half and full length, the
    // second tap subtracted; full width moves the right taps by 5% of the span.
    constexpr double kVoice = (0.2406 + 0.01) * kRate;
    constexpr double kEnsemble = 0.06 * 0.2406 * kRate;
    struct Case {
        int mode;
        float wide;
        std::vector<double> left; // signed tap positions in samples
        double rightShift;
    };
    std::vector<Case> cases = {
        {0, 0.0f, {0.04 * kVoice}, 0.0},
        {1, 0.0f, {0.032 * kVoice, 0.041 * kVoice}, 0.0},
        {2, 0.0f, {0.025 * kVoice, 0.034 * kVoice, 0.045 * kVoice}, 0.0},
        {3, 0.0f, {0.012 * kVoice, 0.023 * kVoice, 0.037 * kVoice, 0.042 * kVoice}, 0.0},
        {4, 0.0f, {0.025 * kVoice, 0.034 * kVoice, 0.045 * kVoice}, 0.0},
        {5, 0.0f, {0.024 * kVoice, 0.046 * kVoice, 0.074 * kVoice, 0.084 * kVoice}, 0.0},
    };
    for (const int mode : {6, 7, 50})
        for (const float wide : {0.0f, 1.0f})
            cases.push_back({mode, wide, {0.5 * kEnsemble, -kEnsemble}, wide * 0.05 * kEnsemble});
    FxHarness h(kRate);
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " wide " + std::to_string(c.wide));
        stillChorus(h, c.mode, 0.5f);
        h.set("chr_wide", c.wide);
        settle(h, chorus(h));
        std::vector<float> l = impulse(2048), r = l;
        h.run(chorus(h), l, r);
        EXPECT_EQ(identical(l, r), c.rightShift == 0.0);
        for (int ch = 0; ch < 2; ++ch) {
            const auto found = taps(ch == 0 ? l : r);
            ASSERT_EQ(found.size(), c.left.size()) << "channel " << ch;
            for (std::size_t v = 0; v < found.size(); ++v) {
                const double shift = ch == 1 ? std::copysign(c.rightShift, c.left[v]) : 0.0;
                EXPECT_NEAR(found[v], c.left[v] + shift, 1.5) << "tap " << v;
            }
        }
    }
}

TEST(Chorus, LfoSwingsTheDelayThroughDepthAndSpreadCurves) {
    // Mode 0: delay = 0.04 x (cosine LFO x 0.24 x depth curve + delay curve + 0.01) seconds,
    // the LFO at the rate control's speed. Delay control 0 leaves 0.4 ms; the swing on top
    // follows the depth curve. Without spread the right channel is the left exactly; full
    // spread puts its LFO a quarter cycle ahead. The same holds for every voice of the
    // many-voice and multi-rate modes.
    struct Case {
        float depth;
        double curve; // depth curve value
        float wide;
    };
    constexpr double kLfoHz = 1.25; // rate control 5/11
    constexpr int kSegment = 512;   // one impulse each, ~70 per LFO cycle
    FxHarness h(kRate);
    for (const Case c : {Case{0.0f, 0.0, 0.0f}, Case{0.5f, 0.2393, 0.0f}, Case{0.7f, 0.42770, 0.0f},
                         Case{1.0f, 1.0, 1.0f}}) {
        SCOPED_TRACE("depth " + std::to_string(c.depth));
        stillChorus(h, 0, 0.0f);
        h.set("chr_depth", c.depth);
        h.set("chr_rate", 5.0f / 11.0f);
        h.set("chr_wide", c.wide);
        settle(h, chorus(h));
        // Just over one LFO cycle; two with spread, to time the cycle too.
        const double cycles = c.wide == 0.0f ? 1.15 : 2.2;
        std::vector<float> l =
            train(kSegment, static_cast<int>(cycles * kRate / kLfoHz / kSegment));
        std::vector<float> r = l;
        h.run(chorus(h), l, r);
        std::vector<double> delay[2];
        for (std::size_t i = 0; i < l.size(); i += kSegment) {
            delay[0].push_back(peakPosition(l, i, i + kSegment) - static_cast<double>(i));
            delay[1].push_back(peakPosition(r, i, i + kSegment) - static_cast<double>(i));
        }
        const double lo = *std::min_element(delay[0].begin(), delay[0].end());
        const double hi = *std::max_element(delay[0].begin(), delay[0].end());
        const double swing = 0.04 * 0.24 * c.curve * kRate;
        EXPECT_NEAR(lo, 0.04 * 0.01 * kRate, 1.5);
        EXPECT_NEAR(hi - lo, swing, 0.5 + 0.01 * swing);
        EXPECT_EQ(identical(l, r), c.wide == 0.0f);
        if (c.wide == 0.0f) continue;
        const auto left = risings(delay[0], 0.5 * (lo + hi));
        const auto right = risings(delay[1], 0.5 * (lo + hi));
        ASSERT_GE(left.size(), 2u);
        ASSERT_FALSE(right.empty());
        const double period = left[1] - left[0];
        EXPECT_NEAR(period * kSegment / kRate * kLfoHz, 1.0, 0.01);
        EXPECT_NEAR(lead(left[0], right[0], period), 0.25, 0.02);
    }
    for (const int mode : {3, 5}) {
        for (const float wide : {0.0f, 1.0f}) {
            SCOPED_TRACE("mode " + std::to_string(mode) + " wide " + std::to_string(wide));
            stillChorus(h, mode, 0.3f);
            h.set("chr_depth", 1.0f);
            h.set("chr_wide", wide);
            settle(h, chorus(h));
            std::vector<float> l = noise(8192, 0.5f, 3), r = l;
            h.run(chorus(h), l, r);
            EXPECT_EQ(identical(l, r), wide == 0.0f);
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
};
const FxCase kEffects[] = {
    {"phaser", kModFxPhaser, "phs_stages", 3, "phs_wet", "phs_mute"},
    {"phaser vowel", kModFxPhaser, "phs_stages", 7, "phs_wet", "phs_mute"},
    {"chorus", kModFxChorus, "chr_mode", 2, "chr_wet", "chr_mute"},
    {"chorus ensemble", kModFxChorus, "chr_mode", 6, "chr_wet", "chr_mute"},
};

TEST(PhaserChorusActivity, SilentMixAndBypassLeaveAudioAndStateAlone) {
    // While inactive the block is untouched and nothing runs: afterwards the effect behaves
    // exactly like a twin that went through the same cases without those blocks.
    FxHarness used(kRate), twin(kRate);
    for (const FxCase& fx : kEffects) {
        for (const bool bypass : {false, true}) {
            SCOPED_TRACE(std::string(fx.name) + (bypass ? " bypass" : " mix 0"));
            for (FxHarness* h : {&used, &twin}) {
                h->option(fx.mode, fx.modeValue);
                h->set(fx.wet, bypass ? 0.8f : 0.0f);
                h->set(fx.mute, bypass ? 1.0f : 0.0f);
            }
            const std::vector<float> in = noise(4096, 0.5f, 11);
            std::vector<float> l = in, r = in;
            processWith(used, fx.module, l, r);
            EXPECT_TRUE(identical(l, in));
            EXPECT_TRUE(identical(r, in));

            for (FxHarness* h : {&used, &twin}) {
                h->set(fx.mute, 0.0f);
                h->set(fx.wet, 0.8f);
            }
            const std::vector<float> inL = noise(8192, 0.5f, 12), inR = noise(8192, 0.5f, 13);
            std::vector<float> l1 = inL, r1 = inR, l2 = inL, r2 = inR;
            processWith(used, fx.module, l1, r1);
            processWith(twin, fx.module, l2, r2);
            EXPECT_FALSE(identical(l1, inL)) << "effect never ran";
            EXPECT_TRUE(identical(l1, l2));
            EXPECT_TRUE(identical(r1, r2));
        }
    }
}

TEST(PhaserChorusActivity, ModulatedMixRunsAtMixZeroWithoutAllocating) {
    // Constant 50% source (code 32) on the mix target: the effect must run although the mix
    // control itself is 0, and its block must not touch the heap.
    FxHarness h(kRate);
    h.route(0, 32, 121, 1.0f); // phaser mix
    h.route(1, 32, 129, 1.0f); // chorus mix
    for (const FxCase& fx : kEffects) {
        SCOPED_TRACE(fx.name);
        h.option(fx.mode, fx.modeValue);
        h.set(fx.wet, 0.0f);
        const std::vector<float> in = noise(8192, 0.5f, 5);
        std::vector<float> l = in, r = in;
        AllocationGuard guard;
        processWith(h, fx.module, l, r);
        EXPECT_EQ(guard.count(), 0);
        double diff = 0.0;
        for (std::size_t i = 0; i < in.size(); ++i)
            diff += std::fabs(l[i] - in[i]);
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

TEST(PhaserChorusStability, EveryModeStaysBoundedAtExtremeControlsAndRates) {
    // Every mode of both effects in turn (states carried over, as when a user switches
    // modes), all controls at either end and between, on full-scale noise: full feedback must
    // not run away, and at both ends of the supported rates the sanitizers catch any read
    // outside a line.
    struct ModeRange {
        const FxCase& fx;
        int last;
        std::vector<const char*> controls;
    };
    const ModeRange ranges[] = {
        {kEffects[0], 9, {"phs_freq", "phs_fback", "phs_spread", "phs_rate", "phs_depth"}},
        {kEffects[2],
         7,
         {"chr_delay", "chr_fback", "chr_rate", "chr_depth", "chr_wide", "chr_hicut",
          "chr_lowcut"}},
    };
    for (const float rate : {22050.0f, 44100.0f, 192000.0f}) {
        FxHarness h(rate, 512);
        unsigned seed = 1;
        for (const ModeRange& m : ranges) {
            h.set(m.fx.wet, 1.0f);
            for (int mode = 0; mode <= m.last; ++mode) {
                h.option(m.fx.mode, mode);
                for (const float value : {0.0f, 1.0f, 0.5f}) {
                    SCOPED_TRACE(std::string(m.fx.mode) + " " + std::to_string(mode) +
                                 " controls " + std::to_string(value) + " rate " +
                                 std::to_string(rate));
                    for (const char* c : m.controls)
                        h.set(c, value);
                    std::vector<float> l = noise(static_cast<int>(rate * 0.12f), 1.0f, ++seed);
                    std::vector<float> r = noise(static_cast<int>(l.size()), 1.0f, ++seed);
                    processWith(h, m.fx.module, l, r);
                    EXPECT_LT(peakOf(l, r), 200.0f);
                }
            }
        }
    }
}

TEST(PhaserChorusStability, ClearAndRecoverDropOldState) {
    // clear() empties the chorus lines: their long feedback tail is gone, while without it the
    // tail rings on. It comes a little after the input stopped, as it leaves the input filters
    // alone, whose own short ring would feed the lines again.
    FxHarness h(kRate);
    stillChorus(h, 3, 1.0f);
    h.set("chr_fback", 1.0f);
    h.set("chr_lowcut", 0.4f);
    double tail[2] = {0, 0};
    for (const bool clear : {false, true}) {
        std::vector<float> l = noise(8192, 0.5f, 4);
        l.resize(8704, 0.0f);
        std::vector<float> r = l;
        h.run(chorus(h), l, r);
        if (clear) chorus(h).clear();
        std::vector<float> sl(8192, 0.0f), sr = sl;
        h.run(chorus(h), sl, sr);
        tail[clear ? 1 : 0] = rms(sl, 1024);
    }
    EXPECT_GT(tail[0], 0.05);
    EXPECT_LT(tail[1], tail[0] * 0.01);

    // A NaN block poisons every state it passes through; recover() must bring back clean output.
    for (const FxCase& fx : kEffects) {
        SCOPED_TRACE(fx.name);
        h.option(fx.mode, fx.modeValue);
        h.set(fx.wet, 1.0f);
        std::vector<float> l(2048, NAN), r(2048, NAN);
        processWith(h, fx.module, l, r);
        if (fx.module == kModFxPhaser)
            phaser(h).recover();
        else
            chorus(h).recover();
        l = noise(4096, 0.5f, 1);
        r = noise(4096, 0.5f, 2);
        processWith(h, fx.module, l, r);
        EXPECT_LT(peakOf(l, r), 100.0f);
    }
}

} // namespace
} // namespace kolva::test
