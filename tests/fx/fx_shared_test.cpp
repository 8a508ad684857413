// The pieces every effect builds on: the shared tables, curve lookups over blocks, the
// state-variable filter, the biquad designs and the delay-line reads.

#include "engine/lookup_curve.h"
#include "engine/voice_context.h"
#include "fx/delay_line.h"
#include "fx/fx_dsp.h"
#include "fx/fx_tables.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <numbers>
#include <vector>

namespace kolva::fx {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(FxTables, FrequencyScalesHitTheirAnchorsAndRiseBySemitones) {
    const Tables& t = tables();
    EXPECT_NEAR(t.noteFrequency[0], 20.602, 0.001);
    EXPECT_NEAR(t.noteFrequency[60], 659.26, 0.01);
    EXPECT_NEAR(t.noteFrequency[119], 19912.0, 1.0);
    EXPECT_NEAR(noteFrequencyAt(0.5f), 0.5 * (t.noteFrequency[59] + t.noteFrequency[60]), 0.01);

    const std::pair<int, float> rows[] = {{0, 0.000777f},  {1, 0.000823f},  {10, 0.001467f},
                                          {20, 0.002615f}, {40, 0.008302f}, {60, 0.026358f},
                                          {80, 0.083638f}, {100, 0.26479f}, {110, 0.46699f},
                                          {119, 0.738f}};
    for (auto [point, value] : rows) EXPECT_NEAR(t.svfCutoff[point], value, value * 1e-5) << point;
    for (int i = 1; i < kCutoffPoints; ++i) {
        const double ratio = t.svfCutoff[i] / t.svfCutoff[i - 1];
        EXPECT_GT(ratio, 1.02) << i; // rising, about a semitone (1.059) per point
        EXPECT_LT(ratio, 1.08) << i;
    }

