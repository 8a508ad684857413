#include "fx/delay_line.h"

#include "engine/voice_context.h"

#include <algorithm>
#include <cmath>

namespace kolva::fx {

float DelayLine::readInteger(int delay) const {
    if (data == nullptr) return 0.0f;
    delay = std::clamp(delay, 0, length - 1);
    int i = write - delay;
    if (i < 0) i += length;
    return data[i];
}

float DelayLine::readLinear(float delay) const {
    if (data == nullptr) return 0.0f;
    // NaN and out-of-range delays land inside the line.
    const float d = delay > 0.0f ? std::min(delay, static_cast<float>(length - 2)) : 0.0f;
    const int whole = static_cast<int>(d);
    const float frac = d - static_cast<float>(whole);
    int i = write - whole;
    if (i < 0) i += length;
    int j = i - 1;
    if (j < 0) j += length;
    return (1.0f - frac) * data[i] + frac * data[j];
}

float DelayLine::readCubic(float delay) const {
    if (data == nullptr) return 0.0f;
    const float d = delay > 0.0f ? std::min(delay, static_cast<float>(length - 3)) : 0.0f;
    // Whole and fraction are split before the write index enters, so the fraction does not
    // wobble with the index's float precision (a still delay would turn time-variant).
    const int whole = static_cast<int>(d);
    const float frac = d - static_cast<float>(whole);
    // Position write - d lies between samples i and i + 1, at t from i.
    int i = write - whole - (frac > 0.0f ? 1 : 0);
    const float t = frac > 0.0f ? 1.0f - frac : 0.0f;
    if (i < 0) i += length;
    const int im1 = i == 0 ? length - 1 : i - 1;
    const int ip1 = i + 1 >= length ? i + 1 - length : i + 1;
    const int ip2 = i + 2 >= length ? i + 2 - length : i + 2;
    const float y0 = data[im1], y1 = data[i], y2 = data[ip1], y3 = data[ip2];
    // Catmull-Rom through y1..y2.
    const float a = -0.5f * y0 + 1.5f * y1 - 1.5f * y2 + 0.5f * y3;
    const float b = y0 - 2.5f * y1 + 2.0f * y2 - 0.5f * y3;
    const float c = -0.5f * y0 + 0.5f * y2;
    return ((a * t + b) * t + c) * t + y1;
}

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
