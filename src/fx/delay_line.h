#pragma once
// Delay lines and scratch buffers of the effect cores. Both are carved from the engine's
// arena at prepare time (sample rate or block size changed); processing only reads, writes
// and clears them.

#include <algorithm>
#include <array>
#include <cstdint>

namespace kolva {
class SharedVoiceContext;
}

namespace kolva::fx {

// A circular line written at `write`, which advances after each sample.
struct DelayLine {
    float seconds = 0.0f; // duration it is sized for
    int length = 0;       // samples: int(sampleRate * seconds), at least 4 once carved
    float* data = nullptr;
    int write = 0;

    bool ready() const { return data != nullptr; }
    void put(float x) { data[write] = x; }
    void advance() {
        if (++write >= length) write = 0;
    }
    void push(float x) {
        put(x);
        advance();
    }
    // Whole samples back from the write index (clamped to the line).
    float readInteger(int delay) const;
    // Linear read d samples back: line[w - int(d)] blended towards the sample before it.
    float readLinear(float delay) const;
    // Catmull-Rom read at write - d (wrapped into the line).
    float readCubic(float delay) const;
    void clear();
};

// Reads are inline: the effects call them several times per sample.
inline float DelayLine::readInteger(int delay) const {
    if (data == nullptr) return 0.0f;
    delay = std::clamp(delay, 0, length - 1);
    int i = write - delay;
    if (i < 0) i += length;
    return data[i];
}

inline float DelayLine::readLinear(float delay) const {
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

inline float DelayLine::readCubic(float delay) const {
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

// The lines of one core, registered once with their durations.
class DelayLineRegistry {
public:
    static constexpr int kMaxLines = 40;

    // Registers a line of `seconds`; returns its index (-1 when the registry is full).
    int add(float seconds);
    // Re-carves every line for `sampleRate`, zero-filled. False when the arena is short (those
    // lines stay empty and read as silence).
    bool carve(SharedVoiceContext& context, float sampleRate);
    void clear();
    DelayLine& operator[](int i) { return lines_[static_cast<std::size_t>(i)]; }
    const DelayLine& operator[](int i) const { return lines_[static_cast<std::size_t>(i)]; }
    int size() const { return count_; }
    bool ready() const { return ready_; }

private:
    std::array<DelayLine, kMaxLines> lines_{};
    int count_ = 0;
    bool ready_ = false;
};

// Per-block working buffers: `count` buffers of blockSize * factor floats.
class ScratchBuffers {
public:
    static constexpr int kMaxBuffers = 16;

    void configure(int count, int factor);
    bool carve(SharedVoiceContext& context, int blockSize);
    float* operator[](int i) const { return buffers_[static_cast<std::size_t>(i)]; }
    int capacity() const { return capacity_; } // floats per buffer
    int factor() const { return factor_; }
    bool ready() const { return ready_; }

private:
    std::array<float*, kMaxBuffers> buffers_{};
    int count_ = 0;
    int factor_ = 1;
    int capacity_ = 0;
    bool ready_ = false;
};

} // namespace kolva::fx
