#include "engine/tuning_map.h"

#include <algorithm>
#include <cmath>

namespace kolva {

bool TuningMap::setScale(const float* table, int count) {
    ++version_;
    if (table == nullptr || count < 1 || count > kMaxDegrees) return false;
    // A non-finite degree would turn every pitch of the voice into NaN.
    for (int i = 0; i <= count; ++i)
        if (!std::isfinite(table[i])) return false;
    if (!(table[count] > 0.0f)) return false;
    std::copy(table, table + count + 1, table_.begin());
    count_ = count;
    period_ = table[count];
    active_ = true;
    return true;
}

void TuningMap::setReferenceNote(int note) {
    ++version_;
    reference_ = static_cast<float>(std::clamp(note, 0, 127));
}

void TuningMap::setA4Index(int index) {
    ++version_;
    a4Offset_ = kA4Offsets[static_cast<std::size_t>(std::clamp(index, 0, 7))];
}

float TuningMap::map(float pitch) const {
    if (!active_) return pitch + a4Offset_;
    const double s = static_cast<double>(pitch) * 127.0;
    if (!std::isfinite(s)) return a4Offset_;
    // Keys count scale degrees from the reference note; each N keys climb one period.
    const double n = static_cast<double>(count_);
    const double r = static_cast<double>(reference_);
    const double p = static_cast<double>(period_);
    const double d = std::clamp(s - r, -1.0e6, 1.0e6);
    double result = 0.0;
    if (d >= 0.0) {
        const double q = d / n;
        const double w = static_cast<double>(static_cast<long>(q));
        const double x = (q - w) * n;
        const int i = std::min(static_cast<int>(x), count_);
        const int j = i < count_ ? i + 1 : 0;
        result = r + w * p + table_[i] + (table_[j] - table_[i]) * (x - i);
    } else {
        const double q = -d / n;
        const double w = static_cast<double>(static_cast<long>(q));
        const double x = (1.0 - (q - w)) * n;
        const int i = std::min(static_cast<int>(x), count_);
        const int j = i < count_ ? i + 1 : 0;
        result = r - (w + 1.0) * p + table_[i] + (table_[j] - table_[i]) * (x - i);
    }
    result = std::clamp(result, 0.0, 127.0);
    return static_cast<float>(result / 127.0) + a4Offset_;
}

} // namespace kolva
