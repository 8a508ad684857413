#include "engine/module_arp.h"

#include "engine/engine_value.h"
#include "engine/lfo_tables.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kolva {
namespace {

constexpr int kTransposeRange = 24; // semitones either way
constexpr int kMaxNote = 127;
// Longest note we count (about six hours at 192 kHz); keeps every sum below overflow.
constexpr std::int64_t kMaxLength = std::int64_t{1} << 32;
constexpr double kLengthTolerance = 1e-6;

int stepTranspose(float v) { return static_cast<int>(48.99f * clampUnit(v)) - kTransposeRange; }
int stepVelocity(float v) { return static_cast<int>(127.99f * clampUnit(v)); }
int option(float v, int count) { return std::min(optionIndex(v), count - 1); }

} // namespace

ModuleArp::ModuleArp() { outputs_.fill(nullptr); }

// ---- buffers and outputs ----

void ModuleArp::setBlockSize(int frames) {
    capacity_ = 0;
    stepBuffer_ = nullptr;
    outputs_.fill(nullptr);
    if (voiceContext_ == nullptr) return;
    const int n = std::max(frames, 0);
    stepBuffer_ = voiceContext_->allocate(n + 4, "arp step");
    if (stepBuffer_ == nullptr) return;
    capacity_ = n;
    // One global signal: every voice reads the same buffer.
    outputs_.fill(stepBuffer_);
}

float* const* ModuleArp::getModOutput(int index) {
    return (index == 0 && capacity_ > 0) ? outputs_.data() : nullptr;
}

// ---- key entries ----

// All callers run on the audio thread and the block processing never takes the lock, so a try
// cannot fail in practice. Should it fail anyway, a press is dropped (and counted) while a
// release goes ahead without the lock: losing a press costs one note, losing a release would
// leave a key held for ever.

void ModuleArp::noteOn(int offset, int note, int velocity) {
    if (note < 0 || note > kMaxNote) return;
    if (!mutex_.tryLock()) {
        ++contended_;
        return;
    }
    if (rawCount_ < kMaxHeldKeys) {
        const int at = std::clamp(offset, 0, kMaxBlockSize - 1);
        const int vel = std::clamp(velocity, 0, kMaxNote);
        raw_[rawCount_++] = {note, vel, at};
        if (inputCount_ < kMaxEvents)
            input_[inputCount_++] = {at, ArpEvent::kNoteOn, note, vel};
        else
            ++dropped_;
    } else {
        ++dropped_; // more keys than the engine keeps: the press is ignored
    }
    mutex_.unlock();
}

void ModuleArp::noteOff(int offset, int note) {
    if (note < 0 || note > kMaxNote) return;
    const bool locked = mutex_.tryLock();
    if (!locked) ++contended_;

    int w = 0;
    for (int r = 0; r < rawCount_; ++r)
        if (raw_[r].note != note) raw_[w++] = raw_[r];
    rawCount_ = w;
    if (inputCount_ < kMaxEvents) {
        input_[inputCount_++] = {std::clamp(offset, 0, kMaxBlockSize - 1), ArpEvent::kNoteOff, note, 0};
    } else {
        lateRelease_[static_cast<unsigned>(note)] = true;
        anyLateRelease_ = true;
    }
    // The last key up ends every sounding arpeggiated note on the next sample.
    if (rawCount_ == 0)
        for (int i = 0; i < activeCount_; ++i)
            if (active_[i].state == 1) active_[i].remaining = 1;

    if (locked) mutex_.unlock();
}

void ModuleArp::releaseAll() {
    const bool locked = mutex_.tryLock();
    if (!locked) ++contended_;
    rawCount_ = 0;
    if (locked) mutex_.unlock();
    discardInput();
    endAllNotes();
    clearPattern();
}

void ModuleArp::discardInput() {
    inputCount_ = 0;
    lateRelease_.fill(false);
    anyLateRelease_ = false;
}

