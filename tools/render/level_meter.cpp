#include "render/level_meter.h"

#include "util/number_text.h"

#include <cmath>

namespace kolva::render {

void LevelMeter::add(const float* samples, int count) {
    for (int i = 0; i < count; ++i) {
        double x = samples[i];
        if (!std::isfinite(x)) {
            ++nonFinite_;
            continue;
        }
        double a = std::fabs(x);
        if (a > peak_) peak_ = a;
        sumSquares_ += x * x;
        ++finite_;
    }
}

double LevelMeter::rms() const {
    return finite_ > 0 ? std::sqrt(sumSquares_ / static_cast<double>(finite_)) : 0.0;
}

std::string decibelText(double linear) {
    if (!(linear > 0.0)) return "-inf";
    return formatFixed(20.0 * std::log10(linear), 2);
}

} // namespace kolva::render
