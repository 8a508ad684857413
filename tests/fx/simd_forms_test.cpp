// The four-lane forms the effect kernels use must compute bit for bit what their scalar
// forms compute: the effects' sound tests are statistical or tolerant (a tap within 1.5
// samples), so a wrong interpolation weight in a lane would slip past them.

#include "engine/lookup_curve.h"
#include "fx/delay_line.h"
#include "fx/fx_simd.h"

#include <gtest/gtest.h>

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
    for (float p : positions) {
        const float lanes[4] = {p, p * 0.5f, 7.25f, p + 1.0f};
        alignas(16) float got[4];
        _mm_store_ps(got, simd::lookupCurve4(table, 9, _mm_setr_ps(lanes[0], lanes[1], lanes[2], lanes[3])));
        for (int k = 0; k < 4; ++k) {
            const float want = lookupCurve(table, 9, lanes[k]);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got[k]), std::bit_cast<std::uint32_t>(want))
                << "position " << lanes[k];
        }
    }
}

} // namespace
} // namespace kolva::fx