// ---- lifecycle ----

void ModuleArp::reset() {
    endAllNotes();
    clearPattern();
    discardInput();
    clock_.rewind();
    random_.reseed();
    wasOn_ = false;
    lastStep_ = 0;
    if (stepBuffer_ != nullptr) std::fill(stepBuffer_, stepBuffer_ + capacity_, 0.0f);
}

void ModuleArp::endAllNotes() {
    for (int i = 0; i < activeCount_; ++i) {
        ActiveNote& a = active_[i];
        if (a.state == 1 && a.emitted) {
            emit(0, ArpEvent::kNoteOff, a.note, 0);
            --owedNoteOffs_;
        }
    }
    activeCount_ = 0;
    owedNoteOffs_ = 0;
    stepOutLeft_ = 0;
    stepOutValue_ = 0.0f;
}

void ModuleArp::clearPattern() {
    pressedCount_ = 0;
    sequenceCount_ = 0;
    position_ = 0;
    stepIndex_ = 0;
    restartPending_ = false;
    startDelay_ = 0;
    lastPlayedNote_ = -1;
}

// The keys held while the arpeggiator was off were playing voices directly: those voices stop,
// and the keys are queued again so that the next block arpeggiates them.
void ModuleArp::takeOverKeys() {
    for (int i = 0; i < rawCount_; ++i) emit(0, ArpEvent::kNoteOff, raw_[i].note, 0);
    discardInput();
    clearPattern();
    for (int i = 0; i < rawCount_; ++i)
        input_[inputCount_++] = {0, ArpEvent::kNoteOn, raw_[i].note, raw_[i].velocity};
}

// ---- settings ----

void ModuleArp::readSettings(int frames) {
    Settings& s = settings_;
    s.on = switchOn(slotValue(kSlotOn));
    // Gate and swing are the matrix destinations "Gate" and "Swing" (global, voice 16).
    auto modulated = [&](int slot) {
        const float base = clampUnit(slotValue(slot));
        const int param = parameterForSlot(slot);
        if (matrix_ == nullptr || param < 0) return base;
        return clampUnit(matrix_->modulateScalar(kMonoVoice, frames, param, base));
    };
    s.gate = modulated(kSlotGate);
    s.rate = option(slotValue(kSlotRate), lfo_tables::kDivisions);
    s.swing = modulated(kSlotSwing);
    s.mode = option(slotValue(kSlotMode), kChord + 1);
    s.velocityMode = option(slotValue(kSlotVelocityMode), kVelStepHold + 1);
    s.octaves = option(slotValue(kSlotOctaves), kMaxOctaves);
    s.wrap = option(slotValue(kSlotWrap), kWrapOff + 1);
    for (int i = 0; i < kSteps; ++i) {
        s.transpose[i] = stepTranspose(slotValue(kSlotTranspose + i));
        s.hold[i] = switchOn(slotValue(kSlotHold + i));
        const float v = clampUnit(slotValue(kSlotVelocity + i));
        s.velocity[i] = stepVelocity(v);
        s.velocityValue[i] = v;
    }

    StepClock::Settings c;
    c.mode = StepClock::kSync;
    c.rateIndex = s.rate;
    c.swingRateIndex = s.rate;
    c.firstStep = 0;
    c.lastStep = std::min(s.wrap, kSteps - 1);
    c.restart = true;
    c.loop = true;
    c.swing = s.swing;
    const double tempo = engine_ != nullptr ? engine_->lastPositiveTempo : 120.0;
    clock_.configure(c, tempo, sampleRate_);
}

// ---- input events and the sequence ----

