#include "engine/osc_tables.h"

#include "engine/lookup_curve.h"
#include "engine/wave_bank_recipes.h"
#include "platform/library_pin.h"
#include "platform/memory_lock.h"

#include <fftw3.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>
#include <mutex>
#include <numbers>
#include <vector>

namespace kolva::osc {
namespace {

constexpr int kMaxHarmonic = kCyclePoints / 2 - 1; // the highest a 4096-point cycle holds

// The note each wave level is band-limited for. The level rules read level L (0..5) at full
// weight as level B at note 48 + 12L and fade it out above; level 6 only ever fades in towards
// note 120 as level A, and level 7 alone plays notes 120..127. So level L keeps only the
// harmonics below the reference Nyquist at note 48 + 12L (L = 0..6) and level 7 those below it
// at note 127. Level 0 also plays every note below 48, but it is the full-weight level at note
// 48 too, so it cannot hold more than note 48 allows (168 harmonics) without folding back there.
constexpr std::array<int, kWaveLevels> kLevelNote = {48, 60, 72, 84, 96, 108, 120, 127};

double noteHz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }

// Harmonics of `note` strictly below the reference Nyquist, at most what 4096 points hold.
int harmonicsBelowNyquist(int note) {
    const double nyquist = static_cast<double>(kReferenceRate) / 2.0;
    const int n = static_cast<int>(std::ceil(nyquist / noteHz(note))) - 1;
    return std::clamp(n, 1, kMaxHarmonic);
}

// FFTW's planner is not thread-safe; every plan creation and destruction in this file holds
// this lock.
std::mutex& fftwPlannerMutex() {
    static std::mutex m;
    return m;
}

// One 4096-point inverse real FFT, reused for every table: fill the half-spectrum, run, read
// the cycle.
class CycleSynth {
public:
    CycleSynth()
        : spectrum_(fftw_alloc_complex(kCyclePoints / 2 + 1)),
          cycle_(fftw_alloc_real(kCyclePoints)) {
        std::lock_guard<std::mutex> lock(fftwPlannerMutex());
        plan_ = fftw_plan_dft_c2r_1d(kCyclePoints, spectrum_, cycle_, FFTW_ESTIMATE);
    }
    ~CycleSynth() {
        {
            std::lock_guard<std::mutex> lock(fftwPlannerMutex());
            fftw_destroy_plan(plan_);
        }
        fftw_free(spectrum_);
        fftw_free(cycle_);
    }
    CycleSynth(const CycleSynth&) = delete;
    CycleSynth& operator=(const CycleSynth&) = delete;

    // The cycle of sum over n = 1..harmonics of Re(c[n] e^(i n theta)), scaled.
    const double* synthesise(const Harmonic* c, int harmonics, double scale) {
        // c2r computes sum over all bins of X[k] e^(+i k theta) with X[-k] = conj X[k], so a
        // one-sided amplitude c[n] goes in as c[n] / 2.
        spectrum_[0][0] = spectrum_[0][1] = 0.0;
        for (int n = 1; n <= kCyclePoints / 2; ++n) {
            const Harmonic x = n <= harmonics ? c[n] * (0.5 * scale) : Harmonic{};
            spectrum_[n][0] = x.real();
            spectrum_[n][1] = x.imag();
        }
        fftw_execute(plan_);
        return cycle_;
    }

private:
    fftw_complex* spectrum_;
    double* cycle_;
    fftw_plan plan_ = nullptr;
};

// Stores a cycle as (value, slope to the next point) pairs; the last slope wraps to point 0.
void storeTable(const double* cycle, float* table) {
    for (int i = 0; i < kCyclePoints; ++i) {
        const float v = static_cast<float>(cycle[i]);
        const float next = static_cast<float>(cycle[(i + 1) % kCyclePoints]);
        table[2 * i] = v;
        table[2 * i + 1] = next - v;
    }
}

double peakOf(const double* cycle) {
    double peak = 0.0;
    for (int i = 0; i < kCyclePoints; ++i) peak = std::max(peak, std::abs(cycle[i]));
    return peak;
}

// RMS harmonic number: how much faster than a sine of the same power the wave moves.
double richnessOf(const Harmonic* c, int harmonics) {
    double power = 0.0;
    double slope = 0.0;
    for (int n = 1; n <= harmonics; ++n) {
        const double p = std::norm(c[n]);
        power += p;
        slope += p * n * n;
    }
    return power > 0.0 ? std::sqrt(slope / power) : 1.0;
}

} // namespace

