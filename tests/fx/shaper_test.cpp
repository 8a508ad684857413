// The shaper effect: when it stays out of the way, its curves, the crusher's grid and hold,
// drive and band handling, aliasing, silence, NaN recovery, finiteness and allocation.

#include "engine/module_id.h"
#include "engine/voice_context.h"
#include "fx/module_fx_shaper.h"
#include "fx/shaper_core.h"
#include "fx/shaper_curves.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>

namespace kolva::test {
namespace {

using Buffer = std::vector<float>;

const char* const kModes[] = {"1x split", "8x split", "1x filtered", "8x filtered"};
struct Config {
    int type = 1, mode = 0; // mode: an index into kModes
    float drive = 0.0f, bits = 1.0f, rate = 1.0f, hiCut = 1.0f, lowCut = 0.0f, mix = 1.0f;
};
std::string describe(const Config& s) {
    return "type " + std::to_string(s.type) + " " + kModes[s.mode];
}

struct Rig {
    explicit Rig(float rate) : h(rate, 256), fx(h.module<ModuleFxShaper>(kModFxShaper)) {}

    void apply(const Config& s) {
        h.option("shp_mode", s.type);
        h.set("shp_hq", s.mode % 2 == 1 ? 1.0f : 0.0f);
        h.set("shp_band", s.mode >= 2 ? 1.0f : 0.0f);
        h.set("shp_mute", 0.0f);
        // In slot order from kDrive; each leaps to the far end first, for the fast glide.
        const std::pair<const char*, float> controls[] = {
            {"shp_drive", s.drive}, {"shp_bit", s.bits},      {"shp_sr", s.rate},
            {"shp_hicut", s.hiCut}, {"shp_lowcut", s.lowCut}, {"shp_wet", s.mix}};
        int slot = ModuleFxShaper::kDrive;
        for (const auto& [name, value] : controls) {
            h.set(name, fx.smoother(slot++).current() < 0.5f ? 1.0f : 0.0f);
            h.set(name, value);
        }
    }
    // A new instance's state at `s`: the controls glide there over silence, then the filters
    // and hold go back to rest.
    void reset(const Config& s) {
        apply(s);
        run(Buffer(static_cast<std::size_t>(h.rate / 40.0f)), {});
        for (int slot = ModuleFxShaper::kDrive; slot <= ModuleFxShaper::kMix; ++slot)
            ASSERT_NE(fx.smoother(slot).state(), 1u) << "control " << slot << " still moving";
        fx.recover();
    }
    // `left` and `right` (empty: silence) through the effect, returned one after the other.
    Buffer run(Buffer left, Buffer right) {
        right.resize(left.size());
        h.run(fx, left, right);
        left.insert(left.end(), right.begin(), right.end());
        return left;
    }
    Buffer mono(const Config& s, const Buffer& in) { // the left output, `in` on both channels
        reset(s);
        Buffer out = run(in, in);
        out.resize(in.size());
        return out;
    }

