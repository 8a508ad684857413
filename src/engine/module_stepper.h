#pragma once
// 16-step modulation sequencers (modules 24, 25, "stepper1", "stepper2"). Every step is a small
// shape from a start to an end level, bent through a curve point or held as a square step, and
// played one to four times within the step. One clock track per voice (0..15) plus the mono
// track (16) lets every voice start its own pattern at its note; each track writes one buffer
// per block, and the 17 buffers are the matrix source Stepper1 / Stepper2.
//
// Threads: setParameter from the parameter thread (single value stores; a changed step's
// tables are rebuilt from them at the next block start, so a block never reads a half-written
// table); setup and setBlockSize at prepare time; renderBlock, reset and setArpState on the
// audio thread.

#include "engine/module.h"
#include "engine/step_clock.h"

#include <array>
#include <atomic>
#include <cstdint>

namespace kolva {

class ModuleMidi;

// One step: its levels, switches and the tables the per-sample loop reads.
struct StepShape {
    static constexpr int kPoints = 64;
    static constexpr int kCurvePoints = 41; // the two end points and 39 points of the curve
    static constexpr int kMaxRepeats = 4;

    float start = 0.0f;
    float curveX = 0.5f;
    float curveY = 0.5f;
    float end = 1.0f;
    std::int32_t hold = 0;
    std::int32_t repeats = 1;
    std::array<float, kPoints> repeated{}; // the shape walked `repeats` times
    std::array<float, kPoints> shape{};
    float shapeEnd = 0.0f;
    std::array<float, kCurvePoints> curveXs{};
    std::array<float, kCurvePoints> curveYs{};

    // Rebuilds shape and repeated from the levels and switches (clamped to their ranges first).
    void build();
    // Held and flat steps read the table without interpolation.
    bool stepped() const { return hold != 0 || start == end; }
    // The step's value at phase 0..1.
    float at(double phase) const;
};

class ModuleStepper : public ModulePoly {
public:
    // Slots: 16 each of start, end, curve x, curve y, repeats; then the clock; then 16 holds.
    enum Slot {
        kStart = 0,
        kEnd = 16,
        kCurveX = 32,
        kCurveY = 48,
        kRepeats = 64,
        kRate = 80,
        kTime = 81,
        kSwingTime = 82, // the arpeggiator's division
        kMode = 83,
        kFirst = 84,
        kLast = 85,
        kMono = 86,
        kRetrigger = 87,
        kLoop = 88,
        kSwing = 89, // the arpeggiator's swing
        kHold = 90,
        kSlotCount = 106
    };
    static constexpr int kSteps = StepClock::kSteps;
    static constexpr int kTracks = StepClock::kMaxTracks;
    static constexpr int kMonoTrack = kMonoVoice;
    // The arpeggiator's marker value at a sample where its clock restarts.
    static constexpr float kArpRestartMarker = 7.0f;

    // Where the voices' retrigger lanes come from (engine construction).
    void setNoteSource(ModuleMidi* midi) { midi_ = midi; }
    // Before each block: whether the arpeggiator runs (trigger mode 2), and its per-sample
    // restart markers, which then retrigger the mono track.
    void setArpState(bool arpOn, const float* markers) {
        arpOn_ = arpOn;
        arpMarkers_ = markers;
    }
    // The step the editor shows: that of the first track run in the last block.
    int currentStep() const { return currentStep_.load(std::memory_order_relaxed); }

    void setup() override;
    void setParameter(int slot, float value) override;
    void setBlockSize(int frames) override;
    float* const* getModOutput(int index) override;
    void renderBlock(int frames) override;
    // Every track stopped at step 0; the displayed step back to 0.
    void reset() override;

    // Inspection (tests): the step tables and clock as the last block used them, and the
    // division index that block ran at.
    const StepShape& stepShape(int step) const;
    const StepClock& clock() const { return clock_; }
    int divisionIndex() const { return divisionIndex_; }

protected:
    std::string voiceLabel() const override { return "voice stepper"; }

private:
    // A step's values as last set (any thread).
    struct StepInput {
        std::atomic<float> start{0.0f};
        std::atomic<float> end{1.0f};
        std::atomic<float> curveX{0.5f};
        std::atomic<float> curveY{0.5f};
        std::atomic<std::int32_t> hold{0};
        std::atomic<std::int32_t> repeats{1};
    };

    void rebuildChangedSteps();
    void configureClock(int frames);
    float rateModulation(int frames, float base) const;
    void renderTrack(int track, int frames);
    float trackValue(int track) const;

    ModuleMidi* midi_ = nullptr;
    bool arpOn_ = false;
    const float* arpMarkers_ = nullptr;
    std::atomic<int> currentStep_{0};

    std::array<StepInput, kSteps> inputs_;
    std::atomic<std::uint32_t> changedSteps_{0}; // one bit per step
    std::atomic<float> divisionValue_{0.0f};     // raw; modulation is added before decoding
    std::atomic<int> swingDivision_{0};
    std::atomic<int> mode_{StepClock::kSync};
    std::atomic<int> firstStep_{0};
    std::atomic<int> lastStep_{kSteps - 1};
    std::atomic<int> mono_{0};
    std::atomic<int> restart_{1};
    std::atomic<int> loop_{1};
    std::atomic<float> swing_{0.5f};

    // Audio thread.
    std::array<StepShape, kSteps> steps_{};
    StepClock clock_;
    StepClock::Transport transport_;
    int divisionIndex_ = 0;
    double tempo_ = 120.0; // the last usable tempo
    // A one-shot track that ran past its last step holds that step's end level.
    std::array<bool, kTracks> holding_{};
    std::array<int, kTracks> heldStep_{};
    int source_ = 0;      // matrix source index of Stepper1 / Stepper2
    bool shared_ = false; // the mono track serves every voice
    int capacity_ = 0;
    std::array<float*, kTracks> buffers_{}; // each track's own buffer
    std::array<float*, kTracks> outputs_{}; // as published (all the mono track's when shared)
};

} // namespace kolva
