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

// A fixed row of a curve that is completed between its rows.
struct CurveRow {
    int point;
    double value;
};
// Fills out[0..points) through rows (ascending points, positive values, first at 0, last at
// points - 1): a monotone cubic in the log domain that hits every row exactly.
void completeThroughRows(const CurveRow* rows, int count, float* out, int points);

// A curve read at x in 0..1 (clamped, NaN reads as 0) with linear interpolation.
float readFrequencyCurve(const FrequencyCurve& curve, float x);

} // namespace kolva::flt
