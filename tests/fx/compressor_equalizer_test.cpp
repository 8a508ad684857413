// Compressor and equalizer measured on signals: band dynamics, shelf and peak responses, the
// tone pairs, the master soft clip and its modulation, and the audio path staying
// allocation-free and finite.

#include "engine/module_id.h"
#include "fx/module_fx_compressor.h"
#include "fx/module_fx_equalizer.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace kolva::test {
namespace {

using Eq = ModuleFxEqualizer;
using Signal = std::vector<float>;

constexpr float kRate = 44100.0f;
constexpr int kMainVolumeDestination = 145;
constexpr int kSourceConstant50 = 32;
// Q table entry 91 (0.6994): an ordinary, non-resonant shape for the band tests.
constexpr float kQ07 = 91.0f / 127.0f;

Signal noise(int n, float amplitude, std::uint32_t seed = 1) {
    Signal x(static_cast<std::size_t>(n));
    for (auto& v : x) {
        seed = seed * 1664525u + 1013904223u;
        v = amplitude * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
    }
    return x;
}

Signal scaled(const Signal& x, float k) {
    Signal y = x;
    for (auto& v : y) v *= k;
    return y;
}

double peak(const Signal& x, std::size_t from = 0) {
    double m = 0.0;
    for (std::size_t i = from; i < x.size(); ++i) m = std::max(m, std::fabs(double(x[i])));
    return m;
}

bool allFinite(const Signal& x) {
    for (float v : x)
        if (!std::isfinite(v)) return false;
    return true;
}

double db(double ratio) { return 20.0 * std::log10(ratio); }

// The equalizer frequency value that lands on `hz` (440 Hz at entry 53, a semitone per entry).
float frequencyValue(double hz) {
    return static_cast<float>((53.0 + 12.0 * std::log2(hz / 440.0)) / 119.0);
}

void runStage(FxHarness& h, Eq& eq, int stage, Signal& left, Signal& right) {
    const int n = static_cast<int>(left.size());
    for (int i = 0; i < n; i += h.block) {
        const int frames = std::min(h.block, n - i);
        eq.processStage(stage, frames, left.data() + i, right.data() + i);
    }
}

// Steady-state gain in dB of one stage for a sine at `hz` (left at amplitude a, right at a/2),
// measured over the last 0.2 s (a whole number of periods for the probes used here).
double stageGainDb(FxHarness& h, Eq& eq, int stage, double hz, double seconds = 0.4,
                   float amplitude = 0.1f) {
    const int n = static_cast<int>(h.rate * seconds);
    const Signal in = sine(n, static_cast<float>(hz), h.rate, amplitude);
    Signal l = in, r = scaled(in, 0.5f);
    runStage(h, eq, stage, l, r);
    const std::size_t from = static_cast<std::size_t>(n - static_cast<int>(h.rate * 0.2f));
    const double gl = db(rms(l, from) / rms(in, from));
    const double gr = db(rms(r, from) / (0.5 * rms(in, from)));
    EXPECT_NEAR(gl, gr, 0.01) << "left and right differ at " << hz << " Hz";
    return gl;
}

// ---------------------------------------------------------------------------------------------
// Compressor

// Output RMS over the second half of `in` (both channels) at an amount, from rest.
double compressorOutRms(FxHarness& h, float amountValue, const Signal& in) {
    h.set("x-comp", amountValue);
    auto& fx = h.module<ModuleFxCompressor>(kModFxCompressor);
    fx.recover();
    Signal l = in, r = in;
    h.run(fx, l, r);
    EXPECT_TRUE(allFinite(l));
    return rms(l, in.size() / 2);
}

TEST(Compressor, AmountZeroLeavesTheBlockUntouched) {
    FxHarness h(kRate);
    auto& fx = h.module<ModuleFxCompressor>(kModFxCompressor);
    const Signal in = noise(4096, 0.5f);

    Signal l = in, r = scaled(in, -0.3f);
    h.run(fx, l, r);
    EXPECT_EQ(l, in);
    EXPECT_EQ(r, scaled(in, -0.3f));

    // Back to 0 after working: the target decides at once, not the glide towards it.
    h.set("x-comp", 0.8f);
    Signal w = in, wr = in;
    h.run(fx, w, wr);
    EXPECT_NE(w, in);
    h.set("x-comp", 0.0f);
    l = in;
    r = in;
    h.run(fx, l, r);
    EXPECT_EQ(l, in);
    EXPECT_EQ(r, in);
}

// Far below every threshold the stages are linear: the upward stages give their ceiling
// 1 / (1 - 0.760192) and the bands return at 0.75 (amount 1) instead of 0.25 (amount ~0).
// The output at amount 1 is then the near-zero-amount output times 3 / (1 - 0.760192).
TEST(Compressor, QuietMaterialAtFullAmountIsTheLiftedBandSum) {
    const int n = 16384;
    const Signal in = noise(n, 1.0e-6f, 7);
    FxHarness full(kRate), low(kRate);
    full.set("x-comp", 1.0f);
    low.set("x-comp", 1.0e-4f);
    Signal a = in, ar = in, b = in, br = in;
    full.run(full.module<ModuleFxCompressor>(kModFxCompressor), a, ar);
    low.run(low.module<ModuleFxCompressor>(kModFxCompressor), b, br);

    const double expected = 3.0 / (1.0 - 0.760192);
    const std::size_t from = 4096;
    double err = 0.0, ref = 0.0;
    for (std::size_t i = from; i < in.size(); ++i) {
        const double want = expected * b[i];
        err += (a[i] - want) * (a[i] - want);
        ref += want * want;
    }
    ASSERT_GT(ref, 0.0);
    EXPECT_LT(std::sqrt(err / ref), 0.005) << "output is not the lifted band sum x 0.75";
}

// Per band, on sines in the band (2500 Hz: on the mid/high crossover):
// - a near-zero amount is linear: the bands' make-up gains through the split, recombined at
//   0.25 (reference values from the filter formulas, summed as complex responses);
// - at full amount, relative to that, quiet material comes up (never past the upward stage's
//   ceiling 1 / (1 - 0.760192)) and loud material goes down;
// - far above threshold the downward stages hold the level: doubling a loud tone barely moves
//   the output.
TEST(Compressor, EachBandLiftsQuietAndHoldsLoud) {
    struct Case {
        float hz;
        double linearDb;
    };
    const Case cases[] = {{50.0f, 11.354}, {500.0f, 4.911}, {2500.0f, 4.466}, {6000.0f, 6.189}};
    const double ceiling = 1.0 / (1.0 - 0.760192);
    const int n = static_cast<int>(kRate * 0.5f);
    FxHarness h(kRate);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.hz);
        const Signal ref = sine(n, c.hz, kRate, 0.1f), quiet = sine(n, c.hz, kRate, 0.001f);
        const Signal loud = sine(n, c.hz, kRate, 1.0f), louder = sine(n, c.hz, kRate, 2.0f);
        EXPECT_NEAR(db(compressorOutRms(h, 1.0e-4f, ref) / rms(ref, ref.size() / 2)), c.linearDb,
                    0.1);
        // Divide out the 0.75 / 0.25 recombination level to leave the stages' own gain.
        const double liftQuiet =
            compressorOutRms(h, 1.0f, quiet) / (3.0 * compressorOutRms(h, 1.0e-4f, quiet));
        const double loudFull = compressorOutRms(h, 1.0f, loud);
        const double liftLoud = loudFull / (3.0 * compressorOutRms(h, 1.0e-4f, loud));
        EXPECT_GT(liftQuiet, 1.5);
        EXPECT_LT(liftQuiet, ceiling + 1e-3);
        EXPECT_LT(liftLoud, 0.2);
        EXPECT_LT(std::fabs(db(compressorOutRms(h, 1.0f, louder) / loudFull)), 1.5);
    }
}

