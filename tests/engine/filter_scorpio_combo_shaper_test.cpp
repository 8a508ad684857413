// Scorpio, Combo and Shaper kernels on hand-built blocks, judged on their signals: sine gains
// against one-pole cascade theory, comb echoes and spectral peaks, the shaper's static curve,
// tone corners and aliasing against a naive shaper.

#include "engine/filter_kernel.h"
#include "engine/filter_tables.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <functional>
#include <limits>
#include <memory>
#include <numbers>
#include <numeric>
#include <random>
#include <vector>

namespace kolva::flt {
namespace {

using Samples = std::vector<float>;
using Lane = std::function<float(long)>; // a control by absolute sample number
using Factory = std::unique_ptr<FilterKernel> (*)();
constexpr double kPi = std::numbers::pi;
enum { RedLP2, RedLP4, BlackLP2, BlackLP4, BlackHP4, BlackBP4 };
enum { MonoPlus, MonoMinus, StereoPlus, StereoMinus };
enum { Saturate, Foldback };

Lane constant(float v) {
    return [v](long) { return v; };
}
double db(double ratio) {
    return 20.0 * std::log10(std::max(ratio, 1e-30));
}

// One kernel driven in blocks; the scratch starts as NaN so that stale coefficients would show.
struct Rig {
    Rig(Factory make, int m, float r, Lane c = constant(0.5f), Lane q = constant(0.0f))
        : kernel(make()), mode(m), rate(r), cut(std::move(c)), res(std::move(q)) {}

    std::unique_ptr<FilterKernel> kernel;
    int mode;
    float rate;
    Lane cut, res;
    std::vector<long> noteStarts;
    bool silent = true; // voiceSilent of a block holding a note start
    long done = 0;

