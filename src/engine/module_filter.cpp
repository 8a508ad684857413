#include "engine/module_filter.h"

#include "engine/voice_context.h"

#include <cstring>

namespace kolva {

void ModuleFilter::setBlockSize(int frames) {
    frames_ = 0;
    for (auto& side : outputs_) side.fill(nullptr);
    bool ok = frames > 0 && voiceContext_ != nullptr;
    for (int v = 0; ok && v < kNumVoices; ++v)
        for (int c = 0; c < 2; ++c) {
            outputs_[c][v] = voiceContext_->allocate(frames + 4, c == 0 ? "filter out L" : "filter out R");
            ok = outputs_[c][v] != nullptr;
        }
    if (ok) frames_ = frames;
}

float* const* ModuleFilter::getAudioOutput(int index) {
    if (frames_ == 0 || index < 0 || index > 1) return nullptr;
    return outputs_[index].data();
}

void ModuleFilter::renderBlock(int frames) {
    if (frames_ == 0 || frames > frames_) return;
    const bool poly = voiceContext_->polyModeInEffect();
    for (int v = 0; v < kNumVoices; ++v) {
        const bool run = (v == kMonoVoice) ? !poly : poly;
        if (!run || !voiceContext_->voiceSounding(v)) continue;
        for (int c = 0; c < 2; ++c) {
            float* out = outputs_[c][v];
            const float* a = inputs_[c] ? inputs_[c][v] : nullptr;
            const float* b = inputs_[2 + c] ? inputs_[2 + c][v] : nullptr;
            if (a && b) {
                for (int i = 0; i < frames; ++i) out[i] = a[i] + b[i];
            } else if (a || b) {
                std::memcpy(out, a ? a : b, sizeof(float) * static_cast<std::size_t>(frames));
            } else {
                std::memset(out, 0, sizeof(float) * static_cast<std::size_t>(frames));
            }
        }
    }
}

} // namespace kolva
