// Six-stage envelopes: stage timing, curve shapes, retrigger rules, free-run bookkeeping.
// Expected values come from the envelope's time curve and shape tables, restated here.
#include "engine/aplugin.h"
#include "engine/module_envelope.h"
#include "engine/module_id.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

namespace kolva {
namespace {

double g_now = 0.0;
constexpr float kStart = 1.0f;
constexpr float kRelease = 2.0f;
// Module slots: six controls, then the four curve choices.
constexpr int kAtt = 0, kDec = 1, kSus = 2, kSlopeTime = 3, kAttCurve = 6, kDecCurve = 7,
              kSlopeCurve = 8, kRelCurve = 9;

// One envelope module with its own contexts (no engine around it).
class EnvRig {
public:
    explicit EnvRig(float rate = 44100.0f, const char* name = "env1", bool freeRun = true,
                    int block = 256)
        : matrix(std::make_unique<ModuleMatrix>()), block_(block) {
        voices.recreateArena(4u << 20);
        engine.setSampleRate(rate);
        engine.clock = [] { return g_now; };
        matrix->init(&engine, &voices, matrix.get(), "matrix");
        env.init(&engine, &voices, matrix.get(), name);
        env.setup();
        env.setFreeRun(freeRun);
        env.setSampleRate(rate);
        env.setBlockSize(block);
    }

    void controls(float att, float dec, float sus, float slopeTime, float slopeLevel, float rel) {
        const float v[6] = {att, dec, sus, slopeTime, slopeLevel, rel};
        for (int s = 0; s < 6; ++s)
            env.setParameter(s, v[s]);
    }
    // Curve option k (0..2) of slot 6..9, stored as k/2.
    void curve(int slot, int k) { env.setParameter(slot, static_cast<float>(k) * 0.5f); }

    // Renders `count` samples in blocks, with gate events at offsets from the start of this
    // call, and returns voice v's output.
    std::vector<float> run(int v, int count, std::vector<std::pair<int, float>> events = {}) {
        std::vector<float> out;
        out.reserve(static_cast<std::size_t>(count));
        for (int done = 0; done < count;) {
            const int n = std::min(block_, count - done);
            lane_.assign(static_cast<std::size_t>(n), 0.0f);
            bool any = false;
            for (auto [at, g] : events) {
                if (at < done || at >= done + n) continue;
                lane_[static_cast<std::size_t>(at - done)] = g;
                any = true;
                if (g == kStart) env.markNoteStart(v);
            }
            env.setGate(v, any ? lane_.data() : nullptr);
            env.renderBlock(n);
            const float* buf = env.getModOutput(0)[v];
            out.insert(out.end(), buf, buf + n);
            done += n;
        }
        env.setGate(v, nullptr);
        return out;
    }

