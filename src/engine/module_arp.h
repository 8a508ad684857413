#pragma once
// The arpeggiator (module 26, "arp1"): turns held keys into timed note events that the engine
// plays through the MIDI module, and marks its steps in a per-sample buffer for the steppers.

#include "engine/module.h"

#include <array>

namespace kolva {

struct ArpEvent {
    int offset;
    int note;
    int velocity; // 0 = note-off
};

class ModuleArp : public ModulePoly {
public:
    static constexpr int kMarkerFrames = 4096;
    static constexpr int kMaxEvents = 1024;

    bool isOn() const { return on_; }
    void noteOn(int /*note*/, int /*velocity*/) {}
    void noteOff(int /*note*/) {}

    int eventCount() const { return eventCount_; }
    const ArpEvent& event(int i) const { return events_[i]; }
    void clearEvents() { eventCount_ = 0; }

    const float* markers() const { return markers_.data(); }
    void clearMarkers() { markers_.fill(0.0f); }
    int lastStep() const { return lastStep_; }

protected:
    std::string voiceLabel() const override { return "voice arp"; }

    bool on_ = false;
    int eventCount_ = 0;
    int lastStep_ = 0;
    std::array<ArpEvent, kMaxEvents> events_{};
    std::array<float, kMarkerFrames> markers_{};
};

} // namespace kolva
