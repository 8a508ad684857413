#include "engine/filter_tables.h"

#include "engine/lookup_curve.h"

#include <cmath>
#include <cstddef>

namespace kolva::flt {
namespace {

// The fixed rows of each curve: {point, value}.
using Row = CurveRow;
constexpr Row kLadderRows[] = {{0, 0.000851},  {19, 0.002553}, {39, 0.008128}, {59, 0.026038},
                               {79, 0.085583}, {99, 0.30853},  {119, 1.0}};
constexpr Row kSvfRows[] = {{0, 0.000777},  {19, 0.002468}, {39, 0.007836}, {59, 0.024876},
                            {79, 0.078966}, {99, 0.24984},  {119, 0.738}};

FrequencyCurve complete(const Row (&rows)[7]) {
    FrequencyCurve c{};
    completeThroughRows(rows, 7, c.data(), kFrequencyPoints);
    return c;
}

} // namespace

// The curves are nearly exponential (about 6 % per point), so they are completed in the log
// domain with a monotone cubic (Fritsch-Carlson) through the fixed rows: it hits every row
// exactly, stays smooth (continuous slope) and cannot overshoot between rows.
void completeThroughRows(const CurveRow* rows, int count, float* out, int points) {
    constexpr int kMaxRows = 32;
    const int kRows = count;
    if (kRows < 2 || kRows > kMaxRows) return;
    double x[kMaxRows], y[kMaxRows], d[kMaxRows], m[kMaxRows];
    for (int i = 0; i < kRows; ++i) {
        x[i] = rows[i].point;
        y[i] = std::log(rows[i].value);
    }
    for (int i = 0; i + 1 < kRows; ++i) d[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
    m[0] = d[0];
    m[kRows - 1] = d[kRows - 2];
    for (int i = 1; i + 1 < kRows; ++i) {
        if (d[i - 1] * d[i] <= 0.0) {
            m[i] = 0.0;
        } else {
            // Weighted harmonic mean of the neighbouring slopes.
            const double h0 = x[i] - x[i - 1], h1 = x[i + 1] - x[i];
            const double w0 = 2.0 * h1 + h0, w1 = h1 + 2.0 * h0;
            m[i] = (w0 + w1) / (w0 / d[i - 1] + w1 / d[i]);
        }
    }
    int seg = 0;
    for (int p = 0; p < points; ++p) {
        while (seg + 2 < kRows && p > rows[seg + 1].point) ++seg;
        const double h = x[seg + 1] - x[seg];
        const double t = (p - x[seg]) / h;
        const double t2 = t * t, t3 = t2 * t;
        const double v = (2 * t3 - 3 * t2 + 1) * y[seg] + (t3 - 2 * t2 + t) * h * m[seg] +
                         (-2 * t3 + 3 * t2) * y[seg + 1] + (t3 - t2) * h * m[seg + 1];
        out[p] = static_cast<float>(std::exp(v));
    }
}

const FrequencyCurve& ladderFrequencyCurve() {
    static const FrequencyCurve c = complete(kLadderRows);
    return c;
}

const FrequencyCurve& svfFrequencyCurve() {
    static const FrequencyCurve c = complete(kSvfRows);
    return c;
}

float readFrequencyCurve(const FrequencyCurve& curve, float x) {
    return lookupCurve(curve.data(), kFrequencyPoints, x * static_cast<float>(kFrequencyPoints - 1));
}

} // namespace kolva::flt
