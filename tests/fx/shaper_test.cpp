// The shaper effect: when it leaves the audio alone, its curves, the crusher's grid and hold,
// distortion growing with drive, aliasing of the oversampled path, the hard clip's bound,
// silence, recovery from NaN, every rate and type finite, and no allocation while processing.

#include "engine/module_id.h"
#include "fx/module_fx_shaper.h"
#include "fx/shaper_curves.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <numbers>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kolva::test {
namespace {

using Buffer = std::vector<float>;
constexpr double kPi = std::numbers::pi;
constexpr int kTableTypes[] = {0, 1, 2, 3, 4, 5, 7, 8, 11, 12, 13};

struct Config {
    int type = 1;
    bool oversample = false;
    bool filteredOnly = false;
    float drive = 0.0f;
    float bits = 1.0f;
    float rate = 1.0f;
    float hiCut = 1.0f;
    float lowCut = 0.0f;
    float mix = 1.0f;
};

std::string describe(const Config& s) {
    return "type " + std::to_string(s.type) + (s.oversample ? " 8x" : " 1x") +
           (s.filteredOnly ? " filtered" : " split") + " drive " + std::to_string(s.drive);
}

// An engine whose shaper the tests drive directly.
class Rig {
public:
    explicit Rig(float rate = 44100.0f)
        : h(rate, 256), fx(h.module<ModuleFxShaper>(kModFxShaper)) {}

    void apply(const Config& s) {
        h.option("shp_mode", s.type);
        h.set("shp_hq", s.oversample ? 1.0f : 0.0f);
        h.set("shp_band", s.filteredOnly ? 1.0f : 0.0f);
        h.set("shp_mute", 0.0f);
        glide("shp_drive", ModuleFxShaper::kDrive, s.drive);
        glide("shp_bit", ModuleFxShaper::kBits, s.bits);
        glide("shp_sr", ModuleFxShaper::kRate, s.rate);
        glide("shp_hicut", ModuleFxShaper::kHiCut, s.hiCut);
        glide("shp_lowcut", ModuleFxShaper::kLowCut, s.lowCut);
        glide("shp_wet", ModuleFxShaper::kMix, s.mix);
    }
    // The state of a new instance whose controls have reached `s`: the controls glide there
    // over silence, then filters and hold go back to rest.
    void reset(const Config& s) {
        apply(s);
        Buffer l(static_cast<std::size_t>(h.rate / 40.0f), 0.0f), r = l;
        run(l, r);
        for (int slot = ModuleFxShaper::kDrive; slot <= ModuleFxShaper::kMix; ++slot)
            ASSERT_NE(fx.smoother(slot).state(), 1u) << "control " << slot << " still moving";
        fx.recover();
    }
    void run(Buffer& l, Buffer& r) { h.run(fx, l, r); }
    // Resets to `s`, then returns the left output for `in` on both channels.
    Buffer mono(const Config& s, const Buffer& in) {
        reset(s);
        Buffer l = in, r = in;
        run(l, r);
        return l;
    }

