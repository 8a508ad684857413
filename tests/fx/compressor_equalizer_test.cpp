// Compressor and equalizer measured on signals: band dynamics and their state, the band and
// tone-pair responses, the master soft clip and its modulation, and an allocation-free path.

#include "engine/module_id.h"
#include "fx/module_fx_compressor.h"
#include "fx/module_fx_equalizer.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace kolva::test {
namespace {

using Comp = ModuleFxCompressor;
using Eq = ModuleFxEqualizer;
using Signal = std::vector<float>;

constexpr float kRate = 44100.0f;
constexpr int kMainVolumeDestination = 145;
constexpr int kSourceConstant50 = 32;
constexpr float kQ07 = 91.0f / 127.0f; // Q table entry 91 (0.6994): an ordinary shape
constexpr double kRatioScale = 0.760192; // the upward stages lift by at most 1 / (1 - k)

double db(double ratio) { return 20.0 * std::log10(ratio); }

// The frequency value that lands on `hz` (440 Hz at entry 53, a semitone per entry).
float frequencyValue(double hz) {
    return static_cast<float>((53.0 + 12.0 * std::log2(hz / 440.0)) / 119.0);
}

void runStage(FxHarness& h, Eq& eq, int stage, Signal& l, Signal& r) {
    for (std::size_t i = 0; i < l.size(); i += static_cast<std::size_t>(h.block))
        eq.processStage(stage, std::min(h.block, static_cast<int>(l.size() - i)), &l[i], &r[i]);
}

// Per band, on sines in it (2500 Hz: the mid/high crossover). At a near-zero amount the stages
// are linear: make-up gains through the split, recombined at 0.25 (references from the filter
// formulas). Far under every threshold the upward stage lifts by 1 / (1 - k g) and the bands
// return at 0.25 + 0.5 g (g from the amount curve); loud material is pulled down and held.
TEST(Compressor, EachBandLiftsQuietAndHoldsLoud) {
    const struct { float hz; double linearDb; } cases[] = {
        {50.0f, 11.354}, {500.0f, 4.911}, {2500.0f, 4.466}, {6000.0f, 6.189}};
    const int n = static_cast<int>(kRate * 0.5f);
    FxHarness h(kRate);
    auto& fx = h.module<Comp>(kModFxCompressor);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hz);
        auto out = [&](float amplitude, float amount) { // RMS of the second half, from rest
            h.set("x-comp", amount);
            fx.recover();
            Signal l = sine(n, c.hz, kRate, amplitude), r = l;
            h.run(fx, l, r);
            return rms(l, n / 2);
        };
        const double linear = out(0.1f, 1e-4f) / rms(sine(n, c.hz, kRate, 0.1f), n / 2);
        EXPECT_NEAR(db(linear), c.linearDb, 0.1);
        for (auto [amount, g] : {std::pair{1.0f, 1.0}, {0.5f, 0.0991}}) {
            const double want = (1 + 2 * g) / (1 - kRatioScale * g);
            EXPECT_NEAR(out(1e-6f, amount) / out(1e-6f, 1e-4f), want, 0.01 * want) << amount;
        }
        EXPECT_LT(out(1.0f, 1.0f) / out(1.0f, 1e-4f), 0.6); // 0.2 of the stages' gain, times 3
        EXPECT_LT(std::fabs(db(out(2.0f, 1.0f) / out(1.0f, 1.0f))), 1.5);
    }
}

// Amount 0 leaves the block alone (back at 0 the target decides, not the glide). The engine's
// reset keeps the followers; recover() puts them and the bands back to rest, NaN included.
TEST(Compressor, AmountZeroAndStateThroughResetAndRecover) {
    FxHarness h(kRate);
    auto& fx = h.module<Comp>(kModFxCompressor);
    for (float amount : {0.0f, 0.8f, 0.0f}) {
        h.set("x-comp", amount);
        Signal l = noise(4096, 1), r = l;
        h.run(fx, l, r);
        EXPECT_EQ(l == noise(4096, 1), amount == 0.0f) << amount;
    }
    // 441 Hz: the loud passage ends on a zero crossing and the quiet one continues it.
    const Signal loud = sine(8200, 441.0f, kRate, 0.5f), quiet = sine(8200, 441.0f, kRate, 0.002f);
    Signal poisoned = loud;
    std::fill(poisoned.end() - 300, poisoned.end(), std::nanf(""));
    h.set("x-comp", 1.0f);
    auto render = [&](const Signal& first, void (FxModule::*between)()) {
        fx.recover();
        Signal l = first, r = first;
        h.run(fx, l, r);
        if (between != nullptr) (fx.*between)();
        l = r = quiet;
        h.run(fx, l, r);
        return l;
    };
    render(loud, nullptr); // the amount glide settles
    const Signal plain = render(loud, nullptr);
    EXPECT_EQ(render(loud, &FxModule::reset), plain);
    // From rest the quiet tone comes up at once; after the loud passage the downward followers
    // hold it down (compared past the low band's few hundred samples of thump).
    const Signal recovered = render(loud, &FxModule::recover);
    EXPECT_GT(rms(recovered, 1024, 4096), 4.0 * rms(plain, 1024, 4096));
    EXPECT_EQ(render(poisoned, &FxModule::recover), recovered);
}

