#pragma once
// The clamped table lookup every module uses for its control curves: linear interpolation in a
// table of n points at a position 0..n-1 (clamped; NaN reads as 0).

#include <cmath>

namespace kolva {

inline float lookupCurve(const float* table, int n, float position) {
    if (!(position > 0.0f)) return table[0]; // also NaN
    const float last = static_cast<float>(n - 1);
    if (position >= last) return table[n - 1];
    const int i = static_cast<int>(position);
    const float f = position - static_cast<float>(i);
    return table[i] + (table[i + 1] - table[i]) * f;
}

// The same for a control x in 0..1 spread over the whole table.
template <int N> inline float lookupCurve01(const float (&table)[N], float x) {
    return lookupCurve(table, N, x * static_cast<float>(N - 1));
}

} // namespace kolva
