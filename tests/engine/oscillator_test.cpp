// The oscillators inside the engine: notes played through APlugin, measured on each voice's
// oscillator output (before mixer, filters and effects, so later stages cannot hide a fault).
// Pitch by zero crossings, spectra by a flat-top windowed FFT.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module_midi.h"
#include "engine/module_oscillator.h"
#include "engine/osc_tables.h"
#include "support/alloc_guard.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace kolva {
namespace {

double hz(double note) { return 440.0 * std::pow(2.0, (note - 69.0) / 12.0); }
double cents(double f, double ref) { return 1200.0 * std::log2(f / ref); }

// Frequency from the rising zero crossings of x[begin..end), interpolated linearly.
double risingCrossingFrequency(const std::vector<float>& x, std::size_t begin, std::size_t end,
                               double rate) {
    double first = -1.0, last = -1.0;
    int count = 0;
    for (std::size_t i = begin; i + 1 < end; ++i) {
        if (x[i] < 0.0f && x[i + 1] >= 0.0f) {
            const double t = static_cast<double>(i) + x[i] / (x[i] - x[i + 1]);
            if (first < 0.0) first = t;
            last = t;
            ++count;
        }
    }
    return count > 1 ? (count - 1) / (last - first) * rate : 0.0;
}

// Amplitude spectrum of x[begin..begin+n) through a flat-top window (sidelobes below -90 dB,
// flat to 0.02 dB across a bin), scaled so a sine of amplitude a reads a.
struct Spectrum {
    std::vector<double> mag;
    double binHz = 0.0;
    double at(double f, int search = 3) const {
        const int k = static_cast<int>(std::lround(f / binHz));
        double m = 0.0;
        for (int j = std::max(k - search, 0); j <= k + search && j < static_cast<int>(mag.size()); ++j)
            m = std::max(m, mag[static_cast<std::size_t>(j)]);
        return m;
    }
};

Spectrum spectrum(const std::vector<float>& x, std::size_t begin, int n, double rate) {
    std::vector<double> in(static_cast<std::size_t>(n));
    constexpr double a[5] = {0.21557895, 0.41663158, 0.277263158, 0.083578947, 0.006947368};
    for (int i = 0; i < n; ++i) {
        const double t = 2.0 * std::numbers::pi * i / (n - 1);
        const double w = a[0] - a[1] * std::cos(t) + a[2] * std::cos(2 * t) -
                         a[3] * std::cos(3 * t) + a[4] * std::cos(4 * t);
        in[static_cast<std::size_t>(i)] = w * x[begin + static_cast<std::size_t>(i)];
    }
    std::vector<fftw_complex> out(static_cast<std::size_t>(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    Spectrum s;
    s.binHz = rate / n;
    s.mag.resize(out.size());
    for (std::size_t k = 0; k < out.size(); ++k)
        s.mag[k] = 2.0 * std::hypot(out[k][0], out[k][1]) / (n * a[0]);
    return s;
}

double db(double ratio) { return 20.0 * std::log10(std::max(ratio, 1e-30)); }

// One engine with osc1 alone, no drift and an instant amplitude envelope.
class Oscillators {
public:
    explicit Oscillators(float rate = 44100.0f, int frames = 256) : frames_(frames) {
        e.setSampleRate(rate);
        e.setBlockSize(frames);
        EXPECT_TRUE(e.prepare());
        for (int i = 0; i < kNumParameters; ++i) e.setParameter(i, parameterDefs()[i].defaultValue);
        set("drift", 0.0f);
        set("env1_att", 0.0f);
        set("env1_rel", 0.0f);
        e.rebuildRouting();
        left_.resize(static_cast<std::size_t>(frames));
        right_.resize(static_cast<std::size_t>(frames));
    }

    void set(const char* name, float v) {
        const int p = findParameter(name);
        ASSERT_GE(p, 0) << name;
        e.setParameter(p, v);
    }
    void option(const char* name, int index) { set(name, static_cast<float>(index) / 999.0f); }
    ModuleOscillator& osc1() { return static_cast<ModuleOscillator&>(*e.module(kModOsc1)); }

    // Starts a note at the beginning of a block and follows its voice's osc1 output for
    // `blocks` blocks (the first included).
    void play(int note, int blocks) {
        for (int b = blocksFor(0.05); b > 0; --b) block(); // the control smoothers settle
        e.noteOn(0, note, 100);
        block();
        voice_ = -1;
        for (int v = 0; v < kNumVoices && voice_ < 0; ++v)
            if (e.voiceContext().voiceActive[v] != 0 && e.midi().voiceNote(v) == note) voice_ = v;
        if (voice_ < 0) voice_ = kMonoVoice;
        out.left.clear();
        out.right.clear();
        take();
        for (int b = 1; b < blocks; ++b) {
            block();
            take();
        }
    }
    void release(int note) {
        e.noteOff(0, note);
        for (int b = 0; b < 4; ++b) block();
    }
    // Every block renders under the allocation guard.
    void block() {
        test::AllocationGuard guard;
        e.render(left_.data(), right_.data(), frames_);
        allocations += guard.count();
    }
    int blocksFor(double seconds) const {
        return static_cast<int>(seconds * e.context().sampleRate / frames_) + 1;
    }
    VoiceOscillator& voice() { return *osc1().oscillatorVoice(voice_); }
    int voiceIndex() const { return voice_; }

    struct {
        std::vector<float> left, right;
    } out;
    long allocations = 0;
    APlugin e;

private:
    void take() {
        const VoiceOscillator& v = voice();
        out.left.insert(out.left.end(), v.left(), v.left() + frames_);
        out.right.insert(out.right.end(), v.right(), v.right() + frames_);
    }
    int frames_;
    int voice_ = 0;
    std::vector<float> left_, right_;
};

// ---- pitch -----------------------------------------------------------------------------------

class OscPitch : public ::testing::TestWithParam<float> {};

TEST_P(OscPitch, NotesOctavesSemitonesAndFineTuneLandWithinATenthOfACent) {
    const float rate = GetParam();
    struct Case {
        int note;
        float oct, semi, fine; // control values
        double expectedNote;
    };
    const Case cases[] = {
        {69, 0.5f, 0.5f, 0.5f, 69.0},          // A4 = 440 Hz
        {69, 5.0f / 8.0f, 0.5f, 0.5f, 81.0},   // one octave up
        {69, 0.0f, 0.5f, 0.5f, 21.0},          // four down
        {69, 0.5f, 8.0f / 22.0f, 0.5f, 66.0},  // three semitones down
        {60, 0.5f, 22.0f / 22.0f, 0.5f, 71.0}, // eleven up
        {69, 0.5f, 0.5f, 1.0f, 69.99},         // fine at the top: +0.99
        {69, 0.5f, 0.5f, 0.0f, 68.01},         // fine at the bottom: -0.99
        {69, 0.5f, 0.5f, 17.0f / 31.0f, 69.0323},
    };
    for (const Case& c : cases) {
        Oscillators o(rate);
        o.set("osc1_oct", c.oct);
        o.set("osc1_note", c.semi);
        o.set("osc1_fine", c.fine);
        o.play(c.note, o.blocksFor(1.2));
        const auto begin = static_cast<std::size_t>(0.1 * rate);
        const double f = risingCrossingFrequency(o.out.left, begin, o.out.left.size(), rate);
        EXPECT_NEAR(cents(f, hz(c.expectedNote)), 0.0, 0.1)
            << "note " << c.note << " -> " << c.expectedNote << " at " << rate << " Hz: " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, OscPitch, ::testing::Values(44100.0f, 96000.0f));

// ---- the plain saw -------------------------------------------------------------------------

TEST(OscClassic, PlainSawFallsAsOneOverNAndKeepsAliasingSixtyDecibelsDown) {
    constexpr double kRate = 44100.0;
    constexpr int kN = 1 << 16;
    for (const int note : {57, 100, 115}) {
        Oscillators o;
        o.play(note, o.blocksFor(2.0));
        const auto s = spectrum(o.out.left, 8192, kN, kRate);
        const double f0 = hz(note);
        const double a1 = s.at(f0);
        const int harmonics = static_cast<int>(22050.0 / f0);
        for (int n = 2; n <= std::min(harmonics, 12); ++n)
            EXPECT_NEAR(db(s.at(n * f0) * n / a1), 0.0, 0.2) << "note " << note << " harmonic " << n;
        // Everything away from the harmonics (and from DC) is aliasing or noise.
        double worst = 0.0;
        for (std::size_t k = 0; k < s.mag.size(); ++k) {
            const double f = static_cast<double>(k) * s.binHz;
            const double nearest = std::round(f / f0);
            if (f < 30.0 || std::abs(f - nearest * f0) < 12 * s.binHz) continue;
            worst = std::max(worst, s.mag[k]);
        }
        EXPECT_LT(db(worst / a1), -60.0) << "note " << note;
    }
}

// ---- unison and chords ---------------------------------------------------------------------

TEST(OscUnison, NineCentredCopiesShareLevelWithTheMiddleAtHalfAndWidthSpreadsThem) {
    Oscillators o;
    o.option("osc1_ucnt", 8);
    o.set("osc1_uwid", 0.0f);
    o.play(57, 8);
    const OscBlock& b = o.voice().lastBlock();
    ASSERT_EQ(b.copies, 9);
    for (int j = 0; j < 9; ++j) {
        const float expected = j == 4 ? 0.18f : 0.36f;
        EXPECT_FLOAT_EQ(b.gainLeft[j], b.gainRight[j]) << j;
        EXPECT_NEAR(b.gainLeft[j] + b.gainRight[j], expected, 1e-6f) << j;
    }
    EXPECT_EQ(o.out.left, o.out.right); // centred: both channels carry the same signal

    // Full width: the outer copies sit at the sides, alternating as the pan table has them.
    Oscillators w;
    w.option("osc1_ucnt", 8);
    w.set("osc1_uwid", 1.0f);
    w.set("osc1_inv", 1.0f);
    w.play(57, 2);
    const OscBlock& c = w.voice().lastBlock();
    EXPECT_NEAR(c.gainRight[0], -0.36f, 1e-6f); // pan +1, inverted
    EXPECT_NEAR(c.gainLeft[0], 0.0f, 1e-6f);
    EXPECT_NEAR(c.gainLeft[8], -0.36f, 1e-6f);
    EXPECT_NE(w.out.left, w.out.right);
}

TEST(OscUnison, Major3rdWithThreeCopiesSoundsRootThirdAndFifth) {
    constexpr double kRate = 44100.0;
    auto render = [](int chord) {
        Oscillators o;
        o.option("osc1_ucnt", 2);
        o.option("osc1_uoct", chord);
        o.set("osc1_udet", 0.0f);
        o.play(45, o.blocksFor(2.0));
        return std::pair{o.voice().lastBlock(), spectrum(o.out.left, 8192, 1 << 16, kRate)};
    };
    const auto [b, s] = render(3);
    EXPECT_FLOAT_EQ(b.offset[0], 0.0f);
    EXPECT_FLOAT_EQ(b.offset[1], 4.0f);
    EXPECT_FLOAT_EQ(b.offset[2], 7.0f);
    const double root = s.at(hz(45));
    EXPECT_GT(root, 0.1);
    EXPECT_NEAR(db(s.at(hz(49)) / root), db(0.7), 1.0); // the middle copy is attenuated
    EXPECT_NEAR(db(s.at(hz(52)) / root), 0.0, 1.0);

    const auto [ub, u] = render(0);
    EXPECT_FLOAT_EQ(ub.offset[1], 0.0f);
    EXPECT_LT(db(u.at(hz(49)) / u.at(hz(45))), -60.0);
}

// ---- wave changes ----------------------------------------------------------------------------

TEST(OscWave, AChangeMidNoteWaitsForACycleStartAndCrossFadesWithoutAStep) {
    auto render = [](bool change) {
        Oscillators o(44100.0f, 64);
        o.set("osc1_wtmix", 1.0f); // the wave alone,
        o.set("osc1_ctrlB", 0.0f); // read at the phase itself
        o.option("osc1_wave", 0);  // Sin
        o.set("osc1_phase", 0.5f); // the same start phase on both runs
        o.play(48, 20);
        if (change) o.option("osc1_wave", 1); // Tri
        std::vector<float> l = o.out.left;
        for (int b = 0; b < 40; ++b) {
            o.block();
            l.insert(l.end(), o.voice().left(), o.voice().left() + 64);
        }
        return l;
    };
    const std::vector<float> steady = render(false);
    const std::vector<float> changed = render(true);
    ASSERT_EQ(steady.size(), changed.size());
    std::size_t first = 0;
    while (first < steady.size() && steady[first] == changed[first]) ++first;
    ASSERT_LT(first, steady.size()) << "the wave never changed";
    EXPECT_GE(first, 20u * 64u); // nothing before the change was asked for
    // It takes over where the old wave starts its cycle: the sine's upward zero crossing.
    EXPECT_LT(std::abs(steady[first]), 0.025f); // within a sample's step of 0
    EXPECT_GT(steady[first + 1], steady[first]);
    // No step: neighbouring samples move no more than the steeper wave does by itself.
    float steadyStep = 0.0f, changedStep = 0.0f;
    for (std::size_t i = 1; i < steady.size(); ++i) {
        steadyStep = std::max(steadyStep, std::abs(steady[i] - steady[i - 1]));
        changedStep = std::max(changedStep, std::abs(changed[i] - changed[i - 1]));
    }
    EXPECT_LT(changedStep, 2.0f * steadyStep);
    EXPECT_NE(changed.back(), steady.back());
}

// ---- start phases ------------------------------------------------------------------------------

// The first samples of two successive notes of one engine.
std::pair<std::vector<float>, std::vector<float>> twoNotes(Oscillators& o, int note) {
    o.play(note, 4);
    auto first = o.out.left;
    const int voice = o.voiceIndex();
    o.release(note);
    o.play(note, 4);
    EXPECT_EQ(o.voiceIndex(), voice); // one generator, so its own random bag
    return {first, o.out.left};
}

TEST(OscPhase, FixedPhaseRepeatsEachNoteAndRandomPhaseDoesNot) {
    {
        Oscillators o;
        o.set("osc1_phase", 0.5f);
        const auto [a, b] = twoNotes(o, 60);
        EXPECT_EQ(a, b);
    }
    {
        Oscillators o;
        o.set("osc1_phase", 0.0f);
        o.set("osc1_ana", 0.0f);
        const auto [a, b] = twoNotes(o, 60);
        EXPECT_NE(a, b);
    }
    {
        // Noise with a phase restarts its generators and filter: the same noise every note.
        Oscillators o;
        o.option("osc1_type", 1);
        o.set("osc1_phase", 0.4f);
        const auto [a, b] = twoNotes(o, 60);
        EXPECT_EQ(a, b);
        double energy = 0.0;
        for (float x : a) energy += x * x;
        EXPECT_GT(energy, 1e-4);
        Oscillators q;
        q.option("osc1_type", 1);
        q.set("osc1_phase", 0.0f);
        const auto [c, d] = twoNotes(q, 60);
        EXPECT_NE(c, d);
    }
}

TEST(OscPhase, AnalogPhaseContinuesNearThePreviousOneOnlyWithinOneAndAHalfSeconds) {
    static double now = 0.0;
    auto startPhases = [](double gap) {
        Oscillators o;
        o.e.context().clock = [] { return now; };
        o.set("osc1_phase", 0.0f);
        o.set("osc1_ana", 1.0f);
        o.set("osc1_wtmix", 1.0f); // the Sin wave: its value tells the phase
        o.option("osc1_wave", 0);
        now = 10.0;
        o.play(36, 1);
        const float a = o.out.left[0];
        o.release(36);
        now += gap;
        o.play(36, 1);
        return std::pair{a, o.out.left[0]};
    };
    const auto [a, b] = startPhases(0.5);
    // Within the window the start phase moves by at most 1% of a cycle.
    EXPECT_LT(std::abs(b - a), 2.0f * std::numbers::pi_v<float> * 0.01f + 1e-4f);
    const auto [c, d] = startPhases(2.0);
    EXPECT_GT(std::abs(d - c), 0.07f); // a fresh random phase
}

// ---- every type at the extremes ----------------------------------------------------------------

TEST(OscTypes, EveryTypeIsFiniteAndAudibleAtExtremeSettingsWithoutAllocating) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (int type = 0; type < kOscTypes; ++type) {
        for (const float control : {0.0f, 1.0f}) {
            for (const int note : {0, 127}) {
                Oscillators o(44100.0f, 61); // a block length that is not a multiple of 4
                o.option("osc1_type", type);
                for (const char* p : {"osc1_ctrlA", "osc1_ctrlB", "osc1_wtmix", "osc1_udet",
                                      "osc1_uden", "osc1_uwid", "osc1_phase", "osc1_fine"})
                    o.set(p, control);
                o.set("osc1_oct", control);
                o.set("osc1_note", control);
                o.option("osc1_ucnt", control > 0.0f ? 8 : 0);
                o.option("osc1_uoct", control > 0.0f ? 17 : 0);
                o.option("osc1_wave", control > 0.0f ? 48 : 0);
                o.osc1().setParameter(ModuleOscillator::kCtrlB, nan); // reaches the module raw
                o.play(note, 40);
                EXPECT_EQ(o.allocations, 0) << "type " << type;
                double energy = 0.0;
                bool finite = true;
                for (std::size_t i = 0; i < o.out.left.size(); ++i) {
                    finite = finite && std::isfinite(o.out.left[i]) && std::isfinite(o.out.right[i]);
                    energy += o.out.left[i] * o.out.left[i] + o.out.right[i] * o.out.right[i];
                }
                EXPECT_TRUE(finite) << "type " << type << " control " << control << " note " << note;
                EXPECT_GT(energy, 1e-6) << "type " << type << " control " << control << " note " << note;
            }
        }
    }
}

} // namespace
} // namespace kolva
