#include "host/tempo_map.h"

#include <algorithm>
#include <cmath>

namespace kolva::host {

namespace {
bool validTempo(double bpm) {
    return std::isfinite(bpm) && bpm > 0.0;
}
} // namespace

TempoMap::TempoMap(double bpm) {
    points_.push_back({0.0, 0.0, validTempo(bpm) ? bpm : 120.0});
}

void TempoMap::addChange(double seconds, double bpm) {
    if (!validTempo(bpm) || !std::isfinite(seconds)) return;
    TempoPoint& last = points_.back();
    if (seconds <= last.seconds) {
        // Same instant (or out of order): the later statement wins from the last point on.
        last.bpm = bpm;
        return;
    }
    double beats = last.beats + (seconds - last.seconds) * last.bpm / 60.0;
    points_.push_back({seconds, beats, bpm});
}

const TempoPoint& TempoMap::pointAt(double seconds) const {
    // Last point starting at or before `seconds`; the first point covers earlier times.
    auto it = std::upper_bound(points_.begin(), points_.end(), seconds,
                               [](double s, const TempoPoint& p) { return s < p.seconds; });
    return it == points_.begin() ? points_.front() : *(it - 1);
}

double TempoMap::tempoAt(double seconds) const {
    return pointAt(seconds).bpm;
}

double TempoMap::beatsAt(double seconds) const {
    const TempoPoint& p = pointAt(seconds);
    return p.beats + (seconds - p.seconds) * p.bpm / 60.0;
}

} // namespace kolva::host