    FxHarness h;
    ModuleFxShaper& fx;

private:
    // Leaps to the far end of the range first, so the glide takes the fast path (~10 ms).
    void glide(const char* name, int slot, float value) {
        h.set(name, fx.smoother(slot).current() < 0.5f ? 1.0f : 0.0f);
        h.set(name, value);
    }
};

// Building an engine is what costs, so the tests share one per sample rate (and a second at
// 44.1 kHz for comparisons); every case starts from reset().
Rig& rig(float rate = 44100.0f, int copy = 0) {
    static std::map<std::pair<float, int>, std::unique_ptr<Rig>> rigs;
    auto& r = rigs[{rate, copy}];
    if (!r) r = std::make_unique<Rig>(rate);
    return *r;
}

// Amplitude of the component at `hz` over x[from, from + n) (n holding whole periods).
double amplitudeAt(const Buffer& x, std::size_t from, std::size_t n, double hz, double rate) {
    double re = 0.0, im = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 2.0 * kPi * hz * static_cast<double>(i) / rate;
        re += x[from + i] * std::cos(w);
        im += x[from + i] * std::sin(w);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(n);
}

// Harmonics 2..20 against the fundamental.
double thd(const Buffer& x, std::size_t from, std::size_t n, double f0, double rate) {
    double sum = 0.0;
    for (int k = 2; k <= 20 && k * f0 < rate / 2; ++k) {
        const double a = amplitudeAt(x, from, n, k * f0, rate);
        sum += a * a;
    }
    return std::sqrt(sum) / amplitudeAt(x, from, n, f0, rate);
}

// Power in the DFT bins of x[from, from + n) that are not harmonics of `harmonicBin`, over
// the harmonic power.
double aliasRatio(const Buffer& x, std::size_t from, int n, int harmonicBin) {
    double alias = 0.0, wanted = 0.0;
    for (int k = 1; k < n / 2; ++k) {
        const double a = amplitudeAt(x, from, static_cast<std::size_t>(n), k, n);
        (k % harmonicBin == 0 ? wanted : alias) += a * a;
    }
    return alias / wanted;
}

bool bitIdentical(const Buffer& a, const Buffer& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// ---- when the effect stays out of the way ----

TEST(ShaperActivity, MixZeroOrBypassLeavesAudioBitIdenticalAndFiltersAtRest) {
    // Two instances get the same new controls; one sits idle through a note first. Switched
    // on, it must match the other exactly: neither its filters nor its glides moved meanwhile.
    Rig& idle = rig(44100.0f, 0);
    Rig& other = rig(44100.0f, 1);
    const Buffer first = sine(1024, 300.0f, 44100.0f, 0.7f);
    const Buffer second = sine(1024, 523.0f, 44100.0f, 0.6f);
    for (bool bypass : {false, true}) { // idle by bypass, or by mix 0
        for (bool os : {false, true}) {
            SCOPED_TRACE(std::string(bypass ? "bypass" : "mix 0") + (os ? " 8x" : " 1x"));
            for (Rig* r : {&idle, &other}) {
                r->reset(Config{.type = 1, .oversample = os});
                r->apply(Config{
                    .type = 1, .oversample = os, .drive = 0.6f, .hiCut = 0.6f, .lowCut = 0.3f});
            }
            idle.h.set(bypass ? "shp_mute" : "shp_wet", bypass ? 1.0f : 0.0f);
            Buffer l = first, r = first;
            idle.run(l, r);
            EXPECT_TRUE(bitIdentical(l, first));
            EXPECT_TRUE(bitIdentical(r, first));

            idle.h.set("shp_mute", 0.0f);
            idle.h.set("shp_wet", 1.0f);
            Buffer la = second, ra = second, lb = second, rb = second;
            idle.run(la, ra);
            other.run(lb, rb);
            EXPECT_FALSE(bitIdentical(la, second)); // it does process now
            EXPECT_TRUE(bitIdentical(la, lb));
            EXPECT_TRUE(bitIdentical(ra, rb));
        }
    }
}

TEST(ShaperActivity, ModulatedMixRunsTheEffectAtMixZero) {
    Rig own;                       // the route stays with this engine
    own.h.route(0, 32, 115, 1.0f); // constant 50% -> Shp_DryWet
    const Buffer in = sine(2048, 440.0f, 44100.0f, 0.5f);
    const Buffer out = own.mono(Config{.type = 3, .drive = 0.7f, .mix = 0.0f}, in);
    double diff = 0.0;
    for (std::size_t i = 1024; i < in.size(); ++i)
        diff = std::max(diff, double(std::fabs(out[i] - in[i])));
    EXPECT_GT(diff, 0.05);
}

// ---- curves ----

TEST(ShaperCurves, CompletedCurvesHitTheirRowsAndKeepTheirShape) {
    const fx::ShaperCurves& c = fx::shaperCurves();
    struct Case {
        const char* name;
        const fx::ShaperCurves::Curve* curve;
        float rows[9]; // indices 0, 128, ..., 896, 1023
        bool symmetric;
        float middleLow; // index 511, the lower half of a "±" middle row
    };
    constexpr float kNoPair = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"A",
         &c.softA,
         {-1, -0.9523f, -0.7875f, -0.4648f, 0.002f, 0.468f, 0.7895f, 0.953f, 1},
         true,
         -0.002f},
        {"B",
         &c.warmB,
         {-0.8f, -0.9643f, -0.918f, -0.5874f, 0.0025f, 0.5912f, 0.9195f, 0.9637f, 0.8f},
         true,
         -0.0025f},
        {"C",
         &c.hardC,
         {-1, -0.9847f, -0.9242f, -0.7674f, 0.0096f, 0.7694f, 0.9249f, 0.985f, 1},
         true,
         -0.0096f},
        {"D",
         &c.linearD,
         {-0.9f, -0.6748f, -0.4496f, -0.2243f, 0.0009f, 0.2261f, 0.4513f, 0.6765f, 0.9f},
         true,
         -0.0009f},
        {"E",
         &c.tubeE,
         {-1, -0.9692f, -0.8519f, -0.5733f, 0.0043f, 0.4099f, 0.408f, 0.2434f, 0.008f},
         false,
         -0.0043f},
        {"tube3 negative",
         &c.asymNegative,
         {-1, -1.1297f, -1.2099f, -1.2431f, -1.228f, -1.156f, -1.011f, -0.7423f, 0},
         false,
         kNoPair},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const auto& t = *k.curve;
        for (int row = 0; row < 9; ++row) {
            const int at = row < 8 ? 128 * row : 1023;
            EXPECT_NEAR(t[at], k.rows[row], 1e-4) << "row " << row;
        }
        if (!std::isnan(k.middleLow)) {
            EXPECT_NEAR(t[511], k.middleLow, 1e-4);
        }
        for (int i = 0; k.symmetric && i < 1024; ++i)
            ASSERT_EQ(t[i], -t[1023 - i]) << i;
        // Completed smoothly: no step larger than the steepest given stretch allows.
        for (int i = 1; i < 1024; ++i)
            ASSERT_LT(std::fabs(t[i] - t[i - 1]), 0.02f) << i;
    }