    std::array<Samples, 2> run(const Samples& l, const Samples& r, int blockSize = 256) {
        std::array<Samples, 2> out{Samples(l.size()), Samples(l.size())};
        for (std::size_t at = 0; at < l.size(); at += std::size_t(blockSize)) {
            const int n = int(std::min<std::size_t>(blockSize, l.size() - at));
            std::array<Samples, 4> scratch;
            scratch.fill(Samples(std::size_t(n) + 4, NAN));
            Samples c(n), q(n), t(n);
            for (int i = 0; i < n; ++i) {
                c[i] = cut(done + i), q[i] = res(done + i);
                t[i] = float(std::count(noteStarts.begin(), noteStarts.end(), done + i));
            }
            FilterBlock b{n,
                          rate,
                          mode,
                          l.data() + at,
                          r.data() + at,
                          out[0].data() + at,
                          out[1].data() + at,
                          c.data(),
                          q.data(),
                          t.data()};
            b.voiceSilent = silent && std::count(t.begin(), t.end(), 1.0f) > 0;
            for (int k = 0; k < 4; ++k)
                b.scratch[k] = scratch[k].data();
            kernel->process(b);
            done += n;
        }
        return out;
    }
    Samples mono(const Samples& x) { return run(x, x)[0]; }
};

Samples sine(double hz, double rate, long n, double amp) {
    Samples x(n);
    for (long i = 0; i < n; ++i)
        x[i] = float(amp * std::sin(2.0 * kPi * hz * i / rate));
    return x;
}
Samples noise(long n, double amp, unsigned seed = 7) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    Samples x(n);
    for (float& v : x)
        v = float(amp) * u(gen);
    return x;
}

// Steady-state gain at hz (Hann-windowed single bin), after max(0.25 s, 20 periods).
double gainAt(Rig rig, double hz, double amp = 0.05) {
    const long len = long(std::max(0.25, 20.0 / hz) * rig.rate);
    const Samples y = rig.mono(sine(hz, rig.rate, 2 * len, amp));
    std::complex<double> acc = 0.0;
    for (long i = 0; i < len; ++i)
        acc += (1.0 - std::cos(2.0 * kPi * i / len)) * double(y[len + i]) *
               std::polar(1.0, -2.0 * kPi * hz * (len + i) / rig.rate);
    return 2.0 * std::abs(acc) / len / amp;
}

// |X[k]| of x zero-padded to n points.
std::vector<double> magnitude(const Samples& x, int n) {
    std::vector<double> in(x.begin(), x.end()), m;
    in.resize(std::size_t(n));
    std::vector<fftw_complex> out(std::size_t(n / 2 + 1));
    fftw_plan plan = fftw_plan_dft_r2c_1d(n, in.data(), out.data(), FFTW_ESTIMATE);
    fftw_execute(plan);
    fftw_destroy_plan(plan);
    for (const auto& c : out)
        m.push_back(std::hypot(c[0], c[1]));
    return m;
}

// One stage s += (x - s) g is a pole at 1 - g per sub-step, four sub-steps a sample.
double stageCornerHz(float cut, float rate) {
    const double g = readFrequencyCurve(svfFrequencyCurve(), cut) * 44100.0 / rate;
    return -std::log(1.0 - g) * 4.0 * rate / (2.0 * kPi);
}

// Without resonance every mode is a cascade of equal one-poles L = 1 / (1 + j f/fc): LP2 and
// LP4 fall as |L|^2 and |L|^4 (11.6 and 23.3 dB from 4 to 8 fc); HP4 is x - L^4 x, a single zero
// at DC (+6 dB/oct far below the corner); BP4 is HP4 into LP4 (-2.9 dB at fc/2).
TEST(FilterScorpio, ResponseWithoutResonanceFollowsTheOnePoleCascade) {
    const double lp2 = -20.0 * std::log10(65.0 / 17.0), lp4 = 2.0 * lp2;
    struct Case {
        int mode;
        float rate;
        double passAt, passDb, lowSlope, highSlope; // pass band at passAt x fc; dB per octave
    } const cases[] = {
        {RedLP2, 44100, 1.0 / 16, 0.0, 0.0, lp2},    {RedLP4, 44100, 1.0 / 16, 0.0, 0.0, lp4},
        {BlackLP2, 44100, 1.0 / 16, 0.0, 0.0, lp2},  {BlackLP4, 96000, 1.0 / 16, 0.0, 0.0, lp4},
        {BlackHP4, 44100, 16.0, db(0.92), 6.0, 0.0}, {BlackBP4, 48000, 0.5, -2.9, 6.0, lp4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " at " << c.rate);
        const double fc = stageCornerHz(0.4f, c.rate);
        auto at = [&](double m) {
            return db(gainAt(Rig(makeScorpio, c.mode, c.rate, constant(0.4f)), m * fc));
        };
        EXPECT_NEAR(at(c.passAt), c.passDb, 1.5);
        EXPECT_NEAR(at(1.0 / 16) - at(1.0 / 32), c.lowSlope, 1.5);
        EXPECT_NEAR(at(8.0) - at(4.0), c.highSlope, 2.0);
    }
}

// The s1/s2 loop turns unstable at k = 1 whatever the cutoff (K = k / (1 - g) + k): below it
// the loop peaks at the stage corner, at full resonance it rings on there without input.
TEST(FilterScorpio, ResonancePeaksAtTheCornerAndSelfOscillatesBounded) {
    for (int mode = RedLP2; mode <= BlackBP4; ++mode) {
        SCOPED_TRACE(testing::Message() << "mode " << mode);
        const double fc = stageCornerHz(0.4f, 44100.0f);
        auto gain = [&](float r, double hz) {
            return db(gainAt(Rig(makeScorpio, mode, 44100, constant(0.4f), constant(r)), hz, 0.01));
        };
        const double top = gain(0.5f, fc);
        EXPECT_GT(top, gain(0.0f, fc) + 6.0);
        EXPECT_GT(top, std::max(gain(0.5f, 0.7 * fc), gain(0.5f, 1.4 * fc)));

        Samples x(2 * 44100, 0.0f);
        x[0] = 1.0f; // a click; the second second is judged (about its mean: the clip adds DC)
        Samples y = Rig(makeScorpio, mode, 44100.0f, constant(0.4f), constant(1.0f)).mono(x);
        y.erase(y.begin(), y.begin() + 44100);
        const double mean = std::accumulate(y.begin(), y.end(), 0.0) / double(y.size());
        double peak = 0.0, crossings = 0.0;
        for (std::size_t i = 1; i < y.size(); ++i) {
            peak = std::max(peak, std::abs(y[i] - mean));
            crossings += (y[i] - mean) * (y[i - 1] - mean) < 0.0;
        }
        EXPECT_GT(peak, 0.01);
        EXPECT_LT(peak, 4.0);
        EXPECT_NEAR(crossings / 2.0, fc, 0.3 * fc);
    }
}

double comboDelay(double x, float rate) {
    return readFrequencyCurve(svfFrequencyCurve(), float(x)) * rate * 0.125;
}

// A click comes back 0.62 x delayed by the curve's period (interpolation keeps the echo's sum
// and puts its centroid exactly there), the stereo modes' right channel 0.005 further along the
// curve; each round trip scales it by h = (1 - (1 - R)^2) x +-0.99.
TEST(FilterCombo, EchoSitsAtTheCurveDelayAndEachRoundTripScalesIt) {
    for (int mode = MonoPlus; mode <= StereoMinus; ++mode)
        for (float rate : {22050.0f, 44100.0f, 192000.0f})
            for (float cut : {0.0f, 0.5f, 0.8f}) {
                SCOPED_TRACE(testing::Message()
                             << "mode " << mode << " rate " << rate << " cut " << cut);
                const float res = cut == 0.5f ? 1.0f : 0.4f;
                const double h = (1.0 - (1.0 - res) * (1.0 - res)) * (mode % 2 ? -0.99 : 0.99);
                const double spread = mode >= StereoPlus ? 0.005 : 0.0;
                const double delay[2] = {comboDelay(1.0 - cut, rate),
                                         comboDelay(1.0 - cut + spread, rate)};
                Samples x(std::size_t(2.5 * delay[0]), 0.0f);
                x[0] = 1.0f;
                const auto y = Rig(makeCombo, mode, rate, constant(cut), constant(res)).run(x, x);
                for (int ch = 0; ch < 2; ++ch) {
                    EXPECT_FLOAT_EQ(y[ch][0], 0.38f);
                    double echo[2] = {0.0, 0.0}, moment = 0.0;
                    for (std::size_t i = 1; i < x.size(); ++i) {
                        echo[i < 1.5 * delay[0] ? 0 : 1] += y[ch][i];
                        moment += i < 1.5 * delay[0] ? double(i) * y[ch][i] : 0.0;
                    }
                    EXPECT_NEAR(echo[0], 0.62, 1e-5);
                    EXPECT_NEAR(moment / echo[0], delay[ch], 1e-5 * delay[0] + 1e-3);
                    EXPECT_NEAR(echo[1] / echo[0], h, 1e-4);
                }
                EXPECT_GT(delay[1] / delay[0], spread > 0.0 && cut > 0.0 ? 1.02 : 0.0); // 0 clamps
            }
}

// Positive feedback rings at multiples of rate / delay; negative feedback inverts the loop, so
// the peaks move half a spacing.
TEST(FilterCombo, PeaksSitAtMultiplesOfTheInverseDelayOrHalfWayBetween) {
    for (int mode = MonoPlus; mode <= StereoMinus; ++mode)
        for (float rate : {44100.0f, 96000.0f}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " rate " << rate);
            constexpr int n = 1 << 18;
            Samples x(n, 0.0f);
            x[0] = 1.0f;
            const auto y = Rig(makeCombo, mode, rate, constant(0.55f), constant(0.9f)).run(x, x);
            for (int ch = 0; ch < 2; ++ch) {
                const double spacing =
                    n / comboDelay(ch && mode >= StereoPlus ? 0.455 : 0.45, rate);
                const std::vector<double> m = magnitude(y[ch], n);
                for (int p = 1; p <= 4; ++p) {
                    const double want = (p + (mode % 2 ? 0.5 : 0.0)) * spacing;
                    int best = int(want - 0.4 * spacing);
                    for (int i = best; i <= int(want + 0.4 * spacing); ++i)
                        best = m[i] > m[best] ? i : best;
                    EXPECT_NEAR(best, want, 0.01 * spacing) << "peak " << p;
                    EXPECT_GT(db(m[best] / m[std::size_t(want + 0.5 * spacing)]), 20.0) << p;
                }
            }
        }
}

