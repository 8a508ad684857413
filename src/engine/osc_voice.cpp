#include "engine/osc_voice.h"

#include "engine/module_matrix.h"
#include "engine/osc_tables.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cstring>

namespace kolva {
namespace {

constexpr float kUntrackedPitch = 48.0f / 127.0f; // key tracking off: every note plays note 48
constexpr float kIdlePitch = 60.0f / 127.0f;      // no pitch signal connected
constexpr float kWaveModRange = 48.0f;            // wave modulation raises the index by up to 48

} // namespace

std::unique_ptr<OscGenerator> makeGenerator(OscType type) {
    switch (type) {
    case OscType::Classic: return makeClassicGenerator();
    case OscType::Noise: return makeNoiseGenerator();
    case OscType::FM: return makeFmGenerator();
    case OscType::AMSync: return makeAmSyncGenerator();
    case OscType::SawPwm: return makeSawPwmGenerator();
    case OscType::HardFM: return makeHardFmGenerator();
    case OscType::Vowel: return makeVowelGenerator();
    }
    return makeClassicGenerator();
}

VoiceOscillator::VoiceOscillator() {
    for (int t = 0; t < kOscTypes; ++t) generators_[t] = makeGenerator(static_cast<OscType>(t));
}

VoiceOscillator::~VoiceOscillator() = default;

bool VoiceOscillator::setBlockSize(SharedVoiceContext& context, int frames) {
    capacity_ = 0;
    lastFrames_ = -1;
    const int n = std::max(frames, 0);
    left_ = context.allocate(n + 4, "osc L");
    right_ = context.allocate(n + 4, "osc R");
    pitch_ = context.allocate(n + 4, "pitchBuff");
    retrig_ = context.allocate(n + 4, "retrigBuff");
    ctrlBOffset_ = context.allocate(n + 4, "ctrlBBuffI");
    bool ok = left_ && right_ && pitch_ && retrig_ && ctrlBOffset_;
    for (auto& g : generators_) ok = g->setBlockSize(context, n) && ok;
    if (ok) capacity_ = n;
    return ok;
}

int VoiceOscillator::voice() const {
    return (index_ >= 0 && index_ < kNumVoices) ? index_ : 0;
}

float VoiceOscillator::scalar(int param, int frames, float base) const {
    if (matrix_ == nullptr || param < 0) return base;
    return matrix_->modulateScalar(voice(), frames, param, base);
}

const float* VoiceOscillator::buffer(int param, int frames, const float* base) const {
    if (matrix_ == nullptr || param < 0) return base;
    const float* out = matrix_->modulateBuffer(voice(), frames, param, base);
    return out != nullptr ? out : base;
}

void VoiceOscillator::layoutCopies(const OscModuleBlock& m, float width, float detune,
                                   float density) {
    const int c = std::clamp(m.copies, 1, osc::kMaxCopies);
    const float sign = m.invert ? -1.0f : 1.0f;
    const float level = osc::unisonLevel(c) * sign;
    const float spreadSemitones = osc::detuneAmount(detune);
    for (int j = 0; j < osc::kMaxCopies; ++j) {
        const auto k = static_cast<std::size_t>(j);
        if (j >= c) {
            block_.gainLeft[k] = block_.gainRight[k] = block_.offset[k] = 0.0f;
            block_.startPhase[k] = 0.0f;
            continue;
        }
        const float q = (width * osc::unisonPan(c, j) + 1.0f) * 0.5f;
        const float middle = j == c / 2 ? osc::middleCopyGain(c) : 1.0f;
        block_.gainLeft[k] = (1.0f - q) * level * middle;
        block_.gainRight[k] = q * level * middle;
        block_.offset[k] = spreadSemitones * osc::unisonSpread(density, c, j) + m.pitchOffset +
                           osc::chordOffset(m.chord, c, j);
    }
    block_.copies = c;
}

void VoiceOscillator::render(const OscModuleBlock& m, const float* pitch, const float* gate,
                             bool silentBefore) {
    const int n = std::min(m.frames, capacity_);
    if (n <= 0 || m.tables == nullptr || m.increments == nullptr) return;
    if (n != lastFrames_) {
        const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(capacity_ + 4);
        std::memset(left_, 0, bytes);
        std::memset(right_, 0, bytes);
        lastFrames_ = n;
    }
    const int v = voice();

    // The voice's modulated controls.
    const float width = scalar(m.paramWidth, n, m.width);
    const float* ctrlA = buffer(m.paramCtrlA, n, m.ctrlA);
    const float* ctrlB = buffer(m.paramCtrlB, n, m.ctrlB);
    const float* wtMix = buffer(m.paramWtMix, n, m.wtMix);
    const float detune = scalar(m.paramDetune, n, m.detune);
    const float density = scalar(m.paramDensity, n, m.density);
    const float phase = scalar(m.paramPhase, n, m.phaseValue);
    const float waveMod =
        (matrix_ != nullptr && m.paramWave >= 0) ? matrix_->modulateScalarMax(v, n, m.paramWave)
                                                 : 0.0f;
    const bool ctrlAModulated = matrix_ != nullptr && matrix_->isModulated(m.paramCtrlA);
    const bool wtMixModulated = matrix_ != nullptr && matrix_->isModulated(m.paramWtMix);

    layoutCopies(m, width, detune, density);

    // Base pitch, note starts, CtrlB as a table offset.
    if (!m.keyTrack || pitch == nullptr) {
        std::fill(pitch_, pitch_ + n, m.keyTrack ? kIdlePitch : kUntrackedPitch);
    } else {
        std::copy(pitch, pitch + n, pitch_);
    }
    if (gate != nullptr) {
        for (int i = 0; i < n; ++i) retrig_[i] = gate[i] == 1.0f ? 1.0f : 0.0f;
    } else {
        std::fill(retrig_, retrig_ + n, 0.0f);
    }
    for (int i = 0; i < n; ++i)
        ctrlBOffset_[i] = static_cast<float>(2 * static_cast<int>(ctrlB[i] * 4096.0f));

    // Wave: the modulation raises the index, limited to the last wave.
    const int w = std::clamp(m.wave + static_cast<int>(waveMod * kWaveModRange), 0, osc::kWaves - 1);
    waveChanged_ = w != lastWave_ || waveMod != lastWaveMod_;
    if (waveChanged_) {
        wave_ = w;
        lastWave_ = w;
        lastWaveMod_ = waveMod;
    }

    // Pitch modulation: all oscillators first, then this oscillator's own destination.
    const float* p = pitch_;
    if (matrix_ != nullptr) {
        if (m.paramAllPitch >= 0) p = matrix_->modulateAdd(v, n, m.paramAllPitch, p);
        if (m.paramPitch >= 0) p = matrix_->modulateAdd(v, n, m.paramPitch, p);
    }

    // A zero phase in the one-voice situations lets the phase run on (legato), except that
    // random phases keep unison copies apart.
    PhaseMode mode = m.phaseMode;
    if (phase == 0.0f && (m.monoMode || m.singleVoice) &&
        !(m.phaseMode == PhaseMode::Random && block_.copies >= 2))
        mode = PhaseMode::None;
    for (int j = 0; j < block_.copies; ++j)
        block_.startPhase[static_cast<std::size_t>(j)] =
            static_cast<float>(j + 1) / static_cast<float>(block_.copies) * phase * 4095.0f;

    block_.frames = n;
    block_.pitch = p;
    block_.retrig = retrig_;
    block_.ctrlA = ctrlA;
    block_.ctrlB = ctrlB;
    block_.ctrlBOffset = ctrlBOffset_;
    block_.wtMix = wtMix;
    block_.ctrlAModulated = ctrlAModulated;
    block_.wtMixModulated = wtMixModulated;
    block_.ctrlAZero = !ctrlAModulated && m.ctrlAConstZero;
    block_.wtMixZero = !wtMixModulated && m.wtMixConstZero;
    block_.wtMixOne = !wtMixModulated && m.wtMixConstOne;
    block_.ctrlATarget = m.ctrlATarget;
    block_.phaseMode = mode;
    block_.phaseValue = phase;
    block_.wave = wave_;
    block_.width = width;
    block_.keyTrack = m.keyTrack;
    block_.voiceSilent = silentBefore;
    block_.fadeEnabled = m.fadeEnabled;
    block_.secondsSincePreviousNote = m.secondsSincePreviousNote;
    block_.sampleRate = m.sampleRate;
    block_.fadeStep = m.fadeStep;
    block_.tables = m.tables;
    block_.increments = m.increments;
    block_.left = left_;
    block_.right = right_;

    const int t = std::clamp(static_cast<int>(m.type), 0, kOscTypes - 1);
    generators_[static_cast<std::size_t>(t)]->render(block_);
}

} // namespace kolva
