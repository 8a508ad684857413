#pragma once
// What the ladder kernels (Perfecto, Acido) and the state-variable kernel (Infecto) share: the
// guards on their controls and inputs, the settling of decayed states and the split of a block
// at the note starts that clear the state. Audio thread only; nothing here allocates.

#include "engine/filter_kernel.h"

#include <algorithm>
#include <cmath>

namespace kolva::flt::detail {

// The frequency curves are tuned at 44.1 kHz; other rates rescale them. Rates outside the
// supported range (or NaN) are held at its edges.
inline float rateScale(float sampleRate) {
    float sr = sampleRate;
    if (!(sr >= 22050.0f)) sr = 22050.0f;
    if (sr > 192000.0f) sr = 192000.0f;
    return 44100.0f / sr;
}

// A control clamped to 0..1 with NaN reading as 0 (operand order matters for NaN).
inline float unitClamp(float v) {
    return std::min(1.0f, std::max(0.0f, v));
}

// Far above anything a voice produces, low enough that no state can overflow even at full
// resonance; NaN reads as silence so one bad sample cannot poison the state.
inline float boundInput(float x) {
    constexpr float kLimit = 1.0e4f;
    if (std::fabs(x) <= kLimit) return x;
    return x > 0.0f ? kLimit : (x < 0.0f ? -kLimit : 0.0f);
}

// Run once per block: a decaying state would otherwise end up stuck at a subnormal value (the
// coefficient times the smallest step rounds back to itself) and slow every later sample.
inline void settle(float& v) {
    const float m = std::fabs(v);
    if (!(m > 1.0e-20f && m < 1.0e20f)) v = 0.0f;
}

// Calls run(begin, end) over the block, split where a note starts on a voice that was silent,
// with zero() clearing the state before the note's first sample.
template <class Run, class Zero>
void runNoteSegments(const FilterBlock& b, Run&& run, Zero&& zero) {
    int begin = 0;
    if (b.voiceSilent && b.retrig != nullptr) {
        for (int i = 0; i < b.frames; ++i) {
            if (b.retrig[i] < 0.5f) continue;
            if (i > begin) run(begin, i);
            zero();
            begin = i;
        }
    }
    if (b.frames > begin) run(begin, b.frames);
}

// Modes the caller should never send: the signal passes.
inline void passThrough(const FilterBlock& b) {
    std::copy(b.inL, b.inL + b.frames, b.outL);
    std::copy(b.inR, b.inR + b.frames, b.outR);
}

} // namespace kolva::flt::detail
