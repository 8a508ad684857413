#pragma once
// 16-step modulation sequencers (modules 24, 25, "stepper1", "stepper2").

#include "engine/module.h"

namespace kolva {

class ModuleStepper : public ModulePoly {
public:
    // Before each block: whether the arpeggiator runs, and its per-sample step markers.
    void setArpState(bool arpOn, const float* markers) {
        arpOn_ = arpOn;
        arpMarkers_ = markers;
    }
    int currentStep() const { return currentStep_; }

protected:
    std::string voiceLabel() const override { return "voice stepper"; }

    bool arpOn_ = false;
    const float* arpMarkers_ = nullptr;
    int currentStep_ = 0;
};

} // namespace kolva
