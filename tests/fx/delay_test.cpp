// The stereo delay on signals: echo times (free, synced, clamped), ping-pong and width
// routing, feedback decay and its bound, the tone band, the dry/wet law, the idle paths, and
// recovery after a NaN block.

#include "fx/module_fx_delay.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <utility>
#include <vector>

namespace kolva::test {
namespace {

using Signal = std::vector<float>;

struct Setting {
    const char* name;
    float value;
};

// A delay with fixed times, no modulation or feedback, flat tone, wet only.
struct DelayRig {
    explicit DelayRig(float rate = 44100.0f, int block = 256, float tempo = 120.0f)
        : h(rate, block), fx(h.module<ModuleFxDelay>(kModFxDelay)) {
        h.engine.setTempo(tempo);
        for (Setting s : {Setting{"del_modulate", 0.0f}, {"del_fback", 0.0f}, {"del_color", 0.5f},
                          {"del_wet", 1.0f}, {"del_pingpong", 0.0f}, {"del_sync", 0.0f},
                          {"del_wide", 1.0f}, {"del_timeL", 0.2f}, {"del_timeR", 0.2f}})
            h.set(s.name, s.value);
    }
    void apply(std::initializer_list<Setting> settings) {
        for (const Setting& s : settings) h.set(s.name, s.value);
    }
    // Silence until every smoother has reached its target.
    void settle() {
        Signal l(static_cast<std::size_t>(0.2f * h.rate)), r(l.size());
        h.run(fx, l, r);
    }
    // Back to rest (lines and filters) with the present settings.
    void restart() {
        fx.recover();
        settle();
    }
    std::pair<Signal, Signal> render(Signal l, Signal r) {
        h.run(fx, l, r);
        return {std::move(l), std::move(r)};
    }
    int at(double seconds) const { return static_cast<int>(std::lround(seconds * h.rate)); }

    FxHarness h;
    ModuleFxDelay& fx;
};

int peakIndex(const Signal& x, int from = 0, int to = -1) {
    if (to < 0) to = static_cast<int>(x.size());
    int best = from;
    for (int i = from; i < to; ++i)
        if (std::fabs(x[static_cast<std::size_t>(i)]) > std::fabs(x[static_cast<std::size_t>(best)]))
            best = i;
    return best;
}

// Root of the energy within `half` samples of `centre`.
double energyAround(const Signal& x, int centre, int half = 64) {
    double e = 0.0;
    for (int i = std::max(0, centre - half); i < std::min<int>(x.size(), centre + half); ++i)
        e += static_cast<double>(x[static_cast<std::size_t>(i)]) * x[static_cast<std::size_t>(i)];
    return std::sqrt(e);
}

TEST(FxDelay, EchoArrivesAtTheFreeSyncedOrClampedTime) {
    struct Case {
        const char* what;
        float rate, tempo, sync, timeL, timeR;
        int divisionL, divisionR;
        double expectL, expectR; // seconds
    };
    const Case cases[] = {
        {"free, 10 ms added", 44100, 120, 0, 0.3f, 0.5f, 0, 0, 0.31, 0.51},
        {"1/8 and 1/4 at 120 bpm", 44100, 120, 1, 0, 0, 7, 10, 0.25, 0.5},
        {"1/2 and 1/16 at 90 bpm", 44100, 90, 1, 0, 0, 13, 4, 120.0 / 90, 15.0 / 90},
        {"16/1 clamped to 10 s", 22050, 30, 1, 0, 0, 20, 0, 10.0, 3.75 / 30},
        {"free at 192 kHz", 192000, 120, 0, 1.0f, 0.05f, 0, 0, 1.01, 0.06},
    };
    std::unique_ptr<DelayRig> rig;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!rig || rig->h.rate != c.rate) rig = std::make_unique<DelayRig>(c.rate, 1024);
        rig->h.engine.setTempo(c.tempo);
        rig->apply({{"del_sync", c.sync}, {"del_timeL", c.timeL}, {"del_timeR", c.timeR}});
        rig->h.option("del_stimeL", c.divisionL);
        rig->h.option("del_stimeR", c.divisionR);
        rig->restart();
        const int n = rig->at(std::max(c.expectL, c.expectR) + 0.05);
        auto [l, r] = rig->render(impulse(n), impulse(n));
        EXPECT_NEAR(peakIndex(l), rig->at(c.expectL), 1);
        EXPECT_NEAR(peakIndex(r), rig->at(c.expectR), 1);
        // The tone band narrows towards low rates, so compare energy, not the peak.
        EXPECT_GT(energyAround(l, peakIndex(l)), 0.3);
        EXPECT_EQ(l[0], 0.0f); // wet only: no dry impulse
    }
}

