#pragma once
// A piecewise-constant tempo over time in seconds: converts a time to a song position in
// quarter notes and tells the tempo in force. The host reports both to the plug-in in
// its time info, block by block.

#include <span>
#include <vector>

namespace kolva::host {

struct TempoPoint {
    double seconds = 0.0; // where this tempo starts
    double beats = 0.0;   // song position (quarter notes) at that time
    double bpm = 120.0;
};

class TempoMap {
public:
    TempoMap() : TempoMap(120.0) {}
    explicit TempoMap(double bpm);

    // Adds a tempo change. Changes must come in time order; a change at the time of the
    // previous one replaces it. Non-positive or non-finite tempos are ignored.
    void addChange(double seconds, double bpm);

    double tempoAt(double seconds) const;
    double beatsAt(double seconds) const;

    std::span<const TempoPoint> points() const { return points_; }

private:
    const TempoPoint& pointAt(double seconds) const;

    std::vector<TempoPoint> points_;
};

} // namespace kolva::host