// A note start empties the lines only while the resonance is under 0.2, silent voice or not;
// reset() always does. Afterwards the longest delay (17712 samples at 192 kHz) reads back over
// everything written within reach, the part that wrapped round included.
TEST(FilterCombo, NoteStartClearsTheLinesOnlyBelowResonanceTwoTenths) {
    struct Case {
        float res;
        bool silent;
        long written; // samples of noise before the note start
        bool reset, cleared;
    } const cases[] = {{0.1f, true, 3000, false, true},  {0.19f, false, 3000, false, true},
                       {0.1f, true, 90000, false, true}, {0.2f, true, 3000, false, false},
                       {0.6f, true, 3000, false, false}, {0.6f, true, 3000, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "res " << c.res << " written " << c.written);
        const long start = c.written + 100, lead = 37; // silent input from 100 samples before
        Rig rig(makeCombo, StereoPlus, 192000.0f);
        rig.cut = [&](long i) { return i < start ? 0.9f : 0.0f; };
        rig.res = [&](long i) { return i < start ? 0.95f : c.res; };
        rig.noteStarts = {start}, rig.silent = c.silent;
        Samples x = noise(c.written, 0.5), rest(40000 + lead, 0.0f);
        x.resize(std::size_t(start - lead), 0.0f);
        rig.mono(x);
        if (c.reset) rig.kernel->reset();
        const auto y = rig.run(rest, rest, 200); // the note start falls mid-block
        double before = 0.0, after = 0.0;
        for (long i = 0; i < long(rest.size()); ++i)
            (i < lead ? before : after) += std::abs(y[0][i]) + std::abs(y[1][i]);
        EXPECT_EQ(before > 1e-3, !c.reset); // still ringing up to the note start
        EXPECT_EQ(after == 0.0, c.cleared);
        EXPECT_EQ(after > 1.0, !c.cleared);
    }
}