TEST(Compressor, StateSurvivesResetAndRecoverStartsClean) {
    // 441 Hz: the loud passage ends on a zero crossing and the quiet one continues it. The
    // drop still thumps in the low band for a few hundred samples, so compare after that.
    const int n = 8200;
    const Signal loud = sine(n, 441.0f, kRate, 0.5f), quiet = sine(n, 441.0f, kRate, 0.002f);
    auto render = [&](bool resetBetween, bool recoverBetween) {
        FxHarness h(kRate);
        h.set("x-comp", 1.0f);
        auto& fx = h.module<ModuleFxCompressor>(kModFxCompressor);
        Signal l = loud, r = loud;
        h.run(fx, l, r);
        if (resetBetween) fx.reset();
        if (recoverBetween) fx.recover();
        l = quiet;
        r = quiet;
        h.run(fx, l, r);
        return l;
    };
    const Signal plain = render(false, false);
    EXPECT_EQ(render(true, false), plain); // engine reset leaves the followers alone
    // From rest the upward stage lifts the quiet tone at once; after a loud passage the
    // downward followers still hold it down.
    const Signal recovered = render(false, true);
    EXPECT_GT(rms(recovered, 1024, 4096), 4.0 * rms(plain, 1024, 4096));

    // A NaN block poisons the followers; recover() brings the next blocks back.
    FxHarness h(kRate);
    h.set("x-comp", 1.0f);
    auto& fx = h.module<ModuleFxCompressor>(kModFxCompressor);
    Signal l(256, std::nanf("")), r(256, 1.0f);
    h.run(fx, l, r);
    fx.recover();
    l = quiet;
    r = quiet;
    h.run(fx, l, r);
    EXPECT_TRUE(allFinite(l));
    EXPECT_NEAR(rms(l, 4096), rms(recovered, 4096), 0.01 * rms(recovered, 4096));
}

