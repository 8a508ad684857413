#pragma once
// Small pieces every oscillator type shares: the guard that starts a block, control and gain
// sanitising, and the functor that adds one unison copy into the voice's stereo sum.
//
// Threads: audio thread (inline helpers, no state).

#include "engine/engine_value.h"
#include "engine/osc_generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kolva::osc {

// A control limited to 0..1; NaN reads as 0.
inline float unit(float x) { return clampUnit(x); }

inline float finiteOr0(float x) { return std::isfinite(x) ? x : 0.0f; }

inline int copiesOf(const OscBlock& b) { return std::clamp(b.copies, 1, kMaxCopies); }

// Clears the block's output; false when there is nothing more to do (no output, or an input
// missing), so the voice stays silent rather than reading a null buffer.
inline bool startBlock(const OscBlock& b) {
    if (b.frames <= 0 || b.left == nullptr || b.right == nullptr) return false;
    const std::size_t bytes = sizeof(float) * static_cast<std::size_t>(b.frames);
    std::memset(b.left, 0, bytes);
    std::memset(b.right, 0, bytes);
    return b.pitch != nullptr && b.retrig != nullptr && b.ctrlA != nullptr && b.ctrlB != nullptr &&
           b.ctrlBOffset != nullptr && b.wtMix != nullptr && b.tables != nullptr &&
           b.increments != nullptr;
}

// Adds one copy into the stereo sum with its gains (a non-finite gain counts as 0).
struct CopySum {
    float* left;
    float* right;
    float gainLeft;
    float gainRight;
    void operator()(int i, float s) const {
        left[i] += gainLeft * s;
        right[i] += gainRight * s;
    }
};

inline CopySum copySum(const OscBlock& b, int j) {
    const auto k = static_cast<std::size_t>(j);
    return {b.left, b.right, finiteOr0(b.gainLeft[k]), finiteOr0(b.gainRight[k])};
}

} // namespace kolva::osc