    // Soft and hard only rise; warm overshoots to about 0.96 and falls back to 0.8; the
    // positive half of E rises to about 0.44 and falls back towards 0.
    EXPECT_TRUE(std::is_sorted(c.softA.begin(), c.softA.end()));
    EXPECT_TRUE(std::is_sorted(c.hardC.begin(), c.hardC.end()));
    const float warmPeak = *std::max_element(c.warmB.begin(), c.warmB.end());
    EXPECT_GT(warmPeak, 0.955f);
    EXPECT_LT(warmPeak, 0.99f);
    const auto tubePeak = std::max_element(c.tubeE.begin() + 512, c.tubeE.end());
    EXPECT_NEAR(*tubePeak, 0.44f, 0.02f);
    EXPECT_GT(tubePeak - c.tubeE.begin(), 640);
    EXPECT_LT(tubePeak - c.tubeE.begin(), 768);
}

// ---- crusher ----

TEST(ShaperCrusher, FullResolutionAndRatePassTheSignalUnfiltered) {
    // Type 10 is the crusher alone: cutoffs far in must not touch it in either band mode.
    Buffer in = sine(2048, 3000.0f, 44100.0f, 0.8f);
    for (std::size_t i = 0; i < in.size(); ++i)
        in[i] += 0.1f * std::sin(0.37f * float(i));
    for (bool filtered : {false, true}) {
        SCOPED_TRACE(filtered ? "filtered" : "split");
        const Buffer out = rig().mono(
            Config{.type = 10, .filteredOnly = filtered, .hiCut = 0.2f, .lowCut = 0.6f}, in);
        for (std::size_t i = 0; i < in.size(); ++i)
            ASSERT_NEAR(out[i], in[i], 1.0 / 65535.0 + 1e-6) << i;
    }
}

TEST(ShaperCrusher, BitResolutionQuantisesToTheLevelGrid) {
    struct Case {
        float bits;
        double levels;
    };
    const Case cases[] = {{0.0f, 4.0},
                          {5.0f / 31, 7.8657},
                          {10.0f / 31, 14.38},
                          {20.0f / 31, 46.096},
                          {30.0f / 31, 256.0}};
    const float amplitude = 0.9f;
    // One period, slow enough that no level is skipped.
    const Buffer in = sine(2205, 20.0f, 44100.0f, amplitude);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.levels);
        const Buffer out = rig().mono(Config{.type = 10, .bits = c.bits}, in);
        std::set<long> steps;
        for (std::size_t i = 0; i < out.size(); ++i) {
            const double step = out[i] * c.levels;
            ASSERT_NEAR(step, std::round(step), 2e-3) << i;
            ASSERT_LE(std::fabs(out[i] - in[i]), 0.75 / c.levels + 1e-5) << i;
            steps.insert(std::lround(step));
        }
        // Symmetric rounding with a threshold a quarter step above each half: 2m + 1 levels.
        const long m = static_cast<long>(std::floor(amplitude * c.levels + 0.25));
        EXPECT_EQ(static_cast<long>(steps.size()), 2 * m + 1);
    }
}

