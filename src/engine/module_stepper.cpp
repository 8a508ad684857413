#include "engine/module_stepper.h"

#include "engine/engine_value.h"
#include "engine/lfo_tables.h"
#include "engine/module_arp.h"
#include "engine/module_matrix.h"
#include "engine/module_midi.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>

namespace kolva {
namespace {

constexpr int kLastPoint = StepShape::kPoints - 1;
constexpr int kLastStep = ModuleStepper::kSteps - 1;
constexpr std::uint32_t kAllSteps = (1u << ModuleStepper::kSteps) - 1u;
// Matrix source index (position - 2) of Stepper1; Stepper2 follows it.
constexpr int kFirstStepperSource = ModuleMatrix::kPosStepper1 - 2;

constexpr float kHoldEdgeLow = 0.01f;
constexpr float kHoldEdgeHigh = 0.95f;
constexpr double kCurveStepT = 0.025; // 39 inner curve points at t = 0.025 .. 0.975
// Full modulation of the rate moves the division by 20 entries; the same value caps the sum
// at the last division ("1/64").
constexpr float kDivisionReach = 0.02016f;

int stepIndex(float v) {
    return std::min(optionIndex(v), kLastStep);
}

} // namespace

// ---- StepShape ----

void StepShape::build() {
    start = clampUnit(start);
    end = clampUnit(end);
    curveX = clampUnit(curveX);
    curveY = clampUnit(curveY);
    repeats = std::clamp(repeats, 1, kMaxRepeats);

    if (hold != 0) {
        const float edge = std::clamp(curveX, kHoldEdgeLow, kHoldEdgeHigh) * kPoints;
        for (int i = 0; i < kPoints; ++i)
            shape[i] = static_cast<float>(i) >= edge ? end : start;
    } else if (start == curveY && curveY == end) {
        shape.fill(start);
    } else {
        // Cubic Bézier from (0, start) to (1, end) with both inner control points on the curve
        // point, as a polyline of 41 points; x rises with t for every curve x in 0..1.
        const double s = start, e = end, cx = curveX, cy = curveY;
        curveXs[0] = 0.0f;
        curveYs[0] = start;
        for (int k = 1; k < kCurvePoints - 1; ++k) {
            const double t = kCurveStepT * k;
            const double u = 1.0 - t;
            const double mid = 3.0 * t * u;
            curveXs[k] = static_cast<float>(mid * cx + t * t * t);
            curveYs[k] = static_cast<float>(u * u * u * s + mid * cy + t * t * t * e);
        }
        curveXs[kCurvePoints - 1] = 1.0f;
        curveYs[kCurvePoints - 1] = end;

        int k = 0;
        for (int i = 0; i < kPoints; ++i) {
            const float x = static_cast<float>(i) / static_cast<float>(kLastPoint);
            while (k < kCurvePoints - 2 && curveXs[k + 1] < x)
                ++k;
            const float width = curveXs[k + 1] - curveXs[k];
            const float f = width > 0.0f ? std::clamp((x - curveXs[k]) / width, 0.0f, 1.0f) : 1.0f;
            shape[i] = curveYs[k] + f * (curveYs[k + 1] - curveYs[k]);
        }
    }
    shapeEnd = shape[kLastPoint];

    // Each pass walks the shape with stride `repeats` and closes on its end value: a pass
    // ends where the next stride would leave the shape, so 1, 2 and 4 repeats fill the step
    // with whole passes (3 leaves the last one short).
    int p = 0;
    for (int j = 0; j < kPoints; ++j) {
        if (p + repeats > kLastPoint) {
            repeated[j] = shapeEnd;
            p = 0;
        } else {
            repeated[j] = shape[p];
            p += repeats;
        }
    }
}

float StepShape::at(double phase) const {
    const double u = (phase > 0.0 ? std::min(phase, 1.0) : 0.0) * kLastPoint; // NaN: 0
    const int i = std::min(static_cast<int>(u), kLastPoint);
    if (stepped()) return repeated[i];
    const float f = static_cast<float>(u - i);
    return (1.0f - f) * repeated[i] + f * repeated[(i + 1) % kPoints];
}

// ---- ModuleStepper ----

void ModuleStepper::setup() {
    ModulePoly::setup();
    source_ = kFirstStepperSource + (name_ == "stepper2" ? 1 : 0);
}

const StepShape& ModuleStepper::stepShape(int step) const {
    return steps_[std::clamp(step, 0, kLastStep)];
}

void ModuleStepper::setParameter(int slot, float value) {
    const float v = clampUnit(value);
    Module::setParameter(slot, v);
    if (slot < 0 || slot >= kSlotCount) return;
    if (slot < kRate || slot >= kHold) {
        const int step = slot < kRate ? slot % kSteps : slot - kHold;
        StepInput& in = inputs_[step];
        if (slot >= kHold)
            in.hold.store(switchOn(v) ? 1 : 0, std::memory_order_relaxed);
        else if (slot < kEnd)
            in.start.store(v, std::memory_order_relaxed);
        else if (slot < kCurveX)
            in.end.store(v, std::memory_order_relaxed);
        else if (slot < kCurveY)
            in.curveX.store(v, std::memory_order_relaxed);
        else if (slot < kRepeats)
            in.curveY.store(v, std::memory_order_relaxed);
        else
            in.repeats.store(1 + static_cast<int>(v * 3.99f), std::memory_order_relaxed);
        // The release pairs with the block's exchange, which then sees the value stored above.
        changedSteps_.fetch_or(1u << step, std::memory_order_release);
        return;
    }
    switch (slot) {
    case kTime:
        divisionValue_.store(v, std::memory_order_relaxed);
        break;
    case kSwingTime:
        swingDivision_.store(std::min(optionIndex(v), lfo_tables::kDivisions - 1),
                             std::memory_order_relaxed);
        break;
    case kMode:
        mode_.store(std::min(optionIndex(v), static_cast<int>(StepClock::kHostPosition)),
                    std::memory_order_relaxed);
        break;
    case kFirst:
        firstStep_.store(stepIndex(v), std::memory_order_relaxed);
        break;
    case kLast:
        lastStep_.store(stepIndex(v), std::memory_order_relaxed);
        break;
    case kMono:
        mono_.store(switchOn(v) ? 1 : 0, std::memory_order_relaxed);
        break;
    case kRetrigger:
        restart_.store(switchOn(v) ? 1 : 0, std::memory_order_relaxed);
        break;
    case kLoop:
        loop_.store(switchOn(v) ? 1 : 0, std::memory_order_relaxed);
        break;
    case kSwing:
        swing_.store(v, std::memory_order_relaxed);
        break;
    default: // kRate: read from the slot value each block
        break;
    }
}

void ModuleStepper::setBlockSize(int frames) {
    capacity_ = 0;
    buffers_.fill(nullptr);
    outputs_.fill(nullptr);
    if (voiceContext_ == nullptr) return;
    const int n = std::max(frames, 0);
    for (int t = 0; t < kTracks; ++t) {
        buffers_[t] = voiceContext_->allocate(n + 4, "stepper");
        if (buffers_[t] == nullptr) return; // an arena too small leaves the stepper unpublished
    }
    for (int t = 0; t < kTracks; ++t)
        outputs_[t] = shared_ ? buffers_[kMonoTrack] : buffers_[t];
    capacity_ = n;
}

float* const* ModuleStepper::getModOutput(int index) {
    return (index == 0 && capacity_ > 0) ? outputs_.data() : nullptr;
}

void ModuleStepper::reset() {
    clock_.rewind();
    holding_.fill(false);
    heldStep_.fill(0);
    currentStep_.store(0, std::memory_order_relaxed);
}

void ModuleStepper::rebuildChangedSteps() {
    std::uint32_t changed = changedSteps_.exchange(0, std::memory_order_acquire) & kAllSteps;
    while (changed != 0) {
        int s = 0;
        while ((changed & (1u << s)) == 0)
            ++s;
        changed &= ~(1u << s);
        const StepInput& in = inputs_[s];
        StepShape& step = steps_[s];
        step.start = in.start.load(std::memory_order_relaxed);
        step.end = in.end.load(std::memory_order_relaxed);
        step.curveX = in.curveX.load(std::memory_order_relaxed);
        step.curveY = in.curveY.load(std::memory_order_relaxed);
        step.hold = in.hold.load(std::memory_order_relaxed);
        step.repeats = in.repeats.load(std::memory_order_relaxed);
        step.build();
    }
}

// The matrix's modulation of the rate parameter around `base` (voice 16: the one clock serves
// every track).
float ModuleStepper::rateModulation(int frames, float base) const {
    const int param = parameterForSlot(kRate);
    if (matrix_ == nullptr || param < 0) return base;
    return matrix_->modulateScalar(kMonoVoice, frames, param, base);
}

void ModuleStepper::configureClock(int frames) {
    StepClock::Settings s;
    s.mode = mode_.load(std::memory_order_relaxed);
    s.swingRateIndex = swingDivision_.load(std::memory_order_relaxed);
    s.firstStep = firstStep_.load(std::memory_order_relaxed);
    s.lastStep = lastStep_.load(std::memory_order_relaxed);
    s.restart = restart_.load(std::memory_order_relaxed) != 0;
    s.loop = loop_.load(std::memory_order_relaxed) != 0;
    s.swing = swing_.load(std::memory_order_relaxed);

    const float division = divisionValue_.load(std::memory_order_relaxed);
    if (s.mode == StepClock::kFree) {
        s.freeRate = clampUnit(rateModulation(frames, clampUnit(slotValue(kRate))));
        s.rateIndex = std::min(optionIndex(division), lfo_tables::kDivisions - 1);
    } else {
        // The matrix clamps its scalar to 0..1, so the signed modulation is read as the part
        // above a base of 0 plus the part below a base of 1.
        const float m = rateModulation(frames, 0.0f) + rateModulation(frames, 1.0f) - 1.0f;
        const float x = std::min(m * kDivisionReach + division, kDivisionReach) * 999.99f;
        s.rateIndex = x > 0.0f ? std::min(static_cast<int>(x), lfo_tables::kDivisions - 1) : 0;
    }
    divisionIndex_ = s.rateIndex;

    const float tempo = engine_ != nullptr ? engine_->lastPositiveTempo : 0.0f;
    if (tempo > 0.0f && std::isfinite(tempo)) tempo_ = tempo;
    const double rate = sampleRate_ > 0.0f ? static_cast<double>(sampleRate_) : 44100.0;
    const float position = engine_ != nullptr ? engine_->songPosition : 0.0f;
    transport_.songPosition = std::isfinite(position) ? position : 0.0;
    transport_.tempo = tempo_;
    transport_.sampleRate = rate;
    clock_.configure(s, tempo_, rate);
}

float ModuleStepper::trackValue(int track) const {
    if (holding_[track]) return steps_[heldStep_[track]].shapeEnd;
    return steps_[std::clamp(clock_.step(track), 0, kLastStep)].at(clock_.phase(track));
}

void ModuleStepper::renderTrack(int track, int frames) {
    float* out = buffers_[track];
    // Trigger mode 2: the arpeggiator's restarts retrigger the mono track; otherwise every track
    // follows its voice's note starts.
    const float* lane = nullptr;
    float mark = ModuleMidi::kGateStart;
    int laneFrames = frames;
    if (track == kMonoTrack && arpOn_) {
        lane = arpMarkers_;
        mark = kArpRestartMarker;
        laneFrames = std::min(frames, ModuleArp::kMarkerFrames);
    } else if (midi_ != nullptr) {
        lane = midi_->gateLane(track, 2);
    }
    if (lane == nullptr) laneFrames = 0;

    for (int i = 0; i < frames; ++i) {
        const bool restart = i < laneFrames && lane[i] == mark;
        const bool wasRunning = clock_.running(track);
        clock_.tick(track, restart, i, transport_);
        if (clock_.running(track)) {
            holding_[track] = false;
        } else if (wasRunning) {
            // A one-shot pattern ended: the clock stands one past the step that just played.
            holding_[track] = true;
            heldStep_[track] = std::clamp(clock_.step(track) - 1, 0, kLastStep);
        }
        out[i] = trackValue(track);
    }
}

void ModuleStepper::renderBlock(int frames) {
    const int n = std::min(frames, capacity_);
    if (n <= 0 || voiceContext_ == nullptr) return;
    rebuildChangedSteps();
    configureClock(n);

    shared_ = !voiceContext_->polyModeInEffect() || mono_.load(std::memory_order_relaxed) != 0;
    for (int t = 0; t < kTracks; ++t)
        outputs_[t] = shared_ ? buffers_[kMonoTrack] : buffers_[t];

    int first = -1;
    auto run = [&](int track) {
        renderTrack(track, n);
        if (first < 0) first = track;
    };
    bool monoRun = false;
    if (shared_) {
        if (voiceContext_->voiceSounding(kMonoVoice) || arpOn_) {
            run(kMonoTrack);
            monoRun = true;
        }
    } else {
        for (int v = 0; v < kPolyVoices; ++v)
            if (voiceContext_->voiceSounding(v)) run(v);
        if (arpOn_) {
            run(kMonoTrack);
            monoRun = true;
        }
    }
    // Global destinations read voice 16 whatever the mode.
    if (!monoRun && matrix_ != nullptr && matrix_->sourceTier(source_) == 2) run(kMonoTrack);

    if (first >= 0) {
        const int step = holding_[first] ? heldStep_[first] : clock_.step(first);
        currentStep_.store(std::clamp(step, 0, kLastStep), std::memory_order_relaxed);
    }
}

} // namespace kolva
