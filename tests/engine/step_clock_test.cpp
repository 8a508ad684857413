// The shared step clock: step lengths from tempo and division, swing by step parity, free
// rates, one-shot and looping patterns, and restarts aligned to the host's song position.

#include "engine/step_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace kolva {
namespace {

constexpr int kSixteenth = 16; // "1/16"
constexpr int kEighth = 13;    // "1/8"
constexpr int kQuarter = 10;   // "1/4"

StepClock::Settings sync(int rate) {
    StepClock::Settings s;
    s.mode = StepClock::kSync;
    s.rateIndex = rate;
    s.swingRateIndex = rate;
    return s;
}

// Sample indices (from the restart, which is sample 0) at which steps begin.
std::vector<long> triggers(StepClock& clock, long samples, const StepClock::Transport& t = {}) {
    std::vector<long> at;
    for (long i = 0; i < samples; ++i)
        if (clock.tick(0, i == 0, 0, t)) at.push_back(i);
    return at;
}

TEST(StepClock, SyncedStepsLastWholeSamplesAtEveryTempoWithoutDrift) {
    struct Case {
        double tempo, rate;
        int division;
        double stepSamples;
    };
    const Case cases[] = {
        {120.0, 48000.0, kSixteenth, 6000.0}, // the arpeggiator's default
        {90.0, 44100.0, kQuarter, 29400.0},
        {174.0, 96000.0, kSixteenth, 96000.0 * 60.0 / 174.0 / 4.0}, // not a whole number
        {60.0, 22050.0, 0, 22050.0 * 64.0},                        // "16/1"
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tempo);
        StepClock clock;
        StepClock::Settings s = sync(c.division);
        s.swing = 0.5f;
        clock.configure(s, c.tempo, c.rate);
        EXPECT_NEAR(clock.stepLength(0), c.stepSamples, 1e-6 * c.stepSamples);
        const int steps = c.division == 0 ? 2 : 40;
        const auto at = triggers(clock, static_cast<long>(c.stepSamples * steps) + 2);
        ASSERT_EQ(at.size(), static_cast<std::size_t>(steps + 1));
        for (int k = 0; k <= steps; ++k) // step k begins at k x S, rounded up, never later
            EXPECT_EQ(at[k], static_cast<long>(std::ceil(k * c.stepSamples - 1e-6))) << k;
    }
}

TEST(StepClock, SwingLengthensEvenStepsAndShortensOddOnesOnlyOnTheSwingDivision) {
    StepClock clock;
    StepClock::Settings s = sync(kSixteenth);
    s.swing = 1.0f;
    clock.configure(s, 120.0, 48000.0);
    auto at = triggers(clock, 24001);
    ASSERT_EQ(at.size(), 5u);
    EXPECT_EQ(at[1] - at[0], 7800);
    EXPECT_EQ(at[2] - at[1], 4200);
    EXPECT_EQ(at[3] - at[2], 7800);
    EXPECT_EQ(at[4] - at[3], 4200);

    s.swing = 0.0f; // the other way round
    clock.configure(s, 120.0, 48000.0);
    at = triggers(clock, 12001);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_EQ(at[1], 4200);
    EXPECT_EQ(at[2], 12000);

    s.swing = 1.0f;
    s.swingRateIndex = kEighth; // another division swings, this one runs straight
    clock.configure(s, 120.0, 48000.0);
    at = triggers(clock, 12001);
    ASSERT_EQ(at.size(), 3u);
    EXPECT_EQ(at[1], 6000);
    EXPECT_EQ(at[2], 12000);

    s.swingRateIndex = kSixteenth;
    s.mode = StepClock::kFree; // free rates never swing
    s.freeRate = 1.0f;
    clock.configure(s, 120.0, 48000.0);
    EXPECT_DOUBLE_EQ(clock.stepLength(0), clock.stepLength(1));
}

TEST(StepClock, FreeRateFollowsItsCurveAndStandsStillAtZero) {
    StepClock clock;
    StepClock::Settings s;
    s.mode = StepClock::kFree;
    s.freeRate = 1.0f; // 100 Hz
    clock.configure(s, 120.0, 48000.0);
    EXPECT_NEAR(clock.stepLength(0), 480.0, 1e-9);
    s.freeRate = 5.0f / 11.0f; // the sixth point, 1.25 Hz
    clock.configure(s, 120.0, 48000.0);
    EXPECT_NEAR(clock.stepLength(0), 48000.0 / 1.25, 1e-3);
    s.freeRate = 5.5f / 11.0f; // halfway to 2 Hz
    clock.configure(s, 120.0, 48000.0);
    EXPECT_NEAR(clock.stepLength(0), 48000.0 / 1.625, 1e-2);
    // The tempo does not matter in free mode.
    clock.configure(s, 60.0, 48000.0);
    EXPECT_NEAR(clock.stepLength(0), 48000.0 / 1.625, 1e-2);

    s.freeRate = 0.0f;
    clock.configure(s, 120.0, 48000.0);
    EXPECT_EQ(clock.stepLength(0), 0.0);
    const auto at = triggers(clock, 100000);
    ASSERT_EQ(at.size(), 1u); // only the restart itself
    EXPECT_EQ(clock.step(0), 0);
}