// The followers hear the sum of the channels: an anti-phase pair (right = -left, bit for bit)
// sums to nothing in every band, so loud noise is lifted as fully as silence would be and
// never pulled back, and the channels stay exact mirrors. Swapping the channels swaps the
// output bit for bit, with the amount held and gliding.
TEST(Compressor, FollowersHearTheSumOfBothChannels) {
    const int n = static_cast<int>(kRate * 0.5f);
    FxHarness h(kRate);
    auto& fx = h.module<Comp>(kModFxCompressor);
    const auto settle = [&](float amount) {
        h.set("x-comp", amount);
        Signal l = noise(8192, 3), r = noise(8192, 4);
        h.run(fx, l, r);
    };
    for (float amplitude : {0.5f, 0.001f}) {
        SCOPED_TRACE(amplitude);
        auto antiPhase = [&](float amount) { // RMS of the second half, from rest
            settle(amount);
            fx.recover();
            Signal l = noise(n, 9, amplitude), r = l;
            for (float& v : r) v = -v;
            h.run(fx, l, r);
            Signal mirrored = l;
            for (float& v : mirrored) v = -v;
            EXPECT_TRUE(r == mirrored) << "the channels no longer mirror each other";
            return rms(l, n / 2);
        };
        const double want = 3.0 / (1.0 - kRatioScale); // g = 1
        EXPECT_NEAR(antiPhase(1.0f) / antiPhase(1e-4f), want, 0.01 * want);
    }
    settle(0.8f);
    for (bool glide : {false, true}) {
        SCOPED_TRACE(glide);
        auto render = [&](const Signal& a, const Signal& b) {
            settle(0.8f);
            fx.recover();
            Signal l = a, r = b;
            const int half = n / 2;
            for (int i = 0; i < n; i += h.block) {
                if (glide && i >= half && i < half + h.block) h.set("x-comp", 0.3f);
                const int frames = std::min(h.block, n - i);
                fx.process(frames, l.data() + i, r.data() + i);
            }
            return std::pair{l, r};
        };
        const Signal a = noise(n, 5), b = noise(n, 6, 0.05f);
        const auto [l, r] = render(a, b);
        const auto [swappedL, swappedR] = render(b, a);
        EXPECT_TRUE(swappedL == r && swappedR == l) << "swapped input, unswapped output";
        EXPECT_FALSE(l == r);
    }
}

