// The oscillators' process-wide tables: phase increments, the band-limited saw bank, the level
// rules, the wave bank's storage and the helper tables, measured rather than recomputed.
#include "engine/osc_tables.h"
#include "engine/wave_bank_recipes.h"
#include "osc_spectrum.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

namespace kolva::osc {
namespace {

using namespace test;

// Highest harmonic of `note` below 22050 Hz (and below the 4096-point cycle's Nyquist).
int bandLimit(int note) {
    int h = 0;
    while (h + 1 < kBins && (h + 1) * hz(note) < 22050.0) ++h;
    return h;
}

TEST(OscTablesIncrement, OneSharedTablePerRateHoldingPointsPerSampleAtEveryStep) {
    std::shared_ptr<const IncrementTable> a, b;
    std::thread t1([&] { a = incrementTableFor(48000.0f); });
    std::thread t2([&] { b = incrementTableFor(48000.0f); });
    t1.join();
    t2.join();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a.get(), b.get());
    for (const float rate : {44100.0f, 96000.0f}) {
        const auto t = incrementTableFor(rate);
        ASSERT_NE(t.get(), a.get());
        EXPECT_EQ(t->sampleRate(), rate);
        // Down from the last entry in steps that land everywhere within a semitone.
        for (int k = kIncrementEntries - 1; k >= 0; k -= 997) {
            const double expected = hz(k / double(kPitchSteps)) / rate * kCyclePoints;
            ASSERT_NEAR(t->at(k), expected, expected * 2e-7) << rate << " k " << k;
        }
        // Out-of-range indices read entry 0 rather than past the table.
        EXPECT_EQ(t->at(-1), t->at(0));
        EXPECT_EQ(t->at(kIncrementEntries), t->at(0));
    }
}

// A quarter step off a step stays on it; three quarters reaches the next.
TEST(OscTablesIncrement, IndexCountsPitchStepsWithPitchClamped) {
    const std::pair<float, int> cases[] = {
        {69.0f, 69 * 1280},       {60.0f + 0.25f / 1280.0f, 60 * 1280},
        {12.5f, 12 * 1280 + 640}, {60.0f + 0.75f / 1280.0f, 60 * 1280 + 1},
        {-3.0f, 0},               {300.0f, 127 * 1280},
        {std::nanf(""), 0},
    };
    for (const auto& [pitch, k] : cases) EXPECT_EQ(IncrementTable::indexFor(pitch), k) << pitch;
}

TEST(OscTablesSaw, EachNoteHoldsTheRisingSawSeriesUpToItsNyquist) {
    const OscTables& t = OscTables::get();
    // Note 0 fills the whole cycle (2047 harmonics); note 127 keeps only its fundamental.
    for (const int note : {0, 24, 60, 100, 127}) {
        const auto a = spectrumOf(t.saw(note));
        const int limit = bandLimit(note);
        for (int n = 1; n <= limit; ++n) {
            // A rising ramp is -(2/pi) sum sin(n theta)/n = sum Re(i 2/(pi n) e^(i n theta)).
            const double ideal = 2.0 / (kPi * n);
            const auto c = a[std::size_t(n)];
            ASSERT_NEAR(c.imag(), ideal, ideal * 0.01) << "note " << note << " harmonic " << n;
            ASSERT_NEAR(c.real(), 0.0, ideal * 0.01) << "note " << note << " harmonic " << n;
        }
        EXPECT_LT(maxAmp(a, limit + 1, kBins), amp(a, 1) * 1e-5) << "note " << note;
    }
    EXPECT_EQ(t.saw(-4), t.saw(0)); // out-of-range notes clamp
    EXPECT_EQ(t.saw(300), t.saw(127));
}

// Saws and waves alike: the slope to the next point, the last one wrapping to point 0, so
// reading across the cycle's end stays continuous.
TEST(OscTablesStorage, EveryTableStoresSlopesToTheNextPointWrapping) {
    const OscTables& t = OscTables::get();
    std::vector<const float*> tables = {t.saw(0), t.saw(60), t.saw(127)};
    for (int w = 0; w < kWaves; ++w)
        for (int level = 0; level < kWaveLevels; ++level) tables.push_back(t.wave(w, level));
    for (const float* s : tables) {
        for (int i = 0; i < kCyclePoints; ++i)
            ASSERT_EQ(s[2 * i + 1], s[2 * ((i + 1) % kCyclePoints)] - s[2 * i]) << "point " << i;
        EXPECT_FLOAT_EQ(readTable(s, 4095.5f), 0.5f * (s[2 * 4095] + s[0]));
    }
}

TEST(OscTablesLevels, ChooseLevelsAndBlendPerNote) {
    struct Case {
        int note, a, b; // b < 0: level B is unweighted there
        float blend;
    };
    const Case cases[] = {
        {0, 0, 0, 0.0f},          {47, 0, 0, 0.0f},          {48, 1, 0, 1.0f},
        {53, 1, 0, 7.0f / 12.0f}, {59, 1, 0, 1.0f / 12.0f}, {60, 2, 1, 1.0f},
        {71, 2, 1, 1.0f / 12.0f}, {72, 3, 2, 1.0f},          {119, 6, 5, 1.0f / 12.0f},
        {120, 7, -1, 0.0f},       {127, 7, -1, 0.0f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OscTables::levelA(c.note), c.a) << c.note;
        EXPECT_TRUE(c.b < 0 || OscTables::levelB(c.note) == c.b) << c.note;
        EXPECT_NEAR(OscTables::blend(c.note), c.blend, 1e-6) << c.note;
    }
}

TEST(OscTablesWaves, FortyNineNamedWavesInBankOrderEachPeakingAtOne) {
    const char* const names[kWaves] = {
        "Sin",      "Tri",      "TriSine",  "Para_1",   "Para_2",   "Para_3",   "Para_4",
        "Bass_1",   "Bass_2",   "Bass_3",   "Bass_4",   "Piano_A1", "Piano_A2", "Piano_A3",
        "Piano_A4", "Violin_1", "Violin_2", "Violin_3", "Oboe",     "Sitar",    "Bayan_1",
        "Bayan_2",  "Guitar_1", "Guitar_2", "Guitar_3", "Organ_1",  "Organ_2",  "Organ_3",
        "Brass_1",  "Brass_2",  "Vocal_1",  "Vocal_2",  "Vocal_3",  "Vocal_4",  "Vocal_5",
        "Vocal_6",  "Robo_1",   "Robo_2",   "Robo_3",   "Synth_1",  "Synth_2",  "Synth_3",
        "Inter_1",  "Inter_2",  "FM_1",     "FM_2",     "FM_3",     "Alarm_1",  "Alarm_2"};
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w) {
        EXPECT_STREQ(t.waveName(w), names[w]);
        const float* s = t.wave(w, 0);
        double peak = 0.0;
        for (int i = 0; i < kCyclePoints; ++i) peak = std::max(peak, std::abs(double(s[2 * i])));
        EXPECT_NEAR(peak, 1.0, 1e-4) << names[w];
    }
    EXPECT_STREQ(t.waveName(-1), "Sin"); // out-of-range waves and levels clamp
    EXPECT_STREQ(t.waveName(99), "Alarm_2");
    EXPECT_EQ(t.wave(-1, -1), t.wave(0, 0));
    EXPECT_EQ(t.wave(99, 99), t.wave(48, 7));
}

