#pragma once
// Decoding the engine values modules receive (0..1) into controls, option indices and switches.
// Anything outside 0..1, NaN included, is clamped first, so a stray value can neither reach a
// table out of range nor make a float-to-int conversion undefined.

namespace kolva {

inline float clampUnit(float v) { return v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f; }

// Option k arrives as k / 999: index = int(v x 999.99).
inline int optionIndex(float v) { return static_cast<int>(clampUnit(v) * 999.99f); }

// Two-way switches: int(v x 1.99).
inline bool switchOn(float v) { return static_cast<int>(clampUnit(v) * 1.99f) != 0; }

} // namespace kolva