// The bands work through the block in pieces the scratch buffers can hold; filters and
// followers run per sample, so neither the prepared block size nor the host's block lengths
// may change a bit of the output while the amount holds still. While it glides, the glide
// follows the host's blocks, so only the prepared size varies there.
TEST(Compressor, BlockSizesLeaveTheOutputAlone) {
    const int n = 3000;
    const Signal a = noise(n, 21, 0.4f), b = noise(n, 22, 0.02f);
    const auto render = [&](int blockSize, int hostBlock, float amount, float glideTo) {
        FxHarness h(kRate, blockSize);
        auto& fx = h.module<Comp>(kModFxCompressor);
        h.set("x-comp", amount);
        Signal l = noise(8192, 3), r = noise(8192, 4);
        h.run(fx, l, r); // the amount settles on its target
        fx.recover();
        if (glideTo >= 0.0f) h.set("x-comp", glideTo);
        l = a, r = b;
        h.block = hostBlock;
        h.run(fx, l, r);
        return std::pair{l, r};
    };
    const auto same = [](const auto& x, const auto& y) {
        return x.first == y.first && x.second == y.second;
    };
    for (float amount : {1.0f, 0.35f}) {
        const auto reference = render(512, 512, amount, -1.0f);
        EXPECT_FALSE(reference.first == a) << "the compressor left the block alone";
        const struct { int blockSize, hostBlock; } cases[] = {
            {1, 1}, {2, 2}, {3, 3}, {37, 37}, {511, 511}, {512, 100}, {512, 7}};
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << amount << " " << c.blockSize << " " << c.hostBlock);
            EXPECT_TRUE(same(render(c.blockSize, c.hostBlock, amount, -1.0f), reference));
        }
    }
    for (int hostBlock : {300, 7}) {
        const auto reference = render(1024, hostBlock, 0.2f, 0.9f);
        EXPECT_FALSE(same(reference, render(1024, hostBlock, 0.2f, -1.0f))) << "no glide";
        for (int blockSize : {hostBlock, hostBlock + 1, 512}) {
            SCOPED_TRACE(testing::Message() << "glide " << blockSize << " " << hostBlock);
            EXPECT_TRUE(same(render(blockSize, hostBlock, 0.2f, 0.9f), reference));
        }
    }
}

// Power off leaves the signal alone. With it on: reference values from the filter formulas at
// 44.1 kHz where they are not simply the set gain, the other bands at the middle gain (which
// must be flat); then a gliding gain.
TEST(Equalizer, BandsAndTonePairsShapeTheResponse) {
    FxHarness h(kRate, 441); // 10 periods of 1 kHz per block
    auto& eq = h.module<Eq>(kModFxEqualizer);
    h.set("eq_mid_lev", 1.0f);
    Signal l = noise(4096, 3), r = l;
    runStage(h, eq, 1, l, r);
    EXPECT_EQ(l, noise(4096, 3));
    h.set("eq_power", 1.0f);

    constexpr int L = Eq::kLowFreq, M = Eq::kMidFreq, H = Eq::kHighFreq;
    struct Case { int slot; double cornerHz; float q, gain; double hz, wantDb, tolDb; };
    const Case cases[] = {
        {L, 300, kQ07, 1.0f, 30, 20.0, 0.5},      {L, 300, kQ07, 1.0f, 8000, 0.0, 0.2},
        // the ends of the Q table, an octave off: Q 4 is narrow, Q 0.083 very wide
        {M, 1000, 1.0f, 1.0f, 2000, 1.04, 0.3},   {M, 1000, 0.0f, 1.0f, 2000, 19.37, 0.3},
        {M, 1000, kQ07, 1.0f, 1000, 20.0, 0.3},   {M, 1000, kQ07, 1.0f, 30, 0.0, 0.3},
        {M, 1000, kQ07, 0.0f, 1000, -20.0, 0.3},  {M, 1000, kQ07, 0.5f, 1000, 0.0, 0.01},
        {M, 1000, kQ07, 0.75f, 1000, 12.28, 0.2}, // 11.95 + (13.27 - 11.95) / 4
        {H, 3000, kQ07, 1.0f, 16000, 20.0, 0.5},  {H, 3000, kQ07, 0.0f, 100, 0.0, 0.2},
        // tone pairs: the warm lift turns into a cut near its 5 Hz high-pass; soft rolls off
        {Eq::kWarm, 0, 0, 0, 10, -0.48, 0.2},     {Eq::kWarm, 0, 0, 0, 35, 3.28, 0.2},
        {Eq::kSoft, 0, 0, 0, 5000, -0.28, 0.1},   {Eq::kSoft, 0, 0, 0, 15000, -4.91, 0.3},
        {-1, 0, 0, 0, 15000, 0.0, 1e-4}}; // neither pair
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.slot << " " << c.q << " " << c.gain << " " << c.hz);
        for (int s : {Eq::kWarm, Eq::kSoft, Eq::kLowGain, Eq::kMidGain, Eq::kHighGain})
            eq.setParameter(s, s == c.slot ? 1.0f : s < L ? 0.0f : 0.5f);
        if (c.slot >= L) {
            eq.setParameter(c.slot, frequencyValue(c.cornerHz));
            eq.setParameter(c.slot + 1, c.q);
            eq.setParameter(c.slot + 2, c.gain);
        }
        eq.recover();
        const Signal in = sine(52920, static_cast<float>(c.hz), kRate, 0.1f); // 1.2 s
        Signal a = in, b = in;
        runStage(h, eq, c.slot >= L ? 1 : 2, a, b);
        EXPECT_NEAR(db(rms(a, 44100) / rms(in, 44100)), c.wantDb, c.tolDb); // the last 0.2 s
    }

    // Gliding up, the peak is redesigned sample by sample: the level at its centre climbs
    // steadily within each block, not in steps, to the table's gain (27.9 entries up). The
    // table left the band settled at 1 kHz, Q 0.7 and the middle gain.
    h.set("eq_mid_lev", 0.9f);
    const Signal tone = sine(441 * 30, 1000.0f, kRate, 0.05f);
    l = r = tone;
    runStage(h, eq, 1, l, r);
    std::vector<double> g; // per half block
    for (std::size_t from = 0; from + 220 <= tone.size(); from += 220)
        g.push_back(db(rms(l, from, from + 220) / rms(tone, from, from + 220)));
    for (std::size_t k = 1; k < g.size(); ++k) EXPECT_GT(g[k], g[k - 1] - 0.05) << k;
    EXPECT_LT(g[0], 8.0);
    EXPECT_GT(g[1], g[0] + 1.0);
    EXPECT_NEAR(g.back(), 16.7 + 0.9 * (17.66 - 16.7), 0.2);
}