    EngineContext engine;
    SharedVoiceContext voices;
    std::unique_ptr<ModuleMatrix> matrix;
    ModuleEnvelope env;

private:
    int block_;
    std::vector<float> lane_;
};

int firstIndexOf(const std::vector<float>& out, float level, int from = 0) {
    for (int i = from; i < static_cast<int>(out.size()); ++i)
        if (out[static_cast<std::size_t>(i)] == level) return i;
    return -1;
}

// Controls with T read between table points: T(x) for x * 31 = 7.75, 15.5, 23.25, 31.
struct TimePoint {
    float x;
    double t;
};
constexpr TimePoint kTimes[] = {
    {0.25f, 0.002 + 0.75 * (0.0028 - 0.002)},
    {0.5f, (0.0238 + 0.0312) / 2.0},
    {0.75f, 0.171 + 0.25 * (0.2154 - 0.171)},
    {1.0f, 1.0},
};

// Measured stage lengths in samples against T(x) x 44 x rate.
class EnvelopeStageTiming : public ::testing::TestWithParam<float> {};

TEST_P(EnvelopeStageTiming, StagesLastTheTimeCurveWithinOneSample) {
    const float rate = GetParam();
    for (const TimePoint& p : kTimes) {
        const double expected = p.t * 44.0 * rate;
        const int total = static_cast<int>(expected) + 600;
        {
            EnvRig r(rate);
            r.controls(p.x, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f); // linear attack up to S = 1
            const auto out = r.run(0, total, {{0, kStart}});
            EXPECT_NEAR(firstIndexOf(out, 1.0f), expected, 1.0) << "attack x=" << p.x;
        }
        {
            EnvRig r(rate);
            r.curve(kDecCurve, 1); // "Pow": steep at its end, so float rounding cannot end it early
            r.controls(0.0f, p.x, 0.25f, 0.0f, 0.9f, 0.0f); // decay 1 -> 0.25
            const auto out = r.run(0, total, {{0, kStart}});
            EXPECT_NEAR(firstIndexOf(out, 0.25f), expected, 1.0) << "decay x=" << p.x;
        }
        {
            EnvRig r(rate);
            r.controls(0.0f, 0.0f, 1.0f, p.x, 0.5f, 0.0f); // slope 1 -> 0.5
            const auto out = r.run(0, total, {{0, kStart}});
            EXPECT_NEAR(firstIndexOf(out, 0.5f), expected, 1.0) << "slope x=" << p.x;
        }
        {
            EnvRig r(rate);
            r.curve(kRelCurve, 1);
            r.controls(0.0f, 0.0f, 1.0f, 0.0f, 0.0f, p.x); // release 1 -> 0 from sample 10
            // A second release while releasing changes nothing.
            const int again = 10 + static_cast<int>(expected / 2);
            const auto out = r.run(0, total + 10, {{0, kStart}, {10, kRelease}, {again, kRelease}});
            EXPECT_NEAR(firstIndexOf(out, 0.0f, 10) - 10, expected, 1.0) << "release x=" << p.x;
            EXPECT_EQ(r.env.stage(0), ModuleEnvelope::kIdle);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EnvelopeRates, EnvelopeStageTiming, ::testing::Values(44100.0f, 96000.0f));

// Each curve at positions 0.25, 0.5 and 0.75 of a stage (table points 7, 8, 15, 16, 23, 24).
struct ShapeCase {
    int stage;
    int option;
    float knots[6];
};
constexpr float kLinKnots[6] = {7 / 31.0f,  8 / 31.0f,  15 / 31.0f,
                                16 / 31.0f, 23 / 31.0f, 24 / 31.0f};

double shapeBetweenKnots(const float (&k)[6], double pos) {
    const double i = pos * 31.0;
    const int seg = i < 12.0 ? 0 : (i < 20.0 ? 2 : 4);
    const double lo = seg == 0 ? 7.0 : (seg == 2 ? 15.0 : 23.0);
    return k[seg] + (k[seg + 1] - k[seg]) * (i - lo);
}

TEST(EnvelopeShapes, EachCurveFollowsItsTable) {
    const ShapeCase cases[] = {
        {kAttCurve, 0, {}},
        {kAttCurve, 1, {0.0898f, 0.1104f, 0.3436f, 0.3935f, 0.7915f, 0.8359f}},
        {kAttCurve, 2, {0.4828f, 0.5212f, 0.7287f, 0.7523f, 0.8897f, 0.9061f}},
        {kDecCurve, 0, {0.461f, 0.5036f, 0.7367f, 0.763f, 0.9114f, 0.9279f}},
        {kDecCurve, 1, {0.0864f, 0.102f, 0.2389f, 0.2635f, 0.4855f, 0.5269f}},
        {kSlopeCurve, 0, {}},
        {kSlopeCurve, 1, {0.0437f, 0.0511f, 0.1226f, 0.1374f, 0.323f, 0.3699f}},
        {kSlopeCurve, 2, {0.6731f, 0.7075f, 0.8322f, 0.8438f, 0.9171f, 0.9272f}},
        {kRelCurve, 0, {0.5348f, 0.5839f, 0.8271f, 0.8506f, 0.9603f, 0.9694f}},
        {kRelCurve, 1, {0.0032f, 0.0033f, 0.0078f, 0.0102f, 0.0828f, 0.1121f}},
        {kRelCurve, 2, {0.882f, 0.9077f, 0.9826f, 0.9864f, 0.9977f, 0.9982f}},
    };
    // x = 0.5: a stage of 0.0275 x 44 x 44100 = 53361 samples, step 1/53362.
    const double steps = 53362.0;
    for (const ShapeCase& c : cases) {
        EnvRig r;
        const bool lin = c.option == 0 && (c.stage == kAttCurve || c.stage == kSlopeCurve);
        const float(&knots)[6] = lin ? kLinKnots : c.knots;
        r.curve(c.stage, c.option);
        int offset = 0; // first sample of the stage
        switch (c.stage) {
        case kAttCurve:
            r.controls(0.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f);
            break;
        case kDecCurve:
            r.controls(0.0f, 0.5f, 0.0f, 0.0f, 0.0f, 0.0f);
            break;
        case kSlopeCurve:
            r.controls(0.0f, 0.0f, 1.0f, 0.5f, 0.0f, 0.0f);
            break;
        default:
            r.controls(0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.5f);
            offset = 10;
            break;
        }
        std::vector<std::pair<int, float>> events = {{0, kStart}};
        if (offset > 0) events.emplace_back(offset, kRelease);
        const auto out = r.run(0, 45000, events);
        for (double target : {0.25, 0.5, 0.75}) {
            const int k = static_cast<int>(std::lround(target * steps)) - 1;
            const double shape = shapeBetweenKnots(knots, (k + 1) / steps);
            // The attack rises 0 -> 1; decay, slope and release fall 1 -> 0.
            const double expected = c.stage == kAttCurve ? shape : 1.0 - shape;
            EXPECT_NEAR(out[static_cast<std::size_t>(offset + k)], expected, 1e-4)
                << "slot " << c.stage << " option " << c.option << " at " << target;
        }
    }
}

TEST(EnvelopeShapes, DecayExp1AddsA512SamplePunchScaledWithTheRate) {
    for (float rate : {44100.0f, 96000.0f}) {
        EnvRig r(rate);
        r.curve(kDecCurve, 2);
        r.controls(0.0f, 0.5f, 0.0f, 0.0f, 0.0f, 0.0f);
        const auto out = r.run(0, 3000, {{0, kStart}});
        const double decaySteps = 0.0275 * 44.0 * rate + 1.0;
        const double punchSamples = rate / 44100.0 * 512.0;
        // Main part M near 0 (between its points 0 and 0.1884); punch P at 0.25 and 0.5.
        const auto expected = [&](int k, double punch) {
            const double m = 0.1884 * ((k + 1) / decaySteps * 31.0);
            return 1.0 - (0.2 + 0.8 * m) + 0.2 * punch;
        };
        EXPECT_NEAR(out[0], 1.0, 1e-4) << rate;
        const int q = static_cast<int>(std::lround(0.25 * punchSamples));
        const int h = static_cast<int>(std::lround(0.5 * punchSamples));
        const double pq = 0.5292 + (0.466 - 0.5292) * (q / punchSamples * 31.0 - 7.0);
        const double ph = 0.1496 + (0.1235 - 0.1496) * (h / punchSamples * 31.0 - 15.0);
        EXPECT_NEAR(out[static_cast<std::size_t>(q)], expected(q, pq), 1e-4) << rate;
        EXPECT_NEAR(out[static_cast<std::size_t>(h)], expected(h, ph), 1e-4) << rate;
        const int past = static_cast<int>(punchSamples) + 100; // punch over: only 80 % curve
        EXPECT_NEAR(out[static_cast<std::size_t>(past)], expected(past, 0.0), 1e-4) << rate;
    }
}

TEST(EnvelopeLevels, ZeroTimesJumpToSustainInTheFirstSample) {
    EnvRig r;
    r.controls(0.0f, 0.0f, 0.7f, 0.0f, 0.2f, 0.5f); // slope level ignored without a slope
    const auto out = r.run(0, 512, {{5, kStart}});
    EXPECT_EQ(out[4], 0.0f);
    EXPECT_EQ(out[5], 0.7f);
    EXPECT_EQ(out[511], 0.7f);
    EXPECT_EQ(r.env.stage(0), ModuleEnvelope::kSustain);
}

TEST(EnvelopeLevels, SlopeTimeZeroSustainsAtTheDecayLevel) {
    EnvRig r;
    r.controls(0.0f, 0.25f, 0.6f, 0.0f, 0.1f, 0.0f); // decay lasts ~5045 samples
    EXPECT_EQ(r.run(0, 6000, {{0, kStart}}).back(), 0.6f);
    r.controls(0.0f, 0.25f, 0.6f, 0.25f, 0.1f, 0.0f); // the same with a slope to 0.1
    const auto out = r.run(1, 12000, {{0, kStart}});
    EXPECT_GT(out[5200], 0.1f);
    EXPECT_LT(out[5200], 0.6f);
    EXPECT_EQ(out.back(), 0.1f);
}

TEST(EnvelopeLevels, ReleaseZeroFallsInOneSampleAndTheBufferIsClearedNextBlock) {
    EnvRig r;
    r.controls(0.0f, 0.0f, 0.8f, 0.0f, 0.0f, 0.0f);
    const auto out = r.run(2, 512, {{0, kStart}, {300, kRelease}});
    EXPECT_EQ(out[299], 0.8f);
    EXPECT_EQ(out[300], 0.0f);
    EXPECT_EQ(r.env.stage(2), ModuleEnvelope::kIdle);
    EXPECT_TRUE(r.env.isActive(2)); // the block still carries the end of the note
    EXPECT_EQ(r.voices.ampEnvelopeActive[2], 0);
    r.env.renderBlock(256);
    EXPECT_FALSE(r.env.isActive(2));
    const float* buf = r.env.getModOutput(0)[2];
    for (int i = 0; i < 256; ++i)
        ASSERT_EQ(buf[i], 0.0f) << i;
}

TEST(EnvelopeRetrigger, LegatoFromAttackAndDecayContinuesFromThePresentValue) {
    EnvRig r;
    const double steps = 53362.0; // attack x = 0.5
    r.controls(0.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f);
    const auto attack = r.run(0, 2000, {{0, kStart}, {1000, kStart}});
    const double before = attack[999];
    EXPECT_NEAR(before, 1000.0 / steps, 1e-5);
    EXPECT_NEAR(attack[1000], before + (1.0 - before) / steps, 1e-6);

    r.controls(0.0f, 0.5f, 0.3f, 0.0f, 0.0f, 0.0f);
    const auto decay = r.run(1, 5000, {{0, kStart}});
    r.controls(0.5f, 0.5f, 0.3f, 0.0f, 0.0f, 0.0f);
    const auto again = r.run(1, 1, {{0, kStart}});
    const float present = decay.back();
    EXPECT_LT(present, 0.9f);
    EXPECT_NEAR(again[0], present + (1.0 - present) / steps, 1e-5);
    EXPECT_EQ(r.env.stage(1), ModuleEnvelope::kAttack);
    EXPECT_FLOAT_EQ(static_cast<VoiceEnvelope*>(r.env.getVoice(1))->levelAtTrigger(), present);
}

// Note on, held to 1, then released; returns the last released level.
float holdAndRelease(EnvRig& r, int restartAfter) {
    r.run(0, restartAfter, {{0, kStart}});
    return r.run(0, 1024, {{0, kRelease}}).back();
}

TEST(EnvelopeRetrigger, DuringReleaseContinuesWithinAQuarterSecondOfTheLastRetrigger) {
    // env2: an attack of ~8441 samples (x = 0.3), release x = 0.5.
    EnvRig r(44100.0f, "env2", false);
    r.voices.voiceActive[0] = 1;
    r.controls(0.3f, 0.0f, 1.0f, 0.0f, 0.0f, 0.5f);
    g_now = 10.0;
    float level = holdAndRelease(r, 10240);
    ASSERT_GT(level, 0.8f);
    EXPECT_LT(r.run(0, 1, {{0, kStart}})[0], 0.001f) << "first retrigger restarts from zero";
    level = holdAndRelease(r, 4096);
    ASSERT_GT(level, 0.3f);
    g_now = 10.2;
    EXPECT_NEAR(r.run(0, 1, {{0, kStart}})[0], level, 0.001f) << "0.2 s later: continues";
    level = holdAndRelease(r, 4096);
    ASSERT_GT(level, 0.3f);
    g_now = 10.5;
    EXPECT_LT(r.run(0, 1, {{0, kStart}})[0], 0.001f) << "0.3 s later: restarts";

    // The amplitude envelope always continues, whatever the time.
    EnvRig amp;
    amp.controls(0.3f, 0.0f, 1.0f, 0.0f, 0.0f, 0.5f);
    g_now = 100.0;
    level = holdAndRelease(amp, 10240);
    EXPECT_NEAR(amp.run(0, 1, {{0, kStart}})[0], level, 0.001f);
}

TEST(EnvelopeRetrigger, AntiClickStretchesRetriggeredAmplitudeAttacksTo32Samples) {
    for (int antiClick : {1, 0}) {
        EnvRig r;
        r.voices.antiClick = antiClick;
        r.controls(0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.5f);
        const float level = holdAndRelease(r, 256);
        const auto out = r.run(0, 64, {{0, kStart}});
        if (antiClick) {
            // Step 0.032 per sample: position 0.992 after 31 samples, done at the 32nd.
            EXPECT_NEAR(out[0], level + (0.5f - level) * 0.032f, 1e-6);
            EXPECT_NEAR(out[30], level + (0.5f - level) * 0.992f, 1e-6);
            EXPECT_EQ(out[31], 0.5f);
        } else {
            EXPECT_EQ(out[0], 0.5f);
        }
    }
    EnvRig mod(44100.0f, "env3", false); // the limit is the amplitude envelope's alone
    mod.voices.voiceActive[0] = 1;
    mod.controls(0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.5f);
    holdAndRelease(mod, 256);
    EXPECT_EQ(mod.run(0, 1, {{0, kStart}})[0], 0.5f);
}

TEST(EnvelopeVoices, FreeRunRunsStartedVoicesPublishesActivityAndGoesIdle) {
    EnvRig r;
    r.controls(0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.1f); // release ~1397 samples
    r.voices.ampEnvelopeActive[7] = 1;              // stale: rewritten every block
    std::vector<float> start(256, 0.0f), release(256, 0.0f);
    start[0] = kStart;
    release[0] = kRelease;
    for (int v : {3, 5, kMonoVoice})
        r.env.setGate(v, start.data());
    r.env.markNoteStart(3);
    r.env.markNoteStart(kMonoVoice); // voice 5 has a gate but no mark: it stays asleep
    r.env.renderBlock(256);
    for (int v = 0; v < kNumVoices; ++v) {
        const bool on = v == 3 || v == kMonoVoice;
        EXPECT_EQ(r.env.isActive(v), on) << v;
        EXPECT_EQ(r.voices.ampEnvelopeActive[v], on ? 1 : 0) << v;
    }
    EXPECT_EQ(r.env.getModOutput(0)[3][255], 0.5f);
    EXPECT_EQ(r.env.getModOutput(0)[5][0], 0.0f);

    for (int v = 0; v < kNumVoices; ++v)
        r.env.setGate(v, nullptr);
    r.env.renderBlock(256); // no new start: the sounding voices keep running
    EXPECT_TRUE(r.env.isActive(3));
    r.env.setGate(3, release.data());
    r.env.renderBlock(256);
    r.env.setGate(3, nullptr);
    for (int b = 0; b < 5; ++b)
        r.env.renderBlock(256); // 1536 samples after the release
    EXPECT_EQ(r.env.stage(3), ModuleEnvelope::kIdle);
    EXPECT_EQ(r.voices.ampEnvelopeActive[3], 0);
    EXPECT_EQ(r.voices.ampEnvelopeActive[kMonoVoice], 1);
    r.env.renderBlock(256);
    EXPECT_FALSE(r.env.isActive(3));
    EXPECT_TRUE(r.env.isActive(kMonoVoice));
}

TEST(EnvelopeVoices, ModulationEnvelopesRunTheSoundingVoicesOfTheMode) {
    EnvRig r(44100.0f, "env2", false);
    r.controls(0.0f, 0.0f, 0.7f, 0.0f, 0.0f, 0.0f);
    std::vector<float> start(256, 0.0f);
    start[0] = kStart;
    float* const* out = r.env.getModOutput(0);
    for (int v = 0; v < kNumVoices; ++v) {
        r.env.setGate(v, start.data());
        out[v][0] = 9.0f; // untouched while not processed
    }
    r.voices.voiceActive[2] = 1;
    r.voices.voiceActive[kMonoVoice] = 1;
    r.voices.modeInEffect = kModePoly1;
    r.env.renderBlock(256);
    EXPECT_TRUE(r.env.isActive(2));
    EXPECT_EQ(out[2][0], 0.7f);
    EXPECT_FALSE(r.env.isActive(3));
    EXPECT_EQ(out[3][0], 9.0f);
    EXPECT_FALSE(r.env.isActive(kMonoVoice));
    EXPECT_EQ(out[kMonoVoice][0], 9.0f);

    r.voices.modeInEffect = kModeMono1;
    r.env.renderBlock(256);
    EXPECT_TRUE(r.env.isActive(kMonoVoice));
    EXPECT_EQ(out[kMonoVoice][0], 0.7f);
    EXPECT_FALSE(r.env.isActive(2));
}

TEST(EnvelopeVoices, ResetReturnsEveryVoiceToIdleWithAZeroBuffer) {
    EnvRig r;
    r.controls(0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.5f);
    r.run(4, 256, {{0, kStart}});
    ASSERT_EQ(r.env.value(4), 0.5f);
    r.env.reset();
    EXPECT_EQ(r.env.stage(4), ModuleEnvelope::kIdle);
    EXPECT_EQ(r.env.value(4), 0.0f);
    EXPECT_EQ(r.env.getModOutput(0)[4][100], 0.0f);
    r.env.renderBlock(256);
    EXPECT_FALSE(r.env.isActive(4));
    EXPECT_EQ(r.voices.ampEnvelopeActive[4], 0);
}

TEST(EnvelopeRobustness, NanControlsReadAsTimeZeroAndExtremesStayInRange) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    EnvRig r;
    r.controls(nan, nan, 0.6f, nan, 0.1f, nan);
    const auto out = r.run(0, 64, {{0, kStart}, {10, kRelease}});
    EXPECT_EQ(out[0], 0.6f);
    EXPECT_EQ(out[10], 0.0f);

    const float inf = std::numeric_limits<float>::infinity();
    for (float x : {nan, inf, -inf, 1e5f, -1e5f}) {
        EnvRig e;
        e.controls(x, x, x, x, x, x);
        for (int s = kAttCurve; s <= kRelCurve; ++s)
            e.env.setParameter(s, x);
        const auto o = e.run(1, 1024, {{0, kStart}, {300, kRelease}, {600, kStart}});
        for (float y : o)
            ASSERT_TRUE(y >= -1e-6f && y <= 1.0f + 1e-6f) << x << " gave " << y;
    }
}

TEST(EnvelopeRealTime, RenderBlockDoesNotAllocate) {
    EnvRig amp;
    EnvRig mod(44100.0f, "env4", false);
    mod.voices.voiceActive[1] = 1;
    for (EnvRig* r : {&amp, &mod})
        r->controls(0.1f, 0.2f, 0.5f, 0.1f, 0.3f, 0.1f);
    std::vector<float> lane(256, 0.0f);
    lane[0] = kStart;
    lane[128] = kRelease;
    lane[200] = kStart;
    kolva::test::AllocationGuard g;
    for (EnvRig* r : {&amp, &mod}) {
        r->env.setGate(1, lane.data());
        r->env.markNoteStart(1);
        for (int b = 0; b < 4; ++b)
            r->env.renderBlock(256);
    }
    EXPECT_EQ(g.count(), 0);
}

TEST(EnvelopeEngine, Env1IsTheFreeRunningAmplitudeEnvelope) {
    APlugin e;
    e.setSampleRate(44100.0f);
    e.setBlockSize(256);
    ASSERT_TRUE(e.prepare());
    auto& env1 = static_cast<ModuleEnvelope&>(*e.module(kModEnv1));
    auto& env2 = static_cast<ModuleEnvelope&>(*e.module(kModEnv1 + 1));
    EXPECT_TRUE(env1.freeRun());
    EXPECT_FALSE(env2.freeRun());
    env1.setParameter(kSus, 0.7f);
    for (int s : {kAtt, kDec, kSlopeTime})
        env1.setParameter(s, 0.0f);
    std::vector<float> lane(256, 0.0f);
    lane[3] = kStart;
    env1.setGate(0, lane.data());
    env1.markNoteStart(0);
    env1.renderBlock(256);
    ASSERT_NE(env1.getModOutput(0), nullptr);
    EXPECT_EQ(env1.getModOutput(0)[0][3], 0.7f);
    EXPECT_EQ(e.voiceContext().ampEnvelopeActive[0], 1);
}

} // namespace
} // namespace kolva
