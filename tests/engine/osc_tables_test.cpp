// The oscillators' process-wide tables: phase increments, the band-limited saw bank, the level
// rules, the wave bank and the small helper tables. Spectra are measured with an FFT here and
// compared with acoustics, not with the builder's own arithmetic.
#include "engine/osc_tables.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace kolva::osc {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kBins = kCyclePoints / 2;

double hz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

// Highest harmonic of `note` below 22050 Hz (and below the 4096-point cycle's Nyquist).
int bandLimit(int note) {
    int h = 0;
    while (h + 1 < kBins && (h + 1) * hz(note) < 22050.0) ++h;
    return h;
}

// One-sided complex amplitudes of a stored table: cycle(theta) = sum Re(a[n] e^(i n theta)).
std::vector<std::complex<double>> spectrumOf(const float* table) {
    static double* in = fftw_alloc_real(kCyclePoints);
    static fftw_complex* out = fftw_alloc_complex(kBins + 1);
    static fftw_plan plan = fftw_plan_dft_r2c_1d(kCyclePoints, in, out, FFTW_ESTIMATE);
    for (int i = 0; i < kCyclePoints; ++i) in[i] = table[2 * i];
    fftw_execute(plan);
    std::vector<std::complex<double>> a(kBins + 1);
    for (int k = 0; k <= kBins; ++k)
        a[static_cast<std::size_t>(k)] = std::complex<double>(out[k][0], out[k][1]) *
                                         (2.0 / kCyclePoints);
    return a;
}

double amp(const std::vector<std::complex<double>>& a, int n) {
    return std::abs(a[static_cast<std::size_t>(n)]);
}

// Largest amplitude among harmonics first..last.
double maxAmp(const std::vector<std::complex<double>>& a, int first, int last) {
    double m = 0.0;
    for (int n = first; n <= last; ++n) m = std::max(m, amp(a, n));
    return m;
}

double peakOf(const float* table) {
    double p = 0.0;
    for (int i = 0; i < kCyclePoints; ++i) p = std::max(p, std::abs(double(table[2 * i])));
    return p;
}

const char* const kDesignNames[kWaves] = {
    "Sin",      "Tri",      "TriSine",  "Para_1",   "Para_2",   "Para_3",   "Para_4",
    "Bass_1",   "Bass_2",   "Bass_3",   "Bass_4",   "Piano_A1", "Piano_A2", "Piano_A3",
    "Piano_A4", "Violin_1", "Violin_2", "Violin_3", "Oboe",     "Sitar",    "Bayan_1",
    "Bayan_2",  "Guitar_1", "Guitar_2", "Guitar_3", "Organ_1",  "Organ_2",  "Organ_3",
    "Brass_1",  "Brass_2",  "Vocal_1",  "Vocal_2",  "Vocal_3",  "Vocal_4",  "Vocal_5",
    "Vocal_6",  "Robo_1",   "Robo_2",   "Robo_3",   "Synth_1",  "Synth_2",  "Synth_3",
    "Inter_1",  "Inter_2",  "FM_1",     "FM_2",     "FM_3",     "Alarm_1",  "Alarm_2"};

int waveIndex(const std::string& name) {
    for (int w = 0; w < kWaves; ++w)
        if (name == kDesignNames[w]) return w;
    ADD_FAILURE() << "no wave " << name;
    return 0;
}

// ---- phase increments ----------------------------------------------------------------------

TEST(OscTablesIncrement, HoldsPointsPerSampleForEveryPitchStepAtEachRate) {
    for (const float rate : {44100.0f, 96000.0f}) {
        const IncrementTable t(rate);
        EXPECT_EQ(t.sampleRate(), rate);
        EXPECT_FLOAT_EQ(t.at(69 * kPitchSteps), static_cast<float>(440.0 / rate * 4096.0));
        for (int k = 0; k < kIncrementEntries; k += 997) {
            const double expected = hz(k / double(kPitchSteps)) / rate * 4096.0;
            EXPECT_NEAR(t.at(k), expected, expected * 2e-7) << "k " << k;
        }
        const double top = hz(127.0 + 1279.0 / 1280.0) / rate * 4096.0;
        EXPECT_NEAR(t.at(kIncrementEntries - 1), top, top * 2e-7);
        // Out-of-range indices read entry 0 rather than past the table.
        EXPECT_EQ(t.at(-1), t.at(0));
        EXPECT_EQ(t.at(kIncrementEntries), t.at(0));
    }
}

