#include "engine/module_lfo.h"

#include "engine/engine_value.h"
#include "core/parameter_defs.h"
#include "engine/lookup_curve.h"
#include "engine/module_matrix.h"
#include "engine/module_midi.h"
#include "engine/osc_tables.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kolva {
namespace {

namespace tables = lfo_tables;

float unit(float v) { return clampUnit(v); }

constexpr float kFixedPhaseFrom = 0.03f;
constexpr float kScaledPhaseFrom = 0.06f;
constexpr float kLowFixedPhase = 0.25f;
constexpr float kPhaseScale = 1.137f;
constexpr float kHighestPhase = 0.95f;

constexpr float kDriftDepth = 0.01f;   // a bag draw shifts the rate control by up to 1 %
constexpr double kNewPhaseAfter = 1.0; // seconds of silence before a free phase is redrawn
constexpr double kMaxTempo = 1000.0;   // beyond any host; keeps the sync rate sane
constexpr double kMaxStep = 0.5;       // at most one wrap per sample, whatever the rate
constexpr int kFirstLfoSource = ModuleMatrix::kPosLfo1 - 2; // internal source = position - 2
constexpr int kFirstWave = 2;                               // forms 5..51 are waves 2..48
constexpr int kLastWave = osc::kWaves - 1;

// Start phase of a phase control; 0 means free-running.
float startPhaseFor(float p) {
    p = unit(p);
    if (p >= kScaledPhaseFrom) return std::min((p - kScaledPhaseFrom) * kPhaseScale, kHighestPhase);
    return p >= kFixedPhaseFrom ? kLowFixedPhase : 0.0f;
}

float sinShape(float phase, float morph) {
    constexpr float kPi = std::numbers::pi_v<float>;
    const float s = 0.5f * (std::sin(2.0f * kPi * phase - 0.5f * kPi) + 1.0f);
    if (morph > 0.5f) {
        // Squarer as the morph rises.
        const float k = 2.0f * (morph - 0.5f);
        return std::clamp((10.0f * k * k * k + 1.0f) * (s - 0.5f), -0.5f, 0.5f) + 0.5f;
    }
    // Triangle at 0, sine at 0.5.
    const float t = phase <= 0.5f ? 2.0f * phase : 2.0f * (1.0f - phase);
    return (1.0f - 2.0f * morph) * t + 2.0f * morph * s;
}

// Peak at phase = morph; the ends give falling (0) and rising (1) ramps.
float triShape(float phase, float morph) {
    if (phase <= morph && morph != 0.0f) return phase / morph;
    if (morph != 1.0f) return (1.0f - phase) / (1.0f - morph);
    return phase;
}

} // namespace

// ---- VoiceLfo ----

bool VoiceLfo::setBlockSize(SharedVoiceContext& context, int frames) {
    const int n = std::max(frames, 0);
    output_ = context.allocate(n + 4, "lfo");
    capacity_ = output_ != nullptr ? n : 0;
    return output_ != nullptr;
}

int VoiceLfo::voice() const {
    return (index_ >= 0 && index_ < kNumVoices) ? index_ : 0;
}

float VoiceLfo::scalar(int param, int frames, float base) const {
    if (matrix_ == nullptr || param < 0) return base;
    return unit(matrix_->modulateScalar(voice(), frames, param, base));
}

const float* VoiceLfo::buffer(int param, int frames, const float* base) const {
    if (matrix_ == nullptr || param < 0) return base;
    const float* out = matrix_->modulateBuffer(voice(), frames, param, base);
    return out != nullptr ? out : base;
}

double VoiceLfo::rateHz(const LfoBlock& m, int frames) const {
    if (m.sync) {
        // Modulation of the rate (from 0) moves through the divisions.
        const float all = scalar(m.paramAllRate, frames, 0.0f);
        const float own = scalar(m.paramRate, frames, 0.0f);
        const int shift =
            static_cast<int>(static_cast<float>(static_cast<int>(all * 20.0f)) + own * 20.0f);
        const int i = std::clamp(shift + m.division, 0, tables::kDivisions - 1);
        return m.tempo / static_cast<double>(tables::kDivisor[i]);
    }
    const float base = scalar(m.paramAllRate, frames, m.rate);
    const float x = scalar(m.paramRate, frames, base) + drift_;
    return lookupCurve(tables::kFreeRate, tables::kFreeRatePoints,
                       x * static_cast<float>(tables::kFreeRatePoints - 1));
}

void VoiceLfo::noteStart(const LfoBlock& m, float startPhase, bool silentBefore) {
    fade_ = 0.0f;
    if (startPhase != 0.0f) {
        drift_ = 0.0f;
        phase_ = startPhase < 1.0f ? startPhase : 0.0;
        return;
    }
    // Free-running: a voice that was just used keeps its phase, so quick notes stay in step.
    if (silentBefore) {
        if (m.now - lastNote_ > kNewPhaseAfter && m.phaseBag != nullptr)
            phase_ = m.phaseBag->draw();
        lastNote_ = m.now;
    }
    drift_ = (m.drift && m.phaseBag != nullptr) ? m.phaseBag->draw() * kDriftDepth : 0.0f;
}

