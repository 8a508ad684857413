#pragma once
// The engine side of microtuning: maps every voice's pitch (normalised, semitones / 127)
// through a scale's semitone table around a reference note, then adds the A4 offset.
// Set from the host's main thread under the plug-in's render gate; read per sample on the
// audio thread.

#include <array>

namespace kolva {

class TuningMap {
public:
    static constexpr int kMaxDegrees = 1024;
    // Concert-pitch offsets (normalised units) for A4 = 432, 434, ... 446 Hz; index 4 = 440.
    static constexpr std::array<float, 8> kA4Offsets = {-0.002462f, -0.00181f, -0.0012f, -0.0006f,
                                                        0.0f,       0.000621f, 0.00125f,  0.0019f};

    // table holds count + 1 semitone values (entry 0 = 0, entry count = the period).
    // Refused (false, scale unchanged) for count < 1, count > kMaxDegrees or a table whose
    // period is not a positive finite number.
    bool setScale(const float* table, int count);
    void clearScale() {
        active_ = false;
        ++version_;
    }
    void setReferenceNote(int note);
    void setA4Index(int index);

    bool scaleActive() const { return active_; }
    int degreeCount() const { return count_; }
    float referenceNote() const { return reference_; }
    float period() const { return period_; }
    float a4Offset() const { return a4Offset_; }

    // The tuned pitch plus the A4 offset, for a pitch before tuning.
    float map(float pitch) const;
    // Changes with every setting, so users can tell whether a mapped value is still valid.
    unsigned version() const { return version_; }

private:
    unsigned version_ = 0;
    bool active_ = false;
    int count_ = 0;
    float reference_ = 69.0f;
    float period_ = 12.0f;
    float a4Offset_ = 0.0f;
    std::array<float, kMaxDegrees + 1> table_{};
};

} // namespace kolva