TEST(StepClock, PatternsLoopOrPlayOnceBetweenFirstAndLastStep) {
    StepClock::Settings s = sync(kSixteenth);
    s.swing = 0.5f;
    s.firstStep = 2;
    s.lastStep = 4;
    const StepClock::Transport t;
    auto stepsAfter = [&](StepClock& clock, int count) {
        std::vector<int> steps;
        for (long i = 0; static_cast<int>(steps.size()) < count && i < 200000; ++i)
            if (clock.tick(0, i == 0, 0, t)) steps.push_back(clock.step(0));
        return steps;
    };

    { // restart and loop: a retrigger goes to step 0, the loop to the first step
        StepClock clock;
        clock.configure(s, 120.0, 48000.0);
        EXPECT_EQ(stepsAfter(clock, 9), (std::vector<int>{0, 1, 2, 3, 4, 2, 3, 4, 2}));
    }
    { // restart without loop: once from the first step, then the track stops past the last
        s.loop = false;
        StepClock clock;
        clock.configure(s, 120.0, 48000.0);
        EXPECT_EQ(stepsAfter(clock, 9), (std::vector<int>{2, 3, 4}));
        EXPECT_FALSE(clock.running(0));
        EXPECT_EQ(clock.step(0), 5);
        // A new retrigger plays it again.
        EXPECT_TRUE(clock.tick(0, true, 0, t));
        EXPECT_EQ(clock.step(0), 2);
    }
    { // without the restart flag a retrigger only sets the track running; it never stops
        s.restart = false;
        s.loop = false;
        StepClock clock;
        clock.configure(s, 120.0, 48000.0);
        EXPECT_FALSE(clock.tick(0, true, 0, t));
        long i = 1;
        for (; i < 5999; ++i) clock.tick(0, false, 0, t);
        const int before = clock.step(0);
        const double phase = clock.phase(0);
        EXPECT_GT(phase, 0.99);
        EXPECT_FALSE(clock.tick(0, true, 0, t)); // keeps its place
        EXPECT_EQ(clock.step(0), before);
        EXPECT_EQ(clock.phase(0), phase);
        int wraps = 0;
        for (; i < 6000 * 20; ++i)
            if (clock.tick(0, false, 0, t) && clock.step(0) == 2) ++wraps;
        EXPECT_GE(wraps, 5);
        EXPECT_TRUE(clock.running(0));
    }
}

TEST(StepClock, TracksRunIndependently) {
    StepClock clock;
    clock.configure(sync(kSixteenth), 120.0, 48000.0);
    const StepClock::Transport t;
    int triggersA = 0, triggersB = 0;
    for (long i = 0; i < 18000; ++i) {
        triggersA += clock.tick(0, i == 0, 0, t);
        triggersB += clock.tick(16, i == 3000, 0, t); // starts later
        clock.tick(5, false, 0, t);                  // never started
    }
    EXPECT_EQ(triggersA, 3); // 0, 6000, 12000
    EXPECT_EQ(triggersB, 3); // 3000, 9000, 15000
    EXPECT_EQ(clock.step(0), 2);
    EXPECT_EQ(clock.step(16), 2);
    EXPECT_FALSE(clock.running(5));
    EXPECT_EQ(clock.step(5), 0);
    clock.rewind();
    EXPECT_FALSE(clock.running(0));
    EXPECT_EQ(clock.step(16), 0);
}

// Samples from the restart (at `offset` in a block that starts at beat `position`) until the
// next step begins.
long samplesToNextStep(StepClock& clock, double position, int offset, int* alignedStep = nullptr) {
    const StepClock::Transport t{position, 120.0, 48000.0};
    clock.tick(0, true, offset, t);
    if (alignedStep != nullptr) *alignedStep = clock.step(0);
    for (long i = 1; i < 1000000; ++i)
        if (clock.tick(0, false, offset, t)) return i;
    return -1;
}

