#pragma once
// N values dealt without repetition from two alternating source tables: when the bag is empty
// it is refilled from the next table (the first fill takes the second table), and each draw
// removes a random remaining entry.

#include "engine/xor_add_random.h"

#include <array>
#include <cmath>

namespace kolva {

template <int N> class ShuffledBag {
public:
    ShuffledBag(const std::array<float, N>& first, const std::array<float, N>& second, float scale)
        : sources_{first, second}, random_(scale) {}

    float draw() {
        if (remaining_ == 0) {
            bag_ = sources_[nextSource_];
            nextSource_ ^= 1;
            remaining_ = N;
        }
        const float r = random_.next();
        int i = static_cast<int>(std::fabs(r) * static_cast<float>(remaining_));
        if (i >= remaining_) i = remaining_ - 1; // |r| can be exactly 1
        const float v = bag_[i];
        for (int k = i; k + 1 < remaining_; ++k) bag_[k] = bag_[k + 1];
        --remaining_;
        return v;
    }
    int remaining() const { return remaining_; }

private:
    std::array<std::array<float, N>, 2> sources_;
    std::array<float, N> bag_{};
    XorAddRandom random_;
    int remaining_ = 0;
    int nextSource_ = 1; // the first fill takes the second table
};

} // namespace kolva
