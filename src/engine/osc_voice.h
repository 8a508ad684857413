#pragma once
// One voice of an oscillator module: asks the matrix for this voice's modulated controls,
// lays out the unison copies (gains, pitch offsets, start phases), builds the base pitch and
// retrigger lanes, picks the wave and the effective phase mode, and runs the generator of the
// current type into the voice's "osc L"/"osc R" buffers. It owns one generator of each type.
//
// Threads: setBlockSize at prepare time; render on the audio thread.

#include "engine/module.h"
#include "engine/osc_generator.h"

#include <array>
#include <memory>

namespace kolva {

// The module's values for one block, the same for every voice.
struct OscModuleBlock {
    int frames = 0;
    OscType type = OscType::Classic;
    float pitchOffset = 0.0f; // semitones: octave, semitone and fine tune
    PhaseMode phaseMode = PhaseMode::Random;
    float phaseValue = 0.0f;
    int wave = 0;
    float width = 0.0f;
    float detune = 0.0f;
    float density = 0.0f;
    int copies = 1;
    int chord = 0;
    bool invert = false;
    bool keyTrack = true;

    const float* ctrlA = nullptr; // smoothed controls (the matrix's base values)
    const float* ctrlB = nullptr;
    const float* wtMix = nullptr;
    bool ctrlAConstZero = false; // the smoothed control is exactly 0 over the block
    bool wtMixConstZero = false;
    bool wtMixConstOne = false;
    float ctrlATarget = 0.0f;

    // Global parameter numbers the matrix knows these controls by (-1 unbound).
    int paramCtrlA = -1, paramCtrlB = -1, paramWtMix = -1, paramWidth = -1, paramDetune = -1,
        paramDensity = -1, paramPhase = -1, paramWave = -1, paramPitch = -1, paramAllPitch = -1;

    bool monoMode = false;    // the polyphony mode in effect is monophonic
    bool singleVoice = false; // the poly voice count is 1
    bool fadeEnabled = true;
    float secondsSincePreviousNote = 1.0e9f;
    float sampleRate = 44100.0f;
    float fadeStep = 220.5f / 44100.0f;
    const osc::OscTables* tables = nullptr;
    const osc::IncrementTable* increments = nullptr;
};

class VoiceOscillator : public Voice {
public:
    VoiceOscillator();
    ~VoiceOscillator() override;

    // An oscillator voice keeps running between notes; only a retrigger resets a phase.
    void reset() override {}

    // Carves the voice's buffers and every generator's (prepare time). False when the arena
    // ran out; the voice then renders nothing.
    bool setBlockSize(SharedVoiceContext& context, int frames);

    // Renders one block. pitch: the voice's pitch signal (normalised), gate: its trigger lane
    // (1 where a note starts); either may be null. silentBefore: the voice's amplitude
    // envelope was idle before this block.
    void render(const OscModuleBlock& m, const float* pitch, const float* gate, bool silentBefore);

    float* left() const { return left_; }
    float* right() const { return right_; }
    // The last block's copy layout and controls (inspection).
    const OscBlock& lastBlock() const { return block_; }
    // The voice's current wave and whether the last block changed it.
    int currentWave() const { return wave_; }
    bool waveChanged() const { return waveChanged_; }

private:
    void layoutCopies(const OscModuleBlock& m, float width, float detune, float density);
    // The voice number for per-voice engine data (0 when out of range).
    int voice() const;
    float scalar(int param, int frames, float base) const;
    const float* buffer(int param, int frames, const float* base) const;

    std::array<std::unique_ptr<OscGenerator>, kOscTypes> generators_;
    float* left_ = nullptr;
    float* right_ = nullptr;
    float* pitch_ = nullptr;       // "pitchBuff": base pitch
    float* retrig_ = nullptr;      // "retrigBuff"
    float* ctrlBOffset_ = nullptr; // "ctrlBBuffI"
    int capacity_ = 0;
    int lastFrames_ = -1;

    int wave_ = 0;
    int lastWave_ = -1;
    float lastWaveMod_ = -1.0f;
    bool waveChanged_ = false;
    OscBlock block_;
};

} // namespace kolva
