#include "engine/wave_bank_recipes.h"

#include <algorithm>
#include <cmath>
#include <numbers>

// HardFM key scaling. Point x of a curve is the modulator at note 24 + x x 127 / 8; the value is
// the modulation index, in whole cycles of carrier phase per unit of modulator. A sine modulator
// at f_m with index I swings the carrier's frequency by 2 pi I f_m; a wave whose RMS harmonic
// number is R has R times the slope of a sine of the same power, so it swings R times further,
// and each of the carrier's own partials spreads in proportion to its harmonic number as well.
//
// So the rule has two parts:
// - at low keys the index is 1 / sqrt(R): a sine gets a whole cycle of swing, a saw-bright wave
//   (R ~ 10) a third of that, since it already carries the harmonics FM would add;
// - the swing 2 pi I R f_m is then held under kMaxSwingHz as the modulator climbs: the index
//   rolls off as 1 / sqrt(1 + (f_m / knee)^2), flat well below the knee and falling as 1 / f_m
//   above it, where sidebands would otherwise spread past the audio band and fold back.
// Brighter waves reach their knee at lower keys. The result is kept within [kMin, kMax].

namespace kolva::osc {
namespace {

constexpr double kMaxSwingHz = 6000.0;
constexpr float kMin = 0.02f;
constexpr float kMax = 1.5f;

double modulatorHz(double x) {
    const double note = 24.0 + x * 127.0 / (kHardFmCurvePoints - 1);
    return 440.0 * std::pow(2.0, (note - 69.0) / 12.0);
}

} // namespace

std::array<float, kHardFmCurvePoints> hardFmCurveRow(double richness) {
    const double r = richness >= 1.0 ? std::min(richness, 1e6) : 1.0; // NaN reads as a sine
    const double lowKeyIndex = 1.0 / std::sqrt(r);
    const double kneeHz = kMaxSwingHz / (2.0 * std::numbers::pi * lowKeyIndex * r);
    std::array<float, kHardFmCurvePoints> row{};
    for (int x = 0; x < kHardFmCurvePoints; ++x) {
        const double ratio = modulatorHz(x) / kneeHz;
        const double index = lowKeyIndex / std::sqrt(1.0 + ratio * ratio);
        row[static_cast<std::size_t>(x)] = std::clamp(static_cast<float>(index), kMin, kMax);
    }
    return row;
}

} // namespace kolva::osc
