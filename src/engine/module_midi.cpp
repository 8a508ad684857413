#include "engine/module_midi.h"

#include "engine/lookup_curve.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>

namespace kolva {
namespace {

using Flags = std::array<std::uint8_t, ModuleMidi::kGateLanes>;

constexpr float kKeyFollowCentre = 60.0f / 127.0f;
// A monophonic start without glide slides at 441 / sampleRate per sample while anti-click is
// on, so a jump between notes never clicks.
constexpr float kAntiClickSlide = 441.0f;
// Velocity smoother: slow with anti-click on, practically immediate with it off.
constexpr float kVelocitySmoothAntiClickHz = 120.0f;
constexpr float kVelocitySmoothPlainHz = 20000.0f;

constexpr Flags kAllFlags = {1, 1, 1};
// Retrigger flags of a key-stack start while other keys are held, by mode: mono_1/mono_2
// keep the amplitude envelope running, mono_3/mono_4 retrigger nothing, poly modes all.
constexpr std::array<Flags, 6> kLegatoFlags = {
    {{0, 1, 1}, {0, 1, 1}, {0, 0, 0}, {0, 0, 0}, {1, 1, 1}, {1, 1, 1}}};
// Whether the first key of the stack glides (mono_2, mono_4 and poly_2 glide only legato).
constexpr std::array<bool, 6> kFirstKeyGlides = {true, false, true, false, true, false};

float unitValue(float v) {
    return std::isfinite(v) ? std::clamp(v, 0.0f, 1.0f) : 0.0f;
}

} // namespace

ModuleMidi::ModuleMidi()
    : polyDrift_(kDriftFirst, kDriftSecond, XorAddRandom::kDefaultScale),
      monoDrift_(kDriftFirst, kDriftSecond, XorAddRandom::kDefaultScale) {
    halfSine(); // built here rather than on the audio thread
}

ModuleMidi::~ModuleMidi() = default;

// ---- parameters ----

void ModuleMidi::setParameter(int slot, float value) {
    Module::setParameter(slot, value);
    const float v = unitValue(value);
    const int k = static_cast<int>(v * 999.99f);
    switch (slot) {
    case 0: {
        const int m = std::min(k, kModePoly2);
        mode_.store(m, std::memory_order_relaxed);
        if (voiceContext_ != nullptr) voiceContext_->modeInEffect = m;
        break;
    }
    case 1: {
        const int count = std::min(k + 1, kPolyVoices);
        polyCount_.store(count, std::memory_order_relaxed);
        if (voiceContext_ != nullptr) voiceContext_->polyVoiceCount = count;
        break;
    }
    case 2:
        glideSwitch_.store(k != 0 ? 1 : 0, std::memory_order_relaxed);
        break;
    case 4:
        drift_.store(static_cast<int>(v * 1.99f) != 0 ? 1 : 0, std::memory_order_relaxed);
        break;
    case 5:
        bendUp_.store(static_cast<float>(k) / 127.0f, std::memory_order_relaxed);
        break;
    case 6:
        bendDown_.store(static_cast<float>(k) / 127.0f, std::memory_order_relaxed);
        break;
    case 7:
        pitchShift_.store(static_cast<int>(v * 128.99f) - 64, std::memory_order_relaxed);
        break;
    case 8:
        pitchFine_.store((2.0f * v - 1.0f) * 0.99f, std::memory_order_relaxed);
        break;
    default:
        break; // slot 3 (glide time) is read per block through the matrix
    }
}

int ModuleMidi::mode() const {
    return mode_.load(std::memory_order_relaxed);
}
int ModuleMidi::polyCount() const {
    return polyCount_.load(std::memory_order_relaxed);
}

void ModuleMidi::setBend(float bend) {
    bend_.store(std::isfinite(bend) ? std::clamp(bend, -1.0f, 1.0f) : 0.0f,
                std::memory_order_relaxed);
}

float ModuleMidi::bend() const {
    return bend_.load(std::memory_order_relaxed);
}

float ModuleMidi::pitchOffset() const {
    return (static_cast<float>(pitchShift_.load(std::memory_order_relaxed)) +
            pitchFine_.load(std::memory_order_relaxed)) /
           127.0f;
}

// ---- buffers ----

void ModuleMidi::setBlockSize(int frames) {
    static constexpr const char* kOutputNames[kNumOutputs] = {
        "midi velocity",   "midi velocity complement", "midi pitch",
        "midi key follow", "midi random bipolar",      "midi random unipolar"};
    ready_ = false;
    frames_ = 0;
    for (auto& o : outputs_)
        o.fill(nullptr);
    for (auto& s : voices_) {
        s.gate.fill(nullptr);
        s.steadyFrames = 0; // fresh, zeroed buffers
        s.gateDirty = false;
    }
    if (frames < 1 || voiceContext_ == nullptr) return;
    bool ok = true;
    for (int v = 0; v < kNumVoices; ++v) {
        for (int o = 0; o < kNumOutputs; ++o) {
            outputs_[o][v] = voiceContext_->allocate(frames + 4, kOutputNames[o]);
            ok = ok && outputs_[o][v] != nullptr;
        }
        for (float*& lane : voices_[v].gate) {
            lane = voiceContext_->allocate(frames + 4, "midi gate");
            ok = ok && lane != nullptr;
        }
    }
    frames_ = frames;
    ready_ = ok;
}

float* const* ModuleMidi::getModOutput(int index) {
    if (!ready_ || index < 0 || index >= kNumOutputs) return nullptr;
    return outputs_[index].data();
}

const float* ModuleMidi::gateLane(int voice, int lane) const {
    if (!ready_ || voice < 0 || voice >= kNumVoices || lane < 0 || lane >= kGateLanes)
        return nullptr;
    return voices_[voice].gate[lane];
}

bool ModuleMidi::noteStartedInBlock(int voice) const {
    return voice >= 0 && voice < kNumVoices && voices_[voice].startedInBlock;
}

int ModuleMidi::voiceNote(int voice) const {
    return (voice >= 0 && voice < kNumVoices) ? voices_[voice].note : -1;
}

void ModuleMidi::resetVoiceBuffers() {
    if (!ready_) return;
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(frames_ + 4);
    for (int v = 0; v < kNumVoices; ++v) {
        for (auto& o : outputs_)
            std::memset(o[v], 0, bytes);
        for (float* lane : voices_[v].gate)
            std::memset(lane, 0, bytes);
        voices_[v].steadyFrames = 0;
        voices_[v].gateDirty = false;
    }
}

// ---- voice events ----

void ModuleMidi::rewindRings() {
    for (VoiceState& s : voices_) {
        for (int i = 0; i < kRingClearedPerBlock; ++i)
            s.ring[i].offset = -1;
        s.writePos = 0;
        s.eventCount = 0;
        s.offsetBase = 0;
        s.droppedOffset = 0;
        s.startPending = false;
    }
    firstNoteOffset_ = -1;
}

void ModuleMidi::beginBlockEvents() {
    rewindRings();
}

ModuleMidi::Event* ModuleMidi::nextEventSlot(int voice, int offset) {
    VoiceState& s = voices_[voice];
    Event& e = s.ring[s.writePos];
    // An event queued behind a later one is taken as soon as the reader gets there.
    e.offset = std::max(0, offset - s.offsetBase);
    s.offsetBase = std::max(s.offsetBase, offset);
    s.writePos = (s.writePos + 1) % kRingSize;
    s.eventCount = std::min(s.eventCount + 1, kRingSize);
    // Once the ring is full the oldest event gives way; its offset still counts for the rest.
    if (s.eventCount == kRingSize) s.droppedOffset += s.ring[s.writePos].offset;
    s.ring[s.writePos].offset = -1;
    return &e;
}

void ModuleMidi::pushStart(int voice, int offset, int note, int velocity, float drift,
                           float coefficient, Flags flags, float glideFrom) {
    Event* e = nextEventSlot(voice, offset);
    e->note = note;
    e->velocity = velocity;
    e->release = false;
    e->drift = drift;
    e->glideCoefficient = coefficient;
    e->glideSwitch = glideSwitch_.load(std::memory_order_relaxed);
    e->glideFrom = glideFrom;
    e->retrigger = flags;
    VoiceState& s = voices_[voice];
    s.note = note;
    s.startPending = true;
    s.startSample = sampleClock_ + offset;
    voiceContext_->voiceActive[voice] = 1;
}

void ModuleMidi::pushRelease(int voice, int offset) {
    Event* e = nextEventSlot(voice, offset);
    e->note = voices_[voice].note;
    e->velocity = 0;
    e->release = true;
    e->retrigger = {};
    voices_[voice].note = -1;
}

// ---- note entries ----

void ModuleMidi::noteOn(int offset, int note, int velocity) {
    if (note < 0 || note > 127 || voiceContext_ == nullptr) return;
    offset = std::clamp(offset, 0, kMaxBlockSize - 1);
    velocity = std::clamp(velocity, 0, 127);
    keyStackNoteOn(offset, note, velocity);
    if (!isMonoMode(mode())) polyNoteOn(offset, note, velocity);
}

void ModuleMidi::noteOff(int offset, int note) {
    monoNoteOff(offset, note);
    // In the mono modes no poly voice takes new notes, but one started before the switch (a
    // sustained key) must still hear its release.
    polyNoteOff(offset, note);
}

void ModuleMidi::startMonoVoice(int offset, int note, int velocity, float coefficient,
                                Flags flags) {
    if (coefficient == 0.0f && isMonoMode(mode()) && voiceContext_->antiClick != 0)
        coefficient = kAntiClickSlide / sampleRate_;
    const float drift = drift_.load(std::memory_order_relaxed) != 0 ? monoDrift_.draw() : 0.0f;
    pushStart(kMonoVoice, offset, note, velocity, drift, coefficient, flags, 0.0f);
}

void ModuleMidi::keyStackNoteOn(int offset, int note, int velocity) {
    if (keyCount_ >= kKeyStackCapacity) return;
    const int m = mode();
    const float firstCoefficient = kFirstKeyGlides[m] ? glideCoefficient_ : 0.0f;
    if (keyCount_ == 0) {
        keys_[0] = {note, velocity};
        keyCount_ = 1;
        firstNoteOffset_ = offset;
        startMonoVoice(offset, note, velocity, firstCoefficient, kAllFlags);
        return;
    }
    KeyEntry& top = keys_[keyCount_ - 1];
    if (offset == firstNoteOffset_) {
        // A chord arriving at one offset: the highest note takes the top.
        if (note <= top.note) return;
        top = {note, velocity};
        startMonoVoice(offset, note, velocity, firstCoefficient, kAllFlags);
        return;
    }
    if (top.note == note)
        top.velocity = velocity;
    else
        keys_[keyCount_++] = {note, velocity};
    keyStackRestart(offset);
}

void ModuleMidi::keyStackRestart(int offset) {
    const KeyEntry& top = keys_[keyCount_ - 1];
    startMonoVoice(offset, top.note, top.velocity, glideCoefficient_, kLegatoFlags[mode()]);
}

void ModuleMidi::monoNoteOff(int offset, int note) {
    if (keyCount_ == 0 || voiceContext_ == nullptr) return;
    offset = std::clamp(offset, 0, kMaxBlockSize - 1);
    const bool wasTop = keys_[keyCount_ - 1].note == note;
    // Every entry of the key goes: a key pressed twice is still one released key.
    int w = 0;
    for (int r = 0; r < keyCount_; ++r)
        if (keys_[r].note != note) keys_[w++] = keys_[r];
    keyCount_ = w;
    if (!wasTop) return;
    if (keyCount_ == 0)
        pushRelease(kMonoVoice, offset);
    else
        keyStackRestart(offset); // back to the key held before
}

int ModuleMidi::pickPolyVoice(std::int64_t now) const {
    const int count = polyCount();
    for (int v = 0; v < count; ++v)
        if (voiceContext_->voiceActive[v] == 0) return v;
    // Steal: released voices score above held ones; the oldest note goes first and on equal
    // ages the later voice.
    int best = 0;
    int bestScore = INT_MIN;
    double bestWeight = 0.0;
    for (int v = 0; v < count; ++v) {
        const int score = voiceContext_->voiceActive[v] + (voices_[v].note == -1 ? 1 : 0);
        const double weight = static_cast<double>(now - voices_[v].startSample);
        if (score > bestScore || (score == bestScore && weight >= bestWeight)) {
            best = v;
            bestScore = score;
            bestWeight = weight;
        }
    }
    return best;
}

void ModuleMidi::polyNoteOn(int offset, int note, int velocity) {
    const int v = pickPolyVoice(sampleClock_ + offset);
    const bool free = voiceContext_->voiceActive[v] == 0;
    const float drift = drift_.load(std::memory_order_relaxed) != 0 ? polyDrift_.draw() : 0.0f;
    // poly_2 glides only from a note that is still held.
    const float coefficient = (mode() == kModePoly2 && freeStarts_ == 0) ? 0.0f : glideCoefficient_;
    pushStart(v, offset, note, velocity, drift, coefficient, kAllFlags, lastNotePitch_);
    lastNotePitch_ = (static_cast<float>(note) + drift) / 127.0f;
    if (free) ++freeStarts_;
}

void ModuleMidi::polyNoteOff(int offset, int note) {
    if (voiceContext_ == nullptr) return;
    offset = std::clamp(offset, 0, kMaxBlockSize - 1);
    for (int v = 0; v < kPolyVoices; ++v) {
        if (voices_[v].note != note) continue;
        pushRelease(v, offset);
        freeStarts_ = std::max(0, freeStarts_ - 1);
    }
}

void ModuleMidi::clearKeyTables() {
    if (voiceContext_ == nullptr) return;
    // Forgotten notes are released at once: nothing may keep sounding without an owner.
    for (int v = 0; v < kPolyVoices; ++v)
        if (voices_[v].note != -1) pushRelease(v, 0);
    if (keyCount_ > 0) pushRelease(kMonoVoice, 0);
    keyCount_ = 0;
    firstNoteOffset_ = -1;
    freeStarts_ = 0;
}

// ---- block rendering ----

void ModuleMidi::updateGlideCoefficient(int frames) {
    const float base = slotValue(3);
    const int param = parameterForSlot(3);
    float g = (matrix_ != nullptr && param >= 0)
                  ? matrix_->modulateScalar(kMonoVoice, frames, param, base)
                  : base;
    if (!std::isfinite(g)) g = 0.0f;
    if (g == lastGlide_ && glideRate_ == sampleRate_) return;
    lastGlide_ = g;
    glideRate_ = sampleRate_;
    if (g == 0.0f) {
        glideCoefficient_ = 0.0f;
        return;
    }
    const float t = lookupCurve(kGlideTimes, kTableSize, g * static_cast<float>(kTableSize - 1));
    // Rate factor K = sampleRate / 2: a glide time of 1.0 lasts two seconds at every rate.
    const float k = sampleRate_ * 0.5f;
    glideCoefficient_ = 1.0f / (t * k * 4.0f + 1.0f);
}

void ModuleMidi::renderBlock(int frames) {
    if (!ready_ || frames <= 0 || frames > frames_ || voiceContext_ == nullptr) {
        rewindRings();
        return;
    }
    updateGlideCoefficient(frames);

    // A released voice whose amplitude envelope has finished is free again.
    for (int v = 0; v < kNumVoices; ++v) {
        const VoiceState& s = voices_[v];
        if (s.note == -1 && voiceContext_->ampEnvelopeActive[v] == 0 && !s.startPending)
            voiceContext_->voiceActive[v] = 0;
    }

    const std::size_t laneBytes = sizeof(float) * static_cast<std::size_t>(frames + 4);
    for (VoiceState& s : voices_) {
        if (!s.gateDirty) continue;
        for (float* lane : s.gate)
            std::memset(lane, 0, laneBytes);
        s.gateDirty = false;
    }

    const float b = bend();
    const float bendOffset = b > 0.0f ? b * bendUp_.load(std::memory_order_relaxed)
                                      : b * bendDown_.load(std::memory_order_relaxed);
    const float hz =
        voiceContext_->antiClick != 0 ? kVelocitySmoothAntiClickHz : kVelocitySmoothPlainHz;
    const float smoothing = lookupCurve(halfSine().data(), kHalfSineSize,
                                        hz / sampleRate_ * static_cast<float>(kHalfSineSize - 1));
    const float offsetPitch = bendOffset + pitchOffset();

    for (int v = 0; v < kNumVoices; ++v)
        renderVoice(v, frames, offsetPitch, smoothing);

    sampleClock_ += frames;
    // The events are spent; a block rendered without a new MIDI pass must not replay them.
    rewindRings();
}

void ModuleMidi::takeEvent(int voice, const Event& e, int sample) {
    VoiceState& s = voices_[voice];
    if (e.release) {
        for (float* lane : s.gate)
            lane[sample] = kGateRelease;
        s.gateDirty = true;
        return;
    }
    s.target = (static_cast<float>(e.note) + e.drift) / 127.0f;
    s.velocityTarget =
        lookupCurve(kVelocityCurve, kTableSize,
                    static_cast<float>(e.velocity) / 127.0f * static_cast<float>(kTableSize - 1));
    s.glideCoefficient = e.glideCoefficient;
    s.glideSwitch = e.glideSwitch;
    s.randomBipolar = s.random.next();
    s.randomUnipolar = std::fabs(s.random.next());
    for (int lane = 0; lane < kGateLanes; ++lane)
        if (e.retrigger[lane] != 0) s.gate[lane][sample] = kGateStart;
    s.gateDirty = true;
    s.startedInBlock = true;

    if (e.glideCoefficient <= 0.0f) {
        s.progress = -1.0f;
        s.glidePitch = s.target;
    } else if (voice == kMonoVoice) {
        // The mono voice glides from wherever it is, unless it already heads for this note.
        if (e.note != s.headingNote) {
            s.glideStart = s.glidePitch;
            s.progress = 1.0f;
        }
    } else if (s.progress < 0.0f) {
        // A poly voice glides from the previous note; a glide in progress only retargets.
        s.glideStart = e.glideFrom;
        s.progress = 1.0f;
    }
    s.headingNote = e.note;
}

void ModuleMidi::renderVoice(int voice, int frames, float offsetPitch, float smoothing) {
    VoiceState& s = voices_[voice];
    s.startedInBlock = false;
    // Most voices rest most of the time: no events, no glide, velocity settled, same bend and
    // tuning. Their buffers already hold the right constants.
    if (s.eventCount == 0 && s.progress < 0.0f && s.velocity == s.velocityTarget &&
        s.steadyFrames >= frames + 4 && s.steadyOffset == offsetPitch &&
        s.steadyTuning == tuning_.version())
        return;
    s.steadyFrames = 0;
    float* velocity = outputs_[kOutVelocity][voice];
    float* complement = outputs_[kOutVelocityComplement][voice];
    float* pitch = outputs_[kOutPitch][voice];
    float* key = outputs_[kOutKeyFollow][voice];
    float* bipolar = outputs_[kOutRandomBipolar][voice];
    float* unipolar = outputs_[kOutRandomUnipolar][voice];
    const bool smooth = voiceContext_->ampEnvelopeActive[voice] != 0;

    // After a wrap the ring holds the newest kRingSize - 1 events, oldest after the write
    // position; otherwise the block's events start at entry 0.
    int read = 0;
    int remaining = s.eventCount;
    if (s.eventCount >= kRingSize) {
        read = (s.writePos + 1) % kRingSize;
        remaining = kRingSize - 1;
    }
    if (remaining > 0 && s.ring[read].offset < 0) remaining = 0;
    int due = remaining > 0 ? s.droppedOffset + s.ring[read].offset : INT_MAX;

    for (int i = 0; i < frames; ++i) {
        // Events beyond the block are taken on its last sample.
        while (remaining > 0 && (due <= i || i == frames - 1)) {
            takeEvent(voice, s.ring[read], i);
            read = (read + 1) % kRingSize;
            --remaining;
            if (remaining > 0 && s.ring[read].offset >= 0)
                due += s.ring[read].offset;
            else
                remaining = 0;
        }

        if (s.progress >= 0.0f) {
            s.progress -= s.glideCoefficient;
            if (s.progress < 0.0f) {
                s.glidePitch = s.target;
            } else {
                const float w = s.glideSwitch != 0
                                    ? lookupCurve(kGlideCurve, kTableSize,
                                                  s.progress * static_cast<float>(kTableSize - 1))
                                    : s.progress;
                s.glidePitch = s.target - (s.target - s.glideStart) * w;
            }
        } else {
            s.glidePitch = s.target;
        }

        if (smooth) {
            s.velocity += (s.velocityTarget - s.velocity) * smoothing;
            // Settle exactly once the difference is far below anything audible.
            if (std::fabs(s.velocityTarget - s.velocity) < 1e-6f) s.velocity = s.velocityTarget;
        } else {
            s.velocity = s.velocityTarget;
        }

        const float out = tuning_.map(offsetPitch + s.glidePitch);
        pitch[i] = out;
        key[i] = out - kKeyFollowCentre;
        velocity[i] = s.velocity;
        complement[i] = 1.0f - s.velocity;
        bipolar[i] = s.randomBipolar;
        unipolar[i] = s.randomUnipolar;
    }
    // Readers working four samples at a time see the last value in the spare floats.
    for (int i = frames; i < frames + 4; ++i) {
        pitch[i] = pitch[frames - 1];
        key[i] = key[frames - 1];
        velocity[i] = velocity[frames - 1];
        complement[i] = complement[frames - 1];
        bipolar[i] = bipolar[frames - 1];
        unipolar[i] = unipolar[frames - 1];
    }
    // Constant over the whole block (nothing moved): later blocks may skip this voice.
    if (s.eventCount == 0 && s.progress < 0.0f && s.velocity == s.velocityTarget &&
        velocity[0] == s.velocity && pitch[0] == pitch[frames - 1]) {
        s.steadyFrames = frames + 4;
        s.steadyOffset = offsetPitch;
        s.steadyTuning = tuning_.version();
    }
}

} // namespace kolva
