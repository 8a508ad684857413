#pragma once
// The filters' shared 120-point frequency curves: the ladder curve (Perfecto, Acido) and the
// state-variable curve (Infecto; Combo and Scorpio read it too). Only some rows are fixed; the
// rest are completed smoothly through them (see filter_tables.cpp). Built once per process on
// first use (thread-safe); call at setup, not on the audio thread.

#include <array>

namespace kolva::flt {

inline constexpr int kFrequencyPoints = 120;
using FrequencyCurve = std::array<float, kFrequencyPoints>;

// Normalised frequency at the reference rate 44100 Hz (scale by 44100 / sampleRate).
const FrequencyCurve& ladderFrequencyCurve();
const FrequencyCurve& svfFrequencyCurve();

// A curve read at x in 0..1 (clamped, NaN reads as 0) with linear interpolation.
float readFrequencyCurve(const FrequencyCurve& curve, float x);

} // namespace kolva::flt
