#pragma once
// An oscillator module (modules 9..12, "osc1".."osc4"): decodes its 17 slots, smooths CtrlA,
// CtrlB and WTMix, and once per block runs each sounding voice's VoiceOscillator, which renders
// the current type with its unison copies into the voice's stereo pair. Audio outputs 0/1 are
// those pairs per voice; modulation output 0 is the left one (the matrix sources Osc1..Osc4).
//
// Threads: setParameter from the parameter thread (single value stores); setup, setSampleRate
// and setBlockSize at prepare time; renderBlock on the audio thread.

#include "engine/module.h"
#include "engine/osc_generator.h"
#include "engine/osc_voice.h"
#include "fx/smoothed_param.h"

#include <array>
#include <memory>

namespace kolva {

class ModuleMidi;

namespace osc {
class IncrementTable;
}

class ModuleOscillator : public ModulePoly {
public:
    ModuleOscillator();
    ~ModuleOscillator() override;

    void setup() override;
    void setParameter(int slot, float value) override;
    void setSampleRate(float rate) override;
    void setBlockSize(int frames) override;
    float* const* getAudioOutput(int index) override;
    float* const* getModOutput(int index) override;
    void renderBlock(int frames) override;

    // Where the per-voice pitch signals and note starts come from (engine construction).
    void setNoteSource(ModuleMidi* midi) { midi_ = midi; }

    // Decoded module values (inspection and tests).
    OscType type() const;
    float pitchOffset() const;
    PhaseMode phaseMode() const;
    float phaseValue() const;
    VoiceOscillator* oscillatorVoice(int v) const;

    // Slot numbers.
    enum Slot {
        kType, kOctave, kNote, kFine, kCtrlA, kCtrlB, kPhase, kWave, kWtMix, kDetune, kDensity,
        kCount, kChord, kWidth, kAnalog, kInvert, kKey, kSlots
    };

protected:
    std::unique_ptr<Voice> makeVoice() override { return std::make_unique<VoiceOscillator>(); }
    std::string voiceLabel() const override { return "voice oscillator"; }

private:
    // The block's module values, the same for every voice.
    void prepareBlock(int frames);
    float unit(int slot) const;

    ModuleMidi* midi_ = nullptr;
    SmoothedParam ctrlA_;
    SmoothedParam ctrlB_;
    SmoothedParam wtMix_;
    std::shared_ptr<const osc::IncrementTable> increments_;
    OscModuleBlock block_;
    int allPitchParam_ = -1;
    int capacity_ = 0;
    std::array<float*, kNumVoices> left_{};
    std::array<float*, kNumVoices> right_{};
};

} // namespace kolva
