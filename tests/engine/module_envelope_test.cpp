// Six-stage envelopes: stage timing, curve shapes, retrigger rules, free-run bookkeeping.
// Expected values come from the envelope's time curve and shape tables, restated here.
#include "engine/module_envelope.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva {
namespace {

double g_now = 0.0;
constexpr float kStart = 1.0f, kRelease = 2.0f;
// Module slots: six controls, then the four curve choices.
constexpr int kAtt = 0, kDec = 1, kSus = 2, kSlopeTime = 3, kSlopeLevel = 4, kRel = 5;
constexpr int kAttCurve = 6, kDecCurve = 7, kSlopeCurve = 8, kRelCurve = 9;

// One envelope module with its own contexts; free-run makes it the amplitude envelope.
struct EnvRig {
    explicit EnvRig(float rate = 44100.0f, bool freeRun = true)
        : matrix(std::make_unique<ModuleMatrix>()) {
        voices.recreateArena(4u << 20);
        engine.setSampleRate(rate);
        engine.clock = [] { return g_now; };
        matrix->init(&engine, &voices, matrix.get(), "matrix");
        env.init(&engine, &voices, matrix.get(), freeRun ? "env1" : "env2");
        env.setup();
        env.setFreeRun(freeRun);
        env.setSampleRate(rate);
        env.setBlockSize(kBlock);
        voices.voiceActive[0] = 1; // sounding, for the modulation envelopes
    }
    // Attack, decay, sustain, slope time, slope level, release.
    void controls(std::array<float, 6> v) {
        for (int s = 0; s < 6; ++s)
            env.setParameter(s, v[static_cast<std::size_t>(s)]);
    }
    // Renders `count` samples in blocks with gate events at offsets from the start of this
    // call; returns voice v's output.
    std::vector<float> run(int v, int count,
                           const std::vector<std::pair<int, float>>& events = {}) {
        std::vector<float> out, lane(static_cast<std::size_t>(count), 0.0f);
        for (auto [at, g] : events)
            lane[static_cast<std::size_t>(at)] = g;
        for (int done = 0; done < count; done += kBlock) {
            const int n = std::min(kBlock, count - done);
            for (auto [at, g] : events)
                if (g == kStart && at >= done && at < done + n) env.markNoteStart(v);
            env.setGate(v, lane.data() + done);
            env.renderBlock(n);
            out.insert(out.end(), env.getModOutput(0)[v], env.getModOutput(0)[v] + n);
        }
        env.setGate(v, nullptr);
        return out;
    }
    // Note on, held, then released for 1024 samples; returns the last released level.
    float holdAndRelease(int hold) {
        run(0, hold, {{0, kStart}});
        return run(0, 1024, {{0, kRelease}}).back();
    }

