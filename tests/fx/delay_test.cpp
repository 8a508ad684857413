// The stereo delay on signals: echo times, ping-pong and width routing, feedback, modulation
// depth, tone, the dry/wet law and its idle paths, and recovery after a NaN block.

#include "fx/module_fx_delay.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <utility>

namespace kolva::test {
namespace {

using Signal = std::vector<float>;

// A delay with fixed 0.21 s times, no modulation or feedback, flat tone, wet only.
struct DelayRig {
    explicit DelayRig(float rate = 44100.0f, int block = 256)
        : h(rate, block), fx(h.module<ModuleFxDelay>(kModFxDelay)) {
        h.engine.setTempo(120.0f);
        apply({{"del_modulate", 0}, {"del_fback", 0}, {"del_pingpong", 0}, {"del_sync", 0}});
        apply({{"del_color", 0.5f}, {"del_wet", 1}, {"del_wide", 1}});
        apply({{"del_timeL", 0.2f}, {"del_timeR", 0.2f}});
    }
    void apply(std::initializer_list<std::pair<const char*, float>> settings) {
        for (auto [name, value] : settings)
            h.set(name, value);
    }
    // Lines and filters back to rest, then silence until every smoother has settled.
    void restart() {
        fx.recover();
        render(silence(0.2), silence(0.2));
    }
    std::pair<Signal, Signal> render(Signal l, Signal r) {
        h.run(fx, l, r);
        return {std::move(l), std::move(r)};
    }
    int at(double seconds) const { return static_cast<int>(std::lround(seconds * h.rate)); }
    Signal silence(double seconds) const { return Signal(at(seconds)); }

    FxHarness h;
    ModuleFxDelay& fx;
};

int peakIndex(const Signal& x, int from = 0, int to = -1) {
    auto abs = [](float a, float b) { return std::fabs(a) < std::fabs(b); };
    return std::max_element(x.begin() + from, to < 0 ? x.end() : x.begin() + to, abs) - x.begin();
}

// Root of the energy within 64 samples of `centre`.
double energyAround(const Signal& x, int centre) {
    return rms(x, centre - 64, centre + 64) * std::sqrt(128.0);
}

TEST(FxDelay, EchoArrivesAtTheFreeSyncedOrClampedTime) {
    struct Case {
        const char* what;
        float rate, tempo, sync, timeL, timeR, divisionL, divisionR;
        double expectL, expectR; // seconds
    };
    const Case cases[] = {
        {"free, 10 ms added", 44100, 120, 0, 0.3f, 0.5f, 0, 0, 0.31, 0.51},
        {"1/8 and 1/4 at 120 bpm", 44100, 120, 1, 0, 0, 7, 10, 0.25, 0.5},
        {"16/1 clamped to 10 s", 22050, 30, 1, 0, 0, 20, 0, 10.0, 3.75 / 30},
        {"free at 192 kHz", 192000, 120, 0, 1.0f, 0.05f, 0, 0, 1.01, 0.06},
    };
    std::unique_ptr<DelayRig> held;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!held || held->h.rate != c.rate) held = std::make_unique<DelayRig>(c.rate, 1024);
        DelayRig& rig = *held;
        rig.h.engine.setTempo(c.tempo);
        rig.apply({{"del_sync", c.sync}, {"del_timeL", c.timeL}, {"del_timeR", c.timeR}});
        rig.apply({{"del_stimeL", c.divisionL / 999}, {"del_stimeR", c.divisionR / 999}});
        rig.restart();
        const int n = rig.at(std::max(c.expectL, c.expectR) + 0.05);
        auto [l, r] = rig.render(impulse(n), impulse(n));
        EXPECT_NEAR(peakIndex(l), rig.at(c.expectL), 1);
        EXPECT_NEAR(peakIndex(r), rig.at(c.expectR), 1);
        EXPECT_GT(energyAround(l, peakIndex(l)), 0.3);
    }
}

