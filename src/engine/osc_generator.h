#pragma once
// The interface between an oscillator voice and its seven types. A voice owns one generator of
// every type (all alive at once, so switching type and back resumes that type's state) and, per
// block, runs only the generator of the current type through one virtual call, render(), with
// an OscBlock that carries everything a type needs. Generators keep their per-copy phase
// states themselves (OscCopies in osc_phase_state.h) and write the voice's left/right output.
//
// Adding a type: derive from OscGenerator, implement render() (and setBlockSize() when the
// type needs buffers of its own, e.g. an oversampled scratch), and return it from its factory
// function below. The factory functions of FM/AMSync/HardFM live in osc_types_fm.cpp, Vowel's
// in osc_types_vowel.cpp.
//
// Threads: setBlockSize at prepare time (main thread, no block rendering); render on the audio
// thread, which must not allocate, lock or wait.

#include "engine/osc_unison.h"

#include <array>
#include <cstdint>
#include <memory>

namespace kolva {

class SharedVoiceContext;

namespace osc {
class OscTables;
class IncrementTable;
} // namespace osc

// Option order of the type parameter.
enum class OscType : std::int32_t { Classic, Noise, FM, AMSync, SawPwm, HardFM, Vowel };
inline constexpr int kOscTypes = 7;

// Phase behaviour at a note start.
enum class PhaseMode : std::int32_t {
    None = -1,  // no reset: the phase runs on
    Random = 0, // a new phase from the random bag
    Analog = 1, // near the previous start phase when notes follow within 1.5 s
    Fixed = 2,  // the copy's start phase
};

// One block of one voice, as every type sees it. Buffers hold `frames` values (and 4 spare);
// pitches are normalised (1 = 127 semitones) like the engine's pitch signals.
struct OscBlock {
    int frames = 0;
    int copies = 1; // unison copies 1..9

    const float* pitch = nullptr;   // P: modulated base pitch per sample
    const float* retrig = nullptr;  // 1.0 at the sample where a note starts, else 0
    const float* ctrlA = nullptr;   // 0..1 per sample
    const float* ctrlB = nullptr;   // 0..1 per sample
    const float* ctrlBOffset = nullptr; // CtrlB as a table offset: 2 x int(CtrlB x 4096) floats
    const float* wtMix = nullptr;   // 0..1 per sample
    bool ctrlAModulated = false;    // the matrix modulates CtrlA for this voice
    bool wtMixModulated = false;
    bool ctrlAZero = false;         // CtrlA is exactly 0 over the block and not modulated
    bool wtMixZero = false;         // WTMix is exactly 0 over the block and not modulated
    bool wtMixOne = false;          // WTMix is exactly 1 over the block and not modulated
    float ctrlATarget = 0.0f;       // the control's own value (before smoothing and modulation)

    // Per copy: pitch offset (semitones: tune + detune spread + chord), output gains (with the
    // polarity switch applied) and the start phase of the fixed phase mode (table points).
    std::array<float, osc::kMaxCopies> offset{};
    std::array<float, osc::kMaxCopies> gainLeft{};
    std::array<float, osc::kMaxCopies> gainRight{};
    std::array<float, osc::kMaxCopies> startPhase{};

    PhaseMode phaseMode = PhaseMode::Random;
    float phaseValue = 0.0f;  // modulated phase control 0..1 (the value, not the raw control)
    int wave = 0;             // current wave of the bank 0..48
    float width = 0.0f;       // modulated stereo width W 0..1
    bool keyTrack = true;
    bool voiceSilent = true;  // the voice was silent before this block's note start
    bool fadeEnabled = true;  // anti-click: retriggers cross-fade from the old state
    float secondsSincePreviousNote = 1.0e9f;
    float sampleRate = 44100.0f;
    float fadeStep = 220.5f / 44100.0f; // cross-fade step per sample (200 samples at 44.1 kHz)

    const osc::OscTables* tables = nullptr;
    const osc::IncrementTable* increments = nullptr;

    float* left = nullptr;  // the voice's output, written by the generator
    float* right = nullptr;
};

class OscGenerator {
public:
    OscGenerator() = default;
    virtual ~OscGenerator() = default;
    OscGenerator(const OscGenerator&) = delete;
    OscGenerator& operator=(const OscGenerator&) = delete;

    // Carves the type's own buffers for blocks of up to `frames` (prepare time). False when the
    // arena is exhausted (the type then renders silence).
    virtual bool setBlockSize(SharedVoiceContext& /*context*/, int /*frames*/) { return true; }
    // Renders one block: writes b.frames samples into b.left and b.right.
    virtual void render(const OscBlock& b) = 0;
};

// One generator of the given type (setup time).
std::unique_ptr<OscGenerator> makeGenerator(OscType type);

// Factories of the individual types.
std::unique_ptr<OscGenerator> makeClassicGenerator();
std::unique_ptr<OscGenerator> makeNoiseGenerator();
std::unique_ptr<OscGenerator> makeSawPwmGenerator();
std::unique_ptr<OscGenerator> makeFmGenerator();
std::unique_ptr<OscGenerator> makeAmSyncGenerator();
std::unique_ptr<OscGenerator> makeHardFmGenerator();
std::unique_ptr<OscGenerator> makeVowelGenerator();

} // namespace kolva