    FxHarness h;
    ModuleFxShaper& fx;
};

// Engines are costly to build: one per rate (a second at 44.1 kHz for comparisons) is shared.
Rig& rig(float rate = 44100.0f, int copy = 0) {
    static std::map<std::pair<float, int>, std::unique_ptr<Rig>> rigs;
    auto& r = rigs[{rate, copy}];
    if (!r) r = std::make_unique<Rig>(rate);
    return *r;
}

// Amplitude of the component at `hz` over x[from, from + n) (n holding whole periods).
double amplitudeAt(const Buffer& x, std::size_t from, std::size_t n, double hz, double rate) {
    double re = 0.0, im = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double w = 2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate;
        re += x[from + i] * std::cos(w);
        im += x[from + i] * std::sin(w);
    }
    return 2.0 * std::hypot(re, im) / static_cast<double>(n);
}

TEST(ShaperActivity, IdleOrRecoveredInstanceMatchesAnUntouchedOne) {
    // Two instances get the same controls. One sits idle (mix 0 or bypass) through a note while
    // new controls glide in, or takes a NaN block and recovers. Then both must match exactly:
    // nothing moved while idle, and recover() leaves no state behind.
    Rig &a = rig(44100.0f, 0), &b = rig(44100.0f, 1);
    const Buffer left = sine(1024, 300.0f, 44100.0f, 0.7f), right = sine(1024, 523.0f, 44100.0f);
    Buffer both = left, bad(250, NAN);
    both.insert(both.end(), right.begin(), right.end());
    // A hold of several samples, so the hold counter's phase counts too.
    Config s{.drive = 0.4f, .rate = 0.9f, .hiCut = 0.7f, .lowCut = 0.2f};
    for (const char* what : {"mix 0", "bypass", "NaN"}) {
        const bool idle = what[0] != 'N';
        for (s.mode = 0; s.mode < 4; ++s.mode) {
            for (int type : {1, 6, 9, 14}) {
                s.type = type;
                SCOPED_TRACE(describe(s) + " " + what);
                for (Rig* r : {&a, &b}) {
                    r->reset(idle ? Config{.type = type, .mode = s.mode} : s);
                    if (idle) r->apply(s);
                }
                if (idle) {
                    a.h.set(what[0] == 'b' ? "shp_mute" : "shp_wet", what[0] == 'b' ? 1.0f : 0.0f);
                    EXPECT_TRUE(a.run(left, right) == both);
                    a.h.set("shp_mute", 0.0f);
                    a.h.set("shp_wet", 1.0f);
                } else {
                    a.run(bad, bad);
                    a.fx.recover();
                }
                const Buffer out = a.run(left, right);
                EXPECT_FALSE(out == both); // it does process
                EXPECT_TRUE(out == b.run(left, right));
            }
        }
    }
}

TEST(ShaperActivity, ModulatedMixRunsTheEffectAtMixZero) {
    Rig own(44100.0f);             // the route stays with this engine
    own.h.route(0, 32, 115, 1.0f); // constant 50% -> Shp_DryWet
    const Buffer in = sine(2048, 440.0f, 44100.0f, 0.5f);
    Buffer diff = own.mono(Config{.type = 3, .drive = 0.7f, .mix = 0.0f}, in);
    for (std::size_t i = 0; i < in.size(); ++i)
        diff[i] = i < 1024 ? 0.0f : diff[i] - in[i];
    EXPECT_GT(maxAbs(diff), 0.05);
}

TEST(ShaperCurves, CompletedCurvesHitTheirRowsSmoothly) {
    const fx::ShaperCurves& c = fx::shaperCurves();
    const fx::ShaperCurves::Curve* curves[] = {&c.softA,   &c.warmB, &c.hardC,
                                               &c.linearD, &c.tubeE, &c.asymNegative};
    // Indices 0, 128, ..., 896, 1023, then 511 (the lower half of a "±" middle row; NaN: none).
    // The first four are point-symmetric.
    const float rows[6][10] = {
        {-1, -0.9523f, -0.7875f, -0.4648f, 0.002f, 0.468f, 0.7895f, 0.953f, 1, -0.002f},
        {-0.8f, -0.9643f, -0.918f, -0.5874f, 0.0025f, 0.5912f, 0.9195f, 0.9637f, 0.8f, -0.0025f},
        {-1, -0.9847f, -0.9242f, -0.7674f, 0.0096f, 0.7694f, 0.9249f, 0.985f, 1, -0.0096f},
        {-0.9f, -0.6748f, -0.4496f, -0.2243f, 0.0009f, 0.2261f, 0.4513f, 0.6765f, 0.9f, -0.0009f},
        {-1, -0.9692f, -0.8519f, -0.5733f, 0.0043f, 0.4099f, 0.408f, 0.2434f, 0.008f, -0.0043f},
        {-1, -1.1297f, -1.2099f, -1.2431f, -1.228f, -1.156f, -1.011f, -0.7423f, 0, NAN}};
    for (int k = 0; k < 6; ++k) {
        SCOPED_TRACE(k);
        const auto& t = *curves[k];
        for (int row = 0; row < 10; ++row) {
            const int at = row < 8 ? 128 * row : row == 8 ? 1023 : 511;
            EXPECT_TRUE(std::isnan(rows[k][row]) || std::fabs(t[at] - rows[k][row]) < 1e-4) << at;
        }
        for (int i = 0; k < 4 && i < 1024; ++i)
            ASSERT_EQ(t[i], -t[1023 - i]) << i;
        for (int i = 1; i < 1024; ++i) // no step steeper than the steepest given stretch
            ASSERT_LT(std::fabs(t[i] - t[i - 1]), 0.02f) << i;
    }
}

TEST(ShaperCrusher, RoundsToTheLevelGridAndHoldsForTheScaledCount) {
    struct Case {
        double levels;
        float bits;
        int hold; // int(hold table x 44100 / sample rate x 220 + 1)
        float rate, sampleRate;
    };
    // clang-format off
    const Case cases[] = {
        {4.0, 0, 1, 1, 44100},               {7.8657, 5.0f / 31, 1, 1, 44100},
        {14.38, 10.0f / 31, 1, 1, 44100},    {46.096, 20.0f / 31, 1, 1, 44100},
        {256.0, 30.0f / 31, 1, 1, 44100},    {65535, 1, 1, 1, 44100},
        {65535, 1, 221, 0, 44100},           {65535, 1, 8, 28.0f / 31, 44100},
        {65535, 1, 3, 30.0f / 31, 44100},    {65535, 1, 441, 0, 22050},
        {65535, 1, 20, 20.0f / 31, 48000},   {65535, 1, 26, 10.0f / 31, 96000}};
    // clang-format on
    Buffer ramp(4096); // -0.9 .. 0.9, slow enough that no level is skipped
    for (std::size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = 0.9f * (2.0f * static_cast<float>(i) / 4095.0f - 1.0f);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.levels << " levels, hold " << c.hold);
        const Buffer out =
            rig(c.sampleRate).mono(Config{.type = 10, .bits = c.bits, .rate = c.rate}, ramp);
        std::set<long> steps;
        // From rest, every hold-th sample takes the input onto the grid; the others repeat.
        for (std::size_t i = 1; i < out.size(); ++i) {
            if ((i + 1) % static_cast<std::size_t>(c.hold) != 0) {
                ASSERT_EQ(out[i], out[i - 1]) << i;
                continue;
            }
            ASSERT_NEAR(out[i] * c.levels, std::round(out[i] * c.levels), 4e-3) << i;
            ASSERT_LE(std::fabs(out[i] - ramp[i]), 0.75 / c.levels + 1e-6) << i;
            steps.insert(std::lround(out[i] * c.levels));
        }
        // Symmetric rounding with a threshold a quarter step above each half: 2m + 1 levels
        // (when every sample is taken and the grid is coarse enough to count).
        const auto m = static_cast<std::size_t>(std::floor(0.9 * c.levels + 0.25));
        EXPECT_TRUE(c.hold > 1 || c.levels > 1000 || steps.size() == 2 * m + 1) << steps.size();

        // Oversampled with every step taken, each output averages eight steps on the grid.
        if (c.hold == 1 && c.levels <= 256.0) {
            const Buffer over =
                rig(c.sampleRate)
                    .mono(Config{.type = 10, .mode = 1, .bits = c.bits, .rate = c.rate}, ramp);
            for (std::size_t i = 0; i < over.size(); ++i) {
                const double eighths = over[i] * c.levels * 8.0;
                ASSERT_NEAR(eighths, std::round(eighths), 0.03) << "oversampled " << i;
                // (past the few samples the anti-imaging filter takes to leave rest)
                ASSERT_TRUE(i < 16 || std::fabs(over[i] - ramp[i]) <= 0.75 / c.levels + 1e-3)
                    << i;
            }
        }

        // Oversampled, the hold counts eight times as many steps, so it lasts about as long;
        // each output sample averages eight steps, so a new held value shows in the one or
        // two samples whose steps it reaches, and the rest repeat.
        if (c.hold < 8) continue;
        const Buffer over =
            rig(c.sampleRate)
                .mono(Config{.type = 10, .mode = 1, .bits = c.bits, .rate = c.rate}, ramp);
        int repeats = 0;
        for (std::size_t i = 1; i < over.size(); ++i)
            repeats += over[i] == over[i - 1];
        const double held = repeats / static_cast<double>(over.size() - 1);
        EXPECT_GE(held, 1.0 - 2.2 / c.hold) << "oversampled";
        EXPECT_LE(held, 1.0 - 0.9 / c.hold) << "oversampled";
    }
}

