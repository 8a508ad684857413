#pragma once
// Measuring stored oscillator cycles: the FFT the table tests use to compare what a table holds
// with acoustics rather than with the builder's own arithmetic.
#include "engine/osc_tables.h"

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <functional>
#include <numbers>
#include <vector>

namespace kolva::osc::test {

inline constexpr double kPi = std::numbers::pi;
inline constexpr int kBins = kCyclePoints / 2;
using Spectrum = std::vector<std::complex<double>>;

inline double hz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

// One-sided complex amplitudes of a 4096-point cycle: cycle(theta) = sum Re(a[n] e^(i n theta)).
inline Spectrum spectrumOfCycle(const std::function<double(int)>& point) {
    static double* in = fftw_alloc_real(kCyclePoints);
    static fftw_complex* out = fftw_alloc_complex(kBins + 1);
    static fftw_plan plan = fftw_plan_dft_r2c_1d(kCyclePoints, in, out, FFTW_ESTIMATE);
    for (int i = 0; i < kCyclePoints; ++i) in[i] = point(i);
    fftw_execute(plan);
    Spectrum a(kBins + 1);
    for (int k = 0; k <= kBins; ++k)
        a[std::size_t(k)] = std::complex<double>(out[k][0], out[k][1]) * (2.0 / kCyclePoints);
    return a;
}

// The same for a stored (value, slope) table.
inline Spectrum spectrumOf(const float* table) {
    return spectrumOfCycle([table](int i) { return double(table[2 * i]); });
}

inline double amp(const Spectrum& a, int n) { return std::abs(a[std::size_t(n)]); }

// Power (sum of squared amplitudes) of harmonics first..last.
inline double power(const Spectrum& a, int first, int last) {
    double p = 0.0;
    for (int n = first; n <= last; ++n) p += std::norm(a[std::size_t(n)]);
    return p;
}

// Largest amplitude among harmonics first..last.
inline double maxAmp(const Spectrum& a, int first, int last) {
    double m = 0.0;
    for (int n = first; n <= last; ++n) m = std::max(m, amp(a, n));
    return m;
}

} // namespace kolva::osc::test
