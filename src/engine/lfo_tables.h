#pragma once
// Constant tables of the LFOs: sync divisors, the free-rate curve, the fade-in curves and the
// random start-phase bag's two source tables.

#include <array>

namespace kolva::lfo_tables {

inline constexpr int kDivisions = 21;
// Sync division i runs at tempo / kDivisor[i] Hz ("1/4" = one cycle per beat).
extern const float kDivisor[kDivisions];

inline constexpr int kFreeRatePoints = 12;
extern const float kFreeRate[kFreeRatePoints]; // Hz over the rate control 0..1

inline constexpr int kFadePoints = 32;
extern const float kFadeTime[kFadePoints]; // seconds over the fade-in control 0..1
extern const float kFadeGain[kFadePoints]; // gain over the fade progress 0..1

inline constexpr int kPhaseBagSize = 8;
extern const std::array<float, kPhaseBagSize> kPhaseFirst;
extern const std::array<float, kPhaseBagSize> kPhaseSecond;

} // namespace kolva::lfo_tables
