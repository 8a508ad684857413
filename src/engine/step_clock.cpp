#include "engine/step_clock.h"

#include "engine/engine_value.h"
#include "engine/lfo_tables.h"
#include "engine/lookup_curve.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace kolva {
namespace {

constexpr double kSwingDepth = 0.3;
// Host positions beyond this many beats are held there (keeps the integer rounding defined).
constexpr double kMaxBeats = 1.0e9;

StepClock::Settings sanitised(StepClock::Settings s) {
    const int last = lfo_tables::kDivisions - 1;
    s.mode = std::clamp(s.mode, 0, 2);
    s.freeRate = clampUnit(s.freeRate);
    s.rateIndex = std::clamp(s.rateIndex, 0, last);
    s.swingRateIndex = std::clamp(s.swingRateIndex, 0, last);
    s.firstStep = std::clamp(s.firstStep, 0, StepClock::kSteps - 1);
    s.lastStep = std::clamp(s.lastStep, 0, StepClock::kSteps - 1);
    s.swing = clampUnit(s.swing);
    return s;
}

} // namespace

bool StepClock::swingApplies() const {
    return settings_.mode != kFree && settings_.rateIndex == settings_.swingRateIndex;
}

double StepClock::swingAmount() const {
    return swingApplies() ? (2.0 * settings_.swing - 1.0) * kSwingDepth : 0.0;
}

void StepClock::configure(const Settings& wanted, double tempo, double sampleRate) {
    const Settings s = sanitised(wanted);
    if (!(tempo > 0.0) || !std::isfinite(tempo)) tempo = tempo_ > 0.0 ? tempo_ : 120.0;
    if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) sampleRate = 44100.0;
    if (s == settings_ && tempo == tempo_ && sampleRate == sampleRate_) return;
    settings_ = s;
    tempo_ = tempo;
    sampleRate_ = sampleRate;

    double hz;
    if (s.mode == kFree)
        hz = lookupCurve(lfo_tables::kFreeRate, lfo_tables::kFreeRatePoints,
                         static_cast<float>(lfo_tables::kFreeRatePoints - 1) * s.freeRate);
    else
        hz = tempo / static_cast<double>(lfo_tables::kDivisor[s.rateIndex]);
    const double base = hz / sampleRate;
    const double w = swingAmount();
    increment_[0] = base / (1.0 + w);
    increment_[1] = base / (1.0 - w);
}

double StepClock::stepLength(int step) const {
    const double inc = increment_[step & 1];
    return inc > 0.0 ? 1.0 / inc : 0.0;
}

void StepClock::rewind() {
    for (Track& k : tracks_) k = Track{};
}

bool StepClock::trigger(Track& k, int offset, const Transport& t) {
    k.running = true;
    if (settings_.restart) {
        k.phase = 0.0;
        k.step = settings_.loop ? 0 : settings_.firstStep;
        return true;
    }
    if (settings_.mode == kHostPosition) {
        align(k, offset, t);
        return k.phase == 0.0;
    }
    return false; // free and sync: the track just runs on from where it was
}

void StepClock::alignToHost(int track, int offset, const Transport& t) {
    Track& k = tracks_[static_cast<unsigned>(track) % kMaxTracks];
    k.running = true;
    align(k, offset, t);
}

// The host's position, rounded to 1/256 beat, plus the restart's offset into the block (in
// beats, so the steps land on the host's grid), truncated to 1/100 beat and counted in steps.
// Under swing the even and odd steps of a pair share two plain step lengths unequally, so the
// count is placed inside its pair.
void StepClock::align(Track& k, int offset, const Transport& t) const {
    double p = std::isfinite(t.songPosition) ? std::clamp(t.songPosition, -kMaxBeats, kMaxBeats) : 0.0;
    const auto rounded = static_cast<std::int64_t>(((p + 0.005) * 256.0) * 2.0 + 0.5) >> 1;
    double beats = static_cast<double>(rounded) / 256.0;
    if (t.sampleRate > 0.0 && t.tempo > 0.0)
        beats += t.tempo * static_cast<double>(std::max(offset, 0)) / t.sampleRate / 60.0;
    beats = std::floor(beats * 100.0 + 1e-6) / 100.0;

    const double beatsPerStep = static_cast<double>(lfo_tables::kDivisor[settings_.rateIndex]) / 60.0;
    const double count = std::max(beats, 0.0) / beatsPerStep;
    const int first = settings_.firstStep;
    const int length = std::max(settings_.lastStep - first + 1, 1);

    double whole = std::floor(count);
    double phase = count - whole;
    const double w = swingAmount();
    if (w != 0.0) {
        const double pair = std::floor(count / 2.0);
        const double r = count - 2.0 * pair;
        if (r < 1.0 + w) {
            whole = 2.0 * pair;
            phase = r / (1.0 + w);
        } else {
            whole = 2.0 * pair + 1.0;
            phase = (r - (1.0 + w)) / (1.0 - w);
        }
    }
    const auto n = static_cast<std::int64_t>(whole);
    k.step = first + static_cast<int>(n % length);
    k.phase = std::clamp(phase, 0.0, 1.0 - kPhaseTolerance);
}

} // namespace kolva