TEST(StepClock, HostPositionRestartLandsTheStepsOnTheHostsGrid) {
    StepClock::Settings s = sync(kEighth); // half a beat per step: 12000 samples at 120 bpm
    s.mode = StepClock::kHostPosition;
    s.restart = false;
    s.swing = 0.5f;
    StepClock clock;
    clock.configure(s, 120.0, 48000.0);

    int step = -1;
    // Bar 2, beat 2 (5 beats in): step 10 begins right there.
    EXPECT_EQ(samplesToNextStep(clock, 5.0, 0, &step), 12000);
    EXPECT_EQ(step, 10);
    EXPECT_EQ(clock.phase(0), 0.0);
    // A quarter beat later, halfway through step 10: step 11 begins on beat 5.5.
    EXPECT_EQ(samplesToNextStep(clock, 5.25, 0, &step), 6000);
    EXPECT_EQ(step, 10);
    // The restart's offset into the block counts in beats at the host's tempo: 2400 samples
    // after a block starting on beat 5 is beat 5.1, so step 11 still begins on beat 5.5.
    EXPECT_EQ(samplesToNextStep(clock, 5.0, 2400, &step), 9600);
    EXPECT_EQ(step, 10);
    // The host loops back: the clock follows it backwards.
    EXPECT_EQ(samplesToNextStep(clock, 1.0, 0, &step), 12000);
    EXPECT_EQ(step, 2);
    // Before the song's start counts as its start.
    samplesToNextStep(clock, -3.0, 0, &step);
    EXPECT_EQ(step, 0);

    // A four-step pattern from step 4: 10 steps in is the pattern's third step.
    s.firstStep = 4;
    s.lastStep = 7;
    clock.configure(s, 120.0, 48000.0);
    samplesToNextStep(clock, 5.0, 0, &step);
    EXPECT_EQ(step, 6);

    // Under swing the even steps of a pair take 1.3 plain steps: from beat 0.5 (count 1,
    // inside step 0) step 1 begins at beat 0.65 and step 2 on beat 1.
    s = sync(kEighth);
    s.mode = StepClock::kHostPosition;
    s.restart = false;
    s.swing = 1.0f;
    clock.configure(s, 120.0, 48000.0);
    const StepClock::Transport t{0.5, 120.0, 48000.0};
    clock.tick(0, true, 0, t);
    EXPECT_EQ(clock.step(0), 0);
    std::vector<long> at;
    for (long i = 1; i < 30000 && at.size() < 2; ++i)
        if (clock.tick(0, false, 0, t)) at.push_back(i);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_EQ(at[0], 3600);
    EXPECT_EQ(at[1], 12000);

    // With the restart flag the host position is ignored.
    s.restart = true;
    clock.configure(s, 120.0, 48000.0);
    samplesToNextStep(clock, 5.25, 0, &step);
    EXPECT_EQ(step, 0);
}

TEST(StepClock, BadTempoRatesAndSettingsStayHarmless) {
    StepClock clock;
    clock.configure(sync(kSixteenth), 120.0, 48000.0);
    const double normal = clock.stepLength(0);
    for (double tempo : {0.0, -90.0, std::numeric_limits<double>::quiet_NaN(),
                         std::numeric_limits<double>::infinity()}) {
        clock.configure(sync(kSixteenth), tempo, 48000.0);
        EXPECT_EQ(clock.stepLength(0), normal) << tempo; // the last good tempo stays
    }
    clock.configure(sync(kSixteenth), 120.0, -1.0);
    EXPECT_GT(clock.stepLength(0), 0.0);

    StepClock::Settings s;
    s.mode = 7;
    s.rateIndex = 99;
    s.swingRateIndex = -4;
    s.firstStep = 40;
    s.lastStep = -2;
    s.swing = std::numeric_limits<float>::quiet_NaN();
    s.freeRate = std::numeric_limits<float>::infinity();
    clock.configure(s, 120.0, 48000.0);
    EXPECT_EQ(clock.settings().mode, StepClock::kHostPosition);
    EXPECT_EQ(clock.settings().rateIndex, 20);
    EXPECT_EQ(clock.settings().firstStep, 15);
    EXPECT_EQ(clock.settings().lastStep, 0);
    EXPECT_TRUE(std::isfinite(clock.stepLength(0)));
    EXPECT_TRUE(std::isfinite(clock.stepLength(1)));
    // Steps stay inside the pattern whatever the host reports.
    const double positions[] = {std::numeric_limits<double>::quiet_NaN(), 1e300, -1e300, 3.7e9};
    s.restart = false;
    s.firstStep = 3;
    s.lastStep = 9;
    clock.configure(s, 120.0, 48000.0);
    for (double p : positions) {
        const StepClock::Transport t{p, 120.0, 48000.0};
        clock.tick(0, true, 0, t);
        EXPECT_GE(clock.step(0), 3) << p;
        EXPECT_LE(clock.step(0), 9) << p;
        EXPECT_GE(clock.phase(0), 0.0);
        EXPECT_LT(clock.phase(0), 1.0);
        for (int i = 0; i < 5000; ++i) clock.tick(0, false, 0, t);
        EXPECT_LE(clock.step(0), 9);
    }
}

} // namespace
} // namespace kolva