TEST(FxDelay, PingPongStartsLeftAndAlternates) {
    DelayRig rig;
    rig.apply({{"del_pingpong", 1}, {"del_wide", 1}, {"del_fback", 0.5f}, {"del_timeL", 0.1f},
               {"del_timeR", 0.2f}});
    rig.settle();
    const int n = rig.at(0.6);
    auto [l, r] = rig.render(impulse(n), impulse(n));
    // Both inputs entered the left line: left at 0.11 s, right at 0.32 s, left at 0.43 s.
    const int first = rig.at(0.11), second = rig.at(0.32), third = rig.at(0.43);
    const double e1 = energyAround(l, first);
    EXPECT_GT(e1, 1.5); // the two inputs summed
    EXPECT_LT(energyAround(r, first), 1e-3 * e1);
    EXPECT_NEAR(energyAround(r, second) / e1, 0.5, 0.02);
    EXPECT_LT(energyAround(l, second), 1e-3 * e1);
    EXPECT_NEAR(energyAround(l, third) / e1, 0.25, 0.02);
    EXPECT_LT(energyAround(r, third), 1e-3 * e1);
}

TEST(FxDelay, WidthRoutesTheEchoesBetweenSides) {
    struct Case {
        float pingPong, width;
        double leftShare, rightShare; // of a left-only echo
    };
    const Case cases[] = {
        {0, 1.0f, 1.0, 0.0}, {0, 0.0f, 0.0, 1.0}, {0, 0.5f, 0.5, 0.5},
        {0, 0.75f, 0.75, 0.25},
        // Ping-pong folds width around the middle: 0 keeps the sides like 1.
        {1, 0.0f, 1.0, 0.0}, {1, 0.25f, 0.75, 0.25},
    };
    DelayRig ref;
    ref.settle();
    const int n = ref.at(0.3);
    const auto [refL, refR] = ref.render(impulse(n), Signal(static_cast<std::size_t>(n)));
    const int echo = ref.at(0.21);
    const double full = energyAround(refL, echo);
    ASSERT_GT(full, 0.5);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pingpong " << c.pingPong << " width " << c.width);
        ref.apply({{"del_pingpong", c.pingPong}, {"del_wide", c.width}});
        ref.restart();
        auto [l, r] = ref.render(impulse(n), Signal(static_cast<std::size_t>(n)));
        EXPECT_NEAR(energyAround(l, echo) / full, c.leftShare, 0.01);
        EXPECT_NEAR(energyAround(r, echo) / full, c.rightShare, 0.01);
    }
}

TEST(FxDelay, EachRepeatShrinksByTheFeedback) {
    DelayRig rig;
    for (float fb : {0.3f, 0.6f, 0.9f}) {
        SCOPED_TRACE(fb);
        rig.apply({{"del_fback", fb}, {"del_timeL", 0.09f}});
        rig.restart();
        const int n = rig.at(0.45);
        auto [l, r] = rig.render(impulse(n), impulse(n));
        for (int k = 1; k < 4; ++k) {
            const double ratio = energyAround(l, rig.at(0.1 * (k + 1))) / energyAround(l, rig.at(0.1 * k));
            EXPECT_NEAR(ratio, fb, 0.02 * fb) << "repeat " << k;
        }
    }
}

