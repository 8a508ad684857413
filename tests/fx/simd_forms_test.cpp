// The four-lane forms the effect kernels use must compute bit for bit what their scalar
// forms compute: the effects' sound tests are statistical or tolerant (a tap within 1.5
// samples), so a wrong interpolation weight in a lane would slip past them. Likewise the
// shortcuts: a flat band must sound as the filter it skips, and a control counts as held
// still only when every sample is the same.

#include "engine/lookup_curve.h"
#include "fx/delay_line.h"
#include "fx/fx_dsp.h"
#include "fx/fx_simd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace kolva::fx {
namespace {

TEST(SimdForms, FourLineCubicReadMatchesTheScalarReadAtEveryDelayAndWrap) {
    constexpr int kLength = 64;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<std::vector<float>> lines(4, std::vector<float>(kLength));
    for (auto& line : lines)
        for (float& x : line) x = u(rng);
    const float* data[4] = {lines[0].data(), lines[1].data(), lines[2].data(), lines[3].data()};

    const float delays[] = {0.0f, 0.25f, 1.0f, 1.5f, 2.999f, 7.0f, 33.3f, 60.0f, 61.0f, 100.0f,
                            -3.0f, std::numeric_limits<float>::quiet_NaN()};
    for (int write = 0; write < kLength; ++write) {
        for (float d0 : delays) {
            // Lanes get different writes and delays, so a lane mix-up shows too.
            const int w[4] = {write, (write + 5) % kLength, (write + 31) % kLength, (write + 63) % kLength};
            const float d[4] = {d0, d0 + 0.5f, d0 * 0.5f, 3.75f};
            alignas(16) float got[4];
            _mm_store_ps(got, cubicRead4(data, kLength, _mm_setr_epi32(w[0], w[1], w[2], w[3]),
                                         _mm_setr_ps(d[0], d[1], d[2], d[3])));
            for (int k = 0; k < 4; ++k) {
                const float want = cubicRead(data[k], kLength, w[k], d[k]);
                ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want))
                    << "lane " << k << " write " << w[k] << " delay " << d[k];
            }
        }
    }
}

TEST(SimdForms, FourLaneCurveLookupMatchesTheScalarLookupIncludingTheEnds) {
    const float table[9] = {0.0f, 0.1f, 0.15f, 0.3f, 0.31f, 0.6f, 0.7f, 0.95f, 1.0f};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float positions[] = {-5.0f, 0.0f, 0.3f, 1.0f, 3.5f, 7.99f, 8.0f, 8.5f, 1e30f, nan};
    // Both four-lane forms: the plain call and the one set up once per table; every lane sees
    // a different position so that a lane mixed up with another shows.
    const simd::Curve4 curve(table, 9);
    struct Form {
        const char* name;
        __m128 (*lookup)(const simd::Curve4&, const float*, __m128);
    };
    const Form forms[] = {
        {"lookupCurve4",
         [](const simd::Curve4&, const float* t, __m128 p) { return simd::lookupCurve4(t, 9, p); }},
        {"Curve4", [](const simd::Curve4& c, const float*, __m128 p) { return c(p); }},
    };
    for (const Form& form : forms) {
        for (float p : positions) {
            const float lanes[4] = {p, p * 0.5f, 7.25f, p + 1.0f};
            alignas(16) float got[4];
            _mm_store_ps(got, form.lookup(curve, table,
                                          _mm_setr_ps(lanes[0], lanes[1], lanes[2], lanes[3])));
            for (int k = 0; k < 4; ++k) {
                const float want = lookupCurve(table, 9, lanes[k]);
                ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want))
                    << form.name << " lane " << k << " position " << lanes[k];
            }
        }
    }
}

// The biquad as the cookbook writes it, one channel, run sample by sample with nothing
// skipped: what a flat band has to match.
struct PlainBiquad {
    double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
    float step(const Biquad& b, float in) {
        const double y = b.b0() * in + b.b1() * x1 + b.b2() * x2 - b.a1() * y1 - b.a2() * y2;
        x2 = x1;
        x1 = in;
        y2 = y1;
        y1 = y;
        return static_cast<float>(y);
    }
};

double relativeRms(const std::vector<float>& want, const std::vector<float>& got) {
    double error = 0, power = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        error += (double(want[i]) - got[i]) * (double(want[i]) - got[i]);
        power += double(want[i]) * want[i];
    }
    return std::sqrt(error / power);
}