// ---------------------------------------------------------------------------------------------
// Equalizer, stage 1

struct EqSetup {
    FxHarness h{kRate};
    Eq& eq = h.module<Eq>(kModFxEqualizer);
    explicit EqSetup(bool power = true) { h.set("eq_power", power ? 1.0f : 0.0f); }
};

TEST(Equalizer, MiddleGainIsFlatAndPowerOffIsUntouched) {
    const Signal in = noise(8192, 0.5f, 3);
    for (bool power : {true, false}) {
        SCOPED_TRACE(power);
        EqSetup s(power);
        // Odd corners and Qs: with every gain at the middle nothing may colour the sound.
        s.h.set("eq_low_frq", 0.3f);
        s.h.set("eq_low_Q", 0.9f);
        s.h.set("eq_mid_frq", 0.55f);
        s.h.set("eq_mid_Q", 1.0f);
        s.h.set("eq_hi_frq", 0.8f);
        s.h.set("eq_hi_Q", 0.1f);
        for (const char* g : {"eq_low_lev", "eq_mid_lev", "eq_hi_lev"})
            s.h.set(g, power ? 0.5f : 1.0f); // power off: even extreme gains do nothing
        const float gainBefore = s.eq.smoother(Eq::kLowGain).current();
        Signal l = in, r = scaled(in, 0.25f);
        runStage(s.h, s.eq, 1, l, r);
        if (!power) {
            EXPECT_EQ(l, in);
            EXPECT_EQ(r, scaled(in, 0.25f));
            // and the band controls did not glide while switched off
            EXPECT_EQ(s.eq.smoother(Eq::kLowGain).current(), gainBefore);
            continue;
        }
        double worst = 0.0;
        for (std::size_t i = 2048; i < in.size(); ++i) // after the controls' glide
            worst = std::max({worst, std::fabs(double(l[i]) - in[i]),
                              std::fabs(double(r[i]) - 0.25 * in[i])});
        EXPECT_LT(worst, 1.0e-5);
    }
}

