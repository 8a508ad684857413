#include "fx/smoothed_param.h"

#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kolva {
namespace {

// Jumps of this size or more glide at the fast frequency so big steps do not lag audibly.
constexpr float kFastJump = 0.5f;
// Closer than this to the target the glide ends on the target itself.
constexpr float kSettle = 0.001f;

float coefficientFor(float frequency, float sampleRate) {
    return static_cast<float>(std::sin(std::numbers::pi * static_cast<double>(frequency) /
                                       static_cast<double>(sampleRate)));
}

} // namespace

SmoothedParam::SmoothedParam() : coef_(coefficientFor(kSlowHz, 44100.0f)) {}

void SmoothedParam::set(float value) {
    target_ = value;
    state_ = 1;
    if (std::fabs(value - current_) >= kFastJump) {
        frequency_ = kFastHz;
        coef_ = coefficientFor(frequency_, sampleRate_);
    }
}

void SmoothedParam::allocate(SharedVoiceContext& context, int frames) {
    const int n = std::max(frames, 0);
    buffer_ = context.allocate(n, "prm");
    capacity_ = buffer_ != nullptr ? static_cast<std::uint32_t>(n) : 0u;
    if (buffer_ != nullptr) std::fill(buffer_, buffer_ + n, current_);
    state_ = 1;
    blockLength_ = static_cast<std::uint32_t>(n);
}

const float* SmoothedParam::process(int frames, float sampleRate) {
    if (buffer_ == nullptr || frames <= 0) return buffer_;
    // Never past what was carved, whatever the caller asks for.
    const std::uint32_t n = std::min(static_cast<std::uint32_t>(frames), capacity_);

    if (n != blockLength_) {
        blockLength_ = n;
        if (state_ == 0) state_ = 2;
    }
    if (state_ == 2) {
        std::fill(buffer_, buffer_ + n, current_);
        state_ = 0;
        return buffer_;
    }
    if (state_ == 0) return buffer_;

    if (sampleRate > 0.0f && sampleRate != sampleRate_) {
        sampleRate_ = sampleRate;
        coef_ = coefficientFor(frequency_, sampleRate_);
    }
    float c = current_;
    const float t = target_;
    const float k = coef_;
    for (std::uint32_t i = 0; i < n; ++i) {
        c += (t - c) * k;
        buffer_[i] = c;
    }
    current_ = c;
    if (std::fabs(t - c) < kSettle) {
        current_ = t;
        state_ = 2;
        frequency_ = kSlowHz;
        coef_ = coefficientFor(frequency_, sampleRate_);
    }
    return buffer_;
}

} // namespace kolva
