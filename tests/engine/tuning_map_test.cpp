// The voice pitch mapping of microtuning: scale degrees around a reference key, the period,
// clamping, and the concert-pitch offset.
#include "engine/tuning_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kolva {
namespace {

// Semitones in, semitones out (the map works in semitones / 127).
float tuned(const TuningMap& t, float key) {
    return t.map(key / 127.0f) * 127.0f;
}

// Five degrees with a period of 12 semitones.
constexpr float kFive[6] = {0.0f, 2.0f, 4.0f, 7.0f, 9.0f, 12.0f};

TEST(TuningMap, EqualTemperamentWithoutScaleOrWithTwelveEvenDegrees) {
    TuningMap t;
    for (int key = 0; key <= 127; ++key)
        EXPECT_EQ(t.map(key / 127.0f), key / 127.0f);
    float even[13];
    for (int i = 0; i <= 12; ++i)
        even[i] = static_cast<float>(i); // 100 .. 1200 cents
    ASSERT_TRUE(t.setScale(even, 12));
    for (int reference : {69, 60, 0, 127}) {
        t.setReferenceNote(reference);
        for (int key = 0; key <= 127; ++key)
            EXPECT_NEAR(tuned(t, static_cast<float>(key)), key, 1e-4) << reference << " " << key;
    }
}

TEST(TuningMap, KeysStepThroughDegreesAndPeriodsAroundTheReferenceAndClamp) {
    TuningMap t;
    ASSERT_TRUE(t.setScale(kFive, 5));
    t.setReferenceNote(60);
    // Degrees up from the reference; one period up (degree 0) and down (key 59: 48 + table[4]);
    // fractions between degrees and between degree 4 and the period; 220 and -84 clamped.
    const std::pair<float, float> cases[] = {
        {60, 60}, {61, 62},    {63, 67},         {65, 72},       {70, 84},   {59, 57}, {55, 48},
        {56, 50}, {61.5f, 63}, {64.25f, 69.75f}, {59.5f, 58.5f}, {127, 127}, {0, 0}};
    for (auto [key, sounds] : cases)
        EXPECT_NEAR(tuned(t, key), sounds, 1e-3) << key;
    EXPECT_TRUE(std::isfinite(t.map(std::numeric_limits<float>::quiet_NaN())));
}

TEST(TuningMap, A4OffsetAppliesWithAndWithoutScale) {
    TuningMap t;
    t.setA4Index(0); // 432 Hz: -0.3127 semitones
    EXPECT_NEAR(tuned(t, 69.0f) - 69.0f, -0.3127f, 1e-4);
    ASSERT_TRUE(t.setScale(kFive, 5));
    t.setReferenceNote(60);
    EXPECT_NEAR(tuned(t, 65.0f) - 72.0f, -0.3127f, 1e-4);
    t.clearScale();
    EXPECT_NEAR(tuned(t, 65.0f) - 65.0f, -0.3127f, 1e-4);
    const float offsets[8] = {-0.002462f, -0.00181f, -0.0012f, -0.0006f,
                              0.0f,       0.000621f, 0.00125f, 0.0019f};
    for (int i : {-3, 0, 1, 2, 3, 4, 5, 6, 7, 42}) { // out-of-range indices clamp
        t.setA4Index(i);
        EXPECT_EQ(t.a4Offset(), offsets[std::clamp(i, 0, 7)]) << i;
    }
}

TEST(TuningMap, MalformedTablesAreRefusedAndKeepThePreviousScale) {
    TuningMap t;
    ASSERT_TRUE(t.setScale(kFive, 5));
    t.setReferenceNote(60);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const float bad[][3] = {{0, 1, 0}, {0, 1, -12}, {0, 1, nan}, {0, 1, inf}, {0, nan, 12}};
    for (const auto& table : bad)
        EXPECT_FALSE(t.setScale(table, 2));
    EXPECT_FALSE(t.setScale(kFive, 0));
    EXPECT_FALSE(t.setScale(nullptr, 5));
    EXPECT_FALSE(t.setScale(kFive, TuningMap::kMaxDegrees + 1));
    EXPECT_EQ(t.degreeCount(), 5);
    EXPECT_NEAR(tuned(t, 65.0f), 72.0f, 1e-3);

    float wide[3] = {0.0f, 5.0f, 24.0f};
    ASSERT_TRUE(t.setScale(wide, 2));
    wide[1] = 100.0f; // the map keeps its own copy
    EXPECT_NEAR(tuned(t, 61.0f), 65.0f, 1e-3);
    EXPECT_NEAR(tuned(t, 62.0f), 84.0f, 1e-3);
}

} // namespace
} // namespace kolva
