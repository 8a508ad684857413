#pragma once
// The arpeggiator (module 26, "arp1"): turns the held keys into a rhythmic stream of notes in
// time with the host tempo. Every key event reaches it; while it is on, the engine plays the
// notes it emits (sample offsets inside the block) instead of the keys. It publishes the
// ArpStep modulation source and marks the sample where its clock restarts (value 7) for the
// step sequencers.
//
// Threads: setParameter from any thread (single value stores, decoded once per block).
// noteOn/noteOff/releaseAll take the arpeggiator's lock; everything else, the block
// processing included, runs on the audio thread without it.

#include "engine/module.h"
#include "engine/step_clock.h"
#include "engine/xor_add_random.h"
#include "platform/mutex.h"

#include <array>
#include <cstdint>

namespace kolva {

// One note event in the arpeggiator's queues.
struct ArpEvent {
    static constexpr int kNoteOn = 1;
    static constexpr int kNoteOff = 2;
    int offset = 0; // frame within the block
    int kind = 0;
    int note = 0;
    int velocity = 0;
};

class ModuleArp : public ModulePoly {
public:
    static constexpr int kMarkerFrames = 4096;
    static constexpr float kRestartMarker = 7.0f;
    static constexpr int kMaxEvents = 1024;
    static constexpr int kMaxHeldKeys = 256;
    static constexpr int kSteps = 16;
    static constexpr int kMaxOctaves = 4;
    // Up/Down2 over four octaves of 256 keys is the longest sequence.
    static constexpr int kMaxSequence = 2 * kMaxOctaves * kMaxHeldKeys;
    // Active notes are unique by note number.
    static constexpr int kMaxActive = 128;
    static constexpr int kHoldOverlap = 5; // samples a held step lasts into the next one
    static constexpr int kWrapOff = 16;

    enum Slot {
        kSlotTranspose = 0, // 0..15
        kSlotHold = 16,     // 16..31
        kSlotVelocity = 32, // 32..47
        kSlotOn = 48,
        kSlotGate,
        kSlotRate,
        kSlotSwing,
        kSlotMode,
        kSlotVelocityMode,
        kSlotOctaves,
        kSlotWrap,
        kNumSlots
    };
    enum Mode { kUp, kDown, kUpDown, kUpDown2, kDownUp, kDownUp2, kRandom, kOrdered, kStep, kChord };
    enum VelocityMode { kVelKey, kVelHold, kVelStep, kVelStepKey, kVelStepHold };

    ModuleArp();

    void setBlockSize(int frames) override;
    float* const* getModOutput(int index) override;
    // Clock back to tempo sync and step 0, ArpStep silent, the on/off history forgotten;
    // sounding notes get their note-offs in the event queue.
    void reset() override;
    // One block: on/off switching, queued key events, clock, notes, ArpStep and markers.
    void renderBlock(int frames) override;

    // Key entries, called for every key event that reaches the engine (audio thread).
    void noteOn(int offset, int note, int velocity);
    void noteOff(int offset, int note);
    // All notes off: forgets every key and ends every note; the note-offs of notes that
    // sounded are left in the event queue for the engine to apply at once.
    void releaseAll();

    // Whether the arpeggiator owned the notes in the latest block: keys pressed or released
    // before the next block follow this, so a voice started directly is always stopped by
    // either its key or the off->on switch.
    bool isOn() const { return wasOn_; }

    // Events of the latest block, in order.
    int eventCount() const { return eventCount_; }
    const ArpEvent& event(int i) const { return events_[static_cast<unsigned>(i) % kMaxEvents]; }
    void clearEvents() { eventCount_ = 0; }

    const float* markers() const { return markers_.data(); }
    void clearMarkers() { markers_.fill(0.0f); }
    int lastStep() const { return lastStep_; }

