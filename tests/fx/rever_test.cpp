// The reverb on signals: every mode rings out, and longer at a larger decay; width 0 is mono;
// the pre-delay; mode numbers past the last; an unreadable mode document; recovery after NaN.

#include "fx/module_fx_rever.h"
#include "fx/rever_modes.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <limits>
#include <utility>

namespace kolva::test {
namespace {

using Signal = std::vector<float>;

// A reverb in `mode`, wet only, no pre-delay.
struct ReverbRig {
    explicit ReverbRig(int mode = 0) : fx(h.module<ModuleFxRever>(kModFxRever)) {
        h.option("rev_mode", mode);
        h.set("rev_wet", 1.0f);
        h.set("rev_sync", 0.0f);
        h.set("rev_pretime", 0.0f);
    }
    // Back to rest, then silence until every smoother has settled.
    void restart() {
        fx.recover();
        render(Signal(6615), Signal(6615));
    }
    std::pair<Signal, Signal> render(Signal l, Signal r) {
        h.run(fx, l, r);
        return {std::move(l), std::move(r)};
    }
    std::pair<Signal, Signal> impulseResponse(double seconds) {
        const int n = static_cast<int>(seconds * h.rate);
        return render(impulse(n), impulse(n));
    }

    FxHarness h;
    ModuleFxRever& fx;
};

TEST(FxReverb, EveryModeRingsOutLongerAtALargerDecayAndWidthZeroIsMono) {
    ReverbRig rig;
    for (int mode = 0; mode < fx::kReverModes; ++mode) {
        rig.h.option("rev_mode", mode);
        double slope[2];
        for (int k = 0; k < 2; ++k) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " decay and width " << k);
            rig.h.set("rev_decay", k ? 0.8f : 0.3f);
            rig.h.set("rev_wide", static_cast<float>(k));
            rig.restart();
            auto [l, r] = rig.impulseResponse(1.4);
            EXPECT_EQ(l == r, k == 0); // mono exactly when the width is 0
            // Stereo energy per 50 ms window in dB; a unit impulse spread over one is -44 dB.
            std::vector<double> db;
            for (std::size_t i = 0; i + 2205 <= l.size(); i += 2205) {
                const double el = rms(l, i, i + 2205), er = rms(r, i, i + 2205);
                db.push_back(10.0 * std::log10(el * el + er * er + 1e-30));
            }
            const std::size_t peak = std::max_element(db.begin(), db.end()) - db.begin();
            ASSERT_GT(db[peak], -45.0);
            EXPECT_LT(db.back(), db[peak] - 5.0);
            // Least-squares slope in dB/s from two windows past the peak until 80 dB down.
            double sx = 0, sy = 0, sxx = 0, sxy = 0, n = 0;
            for (std::size_t i = peak + 2; i < db.size() && db[i] > db[peak] - 80.0; ++i, ++n)
                sx += i * 0.05, sy += db[i], sxx += i * i * 0.0025, sxy += i * 0.05 * db[i];
            slope[k] = n < 4 ? 0.0 : (n * sxy - sx * sy) / (n * sxx - sx * sx);
        }
        if (mode == 5) continue; // "dmension" is all taps: its tail is gone within 0.3 s
        EXPECT_LT(slope[0], -1.0) << "mode " << mode;
        EXPECT_GT(slope[1], 0.8 * slope[0]) << "mode " << mode << ": larger decay, 25% longer";
    }
}

TEST(FxReverb, PreDelayShiftsTheOnsetAndIsUnusedAtZero) {
    ReverbRig rig(5); // "dmension": its delays do not move, so only the pre-delay shifts
    auto onset = [&rig] {
        rig.restart();
        auto [l, r] = rig.impulseResponse(0.6);
        const double threshold = 1e-3 * std::max(maxAbs(l), maxAbs(r));
        for (std::size_t i = 0; i < l.size(); ++i)
            if (std::fabs(l[i]) > threshold || std::fabs(r[i]) > threshold)
                return static_cast<int>(i);
        return -1;
    };
    const int base = onset();
    ASSERT_GT(base, 0);
    const fx::DelayLine& pre = rig.fx.lines()[0];
    ASSERT_GT(pre.length, 31 * 44100);
    EXPECT_TRUE(std::all_of(pre.data, pre.data + pre.length, [](float v) { return v == 0.0f; }));

    rig.h.set("rev_pretime", 0.2f);
    EXPECT_NEAR(onset() - base, 0.2 * 44100, 2) << "free";
    rig.h.set("rev_sync", 1.0f);
    rig.h.option("rev_pretimeS", 7);
    EXPECT_NEAR(onset() - base, 0.25 * 44100, 2) << "1/8 at 120 bpm";
}

// The tank hears the mono sum of the channels, with or without a pre-delay: an impulse in
// either channel alone, or half of one in both, rings out the same (past the first sample,
// where the dry impulse sits).
TEST(FxReverb, TheTankHearsTheMonoSumOfBothChannels) {
    ReverbRig rig(2);
    for (float preTime : {0.0f, 0.05f}) {
        SCOPED_TRACE(preTime);
        rig.h.set("rev_pretime", preTime);
        const int n = static_cast<int>(0.5 * rig.h.rate);
        const std::pair<Signal, Signal> inputs[] = {{impulse(n), Signal(n)},
                                                    {Signal(n), impulse(n)},
                                                    {impulse(n, 0, 0.5f), impulse(n, 0, 0.5f)}};
        std::vector<std::pair<Signal, Signal>> outs;
        for (const auto& [l, r] : inputs) {
            rig.restart();
            auto [outL, outR] = rig.render(l, r);
            outL.erase(outL.begin());
            outR.erase(outR.begin());
            outs.emplace_back(std::move(outL), std::move(outR));
        }
        EXPECT_GT(maxAbs(outs[0].first), 1e-3);
        for (std::size_t k = 1; k < outs.size(); ++k)
            EXPECT_TRUE(outs[k] == outs[0]) << "input " << k << " sounds different";
    }
}

