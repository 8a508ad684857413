#pragma once
// Peak, RMS and non-finite sample count of one channel of a render. Non-finite samples are
// counted and left out of peak and RMS so one NaN does not hide the level of the rest.

#include <cstdint>
#include <string>

namespace kolva::render {

class LevelMeter {
public:
    void add(const float* samples, int count);

    double peak() const { return peak_; }
    double rms() const;
    std::int64_t nonFinite() const { return nonFinite_; }

private:
    double peak_ = 0.0;
    double sumSquares_ = 0.0;
    std::int64_t finite_ = 0;
    std::int64_t nonFinite_ = 0;
};

// Level in dBFS with two decimals, "-inf" for silence.
std::string decibelText(double linear);

} // namespace kolva::render