// Level L plays at full weight up to note 48 + 12L (level 7 up to 127), so it holds one spectrum
// cut exactly below that note's Nyquist: no less (dull) and no more (aliasing).
TEST(OscTablesWaves, LevelsAreOneSpectrumCutAtEachLevelsNyquist) {
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w) {
        const auto full = spectrumOf(t.wave(w, 0));
        const double scale = maxAmp(full, 1, kBins);
        for (int level = 0; level < kWaveLevels; ++level) {
            const auto a = spectrumOf(t.wave(w, level));
            const int limit = bandLimit(level == 7 ? 127 : 48 + 12 * level);
            EXPECT_LT(maxAmp(a, limit + 1, kBins), scale * 1e-5) << t.waveName(w) << " L" << level;
            for (int n = 1; n <= limit; ++n)
                ASSERT_LT(std::abs(a[std::size_t(n)] - full[std::size_t(n)]), scale * 1e-5)
                    << t.waveName(w) << " level " << level << " harmonic " << n;
        }
    }
}

// Each wave's HardFM curve is the one for its brightness, the RMS harmonic number measured from
// the stored cycle; linear between the nine keys and held beyond them.
TEST(OscTablesWaves, EachWaveGetsTheHardFmCurveOfItsMeasuredBrightness) {
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w) {
        const auto a = spectrumOf(t.wave(w, 0));
        double slope = 0.0;
        for (int n = 1; n <= kBins; ++n) slope += double(n) * n * std::norm(a[std::size_t(n)]);
        const auto row = hardFmCurveRow(std::sqrt(slope / power(a, 1, kBins)));
        for (int x = 0; x < kHardFmCurvePoints; ++x)
            EXPECT_NEAR(t.hardFmCurve(w, float(x)), row[std::size_t(x)], row[std::size_t(x)] * 1e-4)
                << t.waveName(w) << " x " << x;
        EXPECT_NEAR(t.hardFmCurve(w, 2.25f), 0.75 * row[2] + 0.25 * row[3], row[2] * 1e-4);
        EXPECT_EQ(t.hardFmCurve(w, -3.0f), t.hardFmCurve(w, 0.0f));
        EXPECT_EQ(t.hardFmCurve(w, 11.0f), t.hardFmCurve(w, 8.0f));
    }
    EXPECT_EQ(t.hardFmCurve(-5, 2.0f), t.hardFmCurve(0, 2.0f));
    EXPECT_EQ(t.hardFmCurve(60, 2.0f), t.hardFmCurve(48, 2.0f));
}