TEST(OscTablesIncrement, IndexIsIntOfHalfOfRoundedDoubleStepsWithPitchClamped) {
    struct Case {
        float pitch;
        int k;
    };
    // k = int(int(p x 2560 + 0.5) / 2): steps of 1/1280 semitone.
    const Case cases[] = {
        {69.0f, 69 * 1280},
        {60.0f + 0.25f / 1280.0f, 60 * 1280},  // 2560p lands on an odd integer + 0.5 -> even
        {60.0f + 0.75f / 1280.0f, 60 * 1280 + 1},
        {60.0f + 0.4f / 1280.0f, 60 * 1280},
        {60.0f + 0.8f / 1280.0f, 60 * 1280 + 1},
        {12.5f, 12 * 1280 + 640},
        {-3.0f, 0},
        {127.0f, 127 * 1280},
        {300.0f, 127 * 1280},
        {std::nanf(""), 0},
    };
    for (const Case& c : cases) EXPECT_EQ(IncrementTable::indexFor(c.pitch), c.k) << c.pitch;
}

TEST(OscTablesIncrement, OneSharedTablePerRateAcrossThreads) {
    std::shared_ptr<const IncrementTable> a;
    std::shared_ptr<const IncrementTable> b;
    std::thread t1([&] { a = incrementTableFor(48000.0f); });
    std::thread t2([&] { b = incrementTableFor(48000.0f); });
    t1.join();
    t2.join();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a.get(), b.get());
    EXPECT_EQ(a->sampleRate(), 48000.0f);
    const auto other = incrementTableFor(88200.0f);
    EXPECT_NE(other.get(), a.get());
    EXPECT_FLOAT_EQ(other->at(69 * kPitchSteps), static_cast<float>(440.0 / 88200.0 * 4096.0));
}

// ---- saw bank ------------------------------------------------------------------------------

TEST(OscTablesSaw, EachNoteHoldsTheRisingSawSeriesUpToItsNyquist) {
    const OscTables& t = OscTables::get();
    for (const int note : {0, 24, 60, 100, 127}) {
        const auto a = spectrumOf(t.saw(note));
        const int limit = bandLimit(note);
        ASSERT_GE(limit, 1);
        for (int n = 1; n <= limit; ++n) {
            // A rising ramp is -(2/pi) sum sin(n theta)/n = sum Re(i 2/(pi n) e^(i n theta)).
            const double ideal = 2.0 / (kPi * n);
            const auto c = a[static_cast<std::size_t>(n)];
            ASSERT_NEAR(c.imag(), ideal, ideal * 0.01) << "note " << note << " harmonic " << n;
            ASSERT_NEAR(c.real(), 0.0, ideal * 0.01) << "note " << note << " harmonic " << n;
        }
        if (limit + 1 <= kBins) {
            EXPECT_LT(maxAmp(a, limit + 1, kBins), amp(a, 1) * 1e-5) << "note " << note;
        }
    }
    // Note 127 (12.5 kHz) keeps only its fundamental; note 0 fills the whole cycle.
    EXPECT_EQ(bandLimit(127), 1);
    EXPECT_EQ(bandLimit(0), kBins - 1);
}

TEST(OscTablesSaw, RampRisesFromMinusOneToOneWithTheJumpAtPhaseZero) {
    const float* s = OscTables::get().saw(24);
    // Away from the jump the band-limited ramp follows 2 x phase / 4096 - 1.
    for (const int i : {512, 1024, 2048, 3072, 3584})
        EXPECT_NEAR(s[2 * i], 2.0 * i / kCyclePoints - 1.0, 0.01) << "point " << i;
    EXPECT_LT(s[2 * 8], -0.9);
    EXPECT_GT(s[2 * (kCyclePoints - 8)], 0.9);
}