    static constexpr int kBlock = 256;
    EngineContext engine;
    SharedVoiceContext voices;
    std::unique_ptr<ModuleMatrix> matrix;
    ModuleEnvelope env;
};

// A note whose only timed stage has time slot `slot` at control x and curve option `option`
// of `curve`: the attack rises 0 -> 1, decay and slope fall 1 -> level, the release falls
// 1 -> 0 from sample 10 (a second release at 20 must not restart it).
std::vector<float> runStage(EnvRig& r, int slot, int curve, int option, float x, float level,
                            int count) {
    std::array<float, 6> c{0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f};
    c[static_cast<std::size_t>(slot)] = x;
    c[slot == kDec ? kSus : kSlopeLevel] = level;
    r.controls(c);
    r.env.setParameter(curve, static_cast<float>(option) * 0.5f);
    if (slot == kRel) return r.run(0, count, {{0, kStart}, {10, kRelease}, {20, kRelease}});
    return r.run(0, count, {{0, kStart}});
}

class EnvelopeStageTiming : public ::testing::TestWithParam<float> {};

TEST_P(EnvelopeStageTiming, StagesLastTheTimeCurveWithinOneSample) {
    const float rate = GetParam();
    // T(x) between table points (x * 31 = 7.75, 15.5, 23.25) and at the last one.
    const std::pair<float, double> times[] = {{0.25f, 0.002 + 0.75 * (0.0028 - 0.002)},
                                              {0.5f, (0.0238 + 0.0312) / 2.0},
                                              {0.75f, 0.171 + 0.25 * (0.2154 - 0.171)},
                                              {1.0f, 1.0}};
    // Decay and release use "Pow", steep at its end, so float rounding cannot end them early.
    const std::tuple<int, int, int, float> stages[] = {{kAtt, kAttCurve, 0, 1.0f},
                                                       {kDec, kDecCurve, 1, 0.25f},
                                                       {kSlopeTime, kSlopeCurve, 0, 0.5f},
                                                       {kRel, kRelCurve, 1, 0.0f}};
    for (auto [slot, curve, option, level] : stages)
        for (auto [x, t] : times) {
            EnvRig r(rate);
            const double expected = t * 44.0 * rate;
            const auto out =
                runStage(r, slot, curve, option, x, level, static_cast<int>(expected) + 600);
            const long from = slot == kRel ? 10 : 0;
            const long end = std::find(out.begin() + from, out.end(), level) - out.begin() - from;
            EXPECT_NEAR(static_cast<double>(end), expected, 1.0) << "slot " << slot << " x=" << x;
        }
}

INSTANTIATE_TEST_SUITE_P(EnvelopeRates, EnvelopeStageTiming, ::testing::Values(44100.0f, 96000.0f));

TEST(EnvelopeShapes, EachCurveFollowsItsTable) {
    // Table points 7, 8, 15, 16, 23, 24, around positions 0.25, 0.5 and 0.75 of the stage.
    constexpr std::array<float, 6> kLin = {7 / 31.0f,  8 / 31.0f,  15 / 31.0f,
                                           16 / 31.0f, 23 / 31.0f, 24 / 31.0f};
    const std::tuple<int, int, int, std::array<float, 6>> cases[] = {
        {kAtt, kAttCurve, 0, kLin},
        {kAtt, kAttCurve, 1, {0.0898f, 0.1104f, 0.3436f, 0.3935f, 0.7915f, 0.8359f}},
        {kAtt, kAttCurve, 2, {0.4828f, 0.5212f, 0.7287f, 0.7523f, 0.8897f, 0.9061f}},
        {kDec, kDecCurve, 0, {0.461f, 0.5036f, 0.7367f, 0.763f, 0.9114f, 0.9279f}},
        {kDec, kDecCurve, 1, {0.0864f, 0.102f, 0.2389f, 0.2635f, 0.4855f, 0.5269f}},
        {kSlopeTime, kSlopeCurve, 0, kLin},
        {kSlopeTime, kSlopeCurve, 1, {0.0437f, 0.0511f, 0.1226f, 0.1374f, 0.323f, 0.3699f}},
        {kSlopeTime, kSlopeCurve, 2, {0.6731f, 0.7075f, 0.8322f, 0.8438f, 0.9171f, 0.9272f}},
        {kRel, kRelCurve, 0, {0.5348f, 0.5839f, 0.8271f, 0.8506f, 0.9603f, 0.9694f}},
        {kRel, kRelCurve, 1, {0.0032f, 0.0033f, 0.0078f, 0.0102f, 0.0828f, 0.1121f}},
        {kRel, kRelCurve, 2, {0.882f, 0.9077f, 0.9826f, 0.9864f, 0.9977f, 0.9982f}},
    };
    const double steps = 53362.0; // x = 0.5: 0.0275 x 44 x 44100 samples, step 1/53362
    for (const auto& [slot, curve, option, k] : cases) {
        EnvRig r;
        const auto out = runStage(r, slot, curve, option, 0.5f, 0.0f, 45000);
        const int from = slot == kRel ? 10 : 0;
        for (std::size_t seg : {0u, 2u, 4u}) {
            const int n = static_cast<int>(std::lround((seg + 2) / 8.0 * steps)); // 1/4, 1/2, 3/4
            const double shape = k[seg] + (k[seg + 1] - k[seg]) * (n / steps * 31.0 - 7 - 4 * seg);
            EXPECT_NEAR(out[static_cast<std::size_t>(from + n - 1)],
                        slot == kAtt ? shape : 1.0 - shape, 1e-4)
                << "curve slot " << curve << " option " << option << " at " << n;
        }
    }
}

TEST(EnvelopeShapes, DecayExp1AddsA512SamplePunchScaledWithTheRate) {
    for (float rate : {44100.0f, 96000.0f}) {
        EnvRig r(rate);
        r.voices.antiClick = 0; // the retrigger's attack is then over in one sample
        r.env.setParameter(kDecCurve, 1.0f);
        r.controls({0.0f, 0.5f, 0.0f, 1.0f, 1.0f, 0.0f}); // a slope to 1 follows: decay to S = 0
        const auto out = r.run(0, 3000, {{0, kStart}, {1500, kStart}});
        const double steps = 0.0275 * 44.0 * rate + 1.0, punch = rate / 44100.0 * 512.0;
        const int q = static_cast<int>(std::lround(0.25 * punch));
        const int h = static_cast<int>(std::lround(0.5 * punch));
        // M stays between its points 0 and 1; P(punchPos) at a quarter, a half, and counting as
        // 0 past its end. A second note's decay has its own punch.
        const std::pair<int, double> checks[] = {
            {q, 0.5292 + (0.466 - 0.5292) * (q / punch * 31.0 - 7.0)},
            {h, 0.1496 + (0.1235 - 0.1496) * (h / punch * 31.0 - 15.0)},
            {static_cast<int>(punch) + 100, 0.0}};
        for (int note : {0, 1500})
            for (auto [k, p] : checks) {
                const double m = 0.1884 * ((k + 1) / steps * 31.0);
                EXPECT_NEAR(out[static_cast<std::size_t>(note + k)], 0.8 - 0.8 * m + 0.2 * p, 1e-4)
                    << rate << " sample " << note + k;
            }
    }
}

// Zero times, and NaN (read as time 0): the note reaches S in its first sample, L is ignored
// without a slope, the release falls in one sample and the next block clears the buffer.
TEST(EnvelopeLevels, ZeroOrNanTimesChangeLevelInOneSample) {
    for (float t : {0.0f, std::numeric_limits<float>::quiet_NaN()}) {
        EnvRig r;
        r.controls({t, t, 0.7f, t, 0.2f, t});
        const auto out = r.run(2, 512, {{5, kStart}, {300, kRelease}});
        EXPECT_EQ(out[5], 0.7f) << t;
        EXPECT_EQ(out[299], 0.7f) << t;
        EXPECT_EQ(out[300], 0.0f) << t;
        EXPECT_EQ(r.env.stage(2), ModuleEnvelope::kIdle);
        EXPECT_TRUE(r.env.isActive(2)); // the block still carries the end of the note
        EXPECT_EQ(r.voices.ampEnvelopeActive[2], 0);
        r.env.renderBlock(EnvRig::kBlock);
        EXPECT_FALSE(r.env.isActive(2));
        const float* buf = r.env.getModOutput(0)[2];
        EXPECT_EQ(std::count(buf, buf + EnvRig::kBlock, 0.0f), EnvRig::kBlock);
    }
}

TEST(EnvelopeRetrigger, LegatoContinuesFromThePresentValue) {
    const double steps = 0.0026 * 44.0 * 44100.0 + 1.0; // x = 0.25
    for (int at : {1000, 7500}) { // in the attack, then half-way through the decay
        EnvRig r;
        r.controls({0.25f, 0.25f, 0.3f, 0.0f, 0.0f, 0.0f});
        const auto out = r.run(0, at + 1, {{0, kStart}, {at, kStart}});
        const float present = out[static_cast<std::size_t>(at - 1)];
        EXPECT_NEAR(out[static_cast<std::size_t>(at)], present + (1.0 - present) / steps, 1e-6)
            << at;
        EXPECT_FLOAT_EQ(static_cast<VoiceEnvelope*>(r.env.getVoice(0))->levelAtTrigger(), present);
    }
}

// A note during the release: a modulation envelope continues from the release level only
// within 0.25 s of its last retrigger (the first such note has none), else restarts from 0; the
// amplitude envelope always continues, and while the fade is on its attack lasts >= 32 samples.
TEST(EnvelopeRetrigger, DuringReleaseContinuesOrRestartsTheAttack) {
    EnvRig mod(44100.0f, false), amp, ampNoFade;
    ampNoFade.voices.antiClick = 0;
    const double slow = 1.0 / (0.00435 * 44.0 * 44100.0 + 1.0); // attack x = 0.3
    // Rig, time of the note (s), attack control, whether it continues, attack step.
    const std::tuple<EnvRig*, double, float, bool, double> cases[] = {
        {&mod, 10.0, 0.3f, false, slow},     {&mod, 10.2, 0.3f, true, slow},
        {&mod, 10.5, 0.3f, false, slow},     {&mod, 20.0, 0.0f, false, 1.0},
        {&amp, 100.0, 0.3f, true, slow},     {&amp, 100.0, 0.0f, true, 0.032},
        {&ampNoFade, 100.0, 0.0f, true, 1.0}};
    for (auto [r, now, x, continues, step] : cases) {
        r->controls({x, 0.0f, 0.8f, 0.0f, 0.0f, 0.5f}); // no decay: the attack heads for S
        const float level = r->holdAndRelease(4096);
        ASSERT_GT(level, 0.3f);
        g_now = now;
        const auto out = r->run(0, 32, {{0, kStart}});
        const double start = continues ? level : 0.0;
        for (std::size_t i : {0u, 30u, 31u})
            EXPECT_NEAR(out[i], start + (0.8 - start) * std::min(1.0, (i + 1.0) * step), 1e-6)
                << now << " x=" << x << " sample " << i;
    }
}

TEST(EnvelopeVoices, FreeRunRunsMarkedVoicesPublishesActivityGoesIdleAndResets) {
    EnvRig r;
    r.controls({0.0f, 0.0f, 0.5f, 0.0f, 0.0f, 0.1f}); // release ~1397 samples
    r.voices.ampEnvelopeActive[7] = 1;                // stale: rewritten every block
    std::vector<float> start(256, 0.0f);
    start[0] = kStart;
    r.env.setGate(5, start.data()); // a note start without the mark: voice 5 stays asleep
    EXPECT_EQ(r.run(3, 256, {{0, kStart}})[255], 0.5f);
    for (int v = 0; v < kNumVoices; ++v) {
        EXPECT_EQ(r.env.isActive(v), v == 3) << v;
        EXPECT_EQ(r.voices.ampEnvelopeActive[v], v == 3 ? 1 : 0) << v;
    }
    r.env.setGate(5, nullptr);
    r.run(3, 1536, {{0, kRelease}}); // unmarked blocks: the sounding voice keeps running
    EXPECT_EQ(r.env.stage(3), ModuleEnvelope::kIdle);

    r.run(3, 256, {{0, kStart}});
    r.env.reset();
    EXPECT_EQ(r.env.stage(3), ModuleEnvelope::kIdle);
    EXPECT_EQ(r.env.getModOutput(0)[3][100], 0.0f);
    r.env.renderBlock(256);
    EXPECT_FALSE(r.env.isActive(3));
}

TEST(EnvelopeVoices, ModulationEnvelopesRunTheSoundingVoicesOfTheMode) {
    EnvRig r(44100.0f, false);
    r.controls({0.0f, 0.0f, 0.7f, 0.0f, 0.0f, 0.0f});
    r.voices.voiceActive[2] = r.voices.voiceActive[kMonoVoice] = 1;
    // Voice 3 is silent; voice 2 runs in the poly modes, the mono voice in the mono modes.
    for (int mode : {kModePoly1, kModeMono1})
        for (int v : {2, 3, kMonoVoice}) {
            const bool runs = v != 3 && (mode == kModePoly1) == (v == 2);
            r.voices.modeInEffect = mode;
            r.env.getModOutput(0)[v][0] = 9.0f; // untouched unless processed
            EXPECT_EQ(r.run(v, 1, {{0, kStart}})[0], runs ? 0.7f : 9.0f) << mode << " voice " << v;
            EXPECT_EQ(r.env.isActive(v), runs) << mode << " voice " << v;
        }
}

TEST(EnvelopeRobustness, OutOfRangeControlsAndCurvesStayInRange) {
    const float inf = std::numeric_limits<float>::infinity();
    for (float x : {std::numeric_limits<float>::quiet_NaN(), inf, -inf, 1e5f, -1e5f}) {
        EnvRig r;
        for (int s = 0; s <= kRelCurve; ++s)
            r.env.setParameter(s, x);
        const auto out = r.run(1, 1024, {{0, kStart}, {300, kRelease}, {600, kStart}});
        for (float y : out)
            ASSERT_TRUE(y >= -1e-6f && y <= 1.0f + 1e-6f) << x << " gave " << y;
    }
}

TEST(EnvelopeRealTime, RenderBlockDoesNotAllocate) {
    EnvRig amp, mod(44100.0f, false);
    std::vector<float> lane(256, 0.0f);
    lane[0] = lane[200] = kStart;
    lane[128] = kRelease;
    for (EnvRig* r : {&amp, &mod}) {
        r->controls({0.1f, 0.2f, 0.5f, 0.1f, 0.3f, 0.1f});
        r->env.setGate(0, lane.data());
        r->env.markNoteStart(0);
    }
    kolva::test::AllocationGuard g;
    for (int b = 0; b < 4; ++b)
        for (EnvRig* r : {&amp, &mod})
            r->env.renderBlock(256);
    EXPECT_EQ(g.count(), 0);
}

} // namespace
} // namespace kolva
