#pragma once
// The oscillators' constant control tables: fine tune, unison detune, the four unison spread
// shapes, the per-count levels and pans, the 18 chord modes and the two phase tables of the
// random start phase. Read-only data; any thread.

#include <array>

namespace kolva::osc {

inline constexpr int kMaxCopies = 9;  // unison copies per voice
inline constexpr int kChordModes = 18;
inline constexpr int kRandomPhases = 18;

// Fine control 0..1 -> semitones -0.99..+0.99, finest near the centre.
float fineTune(float fine);
// Detune control 0..1 -> semitone multiplier of the spread (0..1).
float detuneAmount(float detune);
// Spread of copy j (semitone multiplier) for `copies` copies at density 0..1.
float unisonSpread(float density, int copies, int j);
// Overall level of each copy for `copies` copies (1..9).
float unisonLevel(int copies);
// Stereo position -1 (left) .. 1 (right) of copy j.
float unisonPan(int copies, int j);
// Gain of the middle copy relative to the others (odd counts of 3 and more).
float middleCopyGain(int copies);
// Semitone offset of copy j in chord mode `mode` (0..17).
float chordOffset(int mode, int copies, int j);

// The two source tables of the random start phase (table points 0..4095), dealt in turn.
extern const std::array<float, kRandomPhases> kRandomPhaseFirst;
extern const std::array<float, kRandomPhases> kRandomPhaseSecond;

} // namespace kolva::osc