TEST(ShaperCrusher, RateReductionHoldsEachSampleForTheScaledCount) {
    struct Case {
        float rate;
        float sampleRate;
        int hold; // int(hold table x 44100 / rate x 220 + 1)
    };
    const Case cases[] = {{0.0f, 44100.0f, 221},      {28.0f / 31, 44100.0f, 8},
                          {30.0f / 31, 44100.0f, 3},  {0.0f, 22050.0f, 441},
                          {20.0f / 31, 48000.0f, 20}, {10.0f / 31, 96000.0f, 26}};
    Buffer ramp(4096);
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = -0.9f + 1.8f * static_cast<float>(i) / 4096.0f;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " at " << c.sampleRate);
        const Buffer out = rig(c.sampleRate).mono(Config{.type = 10, .rate = c.rate}, ramp);
        std::vector<int> runs{1};
        for (std::size_t i = 1; i < out.size(); ++i) {
            if (out[i] == out[i - 1])
                ++runs.back();
            else
                runs.push_back(1);
        }
        ASSERT_GE(runs.size(), 4u);
        for (std::size_t k = 1; k + 1 < runs.size(); ++k)
            EXPECT_EQ(runs[k], c.hold) << k;
    }
}

TEST(ShaperCrusher, FltDcmFiltersAroundTheHoldAndDcmNeverFilters) {
    // A low note under a high low-cut, with a hold of 8 samples. Filtering before the hold
    // (flt+dcm, filtered band) removes the note and keeps the steps; filtering after it (split)
    // removes the note and smooths the steps; dcm keeps both.
    struct Case {
        int type;
        bool filteredOnly;
        bool steps;
        bool noteRemoved;
    };
    const Case cases[] = {{9, true, true, true},
                          {9, false, false, true},
                          {10, true, true, false},
                          {10, false, true, false}};
    const Buffer in = sine(4096, 100.0f, 44100.0f, 0.7f);
    for (const Case& c : cases) {
        const Config s{
            .type = c.type, .filteredOnly = c.filteredOnly, .rate = 28.0f / 31, .lowCut = 0.6f};
        SCOPED_TRACE(describe(s));
        const Buffer out = rig().mono(s, in);
        int repeats = 0;
        for (std::size_t i = 2049; i < out.size(); ++i)
            repeats += out[i] == out[i - 1];
        const double share = repeats / 2047.0; // a hold of 8 repeats 7 of 8 samples
        EXPECT_EQ(share > 0.8, c.steps) << share;
        EXPECT_FALSE(share > 0.05 && share < 0.8) << share; // clearly one or the other
        const double level = rms(out, 2048) / rms(in, 2048);
        EXPECT_EQ(level < 0.1, c.noteRemoved) << level;
        EXPECT_EQ(level > 0.8, !c.noteRemoved) << level;
    }
}

// ---- shaping ----

TEST(ShaperShaping, DriveRaisesHarmonicContent) {
    std::vector<int> types(std::begin(kTableTypes), std::end(kTableTypes));
    types.insert(types.end(), {6, 14});
    const double f0 = 441.0, rate = 44100.0;
    // Quiet enough that every curve is used near its middle without drive.
    const Buffer in = sine(2048, static_cast<float>(f0), 44100.0f, 0.05f);
    for (bool os : {false, true}) {
        for (int type : types) {
            Config low{.type = type, .oversample = os, .filteredOnly = true, .drive = 0.0f};
            Config high = low;
            high.drive = 0.9f;
            SCOPED_TRACE(describe(low));
            // Ten periods, after the filters have settled.
            const double tLow = thd(rig().mono(low, in), 1048, 1000, f0, rate);
            const double tHigh = thd(rig().mono(high, in), 1048, 1000, f0, rate);
            EXPECT_GT(tHigh, 0.2);
            EXPECT_GT(tHigh, 1.5 * tLow) << tLow << " -> " << tHigh;
        }
    }
}

