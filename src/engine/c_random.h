#pragma once
// The C runtime's classic rand() sequence (0..32767), kept per engine instance so the audio
// thread never touches the process-wide (and locked) C library generator.

#include <cstdint>

namespace kolva {

class CRandom {
public:
    explicit CRandom(std::uint32_t seed = 1) : state_(seed) {}
    int next() {
        state_ = state_ * 214013u + 2531011u;
        return static_cast<int>((state_ >> 16) & 0x7FFF);
    }

private:
    std::uint32_t state_;
};

} // namespace kolva