// Reference values from the filter formulas at 44.1 kHz where they are not simply the set gain.
TEST(Equalizer, ShelvesAndPeakMoveTheResponseByTheirGain) {
    struct Case {
        const char* band; // prefix of the three controls
        double cornerHz;
        float q, gain;
        double probeHz;
        double expectDb;
        double tolDb;
    };
    const Case cases[] = {
        {"eq_low", 300.0, kQ07, 1.0f, 30.0, 20.0, 0.5},
        {"eq_low", 300.0, kQ07, 1.0f, 8000.0, 0.0, 0.2},
        {"eq_low", 300.0, kQ07, 0.0f, 30.0, -20.0, 0.5},
        {"eq_low", 300.0, kQ07, 0.0f, 8000.0, 0.0, 0.2},
        {"eq_mid", 1000.0, kQ07, 1.0f, 1000.0, 20.0, 0.3},
        {"eq_mid", 1000.0, kQ07, 1.0f, 30.0, 0.0, 0.3},
        {"eq_mid", 1000.0, kQ07, 0.0f, 1000.0, -20.0, 0.3},
        // three quarters up the gain table: 11.95 + (13.27 - 11.95) * 0.25 dB
        {"eq_mid", 1000.0, kQ07, 0.75f, 1000.0, 12.28, 0.2},
        // the ends of the Q table, an octave off the centre: Q 4 is narrow, Q 0.083 very wide
        {"eq_mid", 1000.0, 1.0f, 1.0f, 2000.0, 1.04, 0.3},
        {"eq_mid", 1000.0, 0.0f, 1.0f, 2000.0, 19.37, 0.3},
        {"eq_hi", 3000.0, kQ07, 1.0f, 16000.0, 20.0, 0.5},
        {"eq_hi", 3000.0, kQ07, 1.0f, 100.0, 0.0, 0.2},
        {"eq_hi", 3000.0, kQ07, 0.0f, 16000.0, -20.0, 0.5},
        {"eq_hi", 3000.0, kQ07, 0.0f, 100.0, 0.0, 0.2},
    };
    EqSetup s;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.band) + " Q " + std::to_string(c.q) + " gain " +
                     std::to_string(c.gain) + " at " + std::to_string(c.probeHz));
        for (const char* g : {"eq_low_lev", "eq_mid_lev", "eq_hi_lev"}) s.h.set(g, 0.5f);
        s.eq.recover();
        const std::string b = c.band;
        s.h.set((b + "_frq").c_str(), frequencyValue(c.cornerHz));
        s.h.set((b + "_Q").c_str(), c.q);
        s.h.set((b + "_lev").c_str(), c.gain);
        stageGainDb(s.h, s.eq, 1, 1000.0); // let the controls settle
        EXPECT_NEAR(stageGainDb(s.h, s.eq, 1, c.probeHz), c.expectDb, c.tolDb);
    }
}

// While the peak gain glides up, the bands are redesigned sample by sample; the level at the
// centre climbs steadily, not in one step, and arrives at the table's gain.
TEST(Equalizer, GlidingGainClimbsToTheTarget) {
    FxHarness h(kRate, 441); // 10 periods of 1 kHz per block
    h.set("eq_power", 1.0f);
    h.set("eq_mid_frq", frequencyValue(1000.0));
    h.set("eq_mid_Q", kQ07);
    auto& eq = h.module<Eq>(kModFxEqualizer);
    stageGainDb(h, eq, 1, 1000.0);
    h.set("eq_mid_lev", 0.9f); // a step under 0.5: the slow glide, over several blocks
    const int blocks = 30;
    const Signal in = sine(441 * blocks, 1000.0f, kRate, 0.05f);
    Signal l = in, r = in;
    runStage(h, eq, 1, l, r);
    std::vector<double> g;
    for (int blk = 0; blk < blocks; ++blk) {
        const auto from = static_cast<std::size_t>(blk * 441);
        g.push_back(db(rms(l, from, from + 441) / rms(in, from, from + 441)));
    }
    for (int blk = 1; blk < blocks; ++blk) EXPECT_GT(g[blk], g[blk - 1] - 0.05) << blk;
    EXPECT_LT(g[0], 8.0);
    EXPECT_GT(g[2], g[0] + 1.0);
    // 0.9 of the way: 27.9 entries up the gain table, 16.7 + 0.9 * (17.66 - 16.7) dB.
    EXPECT_NEAR(g.back(), 17.564, 0.2);
}

