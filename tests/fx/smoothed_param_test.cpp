// The parameter smoother: one-pole glide at 24 Hz (240 Hz after a jump of 0.5 or more),
// settling onto the target within 0.001, and its buffer state machine.

#include "engine/voice_context.h"
#include "fx/smoothed_param.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace kolva {
namespace {

double coefficient(double hz, double rate) { return std::sin(std::numbers::pi * hz / rate); }

// Runs one sample at a time until the glide ends; returns the samples it took.
int runUntilSettled(SmoothedParam& p, float rate) {
    int n = 0;
    for (; p.state() == 1 && n < 1000000; ++n) p.process(1, rate);
    return n;
}

class SmoothedParamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(ctx.recreateArena(1 << 20)); }
    SharedVoiceContext ctx;
};

TEST_F(SmoothedParamTest, GlidesAtTwentyFourHzOrAtTwoHundredFortyAfterAJumpOfHalf) {
    struct Case {
        float from, to, hz;
    };
    const Case cases[] = {
        {0.0f, 0.3f, 24.0f}, {0.0f, 0.5f, 240.0f}, {0.0f, 0.4999f, 24.0f}, {0.8f, 0.2f, 240.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
        SmoothedParam p;
        p.allocate(ctx, 64);
        p.set(c.from);
        runUntilSettled(p, 44100.0f);
        p.set(c.to);
        EXPECT_EQ(p.frequency(), c.hz);
        p.process(1, 44100.0f);
        const double k = coefficient(c.hz, 44100.0);
        EXPECT_NEAR(p.buffer()[0], c.from + (c.to - c.from) * k, 1e-6);
        // Settles on the first sample within 0.001 of the target, then back to 24 Hz.
        const int expected = static_cast<int>(
            std::ceil(std::log(0.001 / std::fabs(c.to - c.from)) / std::log(1.0 - k)));
        EXPECT_NEAR(1 + runUntilSettled(p, 44100.0f), expected, 2);
        EXPECT_EQ(p.current(), c.to);
        EXPECT_EQ(p.state(), 2u);
        EXPECT_EQ(p.frequency(), 24.0f);
    }
}

TEST_F(SmoothedParamTest, SettledBufferIsRefilledWhenTheBlockLengthChanges) {
    SmoothedParam p;
    p.set(0.7f);
    p.allocate(ctx, 256);
    while (p.state() == 1) p.process(256, 44100.0f);
    // The block that settles still holds the glide; the next one holds the target throughout.
    p.process(256, 44100.0f);
    EXPECT_EQ(p.state(), 0u);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(p.buffer()[i], 0.7f) << i;

    float* raw = const_cast<float*>(p.buffer());
    raw[0] = 9.0f;
    p.process(256, 44100.0f);
    EXPECT_EQ(p.buffer()[0], 9.0f); // settled and same length: left alone
    p.process(128, 44100.0f);
    EXPECT_EQ(p.buffer()[0], 0.7f);

    p.allocate(ctx, 32); // a new buffer starts filled with the current value, moving
    EXPECT_EQ(p.state(), 1u);
    EXPECT_EQ(p.buffer()[31], 0.7f);
}

TEST_F(SmoothedParamTest, CoefficientFollowsTheSampleRate) {
    SmoothedParam slow;
    slow.set(0.3f);
    slow.allocate(ctx, 64);
    slow.process(1, 48000.0f);
    EXPECT_NEAR(slow.buffer()[0], 0.3 * coefficient(24.0, 48000.0), 1e-7);

    // The fast coefficient was made for 44.1 kHz when set; the block at 96 kHz remakes it,
    // and the slow one after settling belongs to the new rate as well.
    SmoothedParam fast;
    fast.set(0.9f);
    fast.allocate(ctx, 64);
    fast.process(1, 96000.0f);
    EXPECT_NEAR(fast.buffer()[0], 0.9 * coefficient(240.0, 96000.0), 1e-6);
    runUntilSettled(fast, 96000.0f);
    fast.set(0.6f);
    fast.process(1, 96000.0f);
    EXPECT_NEAR(fast.buffer()[0], 0.9 - 0.3 * coefficient(24.0, 96000.0), 1e-6);
}

} // namespace
} // namespace kolva