TEST(ShaperCrusher, OutputDoesNotDependOnHowTheSignalIsCutIntoBlocks) {
    // The hold counter, the held values and every filter carry from block to block: steady
    // controls and a signal cut into blocks of 37 (odd runs at every block end) give exactly
    // what blocks of 256 give, whether the crusher takes every sample or holds.
    const Buffer in = noise(2048, 11, 0.4f);
    const Config crushers[] = {{.drive = 0.6f},
                               {.drive = 0.3f, .bits = 0.4f, .rate = 0.9f, .lowCut = 0.3f}};
    for (const Config& crusher : crushers) {
        for (int type : {1, 6, 8, 9, 10, 14, 40}) {
            for (int mode = 0; mode < 4; ++mode) {
                Config s = crusher;
                s.type = type;
                s.mode = mode;
                SCOPED_TRACE(testing::Message() << describe(s) << ", rate " << s.rate);
                Rig& rg = rig();
                const Buffer whole = rg.mono(s, in);
                rg.h.block = 37;
                const Buffer cut = rg.mono(s, in);
                rg.h.block = 256;
                ASSERT_GT(maxAbs(whole), 0.01);
                for (std::size_t i = 0; i < in.size(); ++i)
                    ASSERT_EQ(whole[i], cut[i]) << i;
            }
        }
    }
}