    EXPECT_FLOAT_EQ(qAt(0.0f), 0.083f);
    EXPECT_FLOAT_EQ(qAt(1.0f), 4.0f);
    EXPECT_FLOAT_EQ(t.onePole[512], 1.0f);
    EXPECT_FLOAT_EQ(t.onePole[100], 0.302f); // sin(pi 100 / 1023) = 0.30230
    EXPECT_NEAR(onePoleCoefficient(1000.0f, 44100.0f), std::sin(kPi * 1000 / 44100), 2e-3);
    EXPECT_FLOAT_EQ(syncSeconds(10, 120.0f), 0.5f);
    EXPECT_FLOAT_EQ(syncSeconds(99, 120.0f), 32.0f); // clamped to "16/1"
}

TEST(FxTables, LfoWaveformMorphsFromTriangleToCosineToClippedBump) {
    for (float p : {0.0f, 0.1f, 0.25f, 0.5f, 0.8f}) {
        const float tri = p <= 0.5f ? 2 * p : 2 * (1 - p);
        // The bump is read at p * 255 of its 256 points.
        const double bump = 0.5 - 0.5 * std::cos(2 * kPi * p * 255.0 / 256.0);
        EXPECT_NEAR(lfoWaveform(p, 0.0f), tri, 1e-6) << p;
        EXPECT_NEAR(lfoWaveform(p, 0.25f), 0.5 * tri + 0.5 * bump, 1e-4) << p;
        EXPECT_NEAR(lfoWaveform(p, 0.5f), bump, 1e-4) << p;
        // Driven harder it is amplified around the middle and clipped at the top.
        EXPECT_NEAR(lfoWaveform(p, 0.75f), std::min(2.25 * (bump - 0.5), 0.5) + 0.5, 1e-4) << p;
    }
    EXPECT_FLOAT_EQ(advancePhase(0.99f, 0.02f), 0.99f + 0.02f - 1.0f);
    EXPECT_FLOAT_EQ(advancePhase(0.5f, 0.5f), 1.0f); // exactly 1 stays until it passes
}

TEST(FxBlockRoutines, CurveLookupClampsAndWrapKeepsTheFraction) {
    const float table[4] = {0.0f, 1.0f, 4.0f, 9.0f};
    std::vector<float> x = {-1.0f, 0.0f, 0.5f, 1.0f / 6.0f, 1.0f, 2.0f,
                            std::numeric_limits<float>::quiet_NaN()};
    const float expected[] = {0.0f, 0.0f, 2.5f, 0.5f, 9.0f, 9.0f, 0.0f};
    for (std::size_t i = 0; i < x.size(); ++i)
        EXPECT_NEAR(lookupCurve(table, 4, x[i] * 3.0f), expected[i], 1e-6) << i;

    std::vector<float> w = {0.25f, 1.25f, 3.0f, -0.25f, -2.75f, 0.999f};
    wrapUnit(w.data(), static_cast<int>(w.size()));
    const float wrapped[] = {0.25f, 0.25f, 0.0f, 0.75f, 0.25f, 0.999f};
    for (std::size_t i = 0; i < w.size(); ++i) EXPECT_NEAR(w[i], wrapped[i], 1e-6) << i;
}

// Steady-state gain of a filter on a sine, measured after it settled.
template <class Run> double sineGain(double hz, float rate, Run&& run) {
    const int n = static_cast<int>(rate * 0.25);
    std::vector<float> l(n), r(n);
    for (int i = 0; i < n; ++i) l[i] = r[i] = static_cast<float>(std::sin(2 * kPi * hz * i / rate));
    run(l, r);
    double in = 0, out = 0;
    for (int i = n / 2; i < n; ++i) {
        const double s = std::sin(2 * kPi * hz * i / rate);
        in += s * s;
        out += static_cast<double>(l[i]) * l[i];
        EXPECT_FLOAT_EQ(l[i], r[i]);
    }
    return std::sqrt(out / in);
}

TEST(FxSvfFilter, LowAndHighTapsSplitTheBandAtEveryRate) {
    for (float rate : {22050.0f, 44100.0f, 96000.0f}) {
        SCOPED_TRACE(rate);
        // Cutoff control 0.5 sits near 200 Hz on the curve.
        auto filter = [&](SvfFilter::Tap tap, float q, double hz) {
            SvfFilter f(q, tap);
            return sineGain(hz, rate, [&](auto& l, auto& r) {
                std::vector<float> cut(l.size(), 0.5f);
                f.process(l.data(), r.data(), cut.data(), static_cast<int>(l.size()), rate);
            });
        };
        EXPECT_NEAR(filter(SvfFilter::kLow, 1.2f, 30.0), 1.0, 0.05);
        EXPECT_LT(filter(SvfFilter::kLow, 1.2f, 5000.0), 0.01);
        EXPECT_NEAR(filter(SvfFilter::kHigh, 2.0f, 5000.0), 1.0, 0.05);
        EXPECT_LT(filter(SvfFilter::kHigh, 2.0f, 20.0), 0.05);
    }
}

TEST(FxSvfFilter, StaysBoundedWithTheCutoffFullyOpenAtLowRates) {
    for (float q : {1.2f, 2.0f}) {
        SvfFilter f(q, SvfFilter::kHigh);
        std::vector<float> l(22050), r(22050), cut(22050, 1.0f);
        for (int i = 0; i < 22050; ++i) l[i] = r[i] = (i % 7 < 3) ? 1.0f : -1.0f;
        f.process(l.data(), r.data(), cut.data(), 22050, 22050.0f);
        for (float v : l) ASSERT_LT(std::fabs(v), 10.0f) << q;
    }
}

// processPair runs its two filters in one pass (the low-pass/high-pass pair side by side, one
// sample apart); it must give exactly what a.process then b.process give, block after block,
// with the cutoffs held and moving, down to blocks of one sample.
TEST(FxSvfFilter, PairInOnePassMatchesOneFilterAfterTheOther) {
    const struct { SvfFilter::Tap a, b; } pairs[] = {
        {SvfFilter::kLow, SvfFilter::kHigh}, {SvfFilter::kBand, SvfFilter::kNotch}};
    for (const auto& p : pairs) {
        SvfFilter pairA(1.3f, p.a), pairB(0.7f, p.b), oneA(1.3f, p.a), oneB(0.7f, p.b);
        std::uint32_t seed = 5;
        const auto next = [&seed] { // repeatable values in [0, 1)
            seed = seed * 1664525u + 1013904223u;
            return static_cast<float>(seed >> 8) / 16777216.0f;
        };
        for (int n : {64, 1, 2, 5, 37, 200}) {
            for (bool held : {true, false}) {
                SCOPED_TRACE(testing::Message() << p.a << p.b << " " << n << " " << held);
                std::vector<float> l(n), r(n), cutA(n), cutB(n);
                for (int i = 0; i < n; ++i) {
                    l[i] = 2.0f * next() - 1.0f;
                    r[i] = 2.0f * next() - 1.0f;
                    cutA[i] = held ? 0.8f : next();
                    cutB[i] = held ? 0.3f : next();
                }
                std::vector<float> l2 = l, r2 = r;
                SvfFilter::processPair(pairA, pairB, l.data(), r.data(), cutA.data(), cutB.data(),
                                       n, 48000.0f);
                oneA.process(l2.data(), r2.data(), cutA.data(), n, 48000.0f);
                oneB.process(l2.data(), r2.data(), cutB.data(), n, 48000.0f);
                EXPECT_EQ(l, l2);
                EXPECT_EQ(r, r2);
            }
        }
    }
}

// |H(e^jw)| of the designed biquad, in dB.
double responseDb(const Biquad& b, double hz, double rate) {
    const std::complex<double> z = std::polar(1.0, -2 * kPi * hz / rate);
    const auto h = (b.b0() + b.b1() * z + b.b2() * z * z) / (1.0 + b.a1() * z + b.a2() * z * z);
    return 20 * std::log10(std::abs(h));
}

TEST(FxBiquad, CookbookDesignsShapeTheResponseAsNamed) {
    constexpr float kRate = 48000.0f;
    struct Case {
        int type;
        double freq, q, gain;
        double probeHz, expectDb, tolerance;
    };
    const Case cases[] = {
        {Biquad::kLowPass, 1000, std::sqrt(0.5), 0, 1000, -3.01, 0.05},
        {Biquad::kLowPass, 1000, std::sqrt(0.5), 0, 100, 0.0, 0.05},
        {Biquad::kLowPass, 1000, std::sqrt(0.5), 0, 8000, -36.0, 2.0},
        {Biquad::kHighPass, 1000, std::sqrt(0.5), 0, 1000, -3.01, 0.05},
        {Biquad::kHighPass, 1000, std::sqrt(0.5), 0, 10000, 0.0, 0.2},
        {Biquad::kBandPassPeakQ, 1000, 4.0, 0, 1000, 20 * std::log10(4.0), 0.05},
        {Biquad::kBandPass, 1000, 4.0, 0, 1000, 0.0, 0.05},
        {Biquad::kNotch, 1000, 1.0, 0, 1300, -6.55, 0.05},
        {Biquad::kAllPass, 1000, 1.0, 0, 3000, 0.0, 0.01},
        {Biquad::kPeaking, 1000, 1.0, 6.0, 1000, 6.0, 0.01},
        {Biquad::kPeaking, 1000, 1.0, -12.0, 1000, -12.0, 0.01},
        {Biquad::kLowShelf, 200, 0.707, 9.0, 20, 9.0, 0.2},
        {Biquad::kLowShelf, 200, 0.707, 9.0, 10000, 0.0, 0.1},
        {Biquad::kHighShelf, 2000, 0.707, -9.0, 20000, -9.0, 0.3},
        {Biquad::kHighShelf, 2000, 0.707, -9.0, 50, 0.0, 0.1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " at " << c.probeHz);
        Biquad b;
        b.design(kRate, c.type, c.freq, c.q, c.gain);
        EXPECT_NEAR(responseDb(b, c.probeHz, kRate), c.expectDb, c.tolerance);
    }
    Biquad notch;
    notch.design(kRate, Biquad::kNotch, 1000, 1.0, 0);
    EXPECT_LT(responseDb(notch, 1000, kRate), -60.0);
    // Bandwidth mode: a one-octave peak is about -3 dB down (half the gain in dB, for a
    // small boost) half an octave either side.
    Biquad octave;
    octave.design(kRate, Biquad::kPeaking, 1000, 1.0, 6.0, true);
    EXPECT_NEAR(responseDb(octave, 1000, kRate), 6.0, 0.01);
    EXPECT_NEAR(responseDb(octave, 1000 * std::sqrt(2.0), kRate), 3.0, 0.4);
}

TEST(FxBiquad, RedesignsOnlyWhenAnInputChangesAndFiltersTheSignal) {
    Biquad b;
    b.design(44100.0f, Biquad::kLowPass, 500, 0.7, 0);
    b.design(44100.0f, Biquad::kLowPass, 500, 0.7, 0);
    EXPECT_EQ(b.designCount(), 1u);
    b.design(48000.0f, Biquad::kLowPass, 500, 0.7, 0);
    b.design(48000.0f, Biquad::kLowPass, 500, 0.7, 0, true);
    EXPECT_EQ(b.designCount(), 3u);

    // The running filter agrees with its designed response.
    Biquad run;
    run.design(44100.0f, Biquad::kPeaking, 2000, 2.0, -10.0);
    const double gain = sineGain(2000.0, 44100.0f, [&](auto& l, auto& r) {
        run.process(l.data(), r.data(), static_cast<int>(l.size()));
    });
    EXPECT_NEAR(20 * std::log10(gain), -10.0, 0.1);
    // A frequency beyond the band is held inside it, so the filter stays finite.
    Biquad high;
    high.design(22050.0f, Biquad::kLowPass, 18848.2, 0.23, 0);
    const double g = sineGain(1000.0, 22050.0f, [&](auto& l, auto& r) {
        high.process(l.data(), r.data(), static_cast<int>(l.size()));
    });
    EXPECT_TRUE(std::isfinite(g));
}

TEST(FxDelayLine, ReadsWholeLinearAndCubicDelaysAndNeverLeavesTheLine) {
    SharedVoiceContext ctx;
    ASSERT_TRUE(ctx.recreateArena(1 << 20));
    DelayLineRegistry lines;
    const int a = lines.add(0.01f);
    ASSERT_TRUE(lines.carve(ctx, 10000.0f));
    DelayLine& line = lines[a];
    ASSERT_EQ(line.length, 100);
    for (int i = 0; i < 250; ++i) line.push(static_cast<float>(i)); // a ramp; newest is 249
    // The write index points at the oldest sample, 100 back.
    EXPECT_FLOAT_EQ(line.readInteger(1), 249.0f);
    EXPECT_FLOAT_EQ(line.readInteger(10), 240.0f);
    // Linear: int(d) back, blended towards the sample before it.
    EXPECT_FLOAT_EQ(line.readLinear(10.25f), 0.75f * 240.0f + 0.25f * 239.0f);
    // Catmull-Rom reproduces a ramp exactly (away from the wrap of the ramp itself).
    EXPECT_NEAR(line.readCubic(20.5f), 229.5f, 1e-3);
    EXPECT_NEAR(line.readCubic(7.25f), 242.75f, 1e-3);

    for (float d : {-5.0f, 1e9f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity()}) {
        EXPECT_TRUE(std::isfinite(line.readLinear(d)));
        EXPECT_TRUE(std::isfinite(line.readCubic(d)));
    }
    EXPECT_TRUE(std::isfinite(line.readInteger(1 << 30)));

    lines.clear();
    EXPECT_FLOAT_EQ(line.readInteger(5), 0.0f);
    // Re-carved at a new rate, the line is sized from its duration.
    ASSERT_TRUE(lines.carve(ctx, 96000.0f));
    EXPECT_EQ(lines[a].length, 960);
}

TEST(FxDelayLine, FourLaneCubicReadsMatchTheSingleReadAtEveryWrapAndOutOfRange) {
    // Four lines of one length, each a different tone so a lane reading the wrong line shows.
    constexpr int kLength = 37;
    std::vector<float> store(4 * kLength);
    const float* data[4];
    for (int k = 0; k < 4; ++k) {
        for (int i = 0; i < kLength; ++i)
            store[static_cast<std::size_t>(k * kLength + i)] =
                std::sin(0.37f * static_cast<float>(i) * static_cast<float>(k + 1)) + 0.1f * k;
        data[k] = store.data() + k * kLength;
    }
    const CubicBounds4 bounds(kLength);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        int write[4];
        float delay[4];
    };
    // Reads that stay inside the line (one load per lane) and reads whose neighbours wrap at
    // either end, whole and fractional delays, and delays out of range.
    const Case cases[] = {
        {{20, 21, 22, 23}, {2.5f, 3.25f, 7.0f, 10.75f}},
        {{0, 1, 2, 3}, {0.5f, 1.5f, 2.5f, 3.5f}},
        {{36, 35, 34, 33}, {1.0f, 33.9f, 34.0f, 30.1f}},
        {{5, 5, 5, 5}, {4.0f, 5.0f, 5.5f, 6.0f}},
        {{10, 0, 36, 18}, {0.0f, -3.0f, 1e9f, nan}},
        {{3, 30, 1, 36}, {33.99f, 0.001f, 1.999f, 2.0f}},
    };
    for (const Case& c : cases) {
        alignas(16) float got[4], plain[4];
        const __m128i write = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.write));
        _mm_store_ps(got, cubicRead4(data, kLength, bounds, write, _mm_loadu_ps(c.delay)));
        _mm_store_ps(plain, cubicRead4(data, kLength, write, _mm_loadu_ps(c.delay)));
        for (int k = 0; k < 4; ++k) {
            const float want = cubicRead(data[k], kLength, c.write[k], c.delay[k]);
            EXPECT_EQ(got[k], want) << "write " << c.write[k] << " delay " << c.delay[k];
            EXPECT_EQ(plain[k], want) << "write " << c.write[k] << " delay " << c.delay[k];
        }
    }
}

} // namespace
} // namespace kolva::fx
