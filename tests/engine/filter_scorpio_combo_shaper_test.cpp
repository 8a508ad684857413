// Scorpio, Combo and Shaper kernels judged on their signals: sine gains against one-pole cascade
// theory, comb echoes, the shaper's static curve, tone corners and aliasing against a naive one.

#include "engine/filter_kernel.h"
#include "engine/filter_tables.h"

#include <fftw3.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <functional>
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
    std::unique_ptr<FilterKernel> kernel;
    int mode;
    float rate;
    Lane cut = constant(0.5f), res = constant(0.0f);
    long noteStart = -1;
    bool silent = true; // voiceSilent of the block holding the note start
    long done = 0;

    std::array<Samples, 2> run(const Samples& l, const Samples& r, int blockSize = 256) {
        std::array<Samples, 2> out{Samples(l.size()), Samples(l.size())};
        for (std::size_t at = 0; at < l.size(); at += std::size_t(blockSize)) {
            const int n = int(std::min<std::size_t>(blockSize, l.size() - at));
            std::array<Samples, 4> scratch;
            scratch.fill(Samples(std::size_t(n) + 4, NAN));
            Samples c(n), q(n), t(n);
            for (int i = 0; i < n; ++i)
                c[i] = cut(done + i), q[i] = res(done + i), t[i] = done + i == noteStart;
            FilterBlock b{n,           rate,        mode,     &l[at],   &r[at],
                          &out[0][at], &out[1][at], c.data(), q.data(), t.data()};
            b.voiceSilent = silent && noteStart >= done && noteStart < done + n;
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

// One stage s += (x - s) g is a pole at 1 - g per sub-step, four sub-steps a sample.
double stageCornerHz(float cut, float rate) {
    const double g = readFrequencyCurve(svfFrequencyCurve(), cut) * 44100.0 / rate;
    return -std::log(1.0 - g) * 4.0 * rate / (2.0 * kPi);
}

// Without resonance every mode is a cascade of equal one-poles L = 1 / (1 + j f/fc): LP2 and
// LP4 fall as |L|^2 and |L|^4 (11.6 and 23.3 dB from 4 to 8 fc); HP4 is x - L^4 x, a single
// zero at DC (+6 dB/oct far below); BP4 is HP4 into LP4 (-2.9 dB at fc/2).
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
            return db(gainAt(Rig{makeScorpio(), c.mode, c.rate, constant(0.4f)}, m * fc));
        };
        EXPECT_NEAR(at(c.passAt), c.passDb, 1.5);
        EXPECT_NEAR(at(1.0 / 16) - at(1.0 / 32), c.lowSlope, 1.5);
        EXPECT_NEAR(at(8.0) - at(4.0), c.highSlope, 2.0);
    }
}

// The s1/s2 loop turns unstable at k = 1 whatever the cutoff (K = k / (1 - g) + k), so at full
// resonance a click rings on at the stage corner, bounded. Judged over the second second about
// its mean (the clip adds DC).
TEST(FilterScorpio, FullResonanceSelfOscillatesBoundedAtTheStageCorner) {
    const double fc = stageCornerHz(0.4f, 44100.0f);
    for (int mode = RedLP2; mode <= BlackBP4; ++mode) {
        Samples x(2 * 44100, 0.0f);
        x[0] = 1.0f;
        const Samples y = Rig{makeScorpio(), mode, 44100, constant(0.4f), constant(1.0f)}.mono(x);
        const double mean = std::accumulate(y.begin() + 44100, y.end(), 0.0) / 44100.0;
        double peak = 0.0, crossings = 0.0;
        for (std::size_t i = 44101; i < y.size(); ++i) {
            peak = std::max(peak, std::abs(y[i] - mean));
            crossings += (y[i] - mean) * (y[i - 1] - mean) < 0.0;
        }
        EXPECT_TRUE(peak > 0.01 && peak < 4.0) << "mode " << mode << " peak " << peak;
        EXPECT_NEAR(crossings / 2.0, fc, 0.3 * fc) << "mode " << mode;
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
        for (float rate : {22050.0f, 192000.0f})
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
                const auto y = Rig{makeCombo(), mode, rate, constant(cut), constant(res)}.run(x, x);
                for (int ch = 0; ch < 2; ++ch) {
                    EXPECT_FLOAT_EQ(y[ch][0], 0.38f);
                    double echo[2] = {0.0, 0.0}, moment = 0.0;
                    for (std::size_t i = 1; i < x.size(); ++i) {
                        const bool first = i < 1.5 * delay[0];
                        echo[first ? 0 : 1] += y[ch][i];
                        moment += first ? double(i) * y[ch][i] : 0.0;
                    }
                    EXPECT_NEAR(echo[0], 0.62, 1e-5);
                    EXPECT_NEAR(moment / echo[0], delay[ch], 1e-5 * delay[0] + 1e-3);
                    EXPECT_NEAR(echo[1] / echo[0], h, 1e-4);
                }
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
    } const cases[] = {{Saturate, 0.0f, 0.1},   {Saturate, 0.0f, -0.3}, {Saturate, 1.0f, 0.01},
                       {Saturate, 0.5f, -0.02}, {Foldback, 0.0f, 0.16}, {Foldback, 0.0f, 0.0817},
                       {Foldback, 0.0f, -1.0},  {Foldback, 1.0f, 0.032}};
    auto settled = [](int mode, float res, double level) {
        return Rig{makeShaper(), mode, 192000, constant(0.5f), constant(res)}
            .mono(Samples(32, float(level)))
            .back();
    };
    const double unit[2] = {settled(Saturate, 0.0f, -0.002) / curveOf(Saturate, -0.01),
                            settled(Foldback, 0.0f, -0.02) / curveOf(Foldback, -0.1)};
    EXPECT_NEAR(unit[0], 0.17, 0.01); // four sub-samples x 0.0425
    for (const Case& c : cases)
        EXPECT_NEAR(settled(c.mode, c.res, c.level) / unit[c.mode],
                    curveOf(c.mode, c.level * driveOf(c.mode, c.res)), 0.02)
            << "mode " << c.mode << " res " << c.res << " level " << c.level;
}

