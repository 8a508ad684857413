#include "engine/module_filter.h"

#include "engine/engine_value.h"
#include "engine/module_midi.h"
#include "engine/voice_context.h"

#include <algorithm>

namespace kolva {
namespace {


} // namespace

void ModuleFilter::setParameter(int slot, float value) {
    const float v = clampUnit(value);
    Module::setParameter(slot, v);
    switch (slot) {
    case kCut1: cut1_.set(v); break;
    case kRes1: res1_.set(v); break;
    case kCut2: cut2_.set(v); break;
    case kRes2: res2_.set(v); break;
    case kBalance: balance_.set(v); break;
    default: break;
    }
}

VoiceFilter* ModuleFilter::filterVoice(int v) const {
    return (v >= 0 && v < kNumVoices) ? static_cast<VoiceFilter*>(voices_[v].get()) : nullptr;
}

void ModuleFilter::setBlockSize(int frames) {
    capacity_ = 0;
    for (auto& side : outputs_) side.fill(nullptr);
    if (voiceContext_ == nullptr) return;
    const int n = std::max(frames, 0);
    bool ok = true;
    for (SmoothedParam* p : {&cut1_, &res1_, &cut2_, &res2_, &balance_}) {
        p->allocate(*voiceContext_, n);
        ok = ok && p->buffer() != nullptr;
    }
    for (int v = 0; v < kNumVoices; ++v) {
        VoiceFilter* voice = filterVoice(v);
        if (voice == nullptr || !voice->setBlockSize(*voiceContext_, n)) {
            ok = false;
            continue;
        }
        outputs_[0][v] = voice->left();
        outputs_[1][v] = voice->right();
    }
    if (ok) capacity_ = n; // an arena too small leaves the section silent
}

void ModuleFilter::reset() {
    for (int v = 0; v < kNumVoices; ++v)
        if (VoiceFilter* voice = filterVoice(v)) voice->reset();
}

float* const* ModuleFilter::getAudioOutput(int index) {
    if (capacity_ == 0 || index < 0 || index > 1) return nullptr;
    return outputs_[index].data();
}

void ModuleFilter::prepareBlock(int n) {
    FilterModuleBlock& m = block_;
    m.frames = n;
    m.sampleRate = sampleRate_;
    m.parallel = switchOn(slotValue(kRouting));
    m.link = switchOn(slotValue(kLink));
    m.type = {std::min(optionIndex(slotValue(kType1)), flt::kFilterTypes - 1),
              std::min(optionIndex(slotValue(kType2)), flt::kFilterTypes - 1)};
    m.mode = {std::min(optionIndex(slotValue(kMode1)), flt::kModes - 1),
              std::min(optionIndex(slotValue(kMode2)), flt::kModes - 1)};
    m.keyTrack = (clampUnit(slotValue(kKeyTrack)) * 2.0f - 1.0f) * 1.066667f;
    m.cut1 = cut1_.process(n, sampleRate_);
    m.res1 = res1_.process(n, sampleRate_);
    m.cut2 = cut2_.process(n, sampleRate_);
    m.res2 = res2_.process(n, sampleRate_);
    m.balance = balance_.process(n, sampleRate_);
    m.paramCut1 = parameterForSlot(kCut1);
    m.paramRes1 = parameterForSlot(kRes1);
    m.paramCut2 = parameterForSlot(kCut2);
    m.paramRes2 = parameterForSlot(kRes2);
    m.paramBalance = parameterForSlot(kBalance);
}

void ModuleFilter::renderBlock(int frames) {
    const int n = std::min(frames, capacity_);
    if (n <= 0 || voiceContext_ == nullptr) return;
    prepareBlock(n);
    float* const* pitch = midi_ != nullptr ? midi_->getModOutput(ModuleMidi::kOutPitch) : nullptr;
    auto renderVoice = [&](int v) {
        const float* const a[2] = {inputs_[0] ? inputs_[0][v] : nullptr,
                                   inputs_[1] ? inputs_[1][v] : nullptr};
        const float* const b[2] = {inputs_[2] ? inputs_[2][v] : nullptr,
                                   inputs_[3] ? inputs_[3][v] : nullptr};
        const float* p = pitch != nullptr ? pitch[v] : nullptr;
        // Lane 2 marks every note start (the filters zero their state on a fresh one).
        const float* gate = midi_ != nullptr ? midi_->gateLane(v, 2) : nullptr;
        filterVoice(v)->render(block_, a, b, p, gate, voiceContext_->silentBeforeBlock[v] != 0);
    };
    voiceContext_->forEachSoundingVoice(renderVoice);
}

} // namespace kolva