void ModuleArp::applyInput() {
    bool changed = inputCount_ > 0 || anyLateRelease_;
    for (int i = 0; i < inputCount_; ++i) {
        const ArpEvent& e = input_[i];
        if (e.kind == ArpEvent::kNoteOn) {
            if (pressedCount_ == 0) {
                startDelay_ = std::max(e.offset, 0);
                restartPending_ = true;
            }
            int k = 0;
            while (k < pressedCount_ && pressed_[k].note != e.note) ++k;
            if (k < pressedCount_)
                pressed_[k].velocity = e.velocity;
            else if (pressedCount_ < kMaxHeldKeys)
                pressed_[pressedCount_++] = {e.note, e.velocity};
            lastPressedNote_ = e.note;
            lastPressedVelocity_ = e.velocity;
        } else {
            int w = 0;
            for (int r = 0; r < pressedCount_; ++r)
                if (pressed_[r].note != e.note) pressed_[w++] = pressed_[r];
            pressedCount_ = w;
            if (pressedCount_ > 0) {
                lastPressedNote_ = pressed_[pressedCount_ - 1].note;
                lastPressedVelocity_ = pressed_[pressedCount_ - 1].velocity;
            }
        }
    }
    inputCount_ = 0;
    if (anyLateRelease_) {
        int w = 0;
        for (int r = 0; r < pressedCount_; ++r)
            if (!lateRelease_[static_cast<unsigned>(pressed_[r].note)]) pressed_[w++] = pressed_[r];
        pressedCount_ = w;
        lateRelease_.fill(false);
        anyLateRelease_ = false;
    }
    if (pressedCount_ == 0) restartPending_ = false; // nothing left to start

    const Settings& s = settings_;
    changed = changed || s.mode != builtMode_ || s.octaves != builtOctaves_ ||
              ((s.mode == kStep || s.mode == kChord) &&
               (s.wrap != builtWrap_ || s.transpose != builtTranspose_));
    if (changed) rebuildSequence();
}

void ModuleArp::pushEntry(int note, int velocity) {
    if (sequenceCount_ < kMaxSequence) sequence_[sequenceCount_++] = {note, velocity};
}

void ModuleArp::buildUp(int skip) {
    const int octaves = settings_.octaves + 1;
    for (int o = 0; o < octaves; ++o) {
        const int count = o == octaves - 1 ? pressedCount_ - skip : pressedCount_;
        for (int k = 0; k < count; ++k) pushEntry(sorted_[k].note + 12 * o, sorted_[k].velocity);
    }
}

void ModuleArp::buildDown(int skip) {
    const int octaves = settings_.octaves + 1;
    for (int o = octaves - 1; o >= 0; --o) {
        const int lowest = o == 0 ? skip : 0;
        for (int k = pressedCount_ - 1; k >= lowest; --k)
            pushEntry(sorted_[k].note + 12 * o, sorted_[k].velocity);
    }
}

void ModuleArp::rebuildSequence() {
    const Settings& s = settings_;
    builtMode_ = s.mode;
    builtOctaves_ = s.octaves;
    builtWrap_ = s.wrap;
    builtTranspose_ = s.transpose;

    std::copy(pressed_.begin(), pressed_.begin() + pressedCount_, sorted_.begin());
    // Notes are unique in the list, so a plain sort is stable enough (and never allocates).
    std::sort(sorted_.begin(), sorted_.begin() + pressedCount_,
              [](const Key& a, const Key& b) { return a.note < b.note; });

    sequenceCount_ = 0;
    if (pressedCount_ == 0) return;
    const int octaves = s.octaves + 1;
    const int pair = pressedCount_ >= 2 ? 1 : 0;
    switch (s.mode) {
    case kUp: buildUp(0); break;
    case kDown: buildDown(0); break;
    case kUpDown:
        buildUp(pair);
        buildDown(1);
        break;
    case kUpDown2:
        buildUp(0);
        buildDown(0);
        break;
    case kDownUp:
        buildDown(pair);
        buildUp(1);
        break;
    case kDownUp2:
        buildDown(0);
        buildUp(0);
        break;
    case kRandom:
    case kOrdered:
        for (int o = 0; o < octaves; ++o)
            for (int k = 0; k < pressedCount_; ++k)
                pushEntry(pressed_[k].note + 12 * o, pressed_[k].velocity);
        break;
    default: { // Step, Chord: one entry per pattern step, its transpose
        const int steps = std::min(s.wrap, kSteps - 1) + 1;
        for (int o = 0; o < octaves; ++o)
            for (int i = 0; i < steps; ++i) pushEntry(s.transpose[i] + 12 * o, lastPressedVelocity_);
        break;
    }
    }
}

