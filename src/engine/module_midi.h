#pragma once
// Voice allocation and the per-voice pitch/velocity/key signals (module 0, "midi").
// The key stack drives the monophonic voice 16 in every mode; the poly handler assigns notes
// to voices 0..count-1 in the polyphonic modes. Starts and releases become events in each
// voice's ring; renderBlock() renders every voice's signal buffers sample by sample and writes
// the per-sample trigger lanes the envelopes read.
//
// Threads: setParameter from the parameter thread (single value stores); everything else on
// the audio thread. Tuning changes (setScale..) come from the main thread under the plug-in's
// render gate.

#include "engine/module.h"
#include "engine/shuffled_bag.h"
#include "engine/tuning_map.h"
#include "engine/xor_add_random.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

class ModuleMidi : public ModulePoly {
public:
    // Per-voice output buffers, in getModOutput order.
    enum Output {
        kOutVelocity,
        kOutVelocityComplement,
        kOutPitch,
        kOutKeyFollow,
        kOutRandomBipolar,
        kOutRandomUnipolar,
        kNumOutputs
    };
    // Per-sample trigger lanes of each voice: 0 nothing, 1 note starts, 2 note released.
    // Lane 0 retriggers the amplitude envelope (env1), lane 1 the other envelopes, lane 2
    // note-synchronised modulators (LFO phase, steppers). A release writes 2 into all three.
    static constexpr int kGateLanes = 3;
    static constexpr float kGateStart = 1.0f;
    static constexpr float kGateRelease = 2.0f;

    ModuleMidi();
    ~ModuleMidi() override;

    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    float* const* getModOutput(int index) override;

    // Note entries (offset = frame within the current block): the key stack always, the poly
    // handler too when the mode in effect is polyphonic.
    void noteOn(int offset, int note, int velocity);
    void noteOff(int offset, int note);
    void polyNoteOff(int offset, int note);
    void monoNoteOff(int offset, int note);
    // Before a block's MIDI events: rewind every voice's event ring.
    void beginBlockEvents();
    // Silences every voice's signal buffers (all-notes-off).
    void resetVoiceBuffers();
    // Forgets the key stack and the poly handler's note assignments.
    void clearKeyTables();
    // Pitch-bend position -1..1, scaled by the bend ranges into the pitch offset.
    void setBend(float bend);
    float bend() const;

    // Renders every voice's buffers for the block.
    void renderBlock(int frames) override;

    // Trigger lane `lane` of voice `voice` for the current block.
    const float* gateLane(int voice, int lane) const;
    // Whether a note started on `voice` during the current block.
    bool noteStartedInBlock(int voice) const;

    int mode() const;
    int polyCount() const;
    // The voice's current note, -1 when released or free (poly handler).
    int voiceNote(int voice) const;

    // Microtuning (main thread, under the render gate).
    TuningMap& tuning() { return tuning_; }

protected:
    std::string voiceLabel() const override { return "voice midi"; }

private:
    static constexpr int kRingSize = 256;
    static constexpr int kRingClearedPerBlock = 128;
    static constexpr int kKeyStackCapacity = 127;
    static constexpr int kTableSize = 32;
    static constexpr int kHalfSineSize = 1024;

    // One start or release in a voice's ring.
    struct Event {
        std::int32_t offset = -1; // frames after the voice's previous event; -1 = empty
        std::int32_t note = 0;
        std::int32_t velocity = 0;
        bool release = false;
        float drift = 0.0f;
        float glideCoefficient = 0.0f;
        std::int32_t glideSwitch = 0;
        float glideFrom = 0.0f; // poly voices: the previous note's pitch
        std::array<std::uint8_t, kGateLanes> retrigger{};
    };