void VoiceLfo::render(const LfoBlock& m, const float* gate, bool silentBefore) {
    const int n = std::min(m.frames, capacity_);
    if (n <= 0 || m.morph == nullptr || m.symmetry == nullptr) return;

    const double rate = rateHz(m, n);
    const double step = rate > 0.0 ? std::min(rate / m.sampleRate, kMaxStep) : 0.0; // NaN: 0
    const float* morph = buffer(m.paramMorph, n, m.morph);
    const float startPhase = scalar(m.paramPhase, n, m.startPhase);
    const float amp = scalar(m.paramAmplitude, n, m.amplitude);
    const float* symmetry = buffer(m.paramSymmetry, n, m.symmetry);

    // Wave shapes blend neighbouring waves by the block's first morph value.
    const float* waveA = nullptr;
    const float* waveB = nullptr;
    float blend = 0.0f;
    LfoShape shape = m.shape;
    if (shape == LfoShape::Wave) {
        const float m0 = unit(morph[0]);
        if (m0 > 0.5f) {
            waveA = m.waveCurrent;
            waveB = m.waveNext;
            blend = 2.0f * (m0 - 0.5f);
        } else {
            waveA = m.wavePrevious;
            waveB = m.waveCurrent;
            blend = 2.0f * m0;
        }
        if (waveA == nullptr || waveB == nullptr) shape = LfoShape::Sin;
    }

    for (int i = 0; i < n; ++i) {
        if (gate != nullptr && gate[i] == ModuleMidi::kGateStart)
            noteStart(m, startPhase, silentBefore);
        const float phase = static_cast<float>(phase_);
        const float mi = unit(morph[i]);
        float v = 0.0f;
        switch (shape) {
        case LfoShape::Sin:
            v = sinShape(phase, mi);
            break;
        case LfoShape::Tri:
            v = triShape(phase, mi);
            break;
        case LfoShape::Sqr:
            v = phase <= 0.98f * mi + 0.01f ? 1.0f : 0.0f;
            break;
        case LfoShape::SampleHold:
            if (wrapped_) {
                lastRandom_ = random_.next();
                wrapped_ = false;
            }
            v = lastRandom_ + 0.5f;
            break;
        case LfoShape::SampleGlide:
            // A straight line to the next random value over one cycle.
            if (wrapped_) {
                held_ += slope_;
                lastRandom_ = random_.next();
                slope_ = lastRandom_ + 0.5f - held_;
                wrapped_ = false;
            }
            v = held_ + slope_ * phase;
            break;
        case LfoShape::Wave: {
            const float pos = phase * static_cast<float>(osc::kCyclePoints);
            v = ((1.0f - blend) * osc::readTable(waveA, pos) + blend * osc::readTable(waveB, pos) +
                 1.0f) *
                0.5f;
            break;
        }
        }

        float out = (v - 1.0f + unit(symmetry[i])) * amp;
        if (m.fadeStep > 0.0f && fade_ < 1.0f) {
            fade_ = std::min(fade_ + m.fadeStep, 1.0f);
            out *= lookupCurve01(tables::kFadeGain, fade_);
        }
        output_[i] = out;

        phase_ += step;
        if (phase_ >= 1.0) {
            phase_ -= 1.0;
            wrapped_ = true;
        }
    }
}

// ---- ModuleLfo ----

ModuleLfo::ModuleLfo()
    : phaseBag_(tables::kPhaseFirst, tables::kPhaseSecond, XorAddRandom::kDefaultScale) {}

ModuleLfo::~ModuleLfo() = default;

void ModuleLfo::setup() {
    ModulePoly::setup();
    tables_ = &osc::OscTables::get(); // built here, never on the audio thread
    if (name_.size() == 4 && name_.compare(0, 3, "lfo") == 0 && name_[3] >= '1' && name_[3] <= '4')
        index_ = name_[3] - '1';
    block_.paramAllRate = findParameter("lfo_all_rt");
}

VoiceLfo* ModuleLfo::lfoVoice(int v) const {
    return (v >= 0 && v < kNumVoices) ? static_cast<VoiceLfo*>(voices_[v].get()) : nullptr;
}

void ModuleLfo::setParameter(int slot, float value) {
    const float v = unit(value);
    Module::setParameter(slot, v);
    switch (slot) {
    case kTime: {
        const int i = optionIndex(v);
        division_.store(i < tables::kDivisions ? i : 0, std::memory_order_relaxed);
        break;
    }
    case kSym:
        symmetry_.set(v);
        break;
    case kSync:
        sync_.store(switchOn(v), std::memory_order_relaxed);
        break;
    case kMono:
        mono_.store(switchOn(v), std::memory_order_relaxed);
        break;
    case kMorph:
        morph_.set(v);
        break;
    case kPhase:
        startPhase_.store(startPhaseFor(v), std::memory_order_relaxed);
        break;
    case kForm: {
        const int f = optionIndex(v);
        form_.store(f < kForms ? f : 0, std::memory_order_relaxed);
        break;
    }
    case kDrift:
        drift_.store(switchOn(v), std::memory_order_relaxed);
        break;
    default:
        break;
    }
}

