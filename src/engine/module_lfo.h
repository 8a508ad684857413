#pragma once
// Low-frequency oscillators (modules 1..4, "lfo1".."lfo4"). Each voice renders one control
// signal per block into its "lfo" buffer; with the mono switch a single LFO (voice 16) serves
// every voice. Modulation output 0 is the matrix source LFO1..LFO4.
//
// Threads: setParameter from the parameter thread (single value stores); setup and
// setBlockSize at prepare time; renderBlock on the audio thread.

#include "engine/lfo_tables.h"
#include "engine/module.h"
#include "engine/shuffled_bag.h"
#include "engine/xor_add_random.h"
#include "fx/smoothed_param.h"

#include <array>
#include <atomic>

namespace kolva {

class ModuleMidi;

namespace osc {
class OscTables;
}

// Shapes 0..4; forms from kFirstWaveForm on are waves of the oscillator bank (wave = form - 3).
enum class LfoShape { Sin, Tri, Sqr, SampleHold, SampleGlide, Wave };

// The module's values for one block, the same for every voice.
struct LfoBlock {
    int frames = 0;
    double sampleRate = 44100.0;
    bool sync = false;
    int division = 0;
    double tempo = 120.0;
    float rate = 0.0f; // free-rate control (base of the rate destinations)
    bool drift = false;
    LfoShape shape = LfoShape::Sin;
    const float* wavePrevious = nullptr;
    const float* waveCurrent = nullptr;
    const float* waveNext = nullptr;
    const float* symmetry = nullptr; // smoothed controls
    const float* morph = nullptr;
    float startPhase = 0.0f; // 0 = free-running
    float amplitude = 0.0f;
    float fadeStep = 0.0f; // fade counter step per sample; 0 = no fade-in
    double now = 0.0;      // clock seconds for the 1 s rule
    ShuffledBag<lfo_tables::kPhaseBagSize>* phaseBag = nullptr;
    int paramRate = -1, paramAllRate = -1, paramSymmetry = -1, paramMorph = -1, paramPhase = -1,
        paramAmplitude = -1;
};

class VoiceLfo : public Voice {
public:
    static constexpr float kRandomScale = 1.0f / 4294967296.0f; // 2^-32: -0.5..0.5

    // Carves the "lfo" buffer (prepare time). False when the arena ran out.
    bool setBlockSize(SharedVoiceContext& context, int frames);
    // Renders one block. gate: the voice's note-start lane (1 where a note starts) or null;
    // silentBefore: the voice was silent when the block began.
    void render(const LfoBlock& m, const float* gate, bool silentBefore);

    float* output() const { return output_; }
    double phase() const { return phase_; }

private:
    int voice() const;
    float scalar(int param, int frames, float base) const;
    const float* buffer(int param, int frames, const float* base) const;
    double rateHz(const LfoBlock& m, int frames) const;
    void noteStart(const LfoBlock& m, float startPhase, bool silentBefore);

    double phase_ = 0.0; // 0 <= phase < 1
    float drift_ = 0.0f;
    float fade_ = 0.0f;
    double lastNote_ = -1.0e9; // seconds; far past, so the first free-running note draws
    bool wrapped_ = false;
    XorAddRandom random_{kRandomScale};
    float lastRandom_ = 0.0f;
    float held_ = 0.0f;
    float slope_ = 0.0f;
    float* output_ = nullptr;
    int capacity_ = 0;
};

class ModuleLfo : public ModulePoly {
public:
    enum Slot { kRate, kTime, kSym, kSync, kMono, kMorph, kPhase, kForm, kAmp, kFadeIn, kDrift };
    static constexpr int kForms = 52;
    static constexpr int kFirstWaveForm = 5;

    ModuleLfo();
    ~ModuleLfo() override;

    // Where the per-voice note starts come from (engine construction).
    void setNoteSource(ModuleMidi* midi) { midi_ = midi; }

    void setup() override;
    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    float* const* getModOutput(int index) override;
    void renderBlock(int frames) override;

    // Decoded values (inspection and tests).
    float startPhase() const { return startPhase_.load(std::memory_order_relaxed); }
    int form() const { return form_.load(std::memory_order_relaxed); }
    int division() const { return division_.load(std::memory_order_relaxed); }
    bool mono() const { return mono_.load(std::memory_order_relaxed) != 0; }
    VoiceLfo* lfoVoice(int v) const;

protected:
    std::unique_ptr<Voice> makeVoice() override { return std::make_unique<VoiceLfo>(); }
    std::string voiceLabel() const override { return "voice lfo"; }

    ModuleMidi* midi_ = nullptr;

private:
    void prepareBlock(int frames);

    SmoothedParam symmetry_;
    SmoothedParam morph_;
    ShuffledBag<lfo_tables::kPhaseBagSize> phaseBag_;
    const osc::OscTables* tables_ = nullptr;
    LfoBlock block_;
    int index_ = 0; // 0..3: the matrix source LFO1..LFO4
    int capacity_ = 0;
    std::array<float*, kNumVoices> buffers_{}; // each voice's own buffer
    std::array<float*, kNumVoices> outputs_{}; // as published (all voice 16 in mono)

    std::atomic<int> division_{0};
    std::atomic<int> sync_{0};
    std::atomic<int> mono_{0};
    std::atomic<int> form_{0};
    std::atomic<int> drift_{0};
    std::atomic<float> startPhase_{0.0f};
};

} // namespace kolva