// ---------------------------------------------------------------------------------------------
// Equalizer, stage 2: the tone pairs (reference values from the filter formulas at 44.1 kHz).

TEST(Equalizer, TonePairsShapeTheResponse) {
    struct Case {
        bool warm, soft;
        double hz;
        double expectDb, tolDb;
    };
    const Case cases[] = {
        {true, false, 10.0, -0.48, 0.2},   // near the 5 Hz high-pass the lift turns into a cut
        {true, false, 35.0, 3.28, 0.2},    // broad low lift (shelf Q 0.236: far from +7.75 here)
        {true, false, 300.0, 1.75, 0.2},   {true, false, 5000.0, 0.0, 0.1},
        {false, true, 100.0, 0.0, 0.05},   {false, true, 5000.0, -0.28, 0.1},
        {false, true, 15000.0, -4.91, 0.3}, // the top rolls off
        {false, false, 35.0, 0.0, 1e-4},   {false, false, 15000.0, 0.0, 1e-4},
    };
    FxHarness h(kRate);
    auto& eq = h.module<Eq>(kModFxEqualizer);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.warm) + std::to_string(c.soft) + " " +
                     std::to_string(c.hz));
        h.set("warm", c.warm ? 1.0f : 0.0f);
        h.set("soft", c.soft ? 1.0f : 0.0f);
        eq.recover();
        EXPECT_NEAR(stageGainDb(h, eq, 2, c.hz, 1.2), c.expectDb, c.tolDb);
    }
}

// ---------------------------------------------------------------------------------------------
// Equalizer, stage 3: master volume, soft clip, boost.

TEST(Equalizer, MasterVolumeClipAndBoost) {
    // Small-signal slope of the curve's straight middle: 0.1428 per entry * 19 entries * 0.2.
    const double slope = (0.0714 + 0.0714) * 19.0 * 0.2;
    struct Case {
        float volume;
        bool boost;
        float amplitude;
        double expectPeak, tol;
    };
    const Case cases[] = {
        {0.0f, false, 0.8f, 0.0, 0.0},   {0.0f, true, 5.0f, 0.0, 0.0},
        {1.0f, false, 50.0f, 1.0, 1e-6}, {1.0f, true, 50.0f, 2.0, 1e-6},
        {1.0f, false, 0.1f, slope * 0.1, 0.003 * slope * 0.1},
        {1.0f, true, 0.1f, 2.0 * slope * 0.1, 0.003 * slope * 0.1},
        {0.5f, false, 0.1f, 0.5 * slope * 0.1, 0.003 * slope * 0.1},
    };
    FxHarness h(kRate);
    auto& eq = h.module<Eq>(kModFxEqualizer);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.volume) + (c.boost ? " boost " : " ") +
                     std::to_string(c.amplitude));
        h.set("volume", c.volume);
        h.set("boost", c.boost ? 1.0f : 0.0f);
        const int n = 16384;
        const Signal in = sine(n, 441.0f, kRate, c.amplitude);
        Signal l = in, r = scaled(in, -1.0f);
        runStage(h, eq, 3, l, r);
        const std::size_t from = 8192; // volume glide over
        EXPECT_NEAR(peak(l, from), c.expectPeak, c.tol);
        EXPECT_NEAR(peak(r, from), c.expectPeak, c.tol);
        double asymmetry = 0.0; // the curve is odd about its middle
        for (std::size_t i = from; i < l.size(); ++i)
            asymmetry = std::max(asymmetry, std::fabs(double(l[i]) + r[i]));
        EXPECT_LT(asymmetry, 1e-6);
    }
}

