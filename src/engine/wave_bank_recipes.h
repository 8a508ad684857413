#pragma once
// The designs behind the oscillators' wave bank and HardFM key-scaling curves: each of the 49
// named waves as a harmonic spectrum, and the rule that turns a wave's spectral richness into
// its HardFM index curve. Pure functions of their arguments; called only while the
// process-wide oscillator tables are being built.

#include "engine/osc_tables.h"

#include <array>
#include <complex>

namespace kolva::osc {

// A periodic wave as complex harmonic amplitudes: wave(theta) = sum over n >= 1 of
// Re(c[n] x e^(i n theta)), c[0] unused (waves carry no DC). A sine of amplitude a at harmonic n
// is c[n] = -i a.
using Harmonic = std::complex<double>;

// Name of wave 0..48 in bank order.
const char* waveBankName(int wave);

// Fills c[0..harmonics] with the spectrum of wave 0..48 (any scale; the bank normalises it).
void waveBankSpectrum(int wave, int harmonics, Harmonic* c);

// The HardFM curve (index at x = 0..8) of a wave of the given richness: the RMS harmonic number
// of its spectrum, sqrt(sum n^2 |c[n]|^2 / sum |c[n]|^2), 1 for a sine, larger for brighter waves.
std::array<float, kHardFmCurvePoints> hardFmCurveRow(double richness);

} // namespace kolva::osc
