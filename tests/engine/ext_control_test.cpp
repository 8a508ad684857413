// External controllers: the de-zippering of the seven performance controllers, and the
// channel-pressure curve.

#include "engine/aplugin.h"
#include "engine/module_ext_control.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace kolva {
namespace {

constexpr int kFrames = 256;
constexpr float kRate = 44100.0f;
using EC = ModuleExtControl;

// The step-size coefficient curve: 8 points read at |step| x 7.
double stepCoefficient(double step) {
    static const double table[8] = {0.00001, 0.0001, 0.0003, 0.0007, 0.0015, 0.003, 0.006, 0.01};
    const double x = std::min(step * 7.0, 7.0);
    const int i = std::min(static_cast<int>(x), 6);
    return table[i] + (table[i + 1] - table[i]) * (x - i);
}

class ExtControlTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(prepare(e)); }
    static bool prepare(APlugin& p) {
        p.setSampleRate(kRate);
        p.setBlockSize(kFrames);
        return p.prepare();
    }
    EC& ext() { return e.extControl(); }
    const float* out(int channel) { return ext().getModOutput(channel)[0]; }
    void blocks(int count, int frames = kFrames) {
        for (int i = 0; i < count; ++i)
            ext().renderBlock(frames);
    }
    void pause(double seconds) { blocks(static_cast<int>(std::ceil(seconds * kRate / kFrames))); }

    APlugin e;
};

TEST_F(ExtControlTest, FirstValueIsTakenAtOnceLaterOnesJumpAfterAPauseOrGlideBySize) {
    struct Case {
        int channel;
        double pause;
        float from, to;
        double k; // expected per-sample coefficient
    };
    const Case cases[] = {
        {EC::kBreath, 0.6, 0.2f, 0.45f, 1.0},                   // long pause, step just over 0.2
        {EC::kBreath, 0.6, 0.0f, 1.0f, 1.0},                    // long pause, big step: at once
        {EC::kBreath, 0.6, 0.0f, 0.15f, stepCoefficient(0.15)}, // long pause but a small step
        {EC::kBreath, 0.3, 0.0f, 1.0f, 0.01},                   // short pause: fastest glide
        {EC::kBreath, 0.3, 0.0f, 0.5f, 0.0011},                 // between 0.0007 and 0.0015
        {EC::kBreath, 0.3, 0.6f, 0.6f + 1.0f / 7.0f, 0.0001},   // one table step
        {EC::kPitchBend, 0.6, -0.5f, 0.5f, 0.007},              // always the fixed one-pole
    };
    // The first case runs on the fresh module, the others after a reset.
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.channel << ": " << c.pause << " s, " << c.from << " -> " << c.to);
        ext().input(c.channel, 0, c.from);
        pause(c.pause);
        ext().input(c.channel, 10, c.to);
        blocks(1);
        const float* o = out(c.channel);
        EXPECT_EQ(o[9], c.from);
        EXPECT_NEAR((o[10] - c.from) / (c.to - c.from), c.k, c.k * 1e-3 + 1e-6);
        EXPECT_NEAR(o[11], c.from + (c.to - c.from) * (1.0 - (1.0 - c.k) * (1.0 - c.k)), 1e-5);
        for (int v = 1; v < kNumVoices; ++v) // one buffer for every voice
            EXPECT_EQ(ext().getModOutput(c.channel)[v], o);
        ext().reset();
    }

    ext().input(EC::kModWheel, 5000, 0.9f); // past the block: its last sample
    blocks(1);
    EXPECT_EQ(out(EC::kModWheel)[kFrames - 2], 0.0f);
    EXPECT_EQ(out(EC::kModWheel)[kFrames - 1], 0.9f);
    EXPECT_EQ(ext().lastInput(EC::kModWheel), 0.9f);
}

