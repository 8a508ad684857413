#pragma once
// The one place that lists the engine's modules: number, class label, short name and factory,
// in creation order. Routing, naming and creation all read this table.

#include <memory>
#include <span>

namespace kolva {

class Module;

struct ModuleEntry {
    int number;           // fixed module number (routing records store it)
    const char* label;    // "Class::name"
    const char* name;     // short name given at init
    std::unique_ptr<Module> (*create)();
};

// All 27 modules in creation order (midi, env1-4, lfo1-4, osc1-4, mix, filter, effects,
// perfomance, extcontrol, stepper1-2, arp1).
std::span<const ModuleEntry> moduleRegistry();

} // namespace kolva