TEST(FxDelay, PingPongStartsLeftAndAlternates) {
    DelayRig rig;
    // Ping-pong: both inputs start in the left line, left at 0.11 s, right 0.32 s, left 0.43 s.
    rig.apply({{"del_pingpong", 1}, {"del_fback", 0.5f}, {"del_timeL", 0.1f}});
    rig.restart();
    auto [pl, pr] = rig.render(impulse(rig.at(0.5)), impulse(rig.at(0.5)));
    const double e1 = energyAround(pl, rig.at(0.11));
    EXPECT_GT(e1, 1.5);
    EXPECT_LT(energyAround(pr, rig.at(0.11)), 1e-3 * e1);
    EXPECT_NEAR(energyAround(pr, rig.at(0.32)) / e1, 0.5, 0.02);
    EXPECT_LT(energyAround(pl, rig.at(0.32)), 1e-3 * e1);
    EXPECT_NEAR(energyAround(pl, rig.at(0.43)) / e1, 0.25, 0.02);
}

TEST(FxDelay, WidthAndMixShareOutALeftOnlyEcho) {
    struct Case {
        float pingPong, width, mix, bypass;
        double dry, left, right; // dry < 0: the output is the input, bit for bit
    };
    // The first case's echo is the reference. Ping-pong folds width around the middle.
    const Case cases[] = {{0, 1, 1, 0, 0, 1, 0},           {0, 0, 1, 0, 0, 0, 1},
                          {0, 0.75f, 1, 0, 0, 0.75, 0.25}, {1, 0, 1, 0, 0, 1, 0},
                          {1, 0.25f, 1, 0, 0, 0.75, 0.25}, {0, 1, 0.35f, 0, 1, 0.5005, 0},
                          {0, 1, 0.7f, 0, 1, 1, 0},        {0, 1, 0.85f, 0, 0.5, 1, 0},
                          {0, 1, 0, 0, -1, 0, 0},          {0, 1, 1, 1, -1, 0, 0}};
    DelayRig rig;
    const int n = rig.at(0.3), echo = rig.at(0.21);
    double full = 0.0;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << &c - cases);
        rig.apply({{"del_pingpong", c.pingPong}, {"del_wide", c.width}});
        rig.apply({{"del_wet", c.mix}, {"del_mute", c.bypass}});
        rig.restart();
        auto [l, r] = rig.render(impulse(n), Signal(n));
        if (c.dry < 0.0) {
            EXPECT_EQ(l, impulse(n));
            continue;
        }
        full = full == 0.0 ? energyAround(l, echo) : full;
        EXPECT_NEAR(l[0], c.dry, 1e-3);
        EXPECT_NEAR(energyAround(l, echo) / full, c.left, 2e-3);
        EXPECT_NEAR(energyAround(r, echo) / full, c.right, 2e-3);
    }
    EXPECT_GT(full, 0.5);
}

TEST(FxDelay, EachRepeatShrinksByTheFeedback) {
    // A 1 kHz burst, which the flat tone band passes almost untouched (an impulse loses about
    // 1% per pass to its low-pass, which would hide a feedback gain a few percent too high).
    DelayRig rig;
    for (float fb : {0.3f, 0.6f, 0.9f}) {
        rig.apply({{"del_fback", fb}, {"del_timeL", 0.09f}});
        rig.restart();
        Signal x = sine(rig.at(0.45), 1000.0f, rig.h.rate);
        std::fill(x.begin() + rig.at(0.02), x.end(), 0.0f);
        const Signal l = rig.render(x, Signal(x.size())).first;
        auto repeat = [&](int k) { return rms(l, rig.at(0.1 * k), rig.at(0.1 * k + 0.03)); };
        for (int k = 1; k < 4; ++k)
            EXPECT_NEAR(repeat(k + 1) / repeat(k), fb, 0.01 * fb)
                << "feedback " << fb << " repeat " << k;
    }
}

TEST(FxDelay, ToneTiltsTheEchoes) {
    // Echo level of a 4 kHz burst over that of a 200 Hz burst, in dB.
    DelayRig rig;
    auto tilt = [&rig](float tone) {
        double level[2];
        for (int k = 0; k < 2; ++k) {
            rig.apply({{"del_color", tone}, {"del_timeL", 0.1f}});
            rig.restart();
            Signal x = sine(rig.at(0.2), k ? 4000.0f : 200.0f, rig.h.rate);
            std::fill(x.begin() + rig.at(0.05), x.end(), 0.0f);
            level[k] = rms(rig.render(x, Signal(x.size())).first, rig.at(0.125), rig.at(0.155));
        }
        return 20.0 * std::log10(level[1] / level[0]);
    };
    EXPECT_NEAR(tilt(0.5f), 0.0, 1.0);
    EXPECT_LT(tilt(0.0f), -12.0);
    EXPECT_GT(tilt(1.0f), 12.0);
}

