// The engine's pseudo-random generator and the shuffled bag built on it.
#include "engine/shuffled_bag.h"
#include "engine/xor_add_random.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace kolva {
namespace {

float signedScaled(std::uint32_t word) {
    return static_cast<float>(static_cast<std::int32_t>(word)) / 2147483648.0f;
}

TEST(XorAddRandom, FirstOutputsFollowTheXorAddSteps) {
    // By hand from a = 0x67452301, b = 0xEFCDAB89: output old b, a ^= b, b = a + old b.
    //   1: out EFCDAB89, a = 88888888, b = 78563411
    //   2: out 78563411, a = F0DEBC99, b = 6934F0AA
    //   3: out 6934F0AA, a = 99EA4C33, b = 031F3CDD
    //   4: out 031F3CDD, a = 9AF570EE, b = 9E14ADCB
    //   5: out 9E14ADCB
    const std::uint32_t expected[] = {0xEFCDAB89u, 0x78563411u, 0x6934F0AAu, 0x031F3CDDu,
                                      0x9E14ADCBu};
    XorAddRandom r;
    for (std::uint32_t word : expected)
        EXPECT_FLOAT_EQ(r.next(), signedScaled(word));

    XorAddRandom unscaled(1.0f);
    EXPECT_FLOAT_EQ(unscaled.next(), static_cast<float>(static_cast<std::int32_t>(0xEFCDAB89u)));
}

TEST(XorAddRandom, SameSeedsGiveTheSameSequenceAndReseedRestarts) {
    XorAddRandom a, b;
    std::vector<float> first;
    for (int i = 0; i < 1000; ++i) {
        const float x = a.next();
        EXPECT_EQ(x, b.next());
        EXPECT_GE(x, -1.0f);
        EXPECT_LE(x, 1.0f);
        first.push_back(x);
    }
    a.reseed();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(a.next(), first[i]) << i;
}

TEST(ShuffledBag, DealsEachValueOncePerFillSecondTableFirst) {
    const std::array<float, 4> first = {1, 2, 3, 4};
    const std::array<float, 4> second = {5, 6, 7, 8};
    ShuffledBag<4> bag(first, second, XorAddRandom::kDefaultScale);
    for (int fill = 0; fill < 6; ++fill) {
        std::array<float, 4> dealt{};
        for (int i = 0; i < 4; ++i) {
            dealt[i] = bag.draw();
            EXPECT_EQ(bag.remaining(), 3 - i);
        }
        std::sort(dealt.begin(), dealt.end());
        EXPECT_EQ(dealt, fill % 2 == 0 ? second : first) << "fill " << fill;
    }
}

TEST(ShuffledBag, FirstFillOrderComesFromTheGeneratorAndRepeatsForSameSeeds) {
    // |r| x remaining with r = -0.1265, 0.9401, 0.8219: entries 0, 2, 1 of what is left.
    ShuffledBag<4> a({1, 2, 3, 4}, {5, 6, 7, 8}, XorAddRandom::kDefaultScale);
    ShuffledBag<4> b({1, 2, 3, 4}, {5, 6, 7, 8}, XorAddRandom::kDefaultScale);
    for (float expected : {5.0f, 8.0f, 7.0f, 6.0f})
        EXPECT_EQ(a.draw(), expected);
    for (int i = 0; i < 4; ++i)
        b.draw();
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(a.draw(), b.draw()) << i;
}

} // namespace
} // namespace kolva
