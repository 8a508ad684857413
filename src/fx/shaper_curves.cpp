#include "fx/shaper_curves.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace kolva::fx {
namespace {

struct Knot {
    int index;
    double value;
};

// Piecewise cubic Hermite through the knots (C1). Tangents are the three-point (parabola)
// slopes, so a pair of neighbouring knots acts as a slope hint. Where the data keeps rising or
// falling through a knot the tangent is limited to three times the smaller secant, which keeps
// those stretches monotone; at a knot where the data turns, the tangent is left free so the
// curve can peak between knots (curve E tops out near 0.44 between rows 5/8 and 3/4).
void fillHermite(std::vector<Knot> knots, ShaperCurves::Curve& out) {
    std::sort(knots.begin(), knots.end(),
              [](const Knot& a, const Knot& b) { return a.index < b.index; });
    knots.erase(std::unique(knots.begin(), knots.end(),
                            [](const Knot& a, const Knot& b) { return a.index == b.index; }),
                knots.end());
    const std::size_t n = knots.size();
    std::vector<double> h(n - 1), delta(n - 1), m(n);
    for (std::size_t j = 0; j + 1 < n; ++j) {
        h[j] = knots[j + 1].index - knots[j].index;
        delta[j] = (knots[j + 1].value - knots[j].value) / h[j];
    }
    for (std::size_t j = 1; j + 1 < n; ++j) {
        const double dl = delta[j - 1], dr = delta[j];
        double t = (h[j] * dl + h[j - 1] * dr) / (h[j - 1] + h[j]);
        if (dl * dr > 0.0) {
            const double limit = 3.0 * std::min(std::fabs(dl), std::fabs(dr));
            t = std::clamp(t, -limit, limit);
        }
        m[j] = t;
    }
    // Ends: one-sided three-point slope, kept on the side of the first (last) secant.
    const auto endSlope = [](double h0, double h1, double d0, double d1) {
        double t = ((2.0 * h0 + h1) * d0 - h0 * d1) / (h0 + h1);
        if (t * d0 <= 0.0) return 0.0;
        if (d0 * d1 <= 0.0 && std::fabs(t) > 3.0 * std::fabs(d0)) t = 3.0 * d0;
        return t;
    };
    m[0] = endSlope(h[0], h[1], delta[0], delta[1]);
    m[n - 1] = endSlope(h[n - 2], h[n - 3], delta[n - 2], delta[n - 3]);

    for (std::size_t j = 0; j + 1 < n; ++j) {
        const double p0 = knots[j].value, p1 = knots[j + 1].value;
        const double m0 = m[j] * h[j], m1 = m[j + 1] * h[j];
        for (int i = knots[j].index; i <= knots[j + 1].index; ++i) {
            const double t = (i - knots[j].index) / h[j];
            const double t2 = t * t, t3 = t2 * t;
            out[static_cast<std::size_t>(i)] =
                static_cast<float>((2 * t3 - 3 * t2 + 1) * p0 + (t3 - 2 * t2 + t) * m0 +
                                   (-2 * t3 + 3 * t2) * p1 + (t3 - t2) * m1);
        }
    }
}

std::vector<Knot> rowKnots(const float (&rows)[kShaperRowCount]) {
    std::vector<Knot> knots;
    for (int k = 0; k < kShaperRowCount; ++k)
        knots.push_back({shaperRowIndex(k), rows[k]});
    return knots;
}

// A point-symmetric curve: every row also fixes its mirror point, and the result is made
// exactly odd about the middle.
void fillSymmetric(const float (&rows)[kShaperRowCount], ShaperCurves::Curve& out) {
    std::vector<Knot> knots = rowKnots(rows);
    for (int k = 0; k < kShaperRowCount; ++k)
        knots.push_back(
            {kShaperCurvePoints - 1 - shaperRowIndex(k), -static_cast<double>(rows[k])});
    fillHermite(std::move(knots), out);
    for (int i = 0; i < kShaperCurvePoints / 2; ++i) {
        const auto lo = static_cast<std::size_t>(i);
        const auto hi = static_cast<std::size_t>(kShaperCurvePoints - 1 - i);
        const float v = 0.5f * (out[lo] - out[hi]);
        out[lo] = v;
        out[hi] = -v;
    }
}

ShaperCurves build() {
    ShaperCurves c{};
    constexpr double pi = std::numbers::pi;
    fillSymmetric(kRowsSoftA, c.softA);
    fillSymmetric(kRowsWarmB, c.warmB);
    fillSymmetric(kRowsHardC, c.hardC);

    std::vector<Knot> tube = rowKnots(kRowsTubeE);
    tube.push_back({kShaperCurvePoints / 2 - 1, kTubeEMiddleLow});
    fillHermite(std::move(tube), c.tubeE);
    fillHermite(rowKnots(kRowsAsymNegative), c.asymNegative);

    for (int i = 0; i < kShaperCurvePoints; ++i) {
        const auto s = static_cast<std::size_t>(i);
        c.linearD[s] = static_cast<float>(-0.9 + 1.8 * i / (kShaperCurvePoints - 1));
        c.sine[s] = static_cast<float>(-std::sin(2.0 * pi * i / (kShaperCurvePoints - 1)));
        c.doubleSine[s] = static_cast<float>(i < 512 ? std::sin(i * 4.0 * pi / 511.0 - 2.0 * pi)
                                                     : std::sin((i - 512) * pi / 511.0));
    }
    return c;
}

} // namespace

const ShaperCurves& shaperCurves() {
    static const ShaperCurves curves = build();
    return curves;
}

} // namespace kolva::fx