TEST(FxReverb, ModeNumbersPastTheLastAndUnreadableDocumentsKeepAMode) {
    ASSERT_TRUE(fx::reverModeBank().valid);
    fx::ReverModeBank broken;
    EXPECT_FALSE(fx::parseReverModes("{\"modes\": [1, 2, 3, 4, 5, 6, 7]}", broken));
    EXPECT_FALSE(broken.valid);

    ReverbRig rig(6);
    const Signal inL = noise(11025, 3), inR = noise(11025, 4);
    auto play = [&](int mode) {
        rig.h.option("rev_mode", mode);
        rig.restart();
        return rig.render(inL, inR);
    };
    const auto last = play(6);
    EXPECT_EQ(play(999), last);
    EXPECT_EQ(rig.fx.component().loadedMode(), 6);

    rig.fx.component().useModes(&broken);
    EXPECT_EQ(play(2), last);
    EXPECT_EQ(rig.fx.component().loadedMode(), 6);
    rig.fx.component().useModes(&fx::reverModeBank());
    EXPECT_NE(play(2), last);
    EXPECT_EQ(rig.fx.component().loadedMode(), 2);
}

TEST(FxReverb, ModeChangesNeverAllocateAndRecoverClearsANan) {
    ReverbRig rig;
    rig.h.set("rev_pretime", 0.05f);
    Signal l = noise(2048, 13), r = noise(2048, 14);
    for (int mode : {2, 5, 6}) {
        rig.h.option("rev_mode", mode);
        AllocationGuard g;
        rig.h.run(rig.fx, l, r);
        EXPECT_EQ(g.count(), 0) << "mode " << mode;
        EXPECT_EQ(rig.fx.component().loadedMode(), mode);
    }
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_TRUE(std::isnan(rig.render(Signal(512, nan), Signal(512, nan)).first[511]));
    rig.fx.recover();
    EXPECT_EQ(rig.render(Signal(8192), Signal(8192)).first, Signal(8192));
    EXPECT_GT(maxAbs(rig.impulseResponse(0.3).first), 1e-3); // and rings again
}

TEST(FxReverb, OutputDoesNotDependOnHowTheAudioIsCutIntoBlocks) {
    // Past a whole trip round the tank's lines (1 s), so every line wraps inside some block;
    // block lengths not a multiple of four, single samples and whole blocks.
    ReverbRig rigs[2];
    const Signal in = noise(50000, 3);
    const std::initializer_list<int> cuts[2] = {{256}, {1, 3, 7, 4, 5, 130, 2, 256}};
    for (int mode = 0; mode < fx::kReverModes; ++mode) {
        std::pair<Signal, Signal> out[2];
        for (int k = 0; k < 2; ++k) {
            ReverbRig& rig = rigs[k];
            rig.h.option("rev_mode", mode);
            rig.h.set("rev_decay", 0.6f);
            rig.h.set("rev_damp", 0.3f);
            rig.h.set("rev_wide", 0.7f);
            rig.restart();
            Signal l = in, r = in;
            std::size_t at = 0;
            for (auto b = cuts[k].begin(); at < l.size();
                 b = std::next(b) == cuts[k].end() ? cuts[k].begin() : std::next(b)) {
                const int frames = std::min(*b, static_cast<int>(l.size() - at));
                rig.fx.process(frames, l.data() + at, r.data() + at);
                at += static_cast<std::size_t>(frames);
            }
            out[k] = {std::move(l), std::move(r)};
        }
        EXPECT_EQ(out[0].first, out[1].first) << "mode " << mode;
        EXPECT_EQ(out[0].second, out[1].second) << "mode " << mode;
        EXPECT_GT(rms(out[0].first, 45000), 0.001) << "mode " << mode;
    }
}

TEST(FxReverb, BlockFormsMatchSampleBySampleOnBothSidesOfTheMix) {
    // Wet levels on both sides of where the mix turns from adding the echo to fading the dry:
    // blocks of 256 take the block forms (a held mix picks its side once), single samples the
    // per-sample ones.
    constexpr int kFrames = 8192;
    for (float wet : {0.3f, 0.8f, 0.95f}) {
        std::pair<Signal, Signal> out[2];
        for (int k = 0; k < 2; ++k) {
            ReverbRig rig(1);
            rig.h.set("rev_wet", wet);
            rig.h.set("rev_decay", 0.7f);
            rig.restart();
            Signal l = noise(kFrames, 5), r = noise(kFrames, 6);
            const int block = k == 0 ? 256 : 1;
            for (int at = 0; at < kFrames; at += block)
                rig.fx.process(block, l.data() + at, r.data() + at);
            out[k] = {std::move(l), std::move(r)};
        }
        EXPECT_EQ(out[0].first, out[1].first) << "wet " << wet;
        EXPECT_EQ(out[0].second, out[1].second) << "wet " << wet;
        EXPECT_GT(rms(out[0].first, kFrames / 2), 0.001) << "wet " << wet;
    }
}

} // namespace
} // namespace kolva::test
