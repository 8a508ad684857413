#include "engine/module_mixer.h"

#include "engine/module_matrix.h"
#include "engine/voice_context.h"

#include <algorithm>
#include <cstring>

namespace kolva {
namespace {

// Module slots: pan 0-3, level 4-7, filter input 8-11, mute 12-15.
constexpr int kSlotPan = 0;
constexpr int kSlotLevel = 4;
constexpr int kSlotInput = 8;
constexpr int kSlotMute = 12;
// Below this a level control fades the oscillator out instead of setting a level; only an
// exact 0 takes it out of the mix (and lets the engine skip rendering it).
constexpr float kLevelFloor = 0.03f;

// Adds one oscillator into the two sends. Pan and filter input are linear balances with unity
// gain at the centre: each side is full up to 0.5 and falls to 0 at the far end.
void mixOscillator(const float* __restrict inL, const float* __restrict inR,
                   const float* __restrict level, const float* __restrict pan,
                   const float* __restrict input, float* __restrict s1l, float* __restrict s1r,
                   float* __restrict s2l, float* __restrict s2r, int frames) {
    for (int i = 0; i < frames; ++i) {
        const float p = pan[i];
        const float s = input[i];
        const float gl = std::min(2.0f - 2.0f * p, 1.0f);
        const float gr = std::min(2.0f * p, 1.0f);
        const float f1 = std::min(2.0f - 2.0f * s, 1.0f);
        const float f2 = std::min(2.0f * s, 1.0f);
        const float xl = inL[i] * level[i] * gl;
        const float xr = inR[i] * level[i] * gr;
        s1l[i] += f1 * xl;
        s1r[i] += f1 * xr;
        s2l[i] += f2 * xl;
        s2r[i] += f2 * xr;
    }
}

} // namespace

ModuleMixer::ModuleMixer() {
    for (auto& m : mute_) m.store(1, std::memory_order_relaxed);
}

ModuleMixer::~ModuleMixer() = default;

void ModuleMixer::setParameter(int slot, float value) {
    Module::setParameter(slot, value);
    if (slot < 0 || slot >= kSlotMute + kOscillators) return;
    const int osc = slot % kOscillators;
    switch (slot / kOscillators) {
    case 0: pan_[osc].set(value); break;
    case 1:
        if (value >= kLevelFloor) {
            level_[osc].set(value - kLevelFloor);
            active_[osc].store(1, std::memory_order_relaxed);
        } else {
            level_[osc].set(0.0f);
            active_[osc].store(value != 0.0f ? 1 : 0, std::memory_order_relaxed);
        }
        break;
    case 2: filterInput_[osc].set(value); break;
    default:
        // Guarded so that a stray value cannot make the float-to-int conversion undefined.
        mute_[osc].store(
            1 - static_cast<int>((value > 0.0f ? std::min(value, 1.0f) : 0.0f) * 1.99f),
            std::memory_order_relaxed);
        break;
    }
}

void ModuleMixer::setBlockSize(int frames) {
    capacity_ = std::max(frames, 0);
    for (int k = 0; k < kOscillators; ++k) {
        pan_[k].allocate(*voiceContext_, capacity_);
        level_[k].allocate(*voiceContext_, capacity_);
        filterInput_[k].allocate(*voiceContext_, capacity_);
    }
    bool complete = true;
    for (auto& send : sends_)
        for (float*& b : send) {
            b = voiceContext_->allocate(capacity_, "mix send");
            complete = complete && b != nullptr;
        }
    if (!complete) capacity_ = 0; // an arena too small: the mixer stays silent
}

float* const* ModuleMixer::getAudioOutput(int index) {
    if (index < 0 || index >= kSends || capacity_ == 0) return nullptr;
    return sends_[index].data();
}

void ModuleMixer::setOscillatorOutputs(int osc, float* const* left, float* const* right) {
    if (osc < 0 || osc >= kOscillators) return;
    oscLeft_[osc] = left;
    oscRight_[osc] = right;
}

bool ModuleMixer::isOscillatorAudible(int n) const {
    if (n < 0 || n >= kOscillators) return false;
    return mute_[n].load(std::memory_order_relaxed) == 1 &&
           active_[n].load(std::memory_order_relaxed) != 0;
}

const float* ModuleMixer::modulated(int voice, int frames, int slot, const float* base) {
    const int param = parameterForSlot(slot);
    if (param < 0 || matrix_ == nullptr) return base;
    const float* out = matrix_->modulateBuffer(voice, frames, param, base);
    return out != nullptr ? out : base;
}

void ModuleMixer::renderBlock(int frames) {
    const int n = std::min(frames, capacity_);
    if (n <= 0) return;
    bool ready = true;
    for (int k = 0; k < kOscillators; ++k) {
        panBuf_[k] = pan_[k].process(n, sampleRate_);
        levelBuf_[k] = level_[k].process(n, sampleRate_);
        inputBuf_[k] = filterInput_[k].process(n, sampleRate_);
        ready = ready && panBuf_[k] && levelBuf_[k] && inputBuf_[k];
    }
    if (!ready) return;

    voiceContext_->forEachSoundingVoice([&](int v) { renderVoice(v, n); });
}

void ModuleMixer::renderVoice(int v, int n) {
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(n);
    for (auto& send : sends_) std::memset(send[v], 0, bytes);
    for (int k = 0; k < kOscillators; ++k) {
        if (!isOscillatorAudible(k) || oscLeft_[k] == nullptr || oscRight_[k] == nullptr) continue;
        const float* inL = oscLeft_[k][v];
        const float* inR = oscRight_[k][v];
        if (inL == nullptr || inR == nullptr) continue;
        // Three different destinations: each result stays valid while the others are asked.
        const float* level = modulated(v, n, kSlotLevel + k, levelBuf_[k]);
        const float* pan = modulated(v, n, kSlotPan + k, panBuf_[k]);
        const float* input = modulated(v, n, kSlotInput + k, inputBuf_[k]);
        mixOscillator(inL, inR, level, pan, input, sends_[0][v], sends_[1][v], sends_[2][v],
                      sends_[3][v], n);
    }
}

} // namespace kolva
