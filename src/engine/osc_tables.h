#pragma once
// The oscillators' process-wide tables: phase increments per sample rate, the band-limited saw
// bank (one table per note), the wave bank (49 named single-cycle waves x 8 bandwidth levels),
// the HardFM key-scaling curves and two small helper tables. Built once per process (first use
// is thread-safe) at engine construction or prepare time, never on the audio thread; the two
// large banks are locked in memory. Read-only afterwards, shared by every instance.

#include <array>
#include <memory>

namespace kolva::osc {

inline constexpr int kCyclePoints = 4096;  // points per cycle
inline constexpr int kTableFloats = 8192;  // stored as (value, slope to the next point) pairs
inline constexpr int kNotes = 128;
inline constexpr int kPitchSteps = 1280;   // increment-table steps per semitone
inline constexpr int kIncrementEntries = kNotes * kPitchSteps;
inline constexpr int kWaves = 49;
inline constexpr int kWaveLevels = 8;
inline constexpr int kHardFmCurvePoints = 9;
// The tables are band-limited for this rate: a note's table holds only harmonics below
// its Nyquist frequency.
inline constexpr float kReferenceRate = 44100.0f;

// Phase increments (table points per sample) for one sample rate:
// inc[k] = 440 x 2^((k / 1280 - 69) / 12) / sampleRate x 4096.
class IncrementTable {
public:
    explicit IncrementTable(float sampleRate);
    float sampleRate() const { return sampleRate_; }
    float at(int k) const { return inc_[static_cast<unsigned>(k) < kIncrementEntries ? k : 0]; }
    // k for a pitch in semitones (clamped to 0..127): int(int(pitch x 2560 + 0.5) / 2), the
    // step the pitch is in once it is rounded to half steps.
    static int indexFor(float pitchSemitones);

private:
    float sampleRate_;
    std::unique_ptr<float[]> inc_;
};

// The table for `sampleRate`, built on first request and shared (thread-safe; call at prepare
// time, not on the audio thread).
std::shared_ptr<const IncrementTable> incrementTableFor(float sampleRate);

class OscTables {
public:
    // The process-wide tables, built on first call (thread-safe).
    static const OscTables& get();

    // Band-limited saw for MIDI note 0..127 (clamped): kTableFloats floats.
    const float* saw(int note) const;
    // Wave 0..48 (clamped) at bandwidth level 0..7 (clamped): kTableFloats floats.
    const float* wave(int wave, int level) const;
    const char* waveName(int wave) const;

    // Level choice per integer note: level A, level B and the weight of B.
    static int levelA(int note);
    static int levelB(int note);
    static float blend(int note);

    // HardFM key-scaling curve of wave w at x in 0..8 (linear interpolation, clamped).
    float hardFmCurve(int wave, float x) const;
    // 440 x 2^((n - 69) / 12) Hz from the 128-entry table, n fractional (clamped 0..127).
    float noteFrequency(float note) const;
    // sin(pi x) for x in 0..1 from a 1024-point table (clamped).
    float sinPi(float x) const;

    // How long building took (seconds), and whether the banks are locked in memory.
    double buildSeconds() const { return buildSeconds_; }
    bool locked() const { return locked_; }

    OscTables(const OscTables&) = delete;
    OscTables& operator=(const OscTables&) = delete;
    ~OscTables();

private:
    OscTables();
    void build(); // the saw and wave banks and the HardFM curves
    std::unique_ptr<float[]> saw_;   // kNotes x kTableFloats
    std::unique_ptr<float[]> waves_; // kWaves x kWaveLevels x kTableFloats
    std::array<std::array<float, kHardFmCurvePoints>, kWaves> hardFm_{};
    std::array<float, kNotes> noteHz_{};
    std::array<float, 1024> sinPi_{};
    double buildSeconds_ = 0.0;
    bool locked_ = false;
    bool sawLocked_ = false;
    bool wavesLocked_ = false;
};

// A table read at phase (0 <= phase < 4096; the index wraps): value + frac x slope.
inline float readTable(const float* t, float phase) {
    const int i = static_cast<int>(phase);
    const float frac = phase - static_cast<float>(i);
    const int idx = (2 * i) & (kTableFloats - 1);
    return t[idx] + frac * t[idx + 1];
}

} // namespace kolva::osc
