#pragma once
// Reaching the plug-in object and its engine behind a hosted AEffect, for white-box checks.

#include "core/kolva.h"
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
