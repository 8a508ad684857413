// The engine's pseudo-random generator and the shuffled bag built on it.
#include "engine/shuffled_bag.h"
#include "engine/xor_add_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

namespace kolva {
namespace {

float signedScaled(std::uint32_t word) {
    return static_cast<float>(static_cast<std::int32_t>(word)) / 2147483648.0f;
}

TEST(XorAddRandom, FollowsTheXorAddStepsFromTheSeedsPerInstanceAndOnReseed) {
    // By hand from a = 0x67452301, b = 0xEFCDAB89: output old b, a ^= b, b = a + old b.
    //   1: out EFCDAB89, a = 88888888, b = 78563411
    //   2: out 78563411, a = F0DEBC99, b = 6934F0AA
    //   3: out 6934F0AA, a = 99EA4C33, b = 031F3CDD
    //   4: out 031F3CDD, a = 9AF570EE, b = 9E14ADCB
    //   5: out 9E14ADCB
    const std::uint32_t expected[] = {0xEFCDAB89u, 0x78563411u, 0x6934F0AAu, 0x031F3CDDu,
                                      0x9E14ADCBu};
    XorAddRandom r;
    for (int pass = 0; pass < 2; ++pass, r.reseed()) {
        XorAddRandom other; // drawn in step: instances share no state
        for (std::uint32_t word : expected) {
            EXPECT_EQ(r.next(), signedScaled(word)) << pass;
            EXPECT_EQ(other.next(), signedScaled(word));
        }
    }
    XorAddRandom unscaled(1.0f);
    EXPECT_EQ(unscaled.next(), static_cast<float>(static_cast<std::int32_t>(0xEFCDAB89u)));
}

TEST(ShuffledBag, DealsEachValueOncePerFillSecondTableFirstThenAlternating) {
    const std::array<float, 4> first = {1, 2, 3, 4};
    const std::array<float, 4> second = {5, 6, 7, 8};
    ShuffledBag<4> bag(first, second, XorAddRandom::kDefaultScale);
    std::array<std::array<float, 4>, 6> fills{};
    for (auto& fill : fills)
        for (float& value : fill)
            value = bag.draw();
    // |r| x remaining with r = -0.1265, 0.9401, 0.8219, 0.0244, -0.7650: entries 0, 2, 1, 0, 3.
    EXPECT_EQ(fills[0], (std::array<float, 4>{5, 8, 7, 6}));
    EXPECT_EQ(fills[1][0], 4.0f);
    for (std::size_t i = 0; i < fills.size(); ++i) {
        std::sort(fills[i].begin(), fills[i].end());
        EXPECT_EQ(fills[i], i % 2 == 0 ? second : first) << "fill " << i;
    }
}

} // namespace
} // namespace kolva