TEST_F(ExtControlTest, SlowSweepIsSmoothedWithCoefficientsOfTheTableWithoutAllocating) {
    ext().input(EC::kExpression, 0, 0.0f);
    blocks(1);
    kolva::test::AllocationGuard g;
    for (int step = 1; step <= 127; ++step) {
        const float x = static_cast<float>(step) / 127.0f;
        const double before = ext().current(EC::kExpression);
        ext().input(EC::kExpression, 0, x);
        blocks(1);
        const double k = (out(EC::kExpression)[0] - before) / (x - before);
        ASSERT_NEAR(k, stepCoefficient(x - before), stepCoefficient(x - before) * 0.02) << step;
    }
    EXPECT_EQ(g.count(), 0);
}

TEST_F(ExtControlTest, ChannelGoesIdleOnceSettledAndHoldsItsTarget) {
    EXPECT_TRUE(ext().idle(EC::kSustain));
    ext().input(EC::kSustain, 0, 0.4f);
    pause(0.3);
    ASSERT_TRUE(ext().idle(EC::kSustain));

    // 0.4 -> 1.0 glides with the coefficient of a 0.6 step until within 0.0001; the block
    // that settles is followed by one that writes the target throughout.
    ext().input(EC::kSustain, 0, 1.0f);
    const double samples = std::log(0.0001 / 0.6) / std::log(1.0 - stepCoefficient(0.6));
    int block = 0;
    for (; !ext().idle(EC::kSustain) && block < 1000; ++block)
        blocks(1);
    EXPECT_NEAR(block, std::ceil(samples / kFrames) + 1, 1);
    EXPECT_EQ(ext().current(EC::kSustain), 1.0f);
    EXPECT_TRUE(std::all_of(out(EC::kSustain), out(EC::kSustain) + kFrames,
                            [](float y) { return y == 1.0f; }));
}

TEST_F(ExtControlTest, ValueArrivingEarlyOrLateWaitsForTheNextBlockAndZeroCounts) {
    for (float first : {0.7f, 0.0f}) {
        SCOPED_TRACE(first);
        APlugin fresh;
        fresh.extControl().input(EC::kFoot, 40, first); // before the buffers exist
        ASSERT_TRUE(prepare(fresh));
        EC& x = fresh.extControl();
        x.renderBlock(kFrames);
        EXPECT_EQ(x.getModOutput(EC::kFoot)[0][0], first);
        // The waiting value was the first one, so this one glides.
        x.input(EC::kFoot, 0, 0.9f);
        x.renderBlock(kFrames);
        EXPECT_NEAR(x.getModOutput(EC::kFoot)[0][0],
                    first + (0.9 - first) * stepCoefficient(0.9 - first), 1e-6);
    }

    ext().input(EC::kBreath, 200, 0.3f);
    blocks(1, 128); // a short block ends before the value
    EXPECT_EQ(out(EC::kBreath)[127], 0.0f);
    blocks(1, 128);
    EXPECT_EQ(out(EC::kBreath)[0], 0.3f);
}

TEST(PressureCurve, HitsTheFixedRowsAndRisesMonotonicallyFromZeroToOne) {
    // Rows 0-9 and 115-119 of the 120-row table.
    const float rows[15] = {0.0f,    0.0f,    0.0001f, 0.0002f, 0.0002f, 0.0003f, 0.0004f, 0.0005f,
                            0.0005f, 0.0006f, 0.79f,   0.837f,  0.8869f, 0.9397f, 1.0f};
    for (int r = 0; r < 15; ++r) {
        const int index = r < 10 ? r : 105 + r;
        EXPECT_NEAR(pressureCurve(static_cast<float>(index) / 119.0f), rows[r], 1e-6f) << index;
    }
    EXPECT_NEAR(pressureCurve(118.5f / 119.0f), (0.9397f + 1.0f) / 2.0f, 1e-5f); // linear

    EXPECT_EQ(pressureCurve(-0.5f), 0.0f);
    EXPECT_EQ(pressureCurve(2.0f), 1.0f);
    float previous = 0.0f;
    for (int i = 0; i <= 119 * 16; ++i) {
        const float y = pressureCurve(static_cast<float>(i) / (119.0f * 16.0f));
        ASSERT_GE(y, previous) << i;
        previous = y;
    }
}

} // namespace
} // namespace kolva
