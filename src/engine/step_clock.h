#pragma once
// The step clock shared by the arpeggiator (one track) and the two step sequencers (one track
// per voice plus the mono track). A track holds a phase 0..1 and a step index; it advances by
// an increment per sample that depends on the step's parity when swing applies, and raises a
// trigger whenever a step begins.
//
// Audio thread only: the owning module copies its settings in once per block (configure), so
// a block never sees half of a settings change.

#include <array>

namespace kolva {

class StepClock {
public:
    static constexpr int kMaxTracks = 17;
    static constexpr int kSteps = 16;
    enum Mode { kFree = 0, kSync = 1, kHostPosition = 2 };

    struct Settings {
        int mode = kSync;
        float freeRate = 0.0f; // 0..1 over the free-rate curve
        int rateIndex = 0;     // sync division 0..20
        int swingRateIndex = 0; // swing applies only when it equals rateIndex
        int firstStep = 0;
        int lastStep = kSteps - 1;
        bool restart = true; // a retrigger rewinds the track
        bool loop = true;    // ...to step 0, and the pattern never stops
        float swing = 0.5f;  // 0..1; 0.5 = straight

        bool operator==(const Settings&) const = default;
    };

    // What a host-aligned restart needs to know about the block.
    struct Transport {
        double songPosition = 0.0; // beats at the start of the block
        double tempo = 120.0;      // the last positive tempo
        double sampleRate = 44100.0;
    };

    // Takes the block's settings, tempo (beats per minute, > 0) and sample rate; the
    // increments are recomputed only when one of them changed.
    void configure(const Settings& s, double tempo, double sampleRate);
    const Settings& settings() const { return settings_; }

    // One sample of one track. restart: the track is triggered at this sample, `offset`
    // samples into the block (host alignment). True when a step begins at this sample.
    bool tick(int track, bool restart, int offset, const Transport& t) {
        Track& k = tracks_[static_cast<unsigned>(track) % kMaxTracks];
        if (restart) return trigger(k, offset, t);
        if (!k.running) return false;
        k.phase += increment_[k.step & 1];
        // The tolerance keeps whole-sample step lengths exact despite the summed increments.
        if (k.phase < 1.0 - kPhaseTolerance) return false;
        k.phase -= 1.0;
        if (k.phase < 0.0) k.phase = 0.0;
        ++k.step;
        if (k.step > settings_.lastStep || k.step >= kSteps) {
            if (settings_.restart && !settings_.loop) {
                k.running = false; // one-shot: stays one past the last step
                return false;
            }
            k.step = settings_.firstStep;
        }
        return true;
    }

    int step(int track) const { return tracks_[static_cast<unsigned>(track) % kMaxTracks].step; }
    double phase(int track) const { return tracks_[static_cast<unsigned>(track) % kMaxTracks].phase; }
    bool running(int track) const { return tracks_[static_cast<unsigned>(track) % kMaxTracks].running; }
    // Samples the given step lasts (its parity decides under swing); 0 when the clock stands.
    double stepLength(int step) const;
    double increment(int step) const { return increment_[step & 1]; }
    // Every track stopped at step 0, phase 0.
    void rewind();
    // Host-aligned step and phase for a restart `offset` samples into the block.
    void alignToHost(int track, int offset, const Transport& t);

private:
    static constexpr double kPhaseTolerance = 1e-9;

    struct Track {
        double phase = 0.0;
        int step = 0;
        bool running = false;
    };

    bool trigger(Track& k, int offset, const Transport& t);
    void align(Track& k, int offset, const Transport& t) const;
    bool swingApplies() const;
    double swingAmount() const;

    Settings settings_;
    double tempo_ = -1.0;
    double sampleRate_ = -1.0;
    std::array<double, 2> increment_{}; // even, odd steps
    std::array<Track, kMaxTracks> tracks_{};
};

} // namespace kolva