TEST(FxDelay, ProcessNeverAllocatesRecoverClearsANanAndDepthMovesTheEcho) {
    DelayRig rig;
    rig.apply({{"del_modulate", 1}, {"del_rate", 0.5f}, {"del_pingpong", 1}, {"del_timeL", 0.1f}});
    Signal l = noise(4096, 5), r = noise(4096, 6);
    {
        AllocationGuard g;
        rig.h.run(rig.fx, l, r);
        EXPECT_EQ(g.count(), 0);
    }
    // Long enough for the NaN to leave the lines and reach the tone band.
    const Signal nan(rig.at(0.15), std::numeric_limits<float>::quiet_NaN());
    EXPECT_TRUE(std::isnan(rig.render(nan, nan).first.back()));
    rig.fx.recover();
    EXPECT_EQ(rig.render(Signal(4096), Signal(4096)).first, Signal(4096));
    // It echoes again, and two impulses at different LFO phases lag differently: full depth
    // moves the time by up to 10 ms (with no depth the times above are exact).
    const int second = rig.at(0.31);
    Signal x = impulse(rig.at(0.7));
    x[second] = 1.0f;
    const Signal echoes = rig.render(x, Signal(x.size())).first;
    EXPECT_GT(maxAbs(echoes), 0.5);
    EXPECT_GT(std::abs(peakIndex(echoes, 1, second) - (peakIndex(echoes, second + 1) - second)),
              20);
}

// The kernel runs four samples at a time where no read can see that group's writes. Echoes
// shorter than that (full modulation depth sweeps them down to nothing) must come out exactly
// as one sample per call does, with and without ping-pong.
TEST(FxDelay, ShortSweptEchoesMatchSampleBySampleProcessing) {
    constexpr int kFrames = 24000, kLine = 48000;
    constexpr float kRate = 48000.0f;
    struct Case {
        bool pingPong;
        float width, timeL, timeR;
    };
    const Case cases[] = {{false, 0.8f, 0.0f, 0.001f}, {true, 0.2f, 0.0f, 0.0f}, {true, 0.9f, 0.002f, 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ping-pong " << c.pingPong << " width " << c.width);
        const auto run = [&](int block) {
            Signal l = noise(kFrames, 11), r = noise(kFrames, 12);
            const Signal timeL(kFrames, c.timeL), timeR(kFrames, c.timeR), rate(kFrames, 0.9f),
                depth(kFrames, 1.0f), feedback(kFrames, 0.85f), width(kFrames, c.width),
                tone(kFrames, 0.3f), mix(kFrames, 0.6f);
            Signal lineL(kLine), lineR(kLine), readL(kFrames), readR(kFrames);
            fx::DelayLine left{}, right{};
            left.data = lineL.data();
            right.data = lineR.data();
            left.length = right.length = kLine;
            fx::DelayCore core;
            for (int i = 0; i < kFrames; i += block) {
                fx::DelayCore::Controls k;
                k.pingPong = c.pingPong;
                k.timeLeft = timeL.data() + i;
                k.timeRight = timeR.data() + i;
                k.feedback = feedback.data() + i;
                k.rate = rate.data() + i;
                k.depth = depth.data() + i;
                k.width = width.data() + i;
                k.tone = tone.data() + i;
                k.mix = mix.data() + i;
                core.process(std::min(block, kFrames - i), kRate, l.data() + i, r.data() + i, k,
                             left, right, readL.data() + i, readR.data() + i);
            }
            return std::pair{l, r};
        };
        const auto grouped = run(512), single = run(1);
        EXPECT_EQ(grouped.first, single.first);
        EXPECT_EQ(grouped.second, single.second);
        // The echoes really are there: the output is not the dry input.
        EXPECT_NE(grouped.first, noise(kFrames, 11));
    }
}

} // namespace
} // namespace kolva::test
