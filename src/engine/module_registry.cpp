#include "engine/module_registry.h"

#include "engine/module_arp.h"
#include "engine/module_envelope.h"
#include "engine/module_ext_control.h"
#include "engine/module_filter.h"
#include "engine/module_id.h"
#include "engine/module_lfo.h"
#include "engine/module_midi.h"
#include "engine/module_mixer.h"
#include "engine/module_oscillator.h"
#include "engine/module_perfomance.h"
#include "engine/module_stepper.h"
#include "fx/module_fx_chorus.h"
#include "fx/module_fx_compressor.h"
#include "fx/module_fx_delay.h"
#include "fx/module_fx_equalizer.h"
#include "fx/module_fx_phaser.h"
#include "fx/module_fx_rever.h"
#include "fx/module_fx_shaper.h"

#include <array>

namespace kolva {
namespace {

template <typename T> std::unique_ptr<Module> make() { return std::make_unique<T>(); }

const std::array<ModuleEntry, kNumModules> kModules{{
    {kModMidi, "ModuleMidi::midi", "midi", &make<ModuleMidi>},
    {kModEnv1 + 0, "ModuleEnvelope::env1", "env1", &make<ModuleEnvelope>},
    {kModEnv1 + 1, "ModuleEnvelope::env2", "env2", &make<ModuleEnvelope>},
    {kModEnv1 + 2, "ModuleEnvelope::env3", "env3", &make<ModuleEnvelope>},
    {kModEnv1 + 3, "ModuleEnvelope::env4", "env4", &make<ModuleEnvelope>},
    {kModLfo1 + 0, "ModuleLfo::lfo1", "lfo1", &make<ModuleLfo>},
    {kModLfo1 + 1, "ModuleLfo::lfo2", "lfo2", &make<ModuleLfo>},
    {kModLfo1 + 2, "ModuleLfo::lfo3", "lfo3", &make<ModuleLfo>},
    {kModLfo1 + 3, "ModuleLfo::lfo4", "lfo4", &make<ModuleLfo>},
    {kModOsc1 + 0, "ModuleOscillator::osc1", "osc1", &make<ModuleOscillator>},
    {kModOsc1 + 1, "ModuleOscillator::osc2", "osc2", &make<ModuleOscillator>},
    {kModOsc1 + 2, "ModuleOscillator::osc3", "osc3", &make<ModuleOscillator>},
    {kModOsc1 + 3, "ModuleOscillator::osc4", "osc4", &make<ModuleOscillator>},
    {kModMixer, "ModuleMixer::mix", "mix", &make<ModuleMixer>},
    {kModFilter, "ModuleFilter::filter", "filter", &make<ModuleFilter>},
    {kModFxShaper, "ModuleFxShaper::fx_shaper", "fx_shaper", &make<ModuleFxShaper>},
    {kModFxPhaser, "ModuleFxPhaser::fx_phaser", "fx_phaser", &make<ModuleFxPhaser>},
    {kModFxChorus, "ModuleFxChorus::fx_chorus", "fx_chorus", &make<ModuleFxChorus>},
    {kModFxDelay, "ModuleFxDelay::fx_delay", "fx_delay", &make<ModuleFxDelay>},
    {kModFxRever, "ModuleFxRever::fx_rever", "fx_rever", &make<ModuleFxRever>},
    {kModFxCompressor, "ModuleFxCompressor::fx_compressor", "fx_compressor",
     &make<ModuleFxCompressor>},
    {kModFxEqualizer, "ModuleFxEqualizer::fx_equalizer", "fx_equalizer",
     &make<ModuleFxEqualizer>},
    {kModPerfomance, "ModulePerfomance::perfomance", "perfomance", &make<ModulePerfomance>},
    {kModExtControl, "ModuleExtControl::extcontrol", "extcontrol", &make<ModuleExtControl>},
    {kModStepper1 + 0, "ModuleStepper::stepper1", "stepper1", &make<ModuleStepper>},
    {kModStepper1 + 1, "ModuleStepper::stepper2", "stepper2", &make<ModuleStepper>},
    {kModArp, "ModuleArp::arp1", "arp1", &make<ModuleArp>},
}};

} // namespace

std::span<const ModuleEntry> moduleRegistry() { return kModules; }

} // namespace kolva
