#pragma once
// External controllers (module 23, "extcontrol"): seven smoothed channels fed by MIDI
// controllers and the wheel parameters. Channels: 0 mod wheel, 1 breath, 2 foot,
// 3 expression, 4 sustain, 5 pitch bend, 6 channel pressure.

#include "engine/module.h"

namespace kolva {

class ModuleExtControl : public Module {
public:
    static constexpr int kChannels = 7;
    enum Channel { kModWheel, kBreath, kFoot, kExpression, kSustain, kPitchBend, kPressure };

    // A new controller value arriving at `offset` in the current block.
    void input(int channel, int offset, float value) {
        if (channel >= 0 && channel < kChannels) {
            lastInput_[channel] = value;
            lastOffset_[channel] = offset;
        }
    }
    float lastInput(int channel) const { return lastInput_[channel]; }
    int lastOffset(int channel) const { return lastOffset_[channel]; }

private:
    float lastInput_[kChannels] = {};
    int lastOffset_[kChannels] = {};
};

} // namespace kolva
