#include "engine/osc_phase_state.h"

#include <algorithm>

namespace kolva {

OscPhaseRandom::OscPhaseRandom()
    : bag_(osc::kRandomPhaseFirst, osc::kRandomPhaseSecond, XorAddRandom::kDefaultScale) {}

void OscPhaseState::begin(const OscBlock& b) {
    if (b.increments != increments_ || b.tables != source_) pitchIndex_ = -1;
    increments_ = b.increments;
    source_ = b.tables;
    wave_ = std::clamp(b.wave, 0, osc::kWaves - 1);
    if (waveOfCycle_ < 0) waveOfCycle_ = wave_;
    fadeEnabled_ = b.fadeEnabled;
    fadeStep_ = b.fadeStep;
}

void OscPhaseState::retrigger(const OscBlock& b, int copy, OscPhaseRandom& random) {
    // Nothing audible can jump when the voice was silent or a fade covers the restart, so the
    // note may start on the current wave at once.
    bool covered = b.voiceSilent;
    if (!fading_ && fadeEnabled_ && !b.voiceSilent && pitchIndex_ >= 0) {
        startFade();
        covered = true;
    }
    if (covered && waveOfCycle_ != wave_) {
        waveOfCycle_ = wave_;
        if (pitchIndex_ >= 0) pointWave();
    }

    switch (b.phaseMode) {
    case PhaseMode::None: return;
    case PhaseMode::Random: phase_ = random.draw(); break;
    case PhaseMode::Analog:
        if (b.secondsSincePreviousNote > kAnalogWindowSeconds) {
            phase_ = random.draw();
        } else {
            phase_ = random.previous() + kAnalogSpread * random.draw();
            if (phase_ >= kCycle) phase_ -= kCycle;
        }
        break;
    case PhaseMode::Fixed:
        phase_ = b.startPhase[static_cast<std::size_t>(std::clamp(copy, 0, osc::kMaxCopies - 1))];
        break;
    }
    setPhase(phase_);
    random.setPrevious(phase_);
}

void OscPhaseState::setPhase(float p) {
    if (!(p >= 0.0f && p < kCycle)) {
        p = p - kCycle * static_cast<float>(static_cast<int>(p / kCycle));
        if (p < 0.0f) p += kCycle;
        if (!(p >= 0.0f && p < kCycle)) p = 0.0f; // NaN or rounding onto the cycle end
    }
    phase_ = p;
}

void OscPhaseState::repitch(int k, float semitones) {
    pitchIndex_ = k;
    if (increments_ == nullptr || source_ == nullptr) {
        increment_ = 0.0f;
        return;
    }
    // Below the cycle length, so one subtraction always wraps the phase.
    increment_ = std::min(increments_->at(k), kCycle - 1.0f);
    note_ = std::clamp(static_cast<int>(semitones), 0, osc::kNotes - 1);
    tables_.saw = source_->saw(note_);
    pointWave();
}

void OscPhaseState::pointWave() {
    if (source_ == nullptr) return;
    tables_.waveA = source_->wave(waveOfCycle_, osc::OscTables::levelA(note_));
    tables_.waveB = source_->wave(waveOfCycle_, osc::OscTables::levelB(note_));
    tables_.blend = osc::OscTables::blend(note_);
    tables_.oneMinusBlend = 1.0f - tables_.blend;
}

void OscPhaseState::startFade() {
    fadePhase_ = phase_;
    fadeIncrement_ = increment_;
    fadeTables_ = tables_;
    fadeGain_ = 1.0f;
    fading_ = true;
}

void OscPhaseState::changeWave() {
    startFade();
    waveOfCycle_ = wave_;
    pointWave();
}

} // namespace kolva
