#include "fx/delay_line.h"

#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>

namespace kolva::fx {

void DelayLine::clear() {
    if (data != nullptr) std::fill(data, data + length, 0.0f);
    write = 0;
}

int DelayLineRegistry::add(float seconds) {
    if (count_ >= kMaxLines) return -1;
    lines_[static_cast<std::size_t>(count_)] = DelayLine{seconds, 0, nullptr, 0};
    return count_++;
}

bool DelayLineRegistry::carve(SharedVoiceContext& context, float sampleRate) {
    ready_ = true;
    for (int i = 0; i < count_; ++i) {
        DelayLine& line = lines_[static_cast<std::size_t>(i)];
        const int length = std::max(4, static_cast<int>(sampleRate * line.seconds));
        line.data = context.allocate(length, "delay line");
        line.length = line.data != nullptr ? length : 0;
        line.write = 0;
        if (line.data == nullptr) ready_ = false;
    }
    return ready_;
}

void DelayLineRegistry::clear() {
    for (int i = 0; i < count_; ++i) lines_[static_cast<std::size_t>(i)].clear();
}

void ScratchBuffers::configure(int count, int factor) {
    count_ = std::clamp(count, 0, kMaxBuffers);
    factor_ = std::max(factor, 1);
}

bool ScratchBuffers::carve(SharedVoiceContext& context, int blockSize) {
    capacity_ = std::max(blockSize, 0) * factor_;
    ready_ = true;
    for (int i = 0; i < count_; ++i) {
        buffers_[static_cast<std::size_t>(i)] = context.allocate(capacity_, "fx scratch");
        if (buffers_[static_cast<std::size_t>(i)] == nullptr) ready_ = false;
    }
    if (!ready_) capacity_ = 0;
    return ready_;
}

} // namespace kolva::fx