TEST(FxDelay, FullFeedbackStaysBoundedForHalfAMinute) {
    // Ping-pong, where both inputs share one line, for the full time; normal for less.
    for (auto [pingPong, seconds] : {std::pair{1.0f, 30.0}, std::pair{0.0f, 8.0}}) {
        SCOPED_TRACE(pingPong);
        DelayRig rig(44100.0f, 2048);
        rig.apply({{"del_pingpong", pingPong}, {"del_fback", 1.0f}, {"del_modulate", 1.0f},
                   {"del_rate", 0.6f}, {"del_timeL", 0.23f}, {"del_timeR", 0.37f}});
        rig.settle();
        const int n = rig.at(seconds);
        Signal l = noise(n, 7), r = noise(n, 8);
        std::fill(l.begin() + rig.at(0.2), l.end(), 0.0f);
        std::fill(r.begin() + rig.at(0.2), r.end(), 0.0f);
        auto [outL, outR] = rig.render(l, r);
        double peak = 0.0;
        for (std::size_t i = 0; i < outL.size(); ++i) {
            ASSERT_TRUE(std::isfinite(outL[i]) && std::isfinite(outR[i])) << i;
            peak = std::max({peak, static_cast<double>(std::fabs(outL[i])),
                             static_cast<double>(std::fabs(outR[i]))});
        }
        EXPECT_LT(peak, 2.0);
        // Still ringing at the end, though: nothing but the tone band takes energy out.
        EXPECT_GT(rms(outL, outL.size() - 44100), 1e-3);
    }
}

TEST(FxDelay, ToneTiltsTheEchoes) {
    // Echo level of a 4 kHz burst over that of a 200 Hz burst, in dB.
    DelayRig rig;
    auto tilt = [&rig](float tone) {
        double level[2];
        const float hz[2] = {200.0f, 4000.0f};
        for (int k = 0; k < 2; ++k) {
            rig.apply({{"del_color", tone}, {"del_timeL", 0.1f}});
            rig.restart();
            const int n = rig.at(0.2);
            Signal x = sine(n, hz[k], rig.h.rate);
            std::fill(x.begin() + rig.at(0.05), x.end(), 0.0f);
            auto [l, r] = rig.render(x, Signal(x.size()));
            level[k] = rms(l, static_cast<std::size_t>(rig.at(0.125)),
                           static_cast<std::size_t>(rig.at(0.155)));
        }
        return 20.0 * std::log10(level[1] / level[0]);
    };
    EXPECT_NEAR(tilt(0.5f), 0.0, 1.0);
    EXPECT_LT(tilt(0.0f), -12.0);
    EXPECT_GT(tilt(1.0f), 12.0);
}

TEST(FxDelay, DryAndWetFollowTheMixLaw) {
    struct Case {
        float mix;
        double dry, wet;
    };
    const Case cases[] = {{0.35f, 1.0, 0.5005}, {0.7f, 1.0, 1.0}, {0.85f, 0.5, 1.0}, {1.0f, 0.0, 1.0}};
    DelayRig ref; // wet only
    ref.settle();
    const int n = ref.at(0.25);
    const auto [wet, unusedR] = ref.render(impulse(n), impulse(n));
    const int echo = peakIndex(wet);
    ASSERT_GT(std::fabs(wet[static_cast<std::size_t>(echo)]), 0.5f);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mix);
        ref.apply({{"del_wet", c.mix}});
        ref.restart();
        auto [l, r] = ref.render(impulse(n), impulse(n));
        EXPECT_NEAR(l[0], c.dry, 1e-3);
        EXPECT_NEAR(l[static_cast<std::size_t>(echo)] / wet[static_cast<std::size_t>(echo)], c.wet,
                    1e-3);
    }
}

