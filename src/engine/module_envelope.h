#pragma once
// Six-stage envelopes (modules 5..8, "env1".."env4"): attack, decay, slope, sustain, release,
// idle, with selectable curves and times modulated per voice through the matrix. env1 is the
// amplitude envelope: it runs free (every sounding voice every block) and the engine scales
// each voice by its output.
//
// Threads: setParameter from the parameter thread; everything else on the audio thread.

#include "engine/module.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

// Time curve and stage shapes: 32 points over 0..1, read with linear interpolation.
namespace envelope_curves {
inline constexpr int kPoints = 32;
extern const float kTime[kPoints]; // stage length / 44 s
extern const float kAttackExp[kPoints];
extern const float kAttackPow[kPoints];
extern const float kDecayExp2[kPoints];
extern const float kDecayPow[kPoints];
extern const float kDecayExp1Main[kPoints];
extern const float kDecayExp1Punch[kPoints]; // falling 1 -> 0
extern const float kSlopeExp[kPoints];
extern const float kSlopePow[kPoints];
extern const float kReleaseExp2[kPoints];
extern const float kReleasePow[kPoints];
extern const float kReleaseExp1[kPoints];
} // namespace envelope_curves

// One block's worth of settings for a voice: the modulated controls turned into steps and
// levels, and the curves chosen for the four moving stages.
struct EnvelopeControls {
    double attackStep = 1.0; // per-sample position steps; 1 = the stage is over in one sample
    double decayStep = 1.0;
    double slopeStep = 1.0;
    double releaseStep = 1.0;
    float sustain = 0.0f;    // S, the level at the end of the decay
    float slopeLevel = 0.0f; // L, the level at the end of the slope (held while sustaining)
    const float* attackShape = nullptr; // nullptr = linear
    const float* decayShape = nullptr;  // never nullptr when rendering
    const float* slopeShape = nullptr;  // nullptr = linear
    const float* releaseShape = nullptr;
    bool decayPunch = false; // decay "Exp1": a fast 20 % fall laid over the main curve
    double punchStep = 1.0 / 512.0;
    bool freeRun = false;
    bool fade = false; // anti-click: retriggered attacks last at least ~31 samples
    double now = 0.0;  // seconds, for the release retrigger window
};

// The per-voice envelope kernel: plain inputs, one output buffer.
class VoiceEnvelope : public Voice {
public:
    static constexpr float kGateStart = 1.0f;
    static constexpr float kGateRelease = 2.0f;

    // Zeroes the buffer and returns to idle; the buffer is zeroed again at the next block.
    void reset() override;
    // The voice's "env" buffer (frames + 4 floats) carved by the module.
    void setOutput(float* buffer, int frames);

    // Block steps 1 and 2: the pending clear, and under free-run whether the voice runs at
    // all (`marked`: a note starts on it this block). False = skip the block.
    bool beginBlock(bool freeRun, bool marked);
    // Renders n samples into the output buffer. gate: per-sample events or nullptr.
    void render(int n, const EnvelopeControls& c, const float* gate);

    int stage() const { return stage_; }
    int lastStage() const { return lastStage_; }
    bool active() const { return active_ != 0; }
    float value() const { return value_; }
    float levelAtTrigger() const { return levelAtTrigger_; }
    const float* output() const { return output_; }

private:
    void noteStart(const EnvelopeControls& c);
    void noteRelease();
    void advance(const EnvelopeControls& c);
    float stageValue(const EnvelopeControls& c);

    std::int32_t active_ = 0;
    std::int32_t stage_ = 0;
    std::int32_t lastStage_ = 0;
    // Positions and steps are summed in double: a float sum of a 1e-7 step drifts by several
    // percent over a long stage.
    double pos_ = 0.0;
    float start_ = 0.0f;
    float delta_ = 0.0f;
    // Double for the same reason: an uptime clock in float no longer resolves 0.25 s.
    double lastTriggerTime_ = -1.0e9; // no retrigger yet
    double punchStep_ = 1.0;
    double punchPos_ = 0.0;
    float levelAtTrigger_ = 0.0f;
    float value_ = 0.0f;
    bool clearPending_ = false;
    bool fromZero_ = false;
    double attackStep_ = 1.0;
    float* output_ = nullptr;
    int frames_ = 0;
};

class ModuleEnvelope : public ModulePoly {
public:
    enum Stage { kIdle = 0, kAttack, kDecay, kSlope, kSustain, kRelease };

    ModuleEnvelope();
    ~ModuleEnvelope() override;

    void setup() override;
    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    void reset() override; // every voice back to idle, buffers zeroed
    float* const* getModOutput(int index) override;
    void renderBlock(int frames) override;

    // The amplitude envelope runs every sounding voice every block and publishes the voices'
    // activity to the shared voice state. Set by the engine for env1.
    void setFreeRun(bool on);
    bool freeRun() const;
    // Whether voice `voice` was processed this block (its output is meaningful).
    bool isActive(int voice) const;
    // The voice's per-sample trigger lane for this block (0 nothing, 1 start, 2 release), set
    // by the engine from the MIDI module before render; null = no events.
    void setGate(int voice, const float* lane);
    // A note starts on `voice` this block: under free-run its first block must run.
    void markNoteStart(int voice);
    int stage(int voice) const;
    float value(int voice) const;

    // Per-sample position step of a time control x (clamped to 0..1; NaN reads as 0).
    static double timeStep(float x, float sampleRate);

protected:
    std::string voiceLabel() const override { return "voice envelope"; }
    std::unique_ptr<Voice> makeVoice() override;

private:
    static constexpr int kTimeSlots = 6; // attack, decay, sustain, slope time, slope level, release
    static constexpr int kCurveSlots = 4; // attack, decay, slope, release curves (slots 6..9)

    void renderVoice(int v, int frames, EnvelopeControls& c);
    void fillCurves(EnvelopeControls& c) const;

    std::array<VoiceEnvelope*, kNumVoices> env_{};
    std::array<float*, kNumVoices> outputs_{};
    std::array<const float*, kNumVoices> gates_{};
    std::array<bool, kNumVoices> marked_{};
    std::array<bool, kNumVoices> processed_{};
    std::array<std::atomic<std::int32_t>, kCurveSlots> curves_{};
    int frames_ = 0;
    int index_ = 0; // 0..3 for env1..env4 (its matrix source is 4 + index_)
    bool freeRun_ = false;
};

} // namespace kolva