TEST(SimdForms, FlatBandsOnlyPassTheSignalWhereTheFilterItselfWould) {
    // A band is run at `before` dB (none: from rest), then flat for a long stretch, then at
    // +6 dB: throughout it must sound as the unskipped filter does, ringing out the earlier
    // design, and it must move on from the history a flat band leaves.
    struct Case {
        int type;
        double hz, q;
        float rate;
        double before; // dB, NaN: flat from rest
        bool settles;  // the flat stretch ends up passing the input bit for bit
    };
    const double none = std::numeric_limits<double>::quiet_NaN();
    const Case cases[] = {
        {Biquad::kPeaking, 1000, 1.0, 44100.0f, none, true},
        {Biquad::kLowShelf, 68.152, 0.23562, 48000.0f, none, true},
        {Biquad::kHighShelf, 12000, 4.0, 48000.0f, none, true},
        {Biquad::kPeaking, 5000, 0.5, 48000.0f, 20.0, true},
        {Biquad::kLowShelf, 200, 0.707, 44100.0f, -20.0, true},
        {Biquad::kPeaking, 20.602, 4.0, 44100.0f, 12.0, false}, // the sharpest EQ band
    };
    constexpr int kBlock = 64;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "type " << c.type << " at " << c.hz << " Hz");
        std::mt19937 rng(5);
        std::normal_distribution<float> noise(0.0f, 0.3f);
        Biquad band;
        PlainBiquad plainL, plainR;
        std::vector<float> want, got;
        bool flatEndPassed = false; // the flat stretch's last block came out as it went in
        const auto run = [&](double gainDb, int blocks, bool keepTail) {
            band.design(c.rate, c.type, c.hz, c.q, gainDb);
            for (int k = 0; k < blocks; ++k) {
                std::vector<float> l(kBlock), r(kBlock);
                for (int i = 0; i < kBlock; ++i) {
                    l[i] = noise(rng);
                    r[i] = noise(rng);
                }
                const std::vector<float> inL = l, inR = r;
                band.process(l.data(), r.data(), kBlock);
                for (int i = 0; i < kBlock; ++i) {
                    want.push_back(plainL.step(band, inL[i]));
                    want.push_back(plainR.step(band, inR[i]));
                    got.push_back(l[i]);
                    got.push_back(r[i]);
                }
                if (keepTail && k == blocks - 1) flatEndPassed = l == inL && r == inR;
            }
        };
        if (!std::isnan(c.before)) run(c.before, 20, false);
        run(0.0, 300, true);
        EXPECT_TRUE(band.passesThrough());
        run(6.0, 40, false);
        EXPECT_FALSE(band.passesThrough());
        EXPECT_LT(relativeRms(want, got), 1e-7);
        if (c.settles) {
            EXPECT_TRUE(flatEndPassed) << "a settled flat band changed the input";
        }
    }
}

// Reading one buffer and writing another must be exactly the in-place form on a copy, for a
// filter that always runs, for a flat band once it settles (its shortcut copies), and for
// blocks too short for the four-sample loop; the input stays untouched.
TEST(SimdForms, ABiquadWritingApartFiltersAsInPlace) {
    const struct {
        int type;
        double gainDb;
    } designs[] = {{Biquad::kLowPass, 0.0}, {Biquad::kHighPass, 0.0}, {Biquad::kPeaking, 0.0},
                   {Biquad::kLowShelf, 6.0}};
    const int blocks[] = {1, 3, 4, 7, 64, 2, 1, 130};
    for (const auto& d : designs) {
        SCOPED_TRACE(d.type);
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
        Biquad apart, inPlace;
        apart.design(48000.0f, d.type, 700.0, 0.9, d.gainDb);
        inPlace.design(48000.0f, d.type, 700.0, 0.9, d.gainDb);
        for (int round = 0; round < 60; ++round) {
            const int n = blocks[round % 8];
            std::vector<float> inL(n), inR(n);
            for (int i = 0; i < n; ++i) {
                inL[i] = noise(rng);
                inR[i] = noise(rng);
            }
            const std::vector<float> keptL = inL, keptR = inR;
            std::vector<float> outL(n, 9.0f), outR(n, 9.0f), l = inL, r = inR;
            apart.process(inL.data(), inR.data(), outL.data(), outR.data(), n);
            inPlace.process(l.data(), r.data(), n);
            ASSERT_EQ(outL, l) << "round " << round;
            ASSERT_EQ(outR, r) << "round " << round;
            ASSERT_TRUE(inL == keptL && inR == keptR);
        }
    }
}

TEST(SimdForms, OnlyCancellingDesignsPassTheSignal) {
    const struct {
        int type;
        double gainDb;
        bool passes;
    } cases[] = {
        {Biquad::kPeaking, 0.0, true},     {Biquad::kLowShelf, 0.0, true},
        {Biquad::kHighShelf, 0.0, true},   {Biquad::kPeaking, 0.01, false},
        {Biquad::kLowShelf, -0.01, false}, {Biquad::kLowPass, 0.0, false},
        {Biquad::kAllPass, 0.0, false},    {Biquad::kNotch, 0.0, false},
    };
    for (const auto& c : cases) {
        Biquad b;
        b.design(48000.0f, c.type, 440.0, 0.8, c.gainDb);
        EXPECT_EQ(b.passesThrough(), c.passes) << c.type << " at " << c.gainDb << " dB";
    }
}

TEST(SimdForms, AControlHoldsStillOnlyWhenEverySampleHasTheFirstOnesBits) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        int changeAt; // -1: none
        float first, changed;
        int n;
        bool still;
    } cases[] = {
        {-1, 0.25f, 0.25f, 13, true}, {12, 0.25f, 0.2500001f, 13, false},
        {0, 0.25f, 0.3f, 13, false},  {5, 0.25f, 0.3f, 8, false},
        {3, 0.0f, -0.0f, 4, false},   {-1, nan, nan, 9, true},
        {-1, 1.0f, 1.0f, 1, true},
    };
    for (const auto& c : cases) {
        std::vector<float> x(static_cast<std::size_t>(c.n), c.first);
        if (c.changeAt >= 0) x[static_cast<std::size_t>(c.changeAt)] = c.changed;
        EXPECT_EQ(holdsStill(x.data(), c.n), c.still) << "change at " << c.changeAt;
    }
}

} // namespace
} // namespace kolva::fx