// Scratch space for driving a ShaperCore straight, in blocks of up to 64 frames.
struct CoreScratch {
    CoreScratch() {
        EXPECT_TRUE(context.recreateArena(1 << 20));
        scratch.configure(fx::ShaperCore::kScratchUsed, 1);
        EXPECT_TRUE(scratch.carve(context, 64));
    }
    SharedVoiceContext context;
    fx::ScratchBuffers scratch;
};

TEST(ShaperCrusher, EveryStepTakenLeavesTheSameHeldValuesWhicheverWayItRan) {
    // Straight on the core, where the hold can jump from one step to 221 between blocks. A rate
    // control steady at 1 and one that only wobbles at its first sample both take every step,
    // the first through the short way; a long hold after either repeats the same last step.
    CoreScratch rig;
    const fx::ScratchBuffers& scratch = rig.scratch;
    const Buffer ones(64, 1.0f), zeros(64, 0.0f), inL = noise(64, 3, 0.6f),
                 inR = noise(64, 4, 0.3f);
    Buffer wobble = ones;
    wobble[0] = 0.9999f;
    // The first block ends on a whole group of four, or with one sample left over.
    for (const auto& [type, first] : {std::pair{fx::ShaperCore::kTypeCrush, 64}, {1, 61}}) {
        for (bool oversample : {false, true}) {
            SCOPED_TRACE(testing::Message() << "type " << type << (oversample ? " 8x" : " 1x"));
            Buffer out[2][4]; // [way][left, right of the first block, then of the second]
            for (int way = 0; way < 2; ++way) {
                fx::ShaperCore core;
                fx::ShaperCore::Block b{.type = type,
                                        .oversample = oversample,
                                        .drive = zeros.data(),
                                        .bits = ones.data(),
                                        .rate = way == 0 ? ones.data() : wobble.data(),
                                        .hiCut = ones.data(),
                                        .lowCut = zeros.data()};
                for (Buffer& o : out[way]) o.assign(64, 0.0f);
                core.process(b, inL.data(), inR.data(), out[way][0].data(), out[way][1].data(),
                             first, scratch, 44100.0f);
                b.rate = zeros.data(); // a hold of 221 samples (x8 oversampled)
                core.process(b, inL.data(), inR.data(), out[way][2].data(), out[way][3].data(),
                             64, scratch, 44100.0f);
            }
            for (int k = 0; k < 4; ++k)
                for (std::size_t i = 0; i < 64; ++i) ASSERT_EQ(out[0][k][i], out[1][k][i]) << k;
            EXPECT_EQ(out[0][2][63], out[0][2][0]); // still holding
            EXPECT_NE(out[0][2][0], out[0][3][0]);  // each channel its own
        }
    }
}