TEST(OscTablesHelpers, NoteFrequencyAndSinPiInterpolateAndClamp) {
    const OscTables& t = OscTables::get();
    struct Case {
        float (OscTables::*f)(float) const;
        float x;
        double want, tol;
    };
    const auto noteHz = &OscTables::noteFrequency;
    const auto sinPi = &OscTables::sinPi;
    const Case cases[] = {
        {noteHz, 69.0f, 440.0, 1e-4},      {noteHz, 69.5f, (440.0 + hz(70)) / 2, 1e-4},
        {noteHz, 0.0f, 8.1757989, 1e-5},   {noteHz, 127.0f, 12543.854, 1e-2},
        {noteHz, -10.0f, 8.1757989, 1e-5}, {noteHz, 400.0f, 12543.854, 1e-2},
        {sinPi, 0.0f, 0.0, 1e-7},          {sinPi, 0.5f, 1.0, 2e-6},
        {sinPi, 1.0f / 6.0f, 0.5, 2e-6},   {sinPi, 1.0f, 0.0, 1e-7},
        {sinPi, -0.5f, 0.0, 1e-7},         {sinPi, 1.5f, 0.0, 1e-7},
    };
    for (const Case& c : cases)
        EXPECT_NEAR((t.*c.f)(c.x), c.want, c.tol) << (c.f == noteHz ? "note " : "sinPi ") << c.x;
}

TEST(OscTablesBuild, ReportsBuildTimeAndLocking) {
    const OscTables& t = OscTables::get();
    EXPECT_GT(t.buildSeconds(), 0.0);
    std::printf("[ osc tables ] built in %.1f ms, banks %slocked in memory\n",
                t.buildSeconds() * 1e3, t.locked() ? "" : "not ");
}

} // namespace
} // namespace kolva::osc