double curveOf(int mode, double x) {
    const double c = std::clamp(x, -1.0, 1.0);
    return mode == Saturate ? 1.5 * (c - c * c * c / 3.0) : x > 0.0 ? std::sin(3.846 * x) : c;
}
double driveOf(int mode, double res) {
    return 5.0 + (mode == Saturate ? 40.0 : 20.0) * res;
}

// A held level meets the curve as level x drive; the tone filter after it is linear, so settled
// outputs over that of a small negative level (where both curves are linear) read the curve.
TEST(FilterShaper, HeldLevelsFollowTheDrivenCurve) {
    struct Case {
        int mode;
        float res;
        double level;
    } const cases[] = {{Saturate, 0.0f, 0.05},   {Saturate, 0.0f, 0.1},  {Saturate, 0.0f, 0.3},
                       {Saturate, 0.0f, -0.3},   {Saturate, 1.0f, 0.01}, {Saturate, 0.5f, -0.02},
                       {Foldback, 0.0f, 0.05},   {Foldback, 0.0f, 0.16}, {Foldback, 0.0f, -0.1},
                       {Foldback, 0.0f, 0.0817}, {Foldback, 0.0f, -1.0}, {Foldback, 1.0f, 0.032}};
    auto settled = [](int mode, float res, double level) {
        const Samples x(32, float(level));
        return Rig(makeShaper, mode, 192000, constant(0.5f), constant(res)).mono(x).back();
    };
    const double unit[2] = {settled(Saturate, 0.0f, -0.002) / curveOf(Saturate, -0.01),
                            settled(Foldback, 0.0f, -0.02) / curveOf(Foldback, -0.1)};
    EXPECT_NEAR(unit[0], 0.17, 0.01); // four sub-samples x 0.0425
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "mode " << c.mode << " res " << c.res << " level " << c.level);
        EXPECT_NEAR(settled(c.mode, c.res, c.level) / unit[c.mode],
                    curveOf(c.mode, c.level * driveOf(c.mode, c.res)), 0.02);
    }
}

