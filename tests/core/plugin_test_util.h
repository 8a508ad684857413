#pragma once
// Reaching the plug-in object and its engine behind a hosted AEffect, for white-box checks.

#include "core/kolva.h"
#include "editor/events.h"
#include "engine/aplugin.h"
#include "support/fake_host.h"

#include <vector>

namespace kolva::test {

inline Kolva& kolvaOf(HostedPlugin& p) {
    return *dynamic_cast<Kolva*>(AudioEffect::fromAeffect(p.effect()));
}

inline APlugin& engineOf(HostedPlugin& p) { return *kolvaOf(p).engine(); }

// Everything the engine has sent to the editor so far.
inline std::vector<EngineToEditorRecord> drainEditor(Kolva& k) {
    std::vector<EngineToEditorRecord> out;
    EngineToEditorRecord r{};
    while (k.engineToEditor().try_dequeue(r)) out.push_back(r);
    return out;
}

// Records the program switches the plug-in publishes on its event bus.
struct SwitchRecorder : IEventProcessor {
    struct Seen {
        int mode, program, learned, noHistory, editorOpen;
    };
    explicit SwitchRecorder(IEventBus& bus) : bus_(bus) { bus_.subscribe(eventkind::kSwitchPreset, this); }
    ~SwitchRecorder() override { bus_.unsubscribeAll(this); }
    void process(const IEvent& e) override {
        const auto& s = static_cast<const SwitchPresetEvent&>(e);
        seen.push_back({s.mode(), s.program(), s.learned(), s.noHistory(), s.editorOpen()});
    }
    std::vector<Seen> seen;

private:
    IEventBus& bus_;
};

inline HostedPlugin::Midi noteOn(int note, int velocity, int offset = 0) {
    return {offset, {0x90, static_cast<unsigned char>(note), static_cast<unsigned char>(velocity)}};
}
inline HostedPlugin::Midi noteOff(int note, int offset = 0) {
    return {offset, {0x80, static_cast<unsigned char>(note), 0}};
}
inline HostedPlugin::Midi cc(int controller, int value, int offset = 0) {
    return {offset, {0xB0, static_cast<unsigned char>(controller), static_cast<unsigned char>(value)}};
}

} // namespace kolva::test
