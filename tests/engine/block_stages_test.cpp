// The output stage's small building blocks: silence test, effects tail gate, peak meter and
// the voice summing kernel.

#include "engine/block_gates.h"
#include "engine/note_list.h"
#include "engine/voice_sum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kolva {
namespace {

TEST(BlockSilence, ThresholdIsOneHundredthOfSummedMagnitude) {
    std::vector<float> x(100, 0.0001f); // sum 0.01: still silent
    EXPECT_TRUE(isBlockSilent(x.data(), 100));
    x[3] = -0.0003f; // sum 0.0102
    EXPECT_FALSE(isBlockSilent(x.data(), 100));
    x[3] = std::numeric_limits<float>::quiet_NaN();
    EXPECT_FALSE(isBlockSilent(x.data(), 100));
    EXPECT_TRUE(isBlockSilent(x.data(), 0));
}

TEST(FxTailGate, CountsDownOnlyAfterTwoSilentBlocks) {
    FxTailGate g;
    // Sound: restarts the countdown to sampleRate * 240 / tempo + 256.
    EXPECT_TRUE(g.runEffects(false, 100, 1000.0f, 240.0f));
    EXPECT_EQ(g.countdown(), 1256);
    g.setPreviousSilent(false);
    // First silent block after sound: still a restart.
    EXPECT_TRUE(g.runEffects(true, 100, 1000.0f, 240.0f));
    g.setPreviousSilent(true);
    int runs = 0;
    while (g.runEffects(true, 100, 1000.0f, 240.0f)) ++runs;
    EXPECT_EQ(runs, 12); // 1256 -> 56 in twelve blocks, the thirteenth drops below zero
    EXPECT_FALSE(g.runEffects(true, 100, 1000.0f, 240.0f));
    // Sound returns.
    EXPECT_TRUE(g.runEffects(false, 100, 1000.0f, 240.0f));
}

TEST(PeakHold, JumpsCapsAndFallsTwoPerSecond) {
    PeakHold p;
    std::vector<float> x(100, 0.0f);
    x[0] = -0.8f;
    p.process(x.data(), 100, 1000.0f);
    // Jumped to 0.8 at sample 0, then fell 0.002 per sample for 100 samples.
    EXPECT_NEAR(p.value(), 0.8f - 100 * 0.002f, 1e-5f);
    x[0] = 5.0f;
    p.process(x.data(), 1, 1000.0f);
    EXPECT_NEAR(p.value(), 2.0f - 0.002f, 1e-6f);
    std::vector<float> quiet(5000, 0.0f);
    p.process(quiet.data(), 5000, 1000.0f);
    EXPECT_EQ(p.value(), 0.0f);
    x[0] = std::numeric_limits<float>::quiet_NaN();
    p.process(x.data(), 1, 1000.0f);
    EXPECT_EQ(p.value(), 0.0f);
}

TEST(VoiceSum, VelocityGainFollowsTheAmount) {
    const int n = 8;
    std::vector<float> inL(n, 1.0f), inR(n, -0.5f), env(n, 0.5f), vel(n, 0.2f), comp(n, 0.8f);
    auto run = [&](float amount) {
        std::vector<float> l(n, 0.25f), r(n, 0.0f);
        addVoice(l.data(), r.data(), inL.data(), inR.data(), env.data(), vel.data(), comp.data(),
                 amount, n);
        return std::make_pair(l[n - 1], r[0]);
    };
    // A = 0.5: gain 0.2 * 0.5 + 0.5 = 0.6, times env 0.5; added to what was there.
    EXPECT_FLOAT_EQ(run(0.5f).first, 0.25f + 0.3f);
    EXPECT_FLOAT_EQ(run(0.5f).second, -0.15f);
    // A = -0.5: gain 0.8 * 0.5 + 0.5 = 0.9.
    EXPECT_FLOAT_EQ(run(-0.5f).first, 0.25f + 0.45f);
    // A = 0: envelope only; A = 1: velocity alone.
    EXPECT_FLOAT_EQ(run(0.0f).first, 0.25f + 0.5f);
    EXPECT_FLOAT_EQ(run(1.0f).first, 0.25f + 0.1f);
    EXPECT_FLOAT_EQ(run(-1.0f).first, 0.25f + 0.4f);
}

TEST(NoteList, RefusesPastCapacityAndRemovesEveryOccurrence) {
    NoteList<4> l;
    EXPECT_TRUE(l.push(1));
    EXPECT_TRUE(l.push(2));
    EXPECT_TRUE(l.push(1));
    EXPECT_TRUE(l.push(3));
    EXPECT_FALSE(l.push(4));
    EXPECT_EQ(l.removeAll(1), 2);
    EXPECT_EQ(l.size(), 2);
    EXPECT_EQ(l[0], 2);
    EXPECT_EQ(l[1], 3);
    EXPECT_FALSE(l.contains(1));
}

} // namespace
} // namespace kolva