// Below the middle the cutoff moves a low-pass corner (high-pass at 20 Hz), above it a
// high-pass corner (low-pass at 20 kHz), on 20 Hz x 1000^x: at 0.25 and 0.75 that is 632 Hz.
// Judged against a pair of analog one-poles, relative to a frequency in the pass band.
TEST(FilterShaper, ToneControlPlacesItsCornersOnTheCurve) {
    const double corner = std::sqrt(20.0 * 20000.0);
    struct Case {
        float cut;
        double hp, lp, ref;
    } const cases[] = {{0.25f, 20.0, corner, 300.0}, {0.75f, corner, 2e4, 1500.0}};
    for (const Case& c : cases)
        for (double hz : {100.0, 200.0, corner, 2000.0, 4000.0}) {
            auto gain = [&](double f) {
                const double ours =
                    gainAt(Rig{makeShaper(), Saturate, 96000, constant(c.cut)}, f, 0.002);
                return db(ours * std::hypot(1.0, c.hp / f) * std::hypot(1.0, f / c.lp));
            };
            EXPECT_NEAR(gain(hz), gain(c.ref), 0.3) << "cut " << c.cut << " at " << hz;
        }
}

// A curve run at the sample rate folds every harmonic above Nyquist back; at 4x, summing the
// sub-samples nulls what would alias near 0 Hz (less near Nyquist). Aliases are the power off
// the harmonic grid; 1 s holds whole periods, every line on a 1 Hz bin.
TEST(FilterShaper, UpsamplingKeepsAliasingBelowANaiveShaper) {
    constexpr int rate = 44100;
    const Samples x = sine(1000.0, rate, 2 * rate, 0.9);
    auto aliasDb = [](const Samples& s, int below) { // off-grid power below `below` Hz
        std::vector<double> in(s.end() - rate, s.end());
        std::vector<fftw_complex> m(rate / 2 + 1);
        fftw_plan plan = fftw_plan_dft_r2c_1d(rate, in.data(), m.data(), FFTW_ESTIMATE);
        fftw_execute(plan);
        fftw_destroy_plan(plan);
        double harmonics = 0.0, alias = 0.0;
        for (int k = 1; k < rate / 2; ++k)
            (k % 1000 ? alias : harmonics) +=
                k % 1000 == 0 || k < below ? m[k][0] * m[k][0] + m[k][1] * m[k][1] : 0.0;
        return 10.0 * std::log10(alias / harmonics);
    };
    for (int mode : {Saturate, Foldback})
        for (float res : {0.0f, 1.0f}) {
            const Samples ours =
                Rig{makeShaper(), mode, rate, constant(0.5f), constant(res)}.mono(x);
            Samples naive(x.size());
            for (std::size_t i = 0; i < x.size(); ++i)
                naive[i] = float(0.17 * curveOf(mode, driveOf(mode, res) * x[i]));
            EXPECT_LT(aliasDb(ours, 10000), aliasDb(naive, 10000) - 12.0) << mode << " " << res;
            EXPECT_LT(aliasDb(ours, rate), aliasDb(naive, rate) - 4.0) << mode << " " << res;
        }
}