void ModuleLfo::setBlockSize(int frames) {
    capacity_ = 0;
    buffers_.fill(nullptr);
    outputs_.fill(nullptr);
    if (voiceContext_ == nullptr) return;
    const int n = std::max(frames, 0);
    symmetry_.allocate(*voiceContext_, n);
    morph_.allocate(*voiceContext_, n);
    bool ok = symmetry_.buffer() != nullptr && morph_.buffer() != nullptr;
    for (int v = 0; v < kNumVoices; ++v) {
        VoiceLfo* voice = lfoVoice(v);
        if (voice == nullptr || !voice->setBlockSize(*voiceContext_, n)) {
            ok = false;
            continue;
        }
        buffers_[v] = voice->output();
    }
    if (!ok) return; // an arena too small leaves the LFO unpublished
    for (int v = 0; v < kNumVoices; ++v)
        outputs_[v] = mono() ? buffers_[kMonoVoice] : buffers_[v];
    capacity_ = n;
}

float* const* ModuleLfo::getModOutput(int index) {
    return (index == 0 && capacity_ > 0) ? outputs_.data() : nullptr;
}

void ModuleLfo::prepareBlock(int n) {
    LfoBlock& b = block_;
    const double sr = sampleRate_ > 0.0f ? static_cast<double>(sampleRate_) : 44100.0;
    b.frames = n;
    b.sampleRate = sr;
    b.sync = sync_.load(std::memory_order_relaxed) != 0;
    b.division = division_.load(std::memory_order_relaxed);
    const double tempo = voiceContext_->tempo;
    b.tempo = tempo > 0.0 ? std::min(tempo, kMaxTempo) : 0.0; // NaN: standing still
    b.rate = unit(slotValue(kRate));
    b.drift = drift_.load(std::memory_order_relaxed) != 0;

    // The wave pointers follow from one load of the form, so a block never mixes two forms.
    const int f = form();
    b.shape = f < kFirstWaveForm ? static_cast<LfoShape>(f) : LfoShape::Wave;
    if (b.shape == LfoShape::Wave && tables_ != nullptr) {
        const int w = f - 3;
        b.wavePrevious = tables_->wave(w - 1 < kFirstWave ? kLastWave : w - 1, 0);
        b.waveCurrent = tables_->wave(w, 0);
        b.waveNext = tables_->wave(w + 1 > kLastWave ? kFirstWave : w + 1, 0);
    } else {
        b.wavePrevious = b.waveCurrent = b.waveNext = nullptr;
    }

    b.symmetry = symmetry_.process(n, sampleRate_);
    b.morph = morph_.process(n, sampleRate_);
    b.startPhase = startPhase();
    b.amplitude = unit(slotValue(kAmp));
    const double fadeTime = lookupCurve01(tables::kFadeTime, unit(slotValue(kFadeIn)));
    b.fadeStep = fadeTime > 0.0 ? static_cast<float>(1.0 / (sr * fadeTime + 1.0)) : 0.0f;
    b.now = (engine_ != nullptr && engine_->clock != nullptr) ? engine_->clock() : 0.0;
    b.phaseBag = &phaseBag_;

    b.paramRate = parameterForSlot(kRate);
    b.paramSymmetry = parameterForSlot(kSym);
    b.paramMorph = parameterForSlot(kMorph);
    b.paramPhase = parameterForSlot(kPhase);
    b.paramAmplitude = parameterForSlot(kAmp);
}

void ModuleLfo::renderBlock(int frames) {
    const int n = std::min(frames, capacity_);
    if (n <= 0 || voiceContext_ == nullptr) return;
    prepareBlock(n);

    const bool shared = mono();
    for (int v = 0; v < kNumVoices; ++v)
        outputs_[v] = shared ? buffers_[kMonoVoice] : buffers_[v];

    auto renderVoice = [&](int v) {
        // Lane 2 marks the note starts that restart note-synchronised modulators.
        const float* gate = midi_ != nullptr ? midi_->gateLane(v, 2) : nullptr;
        lfoVoice(v)->render(block_, gate, voiceContext_->silentBeforeBlock[v] != 0);
    };
    bool monoRendered = false;
    if (voiceContext_->polyModeInEffect() && !shared) {
        for (int v = 0; v < kPolyVoices; ++v)
            if (voiceContext_->voiceSounding(v)) renderVoice(v);
    } else if (voiceContext_->voiceSounding(kMonoVoice)) {
        renderVoice(kMonoVoice);
        monoRendered = true;
    }
    // Global destinations read voice 16 whatever the mode.
    if (!monoRendered && matrix_ != nullptr && matrix_->sourceTier(kFirstLfoSource + index_) == 2)
        renderVoice(kMonoVoice);
}

} // namespace kolva