TEST(FxDelay, IdleDelayPassesAudioAndRemembersNothing) {
    struct Case {
        const char* what;
        float mix, bypass;
    };
    for (const Case& c : {Case{"mix 0", 0.0f, 0.0f}, Case{"bypass", 1.0f, 1.0f}}) {
        SCOPED_TRACE(c.what);
        DelayRig rig;
        rig.apply({{"del_wet", c.mix}, {"del_mute", c.bypass}, {"del_timeL", 0.05f},
                   {"del_timeR", 0.05f}, {"del_fback", 0.5f}});
        const int n = rig.at(0.3);
        const Signal inL = noise(n, 1), inR = noise(n, 2);
        auto [l, r] = rig.render(inL, inR);
        EXPECT_EQ(l, inL);
        EXPECT_EQ(r, inR);
        // Switched on afterwards it has no echo of that input.
        rig.apply({{"del_wet", 1.0f}, {"del_mute", 0.0f}});
        auto [l2, r2] = rig.render(Signal(static_cast<std::size_t>(n)), Signal(static_cast<std::size_t>(n)));
        EXPECT_EQ(maxAbs(l2) + maxAbs(r2), 0.0);
    }
}

TEST(FxDelay, ModulationDepthZeroKeepsTheTimeFixed) {
    // Two impulses at different LFO phases; the lag of each echo.
    DelayRig rig;
    auto lags = [&rig](float depth) {
        rig.apply({{"del_modulate", depth}, {"del_rate", 0.5f}, {"del_timeL", 0.1f}});
        rig.restart();
        const int n = rig.at(0.7), second = rig.at(0.31);
        Signal x = impulse(n);
        x[static_cast<std::size_t>(second)] = 1.0f;
        auto [l, r] = rig.render(x, Signal(x.size()));
        return std::pair{peakIndex(l, 1, second), peakIndex(l, second + 1) - second};
    };
    const auto still = lags(0.0f);
    EXPECT_EQ(still.first, still.second);
    EXPECT_NEAR(still.first, 4851, 1); // 0.11 s
    const auto moving = lags(1.0f);
    EXPECT_GT(std::abs(moving.first - moving.second), 20); // up to +-10 ms at full depth
}

TEST(FxDelay, ClearSilencesTheLinesAndRecoverSurvivesNan) {
    DelayRig rig;
    rig.apply({{"del_timeL", 0.2f}, {"del_timeR", 0.2f}});
    const int n = rig.at(0.2);
    const Signal silence(static_cast<std::size_t>(n));
    // Noise, then silence: the lines still hold the noise unless cleared in between. Past the
    // first 50 ms the tone band's own ringing (its 20 Hz high-pass) has gone.
    for (bool clear : {false, true}) {
        SCOPED_TRACE(clear);
        rig.restart();
        rig.render(noise(n, 3), noise(n, 4));
        if (clear) rig.fx.clear();
        auto [l, r] = rig.render(silence, silence);
        const double level = rms(l, static_cast<std::size_t>(rig.at(0.05)));
        if (clear)
            EXPECT_LT(level, 1e-4);
        else
            EXPECT_GT(level, 0.1);
    }

    const float nan = std::numeric_limits<float>::quiet_NaN();
    auto [nl, nr] = rig.render(Signal(256, nan), Signal(256, nan));
    EXPECT_TRUE(std::isnan(nl[0]));
    rig.fx.recover();
    auto [ql, qr] = rig.render(silence, silence);
    EXPECT_EQ(maxAbs(ql) + maxAbs(qr), 0.0);
    const int m = rig.at(0.3);
    auto [el, er] = rig.render(impulse(m), Signal(static_cast<std::size_t>(m)));
    EXPECT_GT(maxAbs(el), 0.5); // and echoes again
}

TEST(FxDelay, ProcessNeverAllocates) {
    DelayRig rig;
    rig.apply({{"del_modulate", 0.5f}, {"del_fback", 0.8f}, {"del_pingpong", 1.0f}});
    Signal l = noise(4096, 5), r = noise(4096, 6);
    AllocationGuard g;
    rig.h.run(rig.fx, l, r);
    EXPECT_EQ(g.count(), 0);
}

} // namespace
} // namespace kolva::test