// Noise, then silence with an event in it. Scorpio starts from rest at a note on a silent voice
// and at a mode change, keeps its state for a note taking over a sounding voice; the Shaper
// keeps its state at any note; Combo empties its lines at a note only under resonance 0.2, the
// longest delay then reading back all written within reach, the wrapped-round part included;
// reset() empties all. Kept means exactly as if nothing had happened.
TEST(FilterScorpioComboShaper, StatesRestartOnlyWhereTheyShould) {
    enum Event { Note, ModeChange, Reset };
    struct Case {
        Factory make;
        int mode;
        long written;         // samples of noise before the event
        float cut[2], res[2]; // before and from the event
        Event event;
        bool silent, zeroed;
    } const cases[] = {
        {makeScorpio, BlackBP4, 2048, {0.3f, 0.3f}, {0.5f, 0.5f}, Note, true, true},
        {makeScorpio, RedLP2, 2048, {0.3f, 0.3f}, {0.5f, 0.5f}, Note, false, false},
        {makeScorpio, BlackLP4, 2048, {0.3f, 0.3f}, {0.5f, 0.5f}, ModeChange, false, true},
        {makeScorpio, RedLP4, 2048, {0.3f, 0.3f}, {0.5f, 0.5f}, Reset, false, true},
        {makeShaper, Foldback, 2048, {0.3f, 0.3f}, {0.5f, 0.5f}, Note, true, false},
        {makeShaper, Saturate, 2048, {0.3f, 0.3f}, {0.5f, 0.5f}, Reset, false, true},
        {makeCombo, StereoPlus, 3000, {0.9f, 0.0f}, {0.95f, 0.19f}, Note, false, true},
        {makeCombo, StereoPlus, 90000, {0.9f, 0.0f}, {0.95f, 0.1f}, Note, true, true},
        {makeCombo, StereoPlus, 3000, {0.9f, 0.0f}, {0.95f, 0.2f}, Note, true, false},
        {makeCombo, StereoPlus, 3000, {0.9f, 0.0f}, {0.95f, 0.6f}, Reset, true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "mode " << c.mode << " event " << c.event << " res "
                                        << c.res[1] << " written " << c.written);
        const long at = c.event == Note ? 37 : 0, event = c.written + at; // mid-block
        auto play = [&](bool withEvent) {
            Rig rig{c.make(), c.mode, 192000.0f};
            rig.cut = [&](long i) { return c.cut[i >= event]; };
            rig.res = [&](long i) { return c.res[i >= event]; };
            rig.silent = c.silent;
            if (withEvent && c.event == Note) rig.noteStart = event;
            rig.run(noise(c.written, 0.3), noise(c.written, 0.3, 9), 200);
            if (withEvent && c.event == ModeChange) rig.mode = RedLP4;
            if (withEvent && c.event == Reset) rig.kernel->reset();
            const Samples quiet(40000, 0.0f); // over twice the longest comb delay
            return rig.run(quiet, quiet, 200);
        };
        const auto with = play(true), without = play(false);
        double before = 0.0, changed = 0.0, tail = 0.0;
        for (int ch = 0; ch < 2; ++ch)
            for (long i = 0; i < 40000; ++i) {
                (i < at ? before : changed) += std::abs(with[ch][i] - without[ch][i]);
                tail += i >= at ? std::abs(with[ch][i]) : 0.0;
            }
        EXPECT_EQ(before, 0.0);
        EXPECT_TRUE(c.zeroed ? tail == 0.0 : changed == 0.0 && tail > 1e-3) << tail;
    }
}

// Garbage controls (NaN, out of range), any sample rate, huge levels, full resonance, a NaN and
// an infinite sample: outputs stay finite and within each structure's bound (under ASan the comb
// also never reads outside its lines). Combo: 0.62 / (1 - 0.99) + 0.38 x the input; Red:
// 4 x 0.095 x |S| <= 1; Shaper: 0.17, at most doubled by its high-pass; Black: the one-sided
// clip halves the loop gain of a large swing, so a few times the input.
TEST(FilterScorpioComboShaper, StayFiniteAndBoundedOnBadInput) {
    const Lane cut = [](long i) { return i % 97 ? std::sin(i * 1e-3f) * 0.7f + 0.5f : NAN; };
    const Lane res = [](long i) { return i % 89 ? (i % 5000) / 2500.0f - 0.5f : NAN; };
    Samples x = noise(20000, 1e6);
    x[19000] = NAN, x[19001] = INFINITY;
    for (Factory make : {makeScorpio, makeCombo, makeShaper})
        for (int mode = 0; mode < (make == makeScorpio ? 6 : make == makeCombo ? 4 : 2); ++mode)
            for (float rate : {22050.0f, 192000.0f, 0.0f, NAN}) {
                const double bound = make == makeCombo    ? 62.4e6
                                     : make == makeShaper ? 0.34
                                     : mode <= RedLP4     ? 0.38
                                                          : 5e6;
                Rig rig{make(), mode, rate, cut, res, 7000};
                const auto y = rig.run(x, noise(20000, 1e6, 9));
                float peak = 0.0f;
                for (std::size_t i = 0; i < x.size(); ++i) {
                    ASSERT_TRUE(std::isfinite(y[0][i]) && std::isfinite(y[1][i])) << i;
                    peak =
                        std::max({peak, i < 19000 ? std::abs(y[0][i]) : 0.0f, std::abs(y[1][i])});
                }
                EXPECT_LE(peak, bound) << "mode " << mode << " rate " << rate;
                EXPECT_GT(peak, 0.01 * bound) << "mode " << mode << " rate " << rate; // passes
            }
}

} // namespace
} // namespace kolva::flt