// Below the middle the cutoff moves a low-pass corner (high-pass at 20 Hz), above it a high-pass
// corner (low-pass at 20 kHz), on 20 Hz x 1000^x: at 0.25 and 0.75 that is 632 Hz. Judged
// against a pair of analog one-poles; brightness rises with the cutoff all the way.
TEST(FilterShaper, ToneControlMovesTheSpectrum) {
    auto gain = [](float cut, double hz) {
        return db(gainAt(Rig(makeShaper, Saturate, 96000.0f, constant(cut)), hz, 0.002));
    };
    auto onePoles = [](double hp, double lp, double hz) {
        return db(hz / hp / std::hypot(1.0, hz / hp) / std::hypot(1.0, hz / lp));
    };
    const double corner = std::sqrt(20.0 * 20000.0);
    for (double hz : {100.0, corner, 2000.0})
        EXPECT_NEAR(gain(0.25f, hz) - gain(0.25f, 300.0),
                    onePoles(20, corner, hz) - onePoles(20, corner, 300), 0.3);
    for (double hz : {200.0, corner, 4000.0})
        EXPECT_NEAR(gain(0.75f, hz) - gain(0.75f, 1500.0),
                    onePoles(corner, 2e4, hz) - onePoles(corner, 2e4, 1500), 0.3);
    double last = -1e9;
    for (float cut : {0.1f, 0.3f, 0.5f, 0.7f, 0.9f}) {
        const double tilt = gain(cut, 5000.0) - gain(cut, 200.0);
        EXPECT_GT(tilt, last + 3.0) << "cut " << cut;
        last = tilt;
    }
}

// A curve run at the sample rate folds every harmonic above Nyquist back. At 4x, summing the four
// sub-samples nulls what would alias near 0 Hz (much less what lands near Nyquist). Aliases are
// the power off the harmonic grid; 1 s holds whole periods, every line on a 1 Hz bin.
TEST(FilterShaper, UpsamplingKeepsAliasingBelowANaiveShaper) {
    constexpr int rate = 44100;
    for (int mode : {Saturate, Foldback})
        for (float res : {0.0f, 1.0f}) {
            SCOPED_TRACE(testing::Message() << "mode " << mode << " res " << res);
            const Samples x = sine(1000.0, rate, 2 * rate, 0.9);
            Samples ours = Rig(makeShaper, mode, rate, constant(0.5f), constant(res)).mono(x);
            ours.erase(ours.begin(), ours.begin() + rate);
            Samples naive(rate);
            for (int i = 0; i < rate; ++i)
                naive[i] = float(0.17 * curveOf(mode, driveOf(mode, res) * x[rate + i]));
            auto aliasDb = [&](const Samples& s, int below) { // off-grid power below `below` Hz
                const std::vector<double> m = magnitude(s, rate);
                double harmonics = 0.0, alias = 0.0;
                for (int k = 1; k < rate / 2; ++k)
                    (k % 1000 ? alias : harmonics) +=
                        k % 1000 == 0 || k < below ? m[k] * m[k] : 0.0;
                return 10.0 * std::log10(alias / harmonics);
            };
            EXPECT_LT(aliasDb(ours, 10000), aliasDb(naive, 10000) - 12.0);
            EXPECT_LT(aliasDb(ours, rate), aliasDb(naive, rate) - 4.0);
        }
}