// ---- playing ----

bool ModuleArp::emit(int offset, int kind, int note, int velocity) {
    if (eventCount_ >= kMaxEvents) {
        ++dropped_;
        return false;
    }
    events_[eventCount_++] = {offset, kind, note, velocity};
    return true;
}

// A note-on goes out only while its note-off still fits after it, next to the note-offs every
// sounding note is owed: a full queue drops notes, never releases.
bool ModuleArp::canStartNote() const { return eventCount_ + owedNoteOffs_ + 2 <= kMaxEvents; }

void ModuleArp::playNote(int note, int velocity, int sample, std::int64_t length) {
    if (note < 0) return; // a transpose below the keyboard rests
    note = std::min(note, kMaxNote);
    lastPlayedNote_ = note;
    for (int i = 0; i < activeCount_; ++i) {
        ActiveNote& a = active_[i];
        if (a.note != note || a.state == 2) continue;
        // The same note again is a tie, unless this very step already played it (two keys
        // limited to the top note).
        if (a.trigger != triggerCount_) a.remaining = std::min(a.remaining + length, kMaxLength);
        return;
    }
    if (activeCount_ >= kMaxActive) return;
    ActiveNote& a = active_[activeCount_++];
    a = {note, std::clamp(velocity, 0, kMaxNote), sample, length, 0, false, triggerCount_};
}

void ModuleArp::chooseNext(int sample) {
    const Settings& s = settings_;
    if (sequenceCount_ <= 0) return;
    const bool pattern = s.mode == kStep || s.mode == kChord;
    if (s.wrap < kWrapOff) {
        if (!pattern && position_ > s.wrap) position_ = 0;
        if (stepIndex_ > s.wrap) stepIndex_ = 0;
    }
    if (position_ < 0 || position_ >= sequenceCount_) position_ = 0;
    if (stepIndex_ < 0 || stepIndex_ >= kSteps) stepIndex_ = 0;
    const int step = stepIndex_;

    const double stepLength = clock_.stepLength(clock_.step(0));
    // The clock's step length is a reciprocal: a whole number of samples may arrive a hair
    // below itself, which truncation must not cost a sample.
    const double raw = s.hold[step] ? stepLength + kHoldOverlap : stepLength * s.gate * 0.99;
    const std::int64_t length = static_cast<std::int64_t>(
        std::clamp(raw + kLengthTolerance, 0.0, static_cast<double>(kMaxLength)));
    ++triggerCount_;
    stepOutValue_ = s.velocityValue[step];
    stepOutLeft_ = static_cast<int>(std::min<std::int64_t>(length, std::numeric_limits<int>::max()));

    int index = position_;
    if (s.mode == kRandom) {
        const float r = random_.next();
        index = static_cast<int>(static_cast<float>(sequenceCount_) * (r + 1.0f) * 0.5f);
        index = std::clamp(index, 0, sequenceCount_ - 1);
    }
    const Key entry = sequence_[index];
    const int sv = s.velocity[step];

    // Velocity of a note whose own (key or entry) velocity is keyVelocity; -1 = a rest.
    auto velocityFor = [&](int keyVelocity) {
        switch (s.velocityMode) {
        case kVelKey: return keyVelocity;
        case kVelHold: return lastPressedVelocity_;
        case kVelStep: return sv;
        case kVelStepKey: return sv == 0 ? -1 : std::min(keyVelocity + sv, kMaxNote);
        default: return sv == 0 ? -1 : std::min(lastPressedVelocity_ + sv, kMaxNote);
        }
    };

    if (s.mode == kChord) {
        for (int k = 0; k < pressedCount_; ++k) {
            const int v = velocityFor(sorted_[k].velocity);
            if (v >= 0) playNote(sorted_[k].note + entry.note, v, sample, length);
        }
    } else {
        int note = s.mode == kStep ? entry.note + lastPressedNote_ : entry.note;
        const int v = velocityFor(entry.velocity);
        // A silent "Step" step holds on to the note before it: a tie while it still sounds.
        if (s.velocityMode == kVelStep && sv == 0) note = lastPlayedNote_;
        if (v >= 0) playNote(note, v, sample, length);
    }

    ++position_;
    ++stepIndex_;
    lastStep_ = step;
}