TEST(ShaperShaping, SplitBandReturnsWhatTheFiltersTookLiftedByDrive) {
    // A low note under a high low-cut lands almost wholly in the part the filters take away.
    // Split mode adds it back with gain 1 + 2c (c = 1.4 at full drive); the filtered band
    // drops it. With the filters wide open there is next to nothing to add back. Type 40 does
    // not exist and has no shaping step, so only the band logic acts.
    struct Case {
        bool filteredOnly;
        float drive;
        float lowCut;
        double low, high; // expected gain range at the note
    };
    const Case cases[] = {{false, 0.0f, 0.6f, 0.95, 1.05},
                          {false, 1.0f, 0.6f, 3.6, 4.0},
                          {true, 1.0f, 0.6f, 0.0, 0.05},
                          {false, 1.0f, 0.0f, 0.9, 1.3}};
    const Buffer in = sine(4410, 100.0f, 44100.0f, 0.1f);
    for (bool os : {false, true}) {
        for (const Case& c : cases) {
            const Config s{.type = 40,
                           .oversample = os,
                           .filteredOnly = c.filteredOnly,
                           .drive = c.drive,
                           .lowCut = c.lowCut};
            SCOPED_TRACE(describe(s) + " low-cut " + std::to_string(c.lowCut));
            const Buffer out = rig().mono(s, in);
            const double gain = amplitudeAt(out, 2205, 2205, 100.0, 44100.0) / 0.1;
            EXPECT_GE(gain, c.low);
            EXPECT_LE(gain, c.high);
        }
    }
}

TEST(ShaperShaping, OversamplingSuppressesAliasesOfAHardClippedHighSine) {
    // 7 kHz at 44.1 kHz: odd harmonics above 22 kHz fold back between the harmonics. The
    // filtered band gets the output lift near 20 kHz, where the first folds land, so it gains
    // less than the split mode.
    struct Case {
        bool filteredOnly;
        double minimumDb;
    };
    const Case cases[] = {{false, 12.0}, {true, 8.0}};
    const int n = 441; // 100 Hz bins, where every fold lands; 7 kHz is bin 70
    const Buffer in = sine(2048 + n, 7000.0f, 44100.0f, 0.5f);
    for (const Case& c : cases) {
        double ratio[2];
        for (bool os : {false, true}) {
            const Buffer out = rig().mono(
                Config{.type = 14, .oversample = os, .filteredOnly = c.filteredOnly, .drive = 1.0f},
                in);
            ratio[os] = aliasRatio(out, 2048, n, 70);
        }
        const double gainDb = 10.0 * std::log10(ratio[0] / ratio[1]);
        RecordProperty(c.filteredOnly ? "alias_gain_filtered_db" : "alias_gain_split_db",
                       std::to_string(gainDb));
        EXPECT_GT(ratio[0], 1e-2); // the plain path really aliases
        EXPECT_GT(gainDb, c.minimumDb) << "plain " << ratio[0] << " oversampled " << ratio[1];
    }
}

TEST(ShaperShaping, HardClipHoldsTheOutputToItsBound) {
    struct Case {
        float drive;
        float bound; // max(0.5, 1 / k), k = 1 + 60 c
    };
    const Case cases[] = {{0.0f, 1.0f}, {0.02f, 0.8353f}, {1.0f, 0.5f}};
    const Buffer in = sine(2048, 1000.0f, 44100.0f, 3.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.drive);
        const Buffer out =
            rig().mono(Config{.type = 14, .filteredOnly = true, .drive = c.drive}, in);
        float peak = 0.0f;
        for (float y : out)
            peak = std::max(peak, std::fabs(y));
        EXPECT_LE(peak, c.bound + 2e-4f);
        EXPECT_GE(peak, c.bound - 2e-3f);
    }
}