// Scorpio starts from rest at a note on a silent voice and at a mode change, and keeps its state
// for a note that takes over a sounding voice; the Shaper keeps its state at any note; reset()
// empties both. Noise, then silence, with the event at its start.
TEST(FilterScorpioAndShaper, StatesRestartOnlyAtAFreshNoteAModeChangeOrAReset) {
    enum Event { Note, ModeChange, Reset };
    struct Case {
        Factory make;
        int mode;
        Event event;
        bool silent, zeroed;
    } const cases[] = {
        {makeScorpio, BlackLP4, Note, true, true}, {makeScorpio, RedLP2, Note, false, false},
        {makeScorpio, BlackBP4, Note, true, true}, {makeScorpio, BlackLP4, ModeChange, false, true},
        {makeScorpio, RedLP4, Reset, false, true}, {makeShaper, Foldback, Note, true, false},
        {makeShaper, Saturate, Reset, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " event " << c.event);
        constexpr long head = 2048, at = 37; // the note falls mid-block
        auto play = [&](bool withEvent) {
            Rig rig(c.make, c.mode, 44100.0f, constant(0.3f), constant(0.5f));
            rig.silent = c.silent;
            if (withEvent && c.event == Note) rig.noteStarts = {head + at};
            rig.run(noise(head, 0.3), noise(head, 0.3, 9));
            if (withEvent && c.event == ModeChange) rig.mode = RedLP4;
            if (withEvent && c.event == Reset) rig.kernel->reset();
            const Samples quiet(4000, 0.0f);
            return rig.run(quiet, quiet);
        };
        const auto with = play(true), without = play(false);
        const long from = c.event == Note ? at : 0;
        double before = 0.0, changed = 0.0, tail = 0.0;
        for (int ch = 0; ch < 2; ++ch)
            for (long i = 0; i < 4000; ++i) {
                (i < from ? before : changed) += std::abs(with[ch][i] - without[ch][i]);
                tail += i >= from ? std::abs(with[ch][i]) : 0.0;
            }
        EXPECT_EQ(before, 0.0);
        EXPECT_EQ(tail == 0.0, c.zeroed);
        EXPECT_EQ(changed == 0.0 && tail > 1e-3, !c.zeroed); // kept: exactly as if nothing happened
    }
}

// Garbage controls (NaN, out of range), any sample rate, extreme levels and full resonance: every
// output within its structure's bound, and finite even after a NaN and an infinite input sample
// (near the end). Saturate is odd, and so is all around it. Under ASan this also shows the comb
// never reads outside its lines.
TEST(FilterScorpioComboShaper, StayFiniteAndBoundedOnBadInput) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (Factory make : {makeScorpio, makeCombo, makeShaper})
        for (int mode = 0; mode < (make == makeScorpio ? 6 : make == makeCombo ? 4 : 2); ++mode)
            for (float rate : {22050.0f, 44100.0f, 192000.0f, 0.0f, nan})
                for (double amp : {1.0, 1e6}) {
                    SCOPED_TRACE(testing::Message()
                                 << "mode " << mode << " rate " << rate << " amp " << amp);
                    // Combo: 0.62 / (1 - 0.99) + 0.38 times the input; Red: 4 x 0.095 x |S| <= 1;
                    // Shaper: 0.17, doubled at most by its high-pass; Black: the one-sided clip
                    // halves the loop gain of a large swing (k < 2), so a few times the input.
                    const double bound = make == makeCombo    ? 62.4 * amp
                                         : make == makeShaper ? 0.34
                                         : mode <= RedLP4     ? 0.38
                                                              : 5.0 * amp;
                    Rig rig(make, mode, rate);
                    rig.cut = [nan](long i) {
                        return i % 97 ? float(std::sin(i * 1e-3)) * 0.7f + 0.5f : nan;
                    };
                    rig.res = [nan](long i) { return i % 89 ? (i % 5000) / 2500.0f - 0.5f : nan; };
                    rig.noteStarts = {500, 7000};
                    Samples x = noise(20000, amp), neg(x.size());
                    x[19000] = nan, x[19001] = std::numeric_limits<float>::infinity();
                    const auto y = rig.run(x, noise(20000, amp, 9));
                    float peak = 0.0f;
                    for (std::size_t i = 0; i < x.size(); ++i) {
                        ASSERT_TRUE(std::isfinite(y[0][i]) && std::isfinite(y[1][i])) << i;
                        peak = std::max(
                            {peak, i < 19000 ? std::abs(y[0][i]) : 0.0f, std::abs(y[1][i])});
                    }
                    EXPECT_LE(peak, bound);
                    EXPECT_GT(peak, 0.01 * bound); // it did pass signal
                    if (make != makeShaper || mode != Saturate) continue;
                    std::transform(x.begin(), x.end(), neg.begin(), std::negate<float>());
                    const Samples z = Rig(make, mode, rate, rig.cut, rig.res).mono(neg);
                    for (std::size_t i = 0; i < x.size(); ++i)
                        ASSERT_EQ(z[i], -y[0][i]) << i;
                }
}

} // namespace
} // namespace kolva::flt