TEST(OscTablesSaw, SlopesAreNextMinusValueWrappingAtTheEnd) {
    const OscTables& t = OscTables::get();
    for (const int note : {0, 60, 127}) {
        const float* s = t.saw(note);
        for (int i = 0; i < kCyclePoints; ++i) {
            const float next = s[2 * ((i + 1) % kCyclePoints)];
            ASSERT_EQ(s[2 * i + 1], next - s[2 * i]) << "note " << note << " point " << i;
        }
        // readTable interpolates along the slope and wraps the index.
        EXPECT_FLOAT_EQ(readTable(s, 4095.5f), s[2 * 4095] + 0.5f * (s[0] - s[2 * 4095]));
    }
    EXPECT_EQ(t.saw(-4), t.saw(0));
    EXPECT_EQ(t.saw(300), t.saw(127));
}

// ---- level rules ---------------------------------------------------------------------------

TEST(OscTablesLevels, ChooseLevelsAndBlendPerNoteAsDesigned) {
    struct Case {
        int note, a, b;
        float blend;
    };
    const Case cases[] = {
        {0, 0, 0, 0.0f},          {47, 0, 0, 0.0f},           {48, 1, 0, 1.0f},
        {59, 1, 0, 1.0f / 12.0f}, {60, 2, 1, 1.0f},           {71, 2, 1, 1.0f / 12.0f},
        {72, 3, 2, 1.0f},         {119, 6, 5, 1.0f / 12.0f}, {120, 7, -1, 0.0f},
        {127, 7, -1, 0.0f},       {53, 1, 0, 7.0f / 12.0f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(OscTables::levelA(c.note), c.a) << c.note;
        if (c.b >= 0) {
            EXPECT_EQ(OscTables::levelB(c.note), c.b) << c.note;
        }
        EXPECT_NEAR(OscTables::blend(c.note), c.blend, 1e-6) << c.note;
    }
}

// ---- wave bank -----------------------------------------------------------------------------

// The note each level is built for: full weight as level B at 48 + 12L, level 7 up to 127.
int levelNote(int level) { return level == 7 ? 127 : 48 + 12 * level; }

TEST(OscTablesWaves, FortyNineNamedWavesInDesignOrderEachPeakingAtOne) {
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w) {
        EXPECT_STREQ(t.waveName(w), kDesignNames[w]);
        EXPECT_NEAR(peakOf(t.wave(w, 0)), 1.0, 1e-4) << kDesignNames[w];
    }
    EXPECT_STREQ(t.waveName(-1), "Sin");
    EXPECT_STREQ(t.waveName(99), "Alarm_2");
    EXPECT_EQ(t.wave(99, 99), t.wave(48, 7));
    EXPECT_EQ(t.wave(-1, -1), t.wave(0, 0));
}

TEST(OscTablesWaves, LevelsAreOneSpectrumCutAtEachLevelsNyquist) {
    const OscTables& t = OscTables::get();
    for (int w = 0; w < kWaves; ++w) {
        const auto full = spectrumOf(t.wave(w, 0));
        const double scale = maxAmp(full, 1, kBins);
        for (int level = 0; level < kWaveLevels; ++level) {
            const float* table = t.wave(w, level);
            const auto a = spectrumOf(table);
            const int limit = bandLimit(levelNote(level));
            EXPECT_LT(maxAmp(a, limit + 1, kBins), scale * 1e-5)
                << kDesignNames[w] << " level " << level;
            for (int n = 1; n <= limit; ++n)
                ASSERT_LT(std::abs(a[static_cast<std::size_t>(n)] - full[static_cast<std::size_t>(n)]),
                          scale * 1e-5)
                    << kDesignNames[w] << " level " << level << " harmonic " << n;
            for (int i = 0; i < kCyclePoints; ++i)
                ASSERT_EQ(table[2 * i + 1], table[2 * ((i + 1) % kCyclePoints)] - table[2 * i]);
        }
    }
}