void ModuleArp::advanceNotes(int sample) {
    int w = 0;
    for (int r = 0; r < activeCount_; ++r) {
        ActiveNote a = active_[r];
        if (a.state == 0) {
            a.state = 1;
            // A note of velocity 0 stays silent (it would read as a note-off), and so does
            // one the full event queue has no room for.
            if (a.velocity > 0) {
                if (canStartNote()) {
                    emit(sample, ArpEvent::kNoteOn, a.note, a.velocity);
                    a.emitted = true;
                    ++owedNoteOffs_;
                } else {
                    ++dropped_;
                }
            }
        } else if (a.state == 1 && --a.remaining < 1) {
            if (a.emitted) {
                emit(sample, ArpEvent::kNoteOff, a.note, 0);
                --owedNoteOffs_;
            }
            a.state = 2;
        }
        if (a.state != 2) active_[w++] = a;
    }
    activeCount_ = w;
}

// ---- the block ----

// A chord pressed after all keys were up plays its pattern from the top.
void ModuleArp::restartAt(int sample) {
    position_ = 0;
    stepIndex_ = 0;
    if (sample < kMarkerFrames) markers_[static_cast<unsigned>(sample)] = kRestartMarker;
}

void ModuleArp::renderBlock(int frames) {
    if (frames <= 0) return;
    frames = std::min(frames, kMaxBlockSize);
    readSettings(frames);
    float* out = stepBuffer_;
    const int outFrames = std::min(frames, capacity_);

    // On and off are compared with the previous block's setting; the switching block does
    // nothing else.
    const bool on = settings_.on;
    const bool switched = on != wasOn_;
    if (switched) {
        if (on) {
            takeOverKeys();
        } else {
            endAllNotes();
            clearPattern();
        }
        wasOn_ = on;
    }
    if (!on || switched) {
        if (!on) discardInput(); // keys reach the voices directly while off
        if (out != nullptr) std::fill(out, out + outFrames, 0.0f);
        return;
    }
    applyInput();

    StepClock::Transport t;
    t.songPosition = engine_ != nullptr ? engine_->songPosition : 0.0;
    t.tempo = engine_ != nullptr ? engine_->lastPositiveTempo : 120.0;
    t.sampleRate = sampleRate_;

    for (int i = 0; i < frames; ++i) {
        bool trigger = false;
        if (restartPending_) {
            if (startDelay_ > 0) {
                --startDelay_;
            } else {
                restartPending_ = false;
                restartAt(i);
                trigger = clock_.tick(0, true, i, t);
            }
        } else if (pressedCount_ > 0) {
            trigger = clock_.tick(0, false, i, t);
        }
        if (trigger && pressedCount_ > 0) chooseNext(i);

        float step = 0.0f;
        if (stepOutLeft_ > 0) {
            --stepOutLeft_;
            step = stepOutValue_;
        }
        if (i < outFrames) out[i] = step;
        if (activeCount_ > 0) advanceNotes(i);
    }
}

} // namespace kolva