// ---- phase increments ----------------------------------------------------------------------

IncrementTable::IncrementTable(float sampleRate)
    : sampleRate_(sampleRate), inc_(std::make_unique_for_overwrite<float[]>(kIncrementEntries)) {
    // 2^(j / (1280 x 12)) for the steps within a semitone, times each note's increment: two
    // small pow() tables instead of 163840 calls.
    std::vector<double> step(kPitchSteps);
    for (int j = 0; j < kPitchSteps; ++j)
        step[static_cast<std::size_t>(j)] = std::pow(2.0, j / (12.0 * kPitchSteps));
    const double pointsPerSecond = static_cast<double>(kCyclePoints) / sampleRate;
    for (int note = 0; note < kNotes; ++note) {
        const double base = noteHz(note) * pointsPerSecond;
        for (int j = 0; j < kPitchSteps; ++j)
            inc_[static_cast<std::size_t>(note * kPitchSteps + j)] =
                static_cast<float>(base * step[static_cast<std::size_t>(j)]);
    }
}

int IncrementTable::indexFor(float pitchSemitones) {
    const float p = pitchSemitones > 0.0f ? std::min(pitchSemitones, 127.0f) : 0.0f; // NaN -> 0
    return static_cast<int>(p * 2560.0f + 0.5f) / 2;
}

std::shared_ptr<const IncrementTable> incrementTableFor(float sampleRate) {
    if (!(sampleRate > 0.0f && sampleRate < 1.0e7f)) sampleRate = kReferenceRate; // NaN too
    static std::mutex mutex;
    static std::map<float, std::shared_ptr<const IncrementTable>> cache;
    std::lock_guard<std::mutex> lock(mutex);
    auto& slot = cache[sampleRate];
    if (!slot) slot = std::make_shared<const IncrementTable>(sampleRate);
    return slot;
}

// ---- the process-wide tables ---------------------------------------------------------------

const OscTables& OscTables::get() {
    static const OscTables tables;
    return tables;
}