TEST(ShaperShaping, SilentChannelComesOutAsExactZeros) {
    // Quiet enough to count as silent (sum of |x| per block well under 0.01), loud enough that
    // the driven curves would turn it into audible output.
    const Buffer quiet = sine(1024, 200.0f, 44100.0f, 1e-5f);
    const Buffer loud = sine(1024, 440.0f, 44100.0f, 0.5f);
    for (bool os : {false, true}) {
        for (int type : kTableTypes) {
            const Config s{.type = type, .oversample = os, .filteredOnly = true, .drive = 0.7f};
            SCOPED_TRACE(describe(s));
            rig().reset(s);
            Buffer l = quiet, r = loud;
            rig().run(l, r);
            for (std::size_t i = 0; i < l.size(); ++i)
                ASSERT_EQ(l[i], 0.0f) << i;
            EXPECT_GT(rms(r), 0.01);
        }
    }
}

// ---- robustness ----

TEST(ShaperRobustness, RecoverAfterNaNSoundsLikeAFreshInstance) {
    // Both instances start from the same rest; only one takes the NaN block and recovers.
    Rig& hurt = rig(44100.0f, 0);
    Rig& fresh = rig(44100.0f, 1);
    const Buffer in = sine(1024, 660.0f, 44100.0f, 0.6f);
    for (bool os : {false, true}) {
        for (bool filtered : {false, true}) {
            for (int type : {1, 6, 9, 14}) {
                // A hold of several samples, so the hold counter's phase counts too.
                const Config s{.type = type,
                               .oversample = os,
                               .filteredOnly = filtered,
                               .drive = 0.4f,
                               .rate = 0.9f,
                               .hiCut = 0.7f,
                               .lowCut = 0.2f};
                SCOPED_TRACE(describe(s));
                hurt.reset(s);
                fresh.reset(s);
                Buffer bad(250, std::numeric_limits<float>::quiet_NaN()), badR = bad;
                hurt.run(bad, badR);
                hurt.fx.recover();
                Buffer la = in, ra = in, lb = in, rb = in;
                hurt.run(la, ra);
                fresh.run(lb, rb);
                EXPECT_TRUE(bitIdentical(la, lb));
                EXPECT_TRUE(bitIdentical(ra, rb));
            }
        }
    }
}

TEST(ShaperRobustness, EveryTypeStaysFiniteAndBoundedAtEveryRate) {
    const Buffer in = sine(1024, 1234.0f, 44100.0f, 1.0f);
    for (float rate : {22050.0f, 48000.0f, 96000.0f, 192000.0f}) {
        for (bool os : {false, true}) {
            for (bool filtered : {false, true}) {
                SCOPED_TRACE(testing::Message() << rate << (os ? " 8x" : " 1x") << filtered);
                Rig& r = rig(rate);
                r.reset(Config{.oversample = os,
                               .filteredOnly = filtered,
                               .drive = 1.0f,
                               .bits = 0.5f,
                               .rate = 0.9f,
                               .hiCut = 0.9f,
                               .lowCut = 0.1f});
                for (int type = 0; type <= 15; ++type) {
                    r.h.option("shp_mode", type == 15 ? 40 : type); // 40: no such type
                    Buffer l = in, rr = in;
                    r.run(l, rr);
                    for (float y : l)
                        ASSERT_TRUE(std::isfinite(y) && std::fabs(y) < 8.0f) << type;
                }
            }
        }
    }
}

TEST(ShaperRobustness, ProcessDoesNotAllocate) {
    Rig& r = rig();
    for (bool os : {false, true}) {
        for (bool filtered : {false, true}) {
            for (int type : {1, 6, 9, 10, 13, 14}) {
                const Config s{.type = type,
                               .oversample = os,
                               .filteredOnly = filtered,
                               .drive = 0.5f,
                               .bits = 0.5f,
                               .rate = 0.8f};
                SCOPED_TRACE(describe(s));
                r.apply(s); // the controls glide while the guard watches
                Buffer l = sine(256, 440.0f, 44100.0f), rr = l;
                test::AllocationGuard guard;
                for (int block = 0; block < 4; ++block)
                    r.fx.process(256, l.data(), rr.data());
                r.fx.recover();
                EXPECT_EQ(guard.count(), 0);
            }
        }
    }
}

} // namespace
} // namespace kolva::test
