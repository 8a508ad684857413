#pragma once
// The engine's pseudo-random generator: two 32-bit words and a scale. Every user holds its
// own instance, so sequences are reproducible per voice and per module.

#include <cstdint>

namespace kolva {

class XorAddRandom {
public:
    static constexpr std::uint32_t kSeedA = 0x67452301u;
    static constexpr std::uint32_t kSeedB = 0xEFCDAB89u;
    static constexpr float kDefaultScale = 1.0f / 2147483648.0f; // 2^-31

    explicit XorAddRandom(float scale = kDefaultScale) : scale_(scale) {}

    // a ^= b; the old b, read as signed, times the scale; b = a + old b.
    float next() {
        const std::uint32_t oldB = b_;
        a_ ^= b_;
        b_ = a_ + oldB;
        return static_cast<float>(static_cast<std::int32_t>(oldB)) * scale_;
    }
    void reseed() {
        a_ = kSeedA;
        b_ = kSeedB;
    }

private:
    std::uint32_t a_ = kSeedA;
    std::uint32_t b_ = kSeedB;
    float scale_;
};

} // namespace kolva
