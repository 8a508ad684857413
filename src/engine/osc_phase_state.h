#pragma once
// The phase-accumulator core every oscillator type runs, once per unison copy: a phase in the
// 4096-point cycle advanced by an increment from the precomputed table, with the note's
// band-limited saw and the current wave's two bandwidth levels; note-start phase rules; wave
// changes taken at a cycle start and cross-faded; and the anti-click cross-fade at retriggers.
//
// Use from a type, per copy j and block:
//   - simplest: state.run(b, j, random, read, emit), where read(tables, phase, i) returns the
//     type's sample for table set `tables` at `phase` (called for the running state and, during
//     a fade, for the faded-out one) and emit(i, value) takes the result;
//   - or the steps by hand (types with several oscillators per copy, sync, oversampling):
//     begin(b) once per block, then per sample: retrigger(b, j, random) where b.retrig[i] is 1,
//     setPitch(semitones), value = tick(read2) with read2(tables, phase); afterwards wrapped()
//     tells whether this sample crossed the cycle start, setPhase() resets it (hard sync).
// An oversampling type can run a state at N x the rate by lowering its pitch by 12 x log2(N)
// semitones: the increment scales by 1/N and the tables fit the higher Nyquist.
//
// Threads: audio thread only.

#include "engine/osc_generator.h"
#include "engine/osc_tables.h"
#include "engine/shuffled_bag.h"

#include <array>

namespace kolva {

// The tables one state reads: the saw of its note and two bandwidth levels of its wave.
struct OscReadTables {
    const float* saw = nullptr;
    const float* waveA = nullptr;
    const float* waveB = nullptr;
    float blend = 0.0f;         // weight of waveB
    float oneMinusBlend = 1.0f; // weight of waveA
};

// Table read at `phase` plus an offset in table floats (even; the index wraps).
inline float readAt(const float* t, float phase, int offsetFloats) {
    const int i = static_cast<int>(phase);
    const float frac = phase - static_cast<float>(i);
    const int idx = (2 * i + offsetFloats) & (osc::kTableFloats - 2);
    return t[idx] + frac * t[idx + 1];
}

inline float readSaw(const OscReadTables& t, float phase, int offsetFloats = 0) {
    return readAt(t.saw, phase, offsetFloats);
}

inline float readWave(const OscReadTables& t, float phase, int offsetFloats = 0) {
    const int i = static_cast<int>(phase);
    const float frac = phase - static_cast<float>(i);
    const int idx = (2 * i + offsetFloats) & (osc::kTableFloats - 2);
    const float a = t.waveA[idx] + frac * t.waveA[idx + 1];
    const float b = t.waveB[idx] + frac * t.waveB[idx + 1];
    return a * t.oneMinusBlend + b * t.blend;
}

// Semitones limited to the table range; NaN reads as 0.
inline float clampPitch(float semitones) {
    return semitones > 0.0f ? (semitones < 127.0f ? semitones : 127.0f) : 0.0f;
}

// The random start phases of one generator: an 18-value bag and the phase any copy set last.
class OscPhaseRandom {
public:
    OscPhaseRandom();
    float draw() { return bag_.draw(); }
    float previous() const { return previous_; }
    void setPrevious(float phase) { previous_ = phase; }

private:
    ShuffledBag<osc::kRandomPhases> bag_;
    float previous_ = 0.0f;
};

class OscPhaseState {
public:
    static constexpr float kCycle = static_cast<float>(osc::kCyclePoints);
    // Notes further apart than this start at a fresh random phase in the analog mode.
    static constexpr float kAnalogWindowSeconds = 1.5f;
    // The analog mode moves the start phase by up to this share of a random phase.
    static constexpr float kAnalogSpread = 0.01f;

    // Takes the block's wave, tables and fade settings; a new increment table (sample-rate
    // change) makes the next setPitch re-read the increment.
    void begin(const OscBlock& b);
    // Note start, by b.phaseMode: starts the anti-click fade, then sets the phase.
    void retrigger(const OscBlock& b, int copy, OscPhaseRandom& random);

    void setPitch(float semitones) {
        const int k = static_cast<int>(semitones * 2560.0f + 0.5f) >> 1; // 1/1280 semitone
        if (k != pitchIndex_) repitch(k, semitones);
    }

    // One sample: reads, cross-fades, advances; wave changes wait for the cycle start.
    template <class Read> float tick(Read&& read) {
        float out = read(tables_, phase_);
        if (fading_) {
            const float old = read(fadeTables_, fadePhase_);
            out = (1.0f - fadeGain_) * out + fadeGain_ * old;
            fadePhase_ += fadeIncrement_;
            if (fadePhase_ >= kCycle) fadePhase_ -= kCycle;
            fadeGain_ -= fadeStep_;
            if (fadeGain_ <= 0.0f) fading_ = false;
        }
        phase_ += increment_;
        wrapped_ = phase_ >= kCycle;
        if (wrapped_) {
            phase_ -= kCycle;
            if (waveOfCycle_ != wave_ && !fading_) changeWave();
        }
        return out;
    }

    // A whole block of copy `copy` (see the header comment).
    template <class Read, class Emit>
    void run(const OscBlock& b, int copy, OscPhaseRandom& random, Read&& read, Emit&& emit) {
        begin(b);
        const float offset = b.offset[static_cast<std::size_t>(copy)];
        const float* pitch = b.pitch;
        const float* retrig = b.retrig;
        for (int i = 0; i < b.frames; ++i) {
            if (retrig[i] == 1.0f) retrigger(b, copy, random);
            setPitch(clampPitch(pitch[i] * 127.0f + offset));
            emit(i, tick([&](const OscReadTables& t, float phase) { return read(t, phase, i); }));
        }
    }

    float phase() const { return phase_; }
    // Sets the phase (hard sync); p is wrapped into the cycle.
    void setPhase(float p);
    float increment() const { return increment_; }
    bool wrapped() const { return wrapped_; }
    bool fading() const { return fading_; }
    int pitchIndex() const { return pitchIndex_; }
    int waveOfCycle() const { return waveOfCycle_; }
    const OscReadTables& tables() const { return tables_; }

private:
    void repitch(int k, float semitones);
    void pointWave();
    void startFade();
    void changeWave();

    float phase_ = 0.0f;
    float increment_ = 0.0f;
    int pitchIndex_ = -1; // -1: no pitch taken yet
    int note_ = 0;
    OscReadTables tables_;
    int waveOfCycle_ = -1; // wave in effect since the last cycle start; -1 none yet
    int wave_ = 0;         // the voice's current wave
    bool wrapped_ = false;

    float fadePhase_ = 0.0f;
    float fadeIncrement_ = 0.0f;
    OscReadTables fadeTables_;
    float fadeGain_ = 0.0f;
    float fadeStep_ = 220.5f / 44100.0f;
    bool fading_ = false;
    bool fadeEnabled_ = true;

    const osc::OscTables* source_ = nullptr;
    const osc::IncrementTable* increments_ = nullptr;
};

// The copies of one generator and their shared random phase source.
struct OscCopies {
    std::array<OscPhaseState, osc::kMaxCopies> state;
    OscPhaseRandom random;
};

} // namespace kolva