OscTables::OscTables()
    : saw_(std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(kNotes) *
                                                   kTableFloats)),
      waves_(std::make_unique_for_overwrite<float[]>(static_cast<std::size_t>(kWaves) *
                                                     kWaveLevels * kTableFloats)) {
    const auto start = std::chrono::steady_clock::now();
    build();
    // FFTW keeps its planner's memory in library globals and must stay loaded to keep it.
    // (fftw_cleanup would free it but also break live plans of anything else in the host.)
    platform::pinLibraryOf(reinterpret_cast<const void*>(&fftw_execute));

    for (int n = 0; n < kNotes; ++n) noteHz_[static_cast<std::size_t>(n)] = static_cast<float>(noteHz(n));
    const int sinPoints = static_cast<int>(sinPi_.size());
    for (int i = 0; i < sinPoints; ++i)
        sinPi_[static_cast<std::size_t>(i)] =
            static_cast<float>(std::sin(std::numbers::pi * i / (sinPoints - 1)));

    const std::size_t sawBytes = static_cast<std::size_t>(kNotes) * kTableFloats * sizeof(float);
    const std::size_t waveBytes =
        static_cast<std::size_t>(kWaves) * kWaveLevels * kTableFloats * sizeof(float);
    platform::raiseLockableMemory(sawBytes + waveBytes);
    const bool sawLocked = platform::lockMemory(saw_.get(), sawBytes);
    const bool wavesLocked = platform::lockMemory(waves_.get(), waveBytes);
    sawLocked_ = sawLocked;
    wavesLocked_ = wavesLocked;
    locked_ = sawLocked && wavesLocked;

    buildSeconds_ =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void OscTables::build() {
    CycleSynth synth;
    std::vector<Harmonic> c(kMaxHarmonic + 1);

    // Saw: a ramp rising from -1 to +1 over the cycle with its jump at phase 0, i.e.
    // -(2/pi) sum sin(n theta) / n. Left unnormalised: the band-limited ramp overshoots 1 a
    // little (Gibbs), as an analogue saw's edge would.
    for (int n = 1; n <= kMaxHarmonic; ++n) c[n] = Harmonic(0.0, 2.0 / (std::numbers::pi * n));
    for (int note = 0; note < kNotes; ++note)
        storeTable(synth.synthesise(c.data(), harmonicsBelowNyquist(note), 1.0),
                   saw_.get() + static_cast<std::size_t>(note) * kTableFloats);

    // Waves: every level is a truncation of the same spectrum at the same scale, the one that
    // gives level 0 a peak of 1, so levels differ only in bandwidth.
    const int fullHarmonics = harmonicsBelowNyquist(kLevelNote[0]);
    for (int w = 0; w < kWaves; ++w) {
        std::fill(c.begin(), c.end(), Harmonic{});
        waveBankSpectrum(w, fullHarmonics, c.data());
        const double scale = 1.0 / peakOf(synth.synthesise(c.data(), fullHarmonics, 1.0));
        for (int level = 0; level < kWaveLevels; ++level) {
            const int harmonics = std::min(fullHarmonics, harmonicsBelowNyquist(kLevelNote[level]));
            storeTable(synth.synthesise(c.data(), harmonics, scale),
                       waves_.get() + (static_cast<std::size_t>(w) * kWaveLevels + level) *
                                          kTableFloats);
        }
        hardFm_[static_cast<std::size_t>(w)] = hardFmCurveRow(richnessOf(c.data(), fullHarmonics));
    }
}

OscTables::~OscTables() {
    if (sawLocked_)
        platform::unlockMemory(saw_.get(),
                               static_cast<std::size_t>(kNotes) * kTableFloats * sizeof(float));
    if (wavesLocked_)
        platform::unlockMemory(waves_.get(), static_cast<std::size_t>(kWaves) * kWaveLevels *
                                                 kTableFloats * sizeof(float));
}

const float* OscTables::saw(int note) const {
    return saw_.get() + static_cast<std::size_t>(std::clamp(note, 0, kNotes - 1)) * kTableFloats;
}

const float* OscTables::wave(int wave, int level) const {
    const auto w = static_cast<std::size_t>(std::clamp(wave, 0, kWaves - 1));
    const auto l = static_cast<std::size_t>(std::clamp(level, 0, kWaveLevels - 1));
    return waves_.get() + (w * kWaveLevels + l) * kTableFloats;
}

const char* OscTables::waveName(int wave) const {
    return waveBankName(std::clamp(wave, 0, kWaves - 1));
}

int OscTables::levelA(int note) {
    if (note < 48) return 0;
    return std::min((note - 48) / 12 + 1, 7);
}

int OscTables::levelB(int note) {
    if (note < 60) return 0;
    if (note >= 120) return 7; // unweighted there; pointing it at level A keeps reads harmless
    return levelA(note) - 1;
}

float OscTables::blend(int note) {
    if (note < 48 || note >= 120) return 0.0f;
    return 1.0f - static_cast<float>((note - 48) % 12) / 12.0f;
}

float OscTables::hardFmCurve(int wave, float x) const {
    const auto& row = hardFm_[static_cast<std::size_t>(std::clamp(wave, 0, kWaves - 1))];
    return lookupCurve(row.data(), kHardFmCurvePoints, x);
}

float OscTables::noteFrequency(float note) const {
    return lookupCurve(noteHz_.data(), kNotes, note);
}

float OscTables::sinPi(float x) const {
    return lookupCurve(sinPi_.data(), static_cast<int>(sinPi_.size()),
                       x * static_cast<float>(sinPi_.size() - 1));
}

} // namespace kolva::osc