TEST(ShaperCrusher, ANaNIsCrushedToSilenceNotOntoARail) {
    // Straight on the core (the module would recover from the NaN block). At the block rate
    // only the NaN's own sample goes silent; oversampled, the anti-imaging filter keeps the NaN
    // and every output from it on is silent, until the core is cleared.
    CoreScratch rig;
    const fx::ScratchBuffers& scratch = rig.scratch;
    const Buffer ones(64, 1.0f), zeros(64, 0.0f), clean = noise(64, 5, 0.5f);
    Buffer in = clean;
    in[10] = std::numeric_limits<float>::quiet_NaN();
    for (bool oversample : {false, true}) {
        SCOPED_TRACE(oversample ? "8x" : "1x");
        fx::ShaperCore core;
        const fx::ShaperCore::Block b{.type = fx::ShaperCore::kTypeCrush,
                                      .oversample = oversample,
                                      .drive = zeros.data(),
                                      .bits = ones.data(),
                                      .rate = ones.data(),
                                      .hiCut = ones.data(),
                                      .lowCut = zeros.data()};
        Buffer l(64), r(64);
        core.process(b, in.data(), clean.data(), l.data(), r.data(), 64, scratch, 44100.0f);
        for (std::size_t i = 0; i < 64; ++i) {
            const bool silent = i == 10 || (oversample && i > 10);
            EXPECT_TRUE(silent ? l[i] == 0.0f : l[i] != 0.0f && std::fabs(l[i]) <= 0.6f) << i;
            EXPECT_TRUE(r[i] != 0.0f && std::fabs(r[i]) <= 0.6f) << i; // the other channel
        }
    }
}

TEST(ShaperShaping, BandModesAroundTheCrusherAndWhatSplitModeAddsBack) {
    // A low note under a high low-cut lands almost wholly in what the filters take away.
    // Flt+dcm (9) filters before an 8-sample hold in the filtered band (the steps stay) and
    // after it in split mode (smoothed); dcm (10) never filters. Type 40 has no shaping step:
    // at full drive (c = 1.4) split mode adds what the filters took back with gain 1 + 2c.
    // Mode, type, whether the hold's steps show, range of the gain at the note.
    const std::tuple<int, int, bool, double, double> cases[] = {
        {2, 9, true, 0.0, 0.1},    {0, 9, false, 0.0, 0.1},  {2, 10, true, 0.8, 1.2},
        {0, 10, true, 0.8, 1.2},   {0, 40, false, 3.6, 4.0}, {1, 40, false, 3.6, 4.0},
        {2, 40, false, 0.0, 0.05}, {3, 40, false, 0.0, 0.05}};
    const Config crush{.rate = 28.0f / 31, .lowCut = 0.6f}, plain{.drive = 1.0f, .lowCut = 0.6f};
    const Buffer in = sine(4410, 100.0f, 44100.0f, 0.1f);
    for (const auto& [mode, type, steps, low, high] : cases) {
        Config s = type == 40 ? plain : crush;
        s.type = type;
        s.mode = mode;
        SCOPED_TRACE(describe(s));
        const Buffer out = rig().mono(s, in);
        int repeats = 0;
        for (std::size_t i = 2206; i < out.size(); ++i)
            repeats += out[i] == out[i - 1];
        EXPECT_EQ(repeats > 0.8 * 2204, steps) << repeats; // a hold of 8 repeats 7 of 8
        const double gain = amplitudeAt(out, 2205, 2205, 100.0, 44100.0) / 0.1;
        EXPECT_TRUE(gain >= low && gain <= high) << gain;
    }
}

