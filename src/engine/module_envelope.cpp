#include "engine/module_envelope.h"

#include "engine/lookup_curve.h"
#include "engine/module_matrix.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cstring>

namespace kolva {
namespace {

namespace curves = envelope_curves;

constexpr double kLongestStage = 44.0;    // seconds at T = 1
constexpr double kRetriggerWindow = 0.25; // seconds: a quicker release retrigger continues
constexpr double kFadeAttackStep = 0.032; // anti-click: retriggered attacks >= ~31 samples
constexpr double kSustainDrift = 0.00001;
constexpr float kPunchDepth = 0.2f;     // the decay punch takes 20 % of the fall
constexpr float kPunchSamples = 512.0f; // at 44.1 kHz, scaled with the rate

float shapeAt(const float* table, double pos) {
    const float p = static_cast<float>(pos);
    return table ? lookupCurve(table, curves::kPoints, p * (curves::kPoints - 1)) : p;
}

// Levels arrive already clamped from the matrix; this only keeps a stray NaN out of the voice.
float clampLevel(float x) {
    return x > 0.0f ? std::min(x, 1.0f) : 0.0f;
}

std::int32_t decodeCurve(float v) {
    const float k = v * 2.99f;
    if (!(k > 0.0f)) return 0;
    return k >= 2.0f ? 2 : static_cast<std::int32_t>(k);
}

} // namespace

// ---- VoiceEnvelope ----

void VoiceEnvelope::setOutput(float* buffer, int frames) {
    output_ = buffer;
    frames_ = buffer ? frames : 0;
}

void VoiceEnvelope::reset() {
    if (output_) std::memset(output_, 0, sizeof(float) * static_cast<std::size_t>(frames_ + 4));
    active_ = 0;
    stage_ = ModuleEnvelope::kIdle;
    lastStage_ = ModuleEnvelope::kIdle;
    pos_ = 0.0;
    start_ = 0.0f;
    delta_ = 0.0f;
    punchPos_ = 0.0;
    levelAtTrigger_ = 0.0f;
    value_ = 0.0f;
    punchStep_ = 1.0;
    attackStep_ = 1.0;
    fromZero_ = false;
    clearPending_ = true;
}

bool VoiceEnvelope::beginBlock(bool freeRun, bool marked) {
    if (clearPending_) {
        if (output_) std::memset(output_, 0, sizeof(float) * static_cast<std::size_t>(frames_));
        clearPending_ = false;
    }
    if (!freeRun) return true;
    if (lastStage_ == ModuleEnvelope::kIdle && !marked) {
        active_ = 0;
        return false;
    }
    active_ = 1;
    return true;
}

void VoiceEnvelope::render(int n, const EnvelopeControls& c, const float* gate) {
    for (int i = 0; i < n; ++i) {
        if (gate) {
            if (gate[i] == kGateStart)
                noteStart(c);
            else if (gate[i] == kGateRelease)
                noteRelease();
        }
        advance(c);
        value_ = stageValue(c);
        output_[i] = value_;
    }
    lastStage_ = stage_;
}

void VoiceEnvelope::noteStart(const EnvelopeControls& c) {
    // Without a decay the attack heads straight for the sustain level.
    const float target = c.decayStep == 1.0 ? c.sustain : 1.0f;
    pos_ = 0.0;
    if (stage_ == ModuleEnvelope::kIdle) {
        attackStep_ = c.attackStep;
        fromZero_ = true;
        stage_ = ModuleEnvelope::kAttack;
        start_ = 0.0f;
        delta_ = target;
        return;
    }
    const bool fromRelease = stage_ == ModuleEnvelope::kRelease;
    fromZero_ = false;
    stage_ = ModuleEnvelope::kAttack;
    attackStep_ = (c.freeRun && c.fade) ? std::min(c.attackStep, kFadeAttackStep) : c.attackStep;
    start_ = value_;
    delta_ = target - value_;
    levelAtTrigger_ = value_;
    if (fromRelease) {
        // A release retrigger soon after the previous one (and always for the amplitude
        // envelope) continues from the release level; a later one starts over from zero.
        if (!c.freeRun && !(c.now - lastTriggerTime_ < kRetriggerWindow)) {
            start_ = 0.0f;
            delta_ = target;
        }
        lastTriggerTime_ = c.now;
    }
}

void VoiceEnvelope::noteRelease() {
    if (stage_ == ModuleEnvelope::kIdle || stage_ == ModuleEnvelope::kRelease) return;
    stage_ = ModuleEnvelope::kRelease;
    pos_ = 0.0;
    start_ = value_;
    delta_ = -value_;
}

// A stage that completes hands its overflow to the next one within the same sample, so zero
// times chain through in one sample.
void VoiceEnvelope::advance(const EnvelopeControls& c) {
    switch (stage_) {
    case ModuleEnvelope::kAttack:
        pos_ += attackStep_;
        if (pos_ < 1.0) break;
        stage_ = ModuleEnvelope::kDecay;
        start_ = 1.0f;
        pos_ -= 1.0;
        delta_ = c.sustain - 1.0f;
        punchPos_ = 0.0;
        punchStep_ = c.punchStep;
        [[fallthrough]];
    case ModuleEnvelope::kDecay:
        pos_ += c.decayStep;
        if (pos_ < 1.0) break;
        stage_ = ModuleEnvelope::kSlope;
        start_ = c.sustain;
        pos_ -= 1.0;
        delta_ = c.slopeLevel - c.sustain;
        [[fallthrough]];
    case ModuleEnvelope::kSlope:
        pos_ += c.slopeStep;
        if (pos_ >= 1.0) stage_ = ModuleEnvelope::kSustain;
        break;
    case ModuleEnvelope::kSustain:
        pos_ += kSustainDrift;
        break;
    case ModuleEnvelope::kRelease:
        pos_ += c.releaseStep;
        if (pos_ >= 1.0) {
            stage_ = ModuleEnvelope::kIdle;
            levelAtTrigger_ = 0.0f;
            clearPending_ = true;
        }
        break;
    default:
        break;
    }
}

float VoiceEnvelope::stageValue(const EnvelopeControls& c) {
    switch (stage_) {
    case ModuleEnvelope::kAttack:
        return start_ + delta_ * shapeAt(c.attackShape, pos_);
    case ModuleEnvelope::kDecay: {
        float v;
        if (c.decayPunch) {
            const float punch =
                punchPos_ <= 1.0 ? shapeAt(curves::kDecayExp1Punch, punchPos_) : 0.0f;
            v = start_ +
                delta_ * ((1.0f - kPunchDepth) * shapeAt(c.decayShape, pos_) + kPunchDepth) -
                delta_ * kPunchDepth * punch;
        } else {
            v = start_ + delta_ * shapeAt(c.decayShape, pos_);
        }
        if (punchPos_ <= 1.0) punchPos_ += punchStep_;
        return v;
    }
    case ModuleEnvelope::kSlope:
        return start_ + delta_ * shapeAt(c.slopeShape, pos_);
    case ModuleEnvelope::kSustain:
        return c.slopeLevel;
    case ModuleEnvelope::kRelease:
        return start_ + delta_ * shapeAt(c.releaseShape, pos_);
    default:
        return 0.0f;
    }
}

// ---- ModuleEnvelope ----

ModuleEnvelope::ModuleEnvelope() = default;
ModuleEnvelope::~ModuleEnvelope() = default;

std::unique_ptr<Voice> ModuleEnvelope::makeVoice() {
    return std::make_unique<VoiceEnvelope>();
}

void ModuleEnvelope::setup() {
    ModulePoly::setup();
    for (int v = 0; v < kNumVoices; ++v)
        env_[v] = static_cast<VoiceEnvelope*>(voices_[v].get());
    // "env1".."env4": the index picks the module's own matrix source.
    if (name_.size() == 4 && name_.compare(0, 3, "env") == 0 && name_[3] >= '1' && name_[3] <= '4')
        index_ = name_[3] - '1';
}

void ModuleEnvelope::setParameter(int slot, float value) {
    Module::setParameter(slot, value);
    if (slot >= kTimeSlots && slot < kTimeSlots + kCurveSlots)
        curves_[slot - kTimeSlots].store(decodeCurve(value), std::memory_order_relaxed);
}

void ModuleEnvelope::setBlockSize(int frames) {
    frames_ = 0;
    bool carved = frames > 0 && voiceContext_ != nullptr;
    for (int v = 0; v < kNumVoices; ++v) {
        outputs_[v] = carved ? voiceContext_->allocate(frames + 4, "env") : nullptr;
        carved = carved && outputs_[v] != nullptr;
        if (env_[v]) {
            env_[v]->setOutput(outputs_[v], frames);
            env_[v]->reset();
        }
    }
    if (carved) frames_ = frames;
}

void ModuleEnvelope::reset() {
    for (VoiceEnvelope* e : env_)
        if (e) e->reset();
    processed_.fill(false);
    marked_.fill(false);
}

float* const* ModuleEnvelope::getModOutput(int) {
    return frames_ > 0 ? outputs_.data() : nullptr;
}

void ModuleEnvelope::setFreeRun(bool on) {
    freeRun_ = on;
}
bool ModuleEnvelope::freeRun() const {
    return freeRun_;
}

bool ModuleEnvelope::isActive(int voice) const {
    return voice >= 0 && voice < kNumVoices && processed_[voice];
}

void ModuleEnvelope::setGate(int voice, const float* lane) {
    if (voice >= 0 && voice < kNumVoices) gates_[voice] = lane;
}

void ModuleEnvelope::markNoteStart(int voice) {
    if (voice >= 0 && voice < kNumVoices) marked_[voice] = true;
}

int ModuleEnvelope::stage(int voice) const {
    return (voice >= 0 && voice < kNumVoices && env_[voice]) ? env_[voice]->stage() : kIdle;
}

float ModuleEnvelope::value(int voice) const {
    return (voice >= 0 && voice < kNumVoices && env_[voice]) ? env_[voice]->value() : 0.0f;
}

double ModuleEnvelope::timeStep(float x, float sampleRate) {
    const float t = lookupCurve01(curves::kTime, x > 0.0f ? std::min(x, 1.0f) : 0.0f); // NaN: 0
    return 1.0 / (static_cast<double>(t) * kLongestStage * static_cast<double>(sampleRate) + 1.0);
}

void ModuleEnvelope::fillCurves(EnvelopeControls& c) const {
    static constexpr const float* kAttack[3] = {nullptr, curves::kAttackExp, curves::kAttackPow};
    static constexpr const float* kDecay[3] = {curves::kDecayExp2, curves::kDecayPow,
                                               curves::kDecayExp1Main};
    static constexpr const float* kSlope[3] = {nullptr, curves::kSlopeExp, curves::kSlopePow};
    static constexpr const float* kRelease[3] = {curves::kReleaseExp2, curves::kReleasePow,
                                                 curves::kReleaseExp1};
    const auto curve = [this](int k) { return curves_[k].load(std::memory_order_relaxed); };
    c.attackShape = kAttack[curve(0)];
    c.decayShape = kDecay[curve(1)];
    c.decayPunch = curve(1) == 2;
    c.slopeShape = kSlope[curve(2)];
    c.releaseShape = kRelease[curve(3)];
}

void ModuleEnvelope::renderVoice(int v, int frames, EnvelopeControls& c) {
    const auto control = [&](int slot) {
        const float base = slotValue(slot);
        const int param = parameterForSlot(slot);
        return (param >= 0 && matrix_) ? matrix_->modulateScalar(v, frames, param, base) : base;
    };
    c.attackStep = timeStep(control(0), sampleRate_);
    c.decayStep = timeStep(control(1), sampleRate_);
    c.sustain = clampLevel(control(2));
    c.slopeStep = timeStep(control(3), sampleRate_);
    // Without a slope the envelope holds the decay level.
    c.slopeLevel = c.slopeStep == 1.0 ? c.sustain : clampLevel(control(4));
    c.releaseStep = timeStep(control(5), sampleRate_);
    env_[v]->render(frames, c, gates_[v]);
}

void ModuleEnvelope::renderBlock(int frames) {
    if (frames > 0 && frames_ > 0 && voiceContext_) {
        frames = std::min(frames, frames_);
        EnvelopeControls c;
        fillCurves(c);
        c.freeRun = freeRun_;
        c.fade = voiceContext_->antiClick != 0;
        c.punchStep = 1.0 / (static_cast<double>(sampleRate_) / 44100.0 * kPunchSamples);
        c.now = (engine_ && engine_->clock) ? engine_->clock() : 0.0;

        if (freeRun_) {
            for (int v = 0; v < kNumVoices; ++v) {
                processed_[v] = env_[v]->beginBlock(true, marked_[v]);
                if (processed_[v]) renderVoice(v, frames, c);
            }
            for (int v = 0; v < kNumVoices; ++v)
                voiceContext_->ampEnvelopeActive[v] = env_[v]->stage() != kIdle ? 1 : 0;
        } else {
            const bool poly = voiceContext_->polyModeInEffect();
            for (int v = 0; v < kNumVoices; ++v) {
                bool run = v == kMonoVoice ? !poly && voiceContext_->voiceSounding(v)
                                           : poly && voiceContext_->voiceSounding(v);
                // Global destinations read voice 16 whatever the mode.
                if (v == kMonoVoice && matrix_ && matrix_->sourceTier(4 + index_) == 2) run = true;
                processed_[v] = run;
                if (run && env_[v]->beginBlock(false, false)) renderVoice(v, frames, c);
            }
        }
    }
    marked_.fill(false);
}

} // namespace kolva