// The master stage: small signals see the soft clip's straight middle (0.1428 per entry, 19
// entries, times 0.2), loud ones its ends; boost doubles; a constant 0.5 routed to the volume
// moves it by +-0.5. The whole audio path then runs without allocating.
TEST(Equalizer, MasterClipBoostModulationAndNoAllocation) {
    FxHarness h(kRate);
    auto& eq = h.module<Eq>(kModFxEqualizer);
    const double s = (0.0714 + 0.0714) * 19.0 * 0.2 * 0.1, t = 0.003 * s;
    const struct { float volume; bool boost; float amplitude, mod; double peak, tol; } cases[] = {
        {0.0f, true, 5.0f, 0, 0.0, 0.0},   {1.0f, false, 50.0f, 0, 1.0, 1e-6},
        {1.0f, true, 50.0f, 0, 2.0, 1e-6}, {1.0f, false, 0.1f, 0, s, t},
        {1.0f, true, 0.1f, 0, 2 * s, t},   {0.5f, false, 0.1f, 0, 0.5 * s, t},
        {0.5f, false, 0.1f, 1, s, t},      {0.5f, false, 0.1f, -1, 0.0, t}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.volume << c.boost << " " << c.amplitude << c.mod);
        h.set("volume", c.volume);
        h.set("boost", c.boost ? 1.0f : 0.0f);
        h.route(0, kSourceConstant50, kMainVolumeDestination, c.mod);
        Signal l = sine(16384, 441.0f, kRate, c.amplitude), r = l;
        for (float& v : r) v = -v;
        runStage(h, eq, 3, l, r);
        double peak = 0.0, asymmetry = 0.0; // the curve is odd about its middle
        for (std::size_t i = 8192; i < l.size(); ++i) { // after the volume glide
            peak = std::max(peak, std::fabs(double(l[i])));
            asymmetry = std::max(asymmetry, std::fabs(double(l[i]) + r[i]));
        }
        EXPECT_NEAR(peak, c.peak, c.tol);
        EXPECT_LT(asymmetry, 1e-6);
    }

    h.set("eq_power", 1.0f);
    h.set("soft", 1.0f);
    h.set("x-comp", 1.0f);
    auto& comp = h.module<Comp>(kModFxCompressor);
    Signal l = noise(h.block, 5), r = noise(h.block, 6);
    AllocationGuard guard;
    for (int blk = 0; blk < 32; ++blk) { // the bands glide: per-sample redesigns
        for (int slot = Eq::kLowFreq; slot <= Eq::kHighGain; ++slot)
            eq.setParameter(slot, blk % 2 ? 1.0f : 0.0f);
        eq.processStage(1, h.block, l.data(), r.data());
        comp.process(h.block, l.data(), r.data());
        for (int stage : {2, 3}) eq.processStage(stage, h.block, l.data(), r.data());
        eq.recover(), comp.recover();
    }
    EXPECT_EQ(guard.count(), 0);
}

} // namespace
} // namespace kolva::test
