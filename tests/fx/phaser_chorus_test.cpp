// Phaser and chorus measured on signals: notches, vowel resonances and chorus taps, their LFO
// sweeps, activity rules, stability and state resets. Building an engine is the slow part, so
// each test reuses one across its cases.

#include "fx/fx_tables.h"
#include "fx/module_fx_chorus.h"
#include "fx/module_fx_phaser.h"

#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

namespace kolva::test {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr float kRate = 44100.0f;
using Signal = std::vector<float>;
using Track = std::vector<double>;

// Frequency controls read a note scale: 440 Hz at entry 53 of 120, a semitone per entry.
double noteHz(double control) { return 440.0 * std::exp2((control * 119.0 - 53.0) / 12.0); }

Track logGrid(double lo, double hi, int points) {
    Track f;
    for (int i = 0; i < points; ++i) f.push_back(lo * std::pow(hi / lo, i / (points - 1.0)));
    return f;
}

// sign x |DFT| of x[from, from + count) at each grid frequency (Goertzel).
Track spectrum(const Signal& x, std::size_t from, std::size_t count, const Track& grid,
               double sign = 1.0) {
    Track m;
    for (const double hz : grid) {
        const double c = 2.0 * std::cos(2.0 * kPi * hz / kRate);
        double s1 = 0.0, s2 = 0.0;
        for (std::size_t n = from; n < from + count; ++n)
            s2 = std::exchange(s1, x[n] + c * s1 - s2);
        m.push_back(sign * std::sqrt(std::max(0.0, s1 * s1 + s2 * s2 - c * s1 * s2)));
    }
    return m;
}

// Grid frequencies of the local maxima of m above `floor`.
Track peaks(const Track& m, const Track& grid, double floor) {
    Track found;
    for (std::size_t i = 1; i + 1 < m.size(); ++i)
        if (m[i] > floor && m[i] > m[i - 1] && m[i] >= m[i + 1]) found.push_back(grid[i]);
    return found;
}

// Sub-sample position of the largest |x| in [from, to).
double peakAt(const Signal& x, std::size_t from, std::size_t to) {
    std::size_t i = from;
    for (std::size_t j = from; j < to; ++j) i = std::fabs(x[j]) > std::fabs(x[i]) ? j : i;
    if (i == 0 || i + 1 >= x.size()) return static_cast<double>(i);
    const double a = std::fabs(x[i - 1]), b = std::fabs(x[i]), c = std::fabs(x[i + 1]);
    return i + (a - 2 * b + c < 0 ? 0.5 * (a - c) / (a - 2 * b + c) : 0.0);
}

FxModule& fx(FxHarness& h, int module) { return h.module<FxModule>(module); }

// Silence until every smoother sits on its target, then recover(): the next case starts like a
// fresh effect whose controls were always there, except for the LFO phases.
void settle(FxHarness& h, int module) {
    Signal l(5120, 0.0f), r = l;
    h.run(fx(h, module), l, r);
    fx(h, module).recover();
}

std::pair<Signal, Signal> response(FxHarness& h, int module, int n) { // to a unit impulse
    settle(h, module);
    Signal l = impulse(n), r = l;
    h.run(fx(h, module), l, r);
    return {l, r};
}

void setAll(FxHarness& h, std::initializer_list<std::pair<const char*, float>> values) {
    for (const auto& [name, v] : values) h.set(name, v);
}

// Phaser with its sweep held still: no depth, no feedback, dry and wet 50/50.
void stillPhaser(FxHarness& h, int mode, float centre) {
    h.option("phs_stages", mode);
    setAll(h, {{"phs_freq", centre}, {"phs_depth", 0.0f}, {"phs_fback", 0.5f},
               {"phs_spread", 0.0f}, {"phs_wet", 0.5f}});
}

// Chorus with the LFO out of the way: no depth, no feedback, full wet, open filters.
void stillChorus(FxHarness& h, int mode, float delay) {
    h.option("chr_mode", mode);
    setAll(h, {{"chr_delay", delay}, {"chr_depth", 0.0f}, {"chr_fback", 0.5f}, {"chr_wide", 0.0f},
               {"chr_hicut", 1.0f}, {"chr_lowcut", 0.0f}, {"chr_wet", 1.0f}});
}

TEST(Phaser, ClassicModesNotchWhereTheCascadeTurnsByOddPi) {
    // N all-passes at break w turn by -2N atan(tan(pi f/sr)/w); against the dry signal that
    // notches at odd multiples of -pi: N/2 notches. A fast LFO without depth must not move them.
    const double w = noteHz(0.7) / kRate;
    const Track grid = logGrid(20.0, 20000.0, 1200);
    FxHarness h(kRate);
    for (int mode = 0; mode <= 5; ++mode) {
        SCOPED_TRACE("mode " + std::to_string(mode));
        stillPhaser(h, mode, 0.7f);
        h.set("phs_rate", 0.8f); // 9 Hz
        const auto [l, r] = response(h, kModFxPhaser, 2048);
        EXPECT_EQ(l, r);
        const Track m = spectrum(l, 0, l.size(), grid, -1.0), found = peaks(m, grid, -0.2);
        EXPECT_NEAR(*std::min_element(m.begin(), m.end()), -1.0, 0.02); // unity between notches
        const int n = 2 * mode + 2;
        ASSERT_EQ(found.size(), static_cast<std::size_t>(n / 2));
        for (int k = 0; k < n / 2; ++k) {
            const double turn = std::atan(w * std::tan((2 * k + 1) * kPi / (2 * n)));
            EXPECT_NEAR(found[k] * kPi / kRate / turn, 1.0, 0.01) << k;
        }
    }
}

TEST(Phaser, VowelModesRingBelowEachFormantAndRightIsTunedUp) {
    // Each band is an all-pass chain in negative feedback ringing at 0.5 to 0.6 of its formant.
    // Centre 0 reads the first vowel, stretched per mode; full stereo tunes the right channel
    // 200 Hz up. Modes past 9 are mode 9.
    constexpr double kVowel[4] = {805.0, 1140.0, 2900.0, 3900.0};
    const Track grid = logGrid(100.0, 15000.0, 1500);
    struct Case { int mode; double scale, shift; };
    FxHarness h(kRate);
    Signal mode9;
    for (const Case c : {Case{6, 1.2, -100.0}, {7, 1.5, 0}, {8, 1.5, 500}, {9, 1, 0}, {40, 1, 0}}) {
        SCOPED_TRACE("mode " + std::to_string(c.mode));
        stillPhaser(h, c.mode, 0.0f);
        setAll(h, {{"phs_wet", 1.0f}, {"phs_fback", 1.0f}, {"phs_spread", 1.0f}});
        const auto [l, r] = response(h, kModFxPhaser, 8192);
        if (c.mode == 40) {
            EXPECT_EQ(l, mode9);
            continue;
        }
        mode9 = l;
        Track band[2];
        for (int ch = 0; ch < 2; ++ch) {
            const Track m = spectrum(ch ? r : l, 0, l.size(), grid);
            band[ch] = peaks(m, grid, 8 * *std::min_element(m.begin(), m.end()));
            ASSERT_EQ(band[ch].size(), 4u) << "channel " << ch;
        }
        for (int b = 0; b < 4; ++b) {
            EXPECT_NEAR(band[0][b] / (kVowel[b] * c.scale + c.shift), 0.555, 0.085) << b;
            EXPECT_NEAR(band[1][b] - band[0][b], 105.0, 45.0) << b;
        }
    }
}

TEST(Chorus, TapsSitAtTheirShareOfTheDelay) {
    // Delay control 0.5 reads 0.2406 from the delay curve. Voice modes: each voice reads its
    // factor of (delay + 0.01) s; mode 4 is mode 2's voices, mode 5 doubles mode 3's. Ensemble
    // (6 and past): 60 ms x delay at half and full length, the second tap subtracted; full
    // width moves the right taps by 5% of the span.
    constexpr double kV = (0.2406 + 0.01) * kRate, kEns = 0.06 * 0.2406 * kRate;
    struct Case { int mode; float wide; Track taps; double rightShift; };
    std::vector<Case> cases = {
        {0, 0, {0.04 * kV}, 0},
        {1, 0, {0.032 * kV, 0.041 * kV}, 0},
        {2, 0, {0.025 * kV, 0.034 * kV, 0.045 * kV}, 0},
        {3, 0, {0.012 * kV, 0.023 * kV, 0.037 * kV, 0.042 * kV}, 0},
        {4, 0, {0.025 * kV, 0.034 * kV, 0.045 * kV}, 0},
        {5, 0, {0.024 * kV, 0.046 * kV, 0.074 * kV, 0.084 * kV}, 0},
    };
    for (const int mode : {6, 50})
        for (const float wide : {0.0f, 1.0f})
            cases.push_back({mode, wide, {0.5 * kEns, -kEns}, wide * 0.05 * kEns});
    FxHarness h(kRate);
    for (const Case& c : cases) {
        SCOPED_TRACE("mode " + std::to_string(c.mode) + " wide " + std::to_string(c.wide));
        stillChorus(h, c.mode, 0.5f);
        h.set("chr_wide", c.wide);
        const auto [l, r] = response(h, kModFxChorus, 2048);
        EXPECT_EQ(l == r, c.rightShift == 0.0);
        for (int ch = 0; ch < 2; ++ch) {
            const Signal& x = ch ? r : l;
            Track found; // peaks above 0.3 at least 40 samples apart, signed by polarity
            for (std::size_t i = 0; i < x.size(); ++i)
                if (std::fabs(x[i]) >= 0.3f) {
                    const double p = peakAt(x, i, std::min(x.size(), i + 40));
                    found.push_back(x[static_cast<std::size_t>(std::lround(p))] < 0 ? -p : p);
                    i += 39;
                }
            ASSERT_EQ(found.size(), c.taps.size()) << "channel " << ch;
            for (std::size_t v = 0; v < found.size(); ++v)
                EXPECT_NEAR(found[v], c.taps[v] + ch * std::copysign(c.rightShift, c.taps[v]), 1.5)
                    << "channel " << ch << " tap " << v;
        }
    }
}

// Ensemble at full depth: over one LFO cycle the added tap sweeps from half the base delay to
// all of it and the subtracted tap the other way, never outside that range.
TEST(Chorus, EnsembleTapsSweepBetweenHalfAndAllOfTheBaseDelay) {
    FxHarness h(kRate);
    stillChorus(h, 6, 0.5f);
    setAll(h, {{"chr_depth", 1.0f}, {"chr_rate", 0.25f}}); // 0.5 Hz: a cycle in 2 s
    settle(h, kModFxChorus);
    const double base = 0.06 * 0.2406 * kRate;
    constexpr std::size_t kEvery = 2205, kCount = 40; // 50 ms apart, 2 s in all
    Signal l(kEvery * kCount), r(l.size());
    for (std::size_t k = 0; k < kCount; ++k) l[k * kEvery] = r[k * kEvery] = 1.0f;
    h.run(fx(h, kModFxChorus), l, r);
    double lowAdded = 1e9, highAdded = 0, lowTaken = 1e9, highTaken = 0;
    for (std::size_t k = 0; k < kCount; ++k) {
        const std::size_t from = k * kEvery, to = from + kEvery;
        const auto most = std::max_element(l.begin() + from, l.begin() + to);
        const auto least = std::min_element(l.begin() + from, l.begin() + to);
        ASSERT_GT(*most, 0.3f);
        ASSERT_LT(*least, -0.3f);
        const double added = static_cast<double>(most - l.begin() - from);
        const double taken = static_cast<double>(least - l.begin() - from);
        lowAdded = std::min(lowAdded, added), highAdded = std::max(highAdded, added);
        lowTaken = std::min(lowTaken, taken), highTaken = std::max(highTaken, taken);
    }
    for (const double lo : {lowAdded, lowTaken}) EXPECT_NEAR(lo, 0.5 * base, 0.05 * base);
    for (const double hi : {highAdded, highTaken}) EXPECT_NEAR(hi, base, 0.05 * base);
}

// Ensemble: past the first tap the impulse decays through the output one-pole, whose corner
// follows the high-cut control (one-pole coefficient at the note-frequency scale's value).
TEST(Chorus, EnsembleHighCutSetsTheOutputPole) {
    constexpr std::size_t kFirstTap = static_cast<std::size_t>(0.5 * 0.06 * 0.2406 * kRate);
    FxHarness h(kRate);
    for (const float hicut : {0.3f, 0.45f, 0.6f}) {
        SCOPED_TRACE(hicut);
        stillChorus(h, 6, 0.5f);
        h.set("chr_hicut", hicut);
        const Signal l = response(h, kModFxChorus, 1024).first;
        const double keep = 1.0 - fx::onePoleCoefficient(fx::noteFrequencyAt(hicut), kRate);
        // Clear of the interpolated tap itself, before the second tap; sample to sample
        // differences, so that most of the input high-pass's slow tail drops out (within a
        // tenth of the coefficient).
        const auto step = [&l](std::size_t i) { return double(l[i + 1]) - l[i]; };
        for (std::size_t i = kFirstTap + 8; i < kFirstTap + 40; ++i)
            ASSERT_NEAR(step(i + 1) / step(i), keep, 0.1 * (1.0 - keep)) << i;
    }
}

TEST(PhaserChorus, LfoSweepsOncePerCycleWithTheRightChannelAhead) {
    // One impulse per 512 samples, ~70 per LFO cycle, tracks the sweep. Two phaser stages notch
    // at sr/pi atan(f/sr) for the note frequency f, swept from the centre up by depth of the
    // rest; full stereo runs the right LFO an eighth of a cycle ahead. Chorus mode 0 delays by
    // 0.04 x (LFO x 0.24 x depth curve + delay curve + 0.01) s; full spread: a quarter ahead.
    constexpr double kLfoHz = 1.25; // rate control 5/11
    constexpr std::size_t kSegment = 512;
    const Track grid = logGrid(150.0, 5000.0, 250);
    const auto notchAt = [](double c) { return kRate / kPi * std::atan(noteHz(c) / kRate); };
    struct Case {
        int module;
        std::function<double(const Signal&, std::size_t)> at;
        double lo, loTolerance, hi, hiTolerance, lead;
    };
    const Case cases[] = {
        {kModFxPhaser,
         [&grid](const Signal& x, std::size_t i) {
             const Track found = peaks(spectrum(x, i, kSegment, grid, -1.0), grid, -0.2);
             return found.size() == 1 ? found[0] : 0.0;
         },
         notchAt(0.5), 0.04 * notchAt(0.5), notchAt(0.8), 0.04 * notchAt(0.8), 0.125},
        {kModFxChorus,
         [](const Signal& x, std::size_t i) { return peakAt(x, i, i + kSegment) - i; },
         0.04 * 0.01 * kRate, 1.5, 0.04 * 0.25 * kRate, 0.5 + 0.04 * 0.24 * kRate * 0.01, 0.25},
    };
    FxHarness h(kRate);
    stillPhaser(h, 0, 0.5f);
    setAll(h, {{"phs_depth", 0.6f}, {"phs_rate", 5.0f / 11}, {"phs_spread", 1.0f}});
    stillChorus(h, 0, 0.0f);
    setAll(h, {{"chr_depth", 1.0f}, {"chr_rate", 5.0f / 11}, {"chr_wide", 1.0f}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module == kModFxPhaser ? "phaser" : "chorus");
        settle(h, c.module);
        Signal l(static_cast<std::size_t>(2.2 * kRate / kLfoHz), 0.0f);
        for (std::size_t i = 0; i < l.size(); i += kSegment) l[i] = 1.0f;
        Signal r = l;
        h.run(fx(h, c.module), l, r);
        Track track[2], rises[2];
        for (std::size_t i = 0; i + kSegment <= l.size(); i += kSegment)
            for (int ch = 0; ch < 2; ++ch) track[ch].push_back(c.at(ch ? r : l, i));
        const auto [lo, hi] = std::minmax_element(track[0].begin(), track[0].end());
        EXPECT_NEAR(*lo, c.lo, c.loTolerance);
        EXPECT_NEAR(*hi, c.hi, c.hiTolerance);
        for (int ch = 0; ch < 2; ++ch) // where each track rises through the middle
            for (std::size_t s = 1; s < track[ch].size(); ++s) {
                const double a = track[ch][s - 1] - 0.5 * (*lo + *hi);
                const double b = a + track[ch][s] - track[ch][s - 1];
                if (a < 0 && b >= 0) rises[ch].push_back(s - 1 + a / (a - b));
            }
        ASSERT_GE(rises[0].size(), 2u);
        ASSERT_GE(rises[1].size(), 1u);
        const double period = rises[0][1] - rises[0][0];
        const double lead = (rises[0][0] - rises[1][0]) / period;
        EXPECT_NEAR(period * kSegment / kRate * kLfoHz, 1.0, 0.01);
        EXPECT_NEAR(lead - std::floor(lead), c.lead, 0.02);
    }
}

struct FxCase { int module; const char* mode; int value; const char* wet; const char* mute; };
const FxCase kEffects[] = {
    {kModFxPhaser, "phs_stages", 3, "phs_wet", "phs_mute"},
    {kModFxPhaser, "phs_stages", 7, "phs_wet", "phs_mute"},
    {kModFxChorus, "chr_mode", 2, "chr_wet", "chr_mute"},
    {kModFxChorus, "chr_mode", 6, "chr_wet", "chr_mute"},
};

TEST(PhaserChorus, SilentMixAndBypassLeaveAudioAndStateAlone) {
    // Mix 0 or bypass: the block passes untouched and nothing runs, so afterwards the effect
    // matches a twin that never saw it.
    FxHarness used(kRate), twin(kRate);
    for (const FxCase& c : kEffects)
        for (const bool bypass : {false, true}) {
            SCOPED_TRACE(std::string(c.mode) + " " + std::to_string(c.value) + " " +
                         (bypass ? "bypass" : "mix 0"));
            for (FxHarness* h : {&used, &twin})
                setAll(*h, {{c.mode, c.value / 999.0f}, {c.wet, bypass ? 0.8f : 0.0f},
                            {c.mute, bypass ? 1.0f : 0.0f}});
            Signal l = noise(4096, 11), r = l;
            used.run(fx(used, c.module), l, r);
            EXPECT_TRUE(l == noise(4096, 11) && r == l);
            Signal out[2][2];
            for (int k = 0; k < 2; ++k) {
                FxHarness& h = k ? twin : used;
                setAll(h, {{c.mute, 0.0f}, {c.wet, 0.8f}});
                out[k][0] = noise(8192, 12), out[k][1] = noise(8192, 13);
                h.run(fx(h, c.module), out[k][0], out[k][1]);
            }
            EXPECT_NE(out[0][0], noise(8192, 12)) << "effect never ran";
            EXPECT_TRUE(out[0][0] == out[1][0] && out[0][1] == out[1][1]);
        }
}

TEST(PhaserChorus, EveryModeRunsBoundedOnModulatedMixAndRecoversFromNaN) {
    // Every mode in turn (state carried over), all controls at either end and between, on
    // full-scale noise. The mix control is 0 but a constant 50% source (code 32) drives its
    // target, so the effect must run, without touching the heap. Full feedback must not run
    // away, the sanitizers catch any read outside a line at both ends of the supported rates,
    // and after a NaN block recover() must bring back clean output.
    struct Range { const FxCase& fx; int last, mixTarget; std::vector<const char*> controls; };
    const Range ranges[] = {
        {kEffects[0], 9, 121, {"phs_freq", "phs_fback", "phs_spread", "phs_rate", "phs_depth"}},
        {kEffects[2], 7, 129, {"chr_delay", "chr_fback", "chr_rate", "chr_depth", "chr_wide",
                               "chr_hicut", "chr_lowcut"}},
    };
    for (const float rate : {22050.0f, 44100.0f, 192000.0f}) {
        FxHarness h(rate, 512);
        unsigned seed = 1;
        for (const Range& m : ranges) {
            h.route(m.mixTarget == 121 ? 0 : 1, 32, m.mixTarget, 1.0f);
            h.set(m.fx.wet, 0.0f);
            for (int mode = 0; mode <= m.last; ++mode) {
                h.option(m.fx.mode, mode);
                for (const float value : {0.0f, 1.0f, 0.5f, -1.0f}) { // -1: NaN, then recover
                    SCOPED_TRACE(std::string(m.fx.mode) + " " + std::to_string(mode) + " at " +
                                 std::to_string(value) + " rate " + std::to_string(rate));
                    Signal l(512, NAN), r = l;
                    if (value < 0) h.run(fx(h, m.fx.module), l, r), settle(h, m.fx.module);
                    for (const char* c : m.controls) h.set(c, value < 0 ? 0.5f : value);
                    const Signal in = noise(static_cast<int>(rate * 0.12f), ++seed, 1.0f);
                    l = in, r = noise(static_cast<int>(in.size()), ++seed, 1.0f);
                    AllocationGuard guard;
                    h.run(fx(h, m.fx.module), l, r);
                    EXPECT_EQ(guard.count(), 0);
                    EXPECT_NE(l, in) << "modulated mix ignored";
                    // rms carries a NaN through
                    EXPECT_LT(std::max(maxAbs(l), maxAbs(r)) + rms(l) + rms(r), 200.0);
                }
            }
        }
    }
}

TEST(Chorus, ClearDropsTheFeedbackTail) {
    // With full feedback the lines ring on after the input stops, until clear() empties them.
    // The tail is read a little later, once the input filters' own short ring is over.
    FxHarness h(kRate);
    stillChorus(h, 3, 1.0f);
    setAll(h, {{"chr_fback", 1.0f}, {"chr_lowcut", 0.4f}});
    Signal l = noise(8192, 4), r = l;
    h.run(fx(h, kModFxChorus), l, r);
    double tail[2];
    for (const bool clear : {false, true}) {
        if (clear) fx(h, kModFxChorus).clear();
        Signal sl(4096, 0.0f), sr = sl;
        h.run(fx(h, kModFxChorus), sl, sr);
        tail[clear] = rms(sl, 1024);
    }
    EXPECT_GT(tail[0], 0.05);
    EXPECT_LT(tail[1], tail[0] * 0.01);
}

// Runs `x` through `module` in blocks whose lengths cycle through `blocks`.
std::pair<Signal, Signal> runInBlocks(FxHarness& h, int module, Signal l, Signal r,
                                      std::initializer_list<int> blocks) {
    std::size_t at = 0;
    for (auto b = blocks.begin(); at < l.size(); b = std::next(b) == blocks.end() ? blocks.begin()
                                                                                 : std::next(b)) {
        const int frames = std::min(*b, static_cast<int>(l.size() - at));
        fx(h, module).process(frames, l.data() + at, r.data() + at);
        at += static_cast<std::size_t>(frames);
    }
    return {std::move(l), std::move(r)};
}

TEST(PhaserChorus, OutputDoesNotDependOnHowTheAudioIsCutIntoBlocks) {
    // Lengths not a multiple of four, single samples and whole blocks, over more than two
    // trips round the chorus lines, with the LFOs and feedback running.
    struct Case {
        int module;
        const char* modeName;
        int mode;
    };
    const Case cases[] = {
        {kModFxPhaser, "phs_stages", 0}, {kModFxPhaser, "phs_stages", 1},
        {kModFxPhaser, "phs_stages", 5}, {kModFxChorus, "chr_mode", 6},
        {kModFxChorus, "chr_mode", 2},
    };
    const Signal in = noise(10000, 9);
    for (const Case& c : cases) {
        std::pair<Signal, Signal> out[2];
        for (int cut = 0; cut < 2; ++cut) {
            FxHarness h(kRate);
            h.option(c.modeName, c.mode);
            setAll(h, {{"phs_depth", 0.7f}, {"phs_fback", 0.8f}, {"phs_spread", 0.5f},
                       {"phs_wet", 0.5f}, {"chr_depth", 0.6f}, {"chr_fback", 0.8f},
                       {"chr_wide", 0.5f}, {"chr_hicut", 0.7f}, {"chr_wet", 0.5f}});
            settle(h, c.module);
            out[cut] = cut == 0 ? runInBlocks(h, c.module, in, in, {256})
                                : runInBlocks(h, c.module, in, in, {1, 3, 7, 4, 5, 130, 2});
        }
        EXPECT_EQ(out[0].first, out[1].first) << c.modeName << " " << c.mode;
        EXPECT_EQ(out[0].second, out[1].second) << c.modeName << " " << c.mode;
        EXPECT_GT(rms(out[0].first, 0), 0.01);
    }
}

TEST(Chorus, EnsembleAnswersAnImpulseAlikeWhereverTheLinesHaveGot) {
    // With the LFO still the ensemble is time-invariant: from rest, an impulse gets the same
    // response wherever the write indices stand, including where they wrap round the lines
    // (0.1 s, 4410 samples) at any point of the response.
    FxHarness h(kRate);
    stillChorus(h, 6, 0.6f);
    setAll(h, {{"chr_hicut", 0.8f}});
    settle(h, kModFxChorus);
    constexpr int kLine = 4410, kWindow = 1500;
    std::pair<Signal, Signal> first;
    for (const int shift : {0, kLine - 1, kLine - 2, kLine - 3, kLine - 5, kLine - 300,
                            kLine - 1400, 2 * kLine - 777, 3 * kLine + 13}) {
        fx(h, kModFxChorus).recover(); // empty lines, written from their start
        Signal quiet(static_cast<std::size_t>(shift), 0.0f), quietR = quiet;
        h.run(fx(h, kModFxChorus), quiet, quietR);
        Signal l = impulse(kWindow), r = l;
        h.run(fx(h, kModFxChorus), l, r);
        if (shift == 0) {
            ASSERT_GT(rms(l), 0.001);
            first = {l, r};
            continue;
        }
        EXPECT_EQ(l, first.first) << "after " << shift;
        EXPECT_EQ(r, first.second) << "after " << shift;
    }
}

} // namespace
} // namespace kolva::test
