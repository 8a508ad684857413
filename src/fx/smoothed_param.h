#pragma once
// The per-parameter smoother every module uses for continuous controls: a one-pole glide
// towards the last value set (24 Hz, 240 Hz after a jump of 0.5 or more), rendered once per
// block into a per-sample buffer carved from the engine's arena under the name "prm".
//
// Threads: set() from any thread that sets parameters (single float stores); allocate() at
// prepare time; process() on the audio thread.

#include <cstdint>

namespace kolva {

class SharedVoiceContext;

class SmoothedParam {
public:
    static constexpr float kSlowHz = 24.0f;
    static constexpr float kFastHz = 240.0f;

    SmoothedParam();

    // A new target; a jump of 0.5 or more switches to the fast frequency.
    void set(float value);
    // Carves the buffer for `frames` samples, filled with the current value (state 1).
    void allocate(SharedVoiceContext& context, int frames);
    // Runs the smoother over `frames` samples at `sampleRate` and returns the buffer.
    const float* process(int frames, float sampleRate);

    float target() const { return target_; }
    float current() const { return current_; }
    float frequency() const { return frequency_; }
    std::uint32_t state() const { return state_; }
    const float* buffer() const { return buffer_; }

private:
    float sampleRate_ = 44100.0f;
    float frequency_ = kSlowHz;
    std::uint32_t state_ = 1; // 0 settled, 1 moving, 2 buffer must be refilled
    float target_ = 0.0f;
    float current_ = 0.0f;
    float coef_;
    float* buffer_ = nullptr;
    std::uint32_t blockLength_ = 0;
    std::uint32_t capacity_ = 0; // floats carved for buffer_
};

} // namespace kolva