TEST(ShaperShaping, DriveRaisesHarmonicsAndSilenceStaysSilent) {
    // Harmonics 2..20 of 441 Hz against it, over ten periods after the filters settled.
    const auto thd = [](const Buffer& x) {
        double sum = 0.0;
        for (int k = 2; k <= 20; ++k)
            sum += std::pow(amplitudeAt(x, 1048, 1000, 441.0 * k, 44100.0), 2);
        return std::sqrt(sum) / amplitudeAt(x, 1048, 1000, 441.0, 44100.0);
    };
    // Quiet enough that every curve is used near its middle without drive.
    const Buffer in = sine(2048, 441.0f, 44100.0f, 0.05f);
    // Silent to the effect (sum of |x| per block well under 0.01), but loud enough that the
    // driven curves would lift it into audible output.
    const Buffer quiet = sine(2048, 200.0f, 44100.0f, 1e-5f);
    for (int mode : {2, 3}) {
        for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 14}) {
            Config s{.type = type, .mode = mode};
            SCOPED_TRACE(describe(s));
            const double before = thd(rig().mono(s, in));
            s.drive = 0.9f;
            rig().reset(s);
            const Buffer out = rig().run(in, quiet);
            EXPECT_GT(thd(out), std::max(0.2, 1.5 * before)) << before;
            const bool table = type != 6 && type != 14; // the table types zero silent input
            EXPECT_TRUE(!table || maxAbs(Buffer(out.begin() + 2048, out.end())) == 0.0) << type;
        }
    }
}

TEST(ShaperShaping, OversamplingSuppressesAliasesOfAHardClippedHighSine) {
    // 7 kHz at 44.1 kHz: odd harmonics above 22 kHz fold back between the harmonics. The
    // filtered band's output lift near 20 kHz, where the first folds land, costs it some gain.
    const int n = 441; // 100 Hz bins, where every fold lands; 7 kHz is bin 70
    const Buffer in = sine(2048 + n, 7000.0f, 44100.0f, 0.5f);
    for (int mode = 0; mode < 4; mode += 2) {
        double ratio[2]; // power off the harmonics over power on them, without and with 8x
        for (int os = 0; os < 2; ++os) {
            const Buffer out = rig().mono(Config{.type = 14, .mode = mode + os, .drive = 1.0f}, in);
            double alias = 0.0, wanted = 0.0;
            for (int k = 1; k < n / 2; ++k)
                (k % 70 == 0 ? wanted : alias) += std::pow(amplitudeAt(out, 2048, n, k, n), 2);
            ratio[os] = alias / wanted;
        }
        EXPECT_GT(ratio[0], 1e-2) << mode; // the plain path really aliases
        EXPECT_GT(10.0 * std::log10(ratio[0] / ratio[1]), mode == 0 ? 12.0 : 8.0)
            << mode << ": plain " << ratio[0] << " oversampled " << ratio[1];
    }
}

TEST(ShaperShaping, HardClipHoldsTheOutputToItsBound) {
    // The bound is max(0.5, 1 / k) with k = 1 + 60 c.
    const std::pair<float, double> cases[] = {{0.0f, 1.0}, {0.02f, 0.8353}, {1.0f, 0.5}};
    const Buffer in = sine(2048, 1000.0f, 44100.0f, 3.0f);
    for (const auto& [drive, bound] : cases) {
        const Config s{.type = 14, .mode = 2, .drive = drive};
        const double peak = maxAbs(rig().mono(s, in));
        EXPECT_TRUE(peak <= bound + 2e-4 && peak >= bound - 2e-3) << drive << ": " << peak;
    }
}

TEST(ShaperRobustness, EveryTypeAtEveryRateStaysFiniteWithoutAllocating) {
    const Buffer in = sine(1024, 1234.0f, 44100.0f, 1.0f);
    Buffer l, r;
    Config s{.drive = 1.0f, .bits = 0.5f, .rate = 0.9f, .hiCut = 0.9f, .lowCut = 0.1f};
    for (float rate : {22050.0f, 44100.0f, 48000.0f, 96000.0f, 192000.0f}) {
        for (s.mode = 0; s.mode < 4; ++s.mode) {
            SCOPED_TRACE(testing::Message() << rate << " Hz " << describe(s));
            Rig& rg = rig(rate);
            rg.apply(s); // the controls glide while the guard watches
            for (int type = 0; type <= 15; ++type) {
                rg.h.option("shp_mode", type == 15 ? 40 : type); // 40: no such type
                l = r = in;
                AllocationGuard guard;
                rg.h.run(rg.fx, l, r);
                EXPECT_EQ(guard.count(), 0) << type;
                for (float y : l)
                    ASSERT_TRUE(std::isfinite(y) && std::fabs(y) < 8.0f) << type;
            }
        }
    }
}

} // namespace
} // namespace kolva::test
