#pragma once
// Delay lines and scratch buffers of the effect cores. Both are carved from the engine's
// arena at prepare time (sample rate or block size changed); processing only reads, writes
// and clears them.

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