TEST(OscTablesWaves, SinIsAPureSineAndTriAnOddInverseSquareTriangle) {
    const OscTables& t = OscTables::get();
    const auto sine = spectrumOf(t.wave(waveIndex("Sin"), 0));
    EXPECT_NEAR(amp(sine, 1), 1.0, 1e-4);
    EXPECT_LT(maxAmp(sine, 2, kBins), 1e-6);

    const auto tri = spectrumOf(t.wave(waveIndex("Tri"), 0));
    const int limit = bandLimit(48);
    for (int n = 2; n <= limit; n += 2) ASSERT_LT(amp(tri, n), 1e-6) << n;
    for (int n = 3; n <= 41; n += 2) {
        // Triangle: b_n = b_1 x (-1)^((n-1)/2) / n^2 in sine phase.
        const double expected = amp(tri, 1) / (n * n);
        EXPECT_NEAR(amp(tri, n), expected, expected * 0.01 + 1e-7) << n;
        const double sign = ((n - 1) / 2) % 2 == 0 ? 1.0 : -1.0;
        const auto ratio = tri[static_cast<std::size_t>(n)] / tri[1];
        EXPECT_NEAR(ratio.real(), sign * expected / amp(tri, 1), 1e-3) << n;
    }
}

// ---- helpers -------------------------------------------------------------------------------

TEST(OscTablesHelpers, NoteFrequencyIsTheTempered440ScaleInterpolatedAndClamped) {
    const OscTables& t = OscTables::get();
    EXPECT_FLOAT_EQ(t.noteFrequency(69.0f), 440.0f);
    EXPECT_FLOAT_EQ(t.noteFrequency(57.0f), 220.0f);
    EXPECT_FLOAT_EQ(t.noteFrequency(81.0f), 880.0f);
    EXPECT_NEAR(t.noteFrequency(0.0f), 8.1757989, 1e-5);
    EXPECT_NEAR(t.noteFrequency(127.0f), 12543.854, 1e-2);
    EXPECT_FLOAT_EQ(t.noteFrequency(69.5f), static_cast<float>((440.0 + hz(70)) / 2));
    EXPECT_FLOAT_EQ(t.noteFrequency(-10.0f), t.noteFrequency(0.0f));
    EXPECT_FLOAT_EQ(t.noteFrequency(400.0f), t.noteFrequency(127.0f));
}

TEST(OscTablesHelpers, SinPiCoversHalfASineCycleAndClamps) {
    const OscTables& t = OscTables::get();
    EXPECT_NEAR(t.sinPi(0.0f), 0.0, 1e-7);
    EXPECT_NEAR(t.sinPi(1.0f), 0.0, 1e-7);
    EXPECT_NEAR(t.sinPi(0.5f), 1.0, 2e-6);
    EXPECT_NEAR(t.sinPi(1.0f / 6.0f), 0.5, 2e-6);
    EXPECT_NEAR(t.sinPi(0.25f), std::sqrt(0.5), 2e-6);
    EXPECT_NEAR(t.sinPi(-0.5f), 0.0, 1e-7);
    EXPECT_NEAR(t.sinPi(1.5f), 0.0, 1e-7);
}

TEST(OscTablesHelpers, HardFmCurveInterpolatesBetweenItsNinePointsAndClamps) {
    const OscTables& t = OscTables::get();
    for (const int w : {0, 24, 48}) {
        for (int x = 0; x < kHardFmCurvePoints - 1; ++x) {
            const float lo = t.hardFmCurve(w, static_cast<float>(x));
            const float hi = t.hardFmCurve(w, static_cast<float>(x + 1));
            EXPECT_FLOAT_EQ(t.hardFmCurve(w, x + 0.25f), lo + 0.25f * (hi - lo));
        }
        EXPECT_EQ(t.hardFmCurve(w, -3.0f), t.hardFmCurve(w, 0.0f));
        EXPECT_EQ(t.hardFmCurve(w, 11.0f), t.hardFmCurve(w, 8.0f));
    }
    EXPECT_EQ(t.hardFmCurve(-5, 2.0f), t.hardFmCurve(0, 2.0f));
    EXPECT_EQ(t.hardFmCurve(60, 2.0f), t.hardFmCurve(48, 2.0f));
}

TEST(OscTablesBuild, ReportsBuildTimeAndLocking) {
    const OscTables& t = OscTables::get();
    EXPECT_GT(t.buildSeconds(), 0.0);
    std::printf("[ osc tables ] built in %.1f ms, banks %slocked in memory\n",
                t.buildSeconds() * 1e3, t.locked() ? "" : "not ");
}

} // namespace
} // namespace kolva::osc