    struct VoiceState {
        std::array<Event, kRingSize> ring{};
        int writePos = 0;
        int eventCount = 0;    // events written this block (more than the ring holds wrap)
        int offsetBase = 0;    // block offset of the previous event
        int droppedOffset = 0; // summed offsets of events the full ring gave up
        bool startPending = false;
        bool startedInBlock = false;
        int note = -1;        // assigned note, -1 released or free
        int headingNote = 60; // note of the last start taken
        std::int64_t startSample = 0;
        float target = 60.0f / 127.0f;
        float glidePitch = 60.0f / 127.0f;
        float glideStart = 60.0f / 127.0f;
        float progress = -1.0f; // < 0: no glide running
        float glideCoefficient = 0.0f;
        std::int32_t glideSwitch = 0;
        float velocity = 0.0f;
        float velocityTarget = 0.0f;
        float randomBipolar = 0.0f;
        float randomUnipolar = 0.0f;
        XorAddRandom random{XorAddRandom::kDefaultScale};
        std::array<float*, kGateLanes> gate{};
        bool gateDirty = true; // a lane was written since it was last cleared
        // A voice whose signals did not change keeps last block's buffers: they hold these
        // inputs' outputs up to `steadyFrames` (0 = must render).
        int steadyFrames = 0;
        float steadyOffset = 0.0f;
        unsigned steadyTuning = 0;
    };

    struct KeyEntry {
        std::int32_t note = 60;
        std::int32_t velocity = 0;
    };

    // Constant tables (module_midi_tables.cpp).
    static const float kGlideTimes[kTableSize];
    static const float kGlideCurve[kTableSize];
    static const float kVelocityCurve[kTableSize];
    static const std::array<float, 4> kDriftFirst;
    static const std::array<float, 4> kDriftSecond;
    static const std::array<float, kHalfSineSize>& halfSine();

    void keyStackNoteOn(int offset, int note, int velocity);
    void keyStackRestart(int offset);
    void startMonoVoice(int offset, int note, int velocity, float coefficient,
                        std::array<std::uint8_t, kGateLanes> flags);
    void polyNoteOn(int offset, int note, int velocity);
    int pickPolyVoice(std::int64_t now) const;
    void pushStart(int voice, int offset, int note, int velocity, float drift, float coefficient,
                   std::array<std::uint8_t, kGateLanes> flags, float glideFrom);
    void pushRelease(int voice, int offset);
    Event* nextEventSlot(int voice, int offset);
    void rewindRings();
    void updateGlideCoefficient(int frames);
    void renderVoice(int voice, int frames, float offsetPitch, float velocityCoefficient);
    void takeEvent(int voice, const Event& e, int sample);
    float pitchOffset() const;

    TuningMap tuning_;
    std::array<VoiceState, kNumVoices> voices_{};
    std::array<std::array<float*, kNumVoices>, kNumOutputs> outputs_{};
    int frames_ = 0;
    bool ready_ = false;

    // Slot values, stored from whatever thread sets parameters.
    std::atomic<int> mode_{kModePoly1};
    std::atomic<int> polyCount_{1};
    std::atomic<int> glideSwitch_{0};
    std::atomic<int> drift_{0};
    std::atomic<float> bendUp_{0.0f};
    std::atomic<float> bendDown_{0.0f};
    std::atomic<int> pitchShift_{0};
    std::atomic<float> pitchFine_{0.0f};
    std::atomic<float> bend_{0.0f};

    float glideCoefficient_ = 0.0f;
    float lastGlide_ = 0.0f;
    float glideRate_ = 0.0f; // sample rate the coefficient was computed for

    // Key stack (voice 16).
    std::array<KeyEntry, kKeyStackCapacity> keys_{};
    int keyCount_ = 0;
    int firstNoteOffset_ = -1;

    // Poly handler.
    float lastNotePitch_ = 60.0f / 127.0f;
    int freeStarts_ = 0;

    ShuffledBag<4> polyDrift_;
    ShuffledBag<4> monoDrift_;
    std::int64_t sampleClock_ = 0; // frames rendered so far: the age of a voice's note
};

} // namespace kolva
