#pragma once
// External controllers (module 23, "extcontrol"): seven smoothers that turn MIDI performance
// controllers into per-sample signals without zipper noise. Channels: 0 mod wheel, 1 breath,
// 2 foot, 3 expression, 4 sustain, 5 pitch bend (-1..1), 6 channel pressure (curve applied by
// the caller, see pressureCurve).
//
// Threads: audio thread only (input() is called from the MIDI path and parameter changes that
// the engine applies on the audio thread).

#include "engine/module.h"

#include <array>
#include <cstdint>

namespace kolva {

class ModuleExtControl : public Module {
public:
    static constexpr int kChannels = 7;
    enum Channel { kModWheel, kBreath, kFoot, kExpression, kSustain, kPitchBend, kPressure };

    ModuleExtControl();
    ~ModuleExtControl() override;

    // A new controller value arriving at `offset` in the coming block (clamped into it). Before
    // the buffers exist, the value waits and is taken at the start of the first block.
    void input(int channel, int offset, float value);
    void setBlockSize(int frames) override;
    void reset() override;
    // Mod output = channel: 17 pointers, all to the channel's one output buffer.
    float* const* getModOutput(int index) override;
    void renderBlock(int frames) override;

    // The last value given to a channel (tests and the editor's display).
    float lastInput(int channel) const;
    float current(int channel) const;
    bool idle(int channel) const;

private:
    // One controller channel. The lane holds the values that arrived for the coming block at
    // their sample offsets (kNoValue elsewhere); the output buffer is shared by all 17 voices.
    struct ControllerState {
        float* lane = nullptr;
        float* output = nullptr;
        std::array<float*, kNumVoices> voices{};
        float current = 0.0f;
        float target = 0.0f;
        float coefficient = 1.0f;
        float pending = 0.0f;        // a value that arrived while there was no lane
        float lastInput = 0.0f;
        float laneLatest = 0.0f;     // the latest value written into the lane
        std::int32_t sinceValue = 0; // samples since the previous value
        std::int32_t highest = -1;   // highest lane offset holding a value, -1 none
        std::int32_t state = 0;      // 0 idle, 1 or 2 running
        bool hasPending = false;
        bool firstValue = true;
    };

    static constexpr float kNoValue = -2.0f;
    // Per-sample coefficient against the step size (read at |step| x 7).
    static const float kStepCoefficients[8];

    void renderChannel(int channel, int frames);
    void takeValue(int channel, float value);

    std::array<ControllerState, kChannels> channels_{};
    int laneLength_ = 0;
    int lastFrames_ = 0;
};

// Channel-pressure response: 120-point curve over c = 0..1 (soft at the start).
float pressureCurve(float c);

} // namespace kolva