    // Inspection (tests, diagnostics).
    int heldKeyCount() const { return rawCount_; }
    int keyCount() const { return pressedCount_; }
    int sequenceSize() const { return sequenceCount_; }
    int sequenceNote(int i) const { return sequence_[static_cast<unsigned>(i) % kMaxSequence].note; }
    int activeNoteCount() const { return activeCount_; }
    const StepClock& clock() const { return clock_; }
    // Events refused because a queue was full, and key entries that found the lock taken.
    unsigned long droppedEvents() const { return dropped_; }
    unsigned long contendedEntries() const { return contended_; }

protected:
    std::string voiceLabel() const override { return "voice arp"; }

private:
    struct Key {
        std::int32_t note = 0;
        std::int32_t velocity = 0;
    };
    struct RawKey {
        std::int32_t note = 0;
        std::int32_t velocity = 0;
        std::int32_t offset = 0;
    };
    struct ActiveNote {
        std::int32_t note = 0;
        std::int32_t velocity = 0;
        std::int32_t start = 0;
        std::int64_t remaining = 0;
        std::int32_t state = 0; // 0 new, 1 sounding, 2 ended
        bool emitted = false;   // its note-on went out, so a note-off is owed
        std::uint64_t trigger = 0;
    };
    // The settings of one block, decoded from the slots.
    struct Settings {
        bool on = false;
        float gate = 0.5f;
        int rate = 16;
        float swing = 0.5f;
        int mode = kUp;
        int velocityMode = kVelKey;
        int octaves = 0; // 0..3: one to four
        int wrap = kWrapOff;
        std::array<int, kSteps> transpose{};
        std::array<bool, kSteps> hold{};
        std::array<int, kSteps> velocity{};
        std::array<float, kSteps> velocityValue{};
    };

    void readSettings(int frames);
    void takeOverKeys();
    void endAllNotes();
    void clearPattern();
    void discardInput();
    void applyInput();
    void rebuildSequence();
    void pushEntry(int note, int velocity);
    void buildUp(int skip);
    void buildDown(int skip);
    void restartAt(int sample);
    void chooseNext(int sample);
    void playNote(int note, int velocity, int sample, std::int64_t length);
    void advanceNotes(int sample);
    bool emit(int offset, int kind, int note, int velocity);
    bool canStartNote() const;

    Mutex mutex_;
    // Input side, filled by the key entries.
    std::array<ArpEvent, kMaxEvents> input_{};
    int inputCount_ = 0;
    std::array<RawKey, kMaxHeldKeys> raw_{};
    int rawCount_ = 0;
    // Releases that found the input queue full; applied after it, so no key stays held.
    std::array<bool, 128> lateRelease_{};
    bool anyLateRelease_ = false;

    // Output side.
    std::array<ArpEvent, kMaxEvents> events_{};
    int eventCount_ = 0;
    int owedNoteOffs_ = 0; // emitted note-ons whose note-off is still to come
    std::array<float, kMarkerFrames> markers_{};

    // Pattern state.
    std::array<Key, kMaxHeldKeys> pressed_{};
    int pressedCount_ = 0;
    std::array<Key, kMaxHeldKeys> sorted_{};
    std::array<Key, kMaxSequence> sequence_{};
    int sequenceCount_ = 0;
    std::array<ActiveNote, kMaxActive> active_{};
    int activeCount_ = 0;
    int position_ = 0;
    int stepIndex_ = 0;
    int lastPressedNote_ = -1;
    int lastPressedVelocity_ = 0;
    int lastPlayedNote_ = -1;
    int lastStep_ = 0;
    std::uint64_t triggerCount_ = 0;
    XorAddRandom random_;

    // Timing.
    StepClock clock_;
    int startDelay_ = 0;
    bool restartPending_ = false;
    int stepOutLeft_ = 0; // samples ArpStep still holds its value
    float stepOutValue_ = 0.0f;

    Settings settings_;
    // What the sequence was built from; a change of any of these rebuilds it.
    int builtMode_ = -1, builtOctaves_ = -1, builtWrap_ = -1;
    std::array<int, kSteps> builtTranspose_{};
    bool wasOn_ = false;

    float* stepBuffer_ = nullptr;
    int capacity_ = 0;
    std::array<float*, kNumVoices> outputs_{};

    unsigned long dropped_ = 0;
    unsigned long contended_ = 0;
};

} // namespace kolva
