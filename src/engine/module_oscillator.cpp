#include "engine/module_oscillator.h"

#include "engine/engine_value.h"
#include "core/parameter_defs.h"
#include "engine/module_midi.h"
#include "engine/osc_tables.h"
#include "engine/osc_unison.h"
#include "engine/voice_context.h"

#include <algorithm>

namespace kolva {
namespace {

int optionIndex(float v, int last) { return std::min(kolva::optionIndex(v), last); }

bool allEqual(const float* b, int n, float value) {
    bool same = true;
    for (int i = 0; i < n; ++i) same &= b[i] == value;
    return same;
}

// Phase controls below this are "no fixed phase": random or analog start phases.
constexpr float kFixedPhaseFrom = 0.03f;
constexpr float kScaledPhaseFrom = 0.06f;
constexpr float kSmallestFixedPhase = 0.0001f;

} // namespace

ModuleOscillator::ModuleOscillator() = default;
ModuleOscillator::~ModuleOscillator() = default;

void ModuleOscillator::setup() {
    ModulePoly::setup();
    block_.tables = &osc::OscTables::get(); // built here, never on the audio thread
    allPitchParam_ = findParameter("osc_all_pt");
}

void ModuleOscillator::setParameter(int slot, float value) {
    const float v = clampUnit(value);
    Module::setParameter(slot, v);
    switch (slot) {
    case kCtrlA: ctrlA_.set(v); break;
    case kCtrlB: ctrlB_.set(v); break;
    case kWtMix: wtMix_.set(v); break;
    default: break;
    }
}

void ModuleOscillator::setSampleRate(float rate) {
    Module::setSampleRate(rate);
    if (rate > 0.0f) increments_ = osc::incrementTableFor(rate);
}

void ModuleOscillator::setBlockSize(int frames) {
    capacity_ = 0;
    left_.fill(nullptr);
    right_.fill(nullptr);
    if (voiceContext_ == nullptr) return;
    const int n = std::max(frames, 0);
    ctrlA_.allocate(*voiceContext_, n);
    ctrlB_.allocate(*voiceContext_, n);
    wtMix_.allocate(*voiceContext_, n);
    bool ok = ctrlA_.buffer() && ctrlB_.buffer() && wtMix_.buffer();
    for (int v = 0; v < kNumVoices; ++v) {
        auto* voice = oscillatorVoice(v);
        if (voice == nullptr || !voice->setBlockSize(*voiceContext_, n)) {
            ok = false;
            continue;
        }
        left_[v] = voice->left();
        right_[v] = voice->right();
    }
    if (ok) capacity_ = n; // an arena too small leaves the oscillator silent
}

float* const* ModuleOscillator::getAudioOutput(int index) {
    if (capacity_ == 0 || index < 0 || index > 1) return nullptr;
    return index == 0 ? left_.data() : right_.data();
}

float* const* ModuleOscillator::getModOutput(int index) {
    return index == 0 ? getAudioOutput(0) : nullptr;
}

VoiceOscillator* ModuleOscillator::oscillatorVoice(int v) const {
    return (v >= 0 && v < kNumVoices) ? static_cast<VoiceOscillator*>(voices_[v].get()) : nullptr;
}

float ModuleOscillator::unit(int slot) const { return clampUnit(slotValue(slot)); }

OscType ModuleOscillator::type() const {
    return static_cast<OscType>(optionIndex(unit(kType), kOscTypes - 1));
}

float ModuleOscillator::pitchOffset() const {
    const int octave = static_cast<int>(unit(kOctave) * 8.99f) - 4;
    const int semitone = static_cast<int>(unit(kNote) * 22.99f) - 11;
    return osc::fineTune(unit(kFine)) + static_cast<float>(octave * 12 + semitone);
}

PhaseMode ModuleOscillator::phaseMode() const {
    if (unit(kPhase) >= kFixedPhaseFrom) return PhaseMode::Fixed;
    return switchOn(unit(kAnalog)) ? PhaseMode::Analog : PhaseMode::Random;
}

float ModuleOscillator::phaseValue() const {
    const float p = unit(kPhase);
    if (p >= kScaledPhaseFrom) return std::clamp(p * 1.137f - 0.06f, 0.0f, 1.0f);
    return p >= kFixedPhaseFrom ? kSmallestFixedPhase : 0.0f;
}

void ModuleOscillator::prepareBlock(int n) {
    OscModuleBlock& m = block_;
    m.frames = n;
    m.type = type();
    m.pitchOffset = pitchOffset();
    m.phaseMode = phaseMode();
    m.phaseValue = phaseValue();
    m.wave = optionIndex(unit(kWave), osc::kWaves - 1);
    m.width = unit(kWidth);
    m.detune = unit(kDetune);
    m.density = unit(kDensity);
    m.copies = optionIndex(unit(kCount), osc::kMaxCopies - 1) + 1;
    m.chord = optionIndex(unit(kChord), osc::kChordModes - 1);
    m.invert = switchOn(unit(kInvert));
    m.keyTrack = switchOn(unit(kKey));

    m.ctrlA = ctrlA_.process(n, sampleRate_);
    m.ctrlB = ctrlB_.process(n, sampleRate_);
    m.wtMix = wtMix_.process(n, sampleRate_);
    m.ctrlAConstZero = allEqual(m.ctrlA, n, 0.0f);
    m.wtMixConstZero = allEqual(m.wtMix, n, 0.0f);
    m.wtMixConstOne = allEqual(m.wtMix, n, 1.0f);
    m.ctrlATarget = ctrlA_.target();

    m.paramCtrlA = parameterForSlot(kCtrlA);
    m.paramCtrlB = parameterForSlot(kCtrlB);
    m.paramWtMix = parameterForSlot(kWtMix);
    m.paramWidth = parameterForSlot(kWidth);
    m.paramDetune = parameterForSlot(kDetune);
    m.paramDensity = parameterForSlot(kDensity);
    m.paramPhase = parameterForSlot(kPhase);
    m.paramWave = parameterForSlot(kWave);
    m.paramPitch = parameterForSlot(kNote); // the oscillator's pitch destination
    m.paramAllPitch = allPitchParam_;

    const SharedVoiceContext& shared = *voiceContext_;
    m.monoMode = !shared.polyModeInEffect();
    m.singleVoice = shared.polyVoiceCount == 1;
    m.fadeEnabled = shared.antiClick != 0;
    m.secondsSincePreviousNote =
        static_cast<float>(shared.lastNoteOnTime - shared.previousNoteOnTime);
    m.sampleRate = sampleRate_;
    m.fadeStep = 220.5f / sampleRate_; // 200 samples at 44.1 kHz
    m.increments = increments_.get();
}

void ModuleOscillator::renderBlock(int frames) {
    const int n = std::min(frames, capacity_);
    if (n <= 0 || voiceContext_ == nullptr || !increments_) return;
    prepareBlock(n);

    float* const* pitch = midi_ != nullptr ? midi_->getModOutput(ModuleMidi::kOutPitch) : nullptr;
    auto renderVoice = [&](int v) {
        const float* p = pitch != nullptr ? pitch[v] : nullptr;
        // Lane 2 marks every note start that restarts note-synchronised sources.
        const float* gate = midi_ != nullptr ? midi_->gateLane(v, 2) : nullptr;
        oscillatorVoice(v)->render(block_, p, gate, voiceContext_->silentBeforeBlock[v] != 0);
    };
    voiceContext_->forEachSoundingVoice(renderVoice);
}

} // namespace kolva