TEST(Equalizer, VolumeModulationMovesTheLevel) {
    auto levelWith = [](float amount, bool routed) {
        FxHarness h(kRate);
        if (routed) h.route(0, kSourceConstant50, kMainVolumeDestination, amount);
        auto& eq = h.module<Eq>(kModFxEqualizer);
        const Signal in = sine(8192, 441.0f, kRate, 0.1f);
        Signal l = in, r = in;
        runStage(h, eq, 3, l, r);
        return rms(l, 4096);
    };
    const double plain = levelWith(0.0f, false);
    EXPECT_GT(levelWith(1.0f, true), 1.2 * plain);
    EXPECT_LT(levelWith(-1.0f, true), 0.8 * plain);
}

// ---------------------------------------------------------------------------------------------
// Robustness and the audio-thread rules.

TEST(CompressorEqualizer, ExtremeInputsStayFiniteAtEveryRate) {
    for (float rate : {22050.0f, 44100.0f, 192000.0f}) {
        SCOPED_TRACE(rate);
        FxHarness h(rate);
        h.set("x-comp", 1.0f);
        h.set("eq_power", 1.0f);
        h.set("soft", 1.0f);
        h.set("boost", 1.0f);
        h.set("volume", 1.0f);
        for (const char* g : {"eq_low_lev", "eq_mid_lev", "eq_hi_lev"}) h.set(g, 1.0f);
        h.set("eq_hi_frq", 1.0f);
        auto& comp = h.module<ModuleFxCompressor>(kModFxCompressor);
        auto& eq = h.module<Eq>(kModFxEqualizer);
        auto chain = [&](Signal& l, Signal& r) {
            runStage(h, eq, 1, l, r);
            h.run(comp, l, r);
            runStage(h, eq, 2, l, r);
        };
        // Loud but finite input: the filters and followers stay finite.
        Signal l = noise(8192, 1.0e5f, 11), r = noise(8192, -1.0e5f, 12);
        chain(l, r);
        EXPECT_TRUE(allFinite(l) && allFinite(r));
        runStage(h, eq, 3, l, r);
        EXPECT_LE(peak(l), 2.0);
        EXPECT_LE(peak(r), 2.0);

        // NaN poisons the states but must neither crash nor escape the master stage.
        Signal nl(1024, std::nanf("")), nr(1024, std::numeric_limits<float>::infinity());
        chain(nl, nr);
        runStage(h, eq, 3, nl, nr);
        EXPECT_TRUE(allFinite(nl) && allFinite(nr));
        EXPECT_LE(peak(nl), 2.0);

        // Recovery brings ordinary audio back.
        comp.recover();
        eq.recover();
        Signal ql = sine(8192, 440.0f, rate, 0.1f), qr = ql;
        chain(ql, qr);
        EXPECT_TRUE(allFinite(ql));
        EXPECT_GT(rms(ql, 4096), 0.01);
    }
}

TEST(CompressorEqualizer, AudioPathDoesNotAllocate) {
    FxHarness h(kRate);
    h.set("eq_power", 1.0f);
    h.set("soft", 1.0f);
    h.route(0, kSourceConstant50, kMainVolumeDestination, 0.5f);
    auto& comp = h.module<ModuleFxCompressor>(kModFxCompressor);
    auto& eq = h.module<Eq>(kModFxEqualizer);
    Signal l = noise(h.block, 0.3f, 5), r = noise(h.block, 0.3f, 6);
    const long before = [&] {
        AllocationGuard g;
        for (int blk = 0; blk < 64; ++blk) {
            // Sweep every band so the per-sample redesigns run.
            const float v = static_cast<float>(blk % 16) / 15.0f;
            for (int s = Eq::kLowFreq; s <= Eq::kHighGain; ++s) eq.setParameter(s, v);
            comp.setParameter(0, 1.0f - v);
            eq.processStage(1, h.block, l.data(), r.data());
            comp.process(h.block, l.data(), r.data());
            eq.processStage(2, h.block, l.data(), r.data());
            eq.processStage(3, h.block, l.data(), r.data());
            eq.recover();
            comp.recover();
        }
        return g.count();
    }();
    EXPECT_EQ(before, 0);
    EXPECT_TRUE(allFinite(l));
}

} // namespace
} // namespace kolva::test
