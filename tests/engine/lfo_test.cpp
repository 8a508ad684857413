// The LFOs inside the engine: notes played through APlugin with LFO1 routed to the first
// cutoff, measured on the published LFO1 signal of the voice. Unless a test says otherwise
// the shape is shown raw (symmetry 1, amplitude 1: out = shape value) and every block renders
// under the allocation guard.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module_lfo.h"
#include "engine/module_matrix.h"
#include "engine/osc_tables.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace kolva {
namespace {

double gNow = 100.0;
double fakeClock() {
    return gNow;
}

constexpr float kRate = 40000.0f; // 100 Hz is then exactly 1/400 of a cycle per sample
constexpr int kFrames = 200;

class LfoTest : public ::testing::Test {
protected:
    LfoTest() {
        e.setSampleRate(kRate);
        e.setBlockSize(kFrames);
        EXPECT_TRUE(e.prepare());
        e.context().clock = &fakeClock;
        gNow = 100.0;
        for (int i = 0; i < kNumParameters; ++i)
            e.setParameter(i, parameterDefs()[i].defaultValue);
        set("drift", 0.0f);
        set("env1_att", 0.0f);
        set("env1_rel", 0.0f);
        option("poly", 0);          // one voice: every note lands on voice 0
        option("lfo1_target1", 45); // Cutoff_1: the engine renders LFO1 per voice
        set("lfo1_amt1", 1.0f);
        set("lfo1_sym", 1.0f);
        set("lfo1_amp", 1.0f);
        e.rebuildRouting();
    }
    void TearDown() override { EXPECT_EQ(allocations, 0); }

    void set(const char* name, float v) {
        const int p = findParameter(name);
        ASSERT_GE(p, 0) << name;
        e.setParameter(p, v);
    }
    void option(const char* name, int index) { set(name, static_cast<float>(index) / 999.0f); }
    void ramp() { // Tri at morph 1: out = phase (once the smoothers have settled)
        option("lfo1_form", 1);
        set("lfo1_morph", 1.0f);
        run(0.25);
    }
    ModuleLfo& lfo1() { return static_cast<ModuleLfo&>(*e.module(kModLfo1)); }
    float* const* published() { return lfo1().getModOutput(0); }

    void block() {
        test::AllocationGuard guard;
        e.render(left.data(), right.data(), kFrames);
        allocations += guard.count();
    }
    void run(double seconds) {
        for (int b = static_cast<int>(seconds * kRate / kFrames) + 1; b > 0; --b)
            block();
    }
    // Voice `voice`'s published signal over the next `blocks` blocks.
    std::vector<float> record(int blocks, int voice = 0) {
        std::vector<float> x;
        for (int b = 0; b < blocks; ++b) {
            block();
            x.insert(x.end(), published()[voice], published()[voice] + kFrames);
        }
        return x;
    }
    std::vector<float> note(int blocks, int offset = 0) {
        e.noteOn(offset, 60, 100);
        return record(blocks);
    }
    void releaseAll(int key = 60) {
        e.noteOff(0, key);
        run(0.02); // the voice falls silent
    }

    APlugin e;
    std::vector<float> left = std::vector<float>(kFrames), right = std::vector<float>(kFrames);
    long allocations = 0;
};

// Cycles per second of a rising ramp from its wraps (interpolated on the slope); 0 without.
double cycleHz(const std::vector<float>& x) {
    std::vector<double> w;
    for (std::size_t i = 0; i + 1 < x.size(); ++i)
        if (x[i] - x[i + 1] > 0.5f) w.push_back(i + (1.0 - x[i]) / (x[i + 1] - x[i] + 1.0));
    return w.size() < 3 ? 0.0 : (w.size() - 1) / (w.back() - w.front()) * kRate;
}

// ---- rates ----

TEST_F(LfoTest, RampCyclesAtTheFreeAndSyncRates) {
    struct Case {
        bool sync;
        float rate;   // the rate control
        int division; // sync division index
        float tempo;
        double hz;
    };
    const Case cases[] = {
        {false, 1.0f, 0, 120, 100.0}, {false, 10.0f / 11.0f, 0, 120, 30.0},
        {false, 0.5f, 0, 120, 1.625}, {false, 0.0f, 0, 120, 0.0}, // stands still
        {true, 0.74f, 10, 120, 2.0}, // "1/4": the rate control is no division offset
        {true, 0.0f, 20, 150, 40.0},  {true, 0.0f, 11, 90, 2.0},
        {true, 0.0f, 4, 240, 1.0}};
    ramp();
    for (const Case& c : cases) {
        set("lfo1_sync", c.sync ? 1.0f : 0.0f);
        set("lfo1_rate", c.rate);
        option("lfo1_time", c.division);
        e.setTempo(c.tempo);
        const std::vector<float> x =
            note(c.hz > 0.0 ? static_cast<int>(3.5 / c.hz * kRate / kFrames) + 2 : 40);
        EXPECT_NEAR(cycleHz(x), c.hz, c.hz * 1e-3) << c.sync << " " << c.rate << " " << c.division;
        if (c.hz == 0.0) {
            EXPECT_EQ(*std::min_element(x.begin(), x.end()), *std::max_element(x.begin(), x.end()));
        }
        releaseAll();
    }
}

// Constant_50% on All_LFO_Rate: half the free rate range, or ten divisions faster.
TEST_F(LfoTest, AllLfoRateAddsToTheRate) {
    e.setParameter(288, 32.0f / 999.0f); // slot 1: Constant_50% -> All_LFO_Rate, full amount
    e.setParameter(290, 1.0f);
    e.setParameter(291, 229.0f / 999.0f);
    e.rebuildRouting();
    set("lfo1_rate", 0.0f);
    ramp();
    EXPECT_NEAR(cycleHz(note(440)), 1.625, 1.625e-3);
    releaseAll();
    set("lfo1_sync", 1.0f);
    option("lfo1_time", 3); // "2/1" + 10 = "1/8"
    EXPECT_NEAR(cycleHz(note(180)), 4.0, 4e-3);
    releaseAll();
}

// Drift shifts the free rate control by a bag value k/16 x 0.01 per free-running note; a
// fixed start phase clears it. On the 30..100 Hz stretch one control unit is 770 Hz.
TEST_F(LfoTest, DriftMovesFreeRunningNotesOnlyByBagSteps) {
    set("drift", 1.0f);
    set("lfo1_rate", 10.0f / 11.0f);
    ramp();
    for (float phase : {0.0f, 0.04f}) {
        set("lfo1_phase", phase);
        std::vector<float> x = note(40);
        x.erase(x.begin(), x.begin() + kFrames); // the note's first block still runs undrifted
        const double hz = cycleHz(x);
        const double k = (hz - 30.0) / 770.0 * 1600.0;
        if (phase == 0.0f) {
            // The first fill deals 8/16..15/16; the start phase took one of them.
            EXPECT_NEAR(k, std::round(k), 0.05) << hz;
            EXPECT_TRUE(std::round(k) >= 8.0 && std::round(k) <= 15.0) << hz;
        } else {
            EXPECT_NEAR(hz, 30.0, 0.01);
        }
        releaseAll();
    }
}

// ---- start phase ----

TEST_F(LfoTest, EveryNoteStartsAtTheFixedPhase) {
    set("lfo1_rate", 0.5f);
    ramp();
    for (auto [control, phase] : {std::pair{0.04f, 0.25f}, {0.5f, 0.50028f}, {1.0f, 0.95f}}) {
        set("lfo1_phase", control);
        for (std::size_t offset : {37u, 5u, 150u}) {
            EXPECT_NEAR(note(2, static_cast<int>(offset))[offset], phase, 1e-5f) << control;
            releaseAll();
        }
    }
}

TEST_F(LfoTest, FreeRunningPhaseContinuesWithinASecondAndIsRedrawnAfter) {
    set("lfo1_rate", 0.5f);
    ramp();
    // The bag's first fill deals 8/16..15/16.
    const auto dealt = [](float v) {
        return std::fabs(v * 16 - std::round(v * 16)) < 1e-5f && v >= 0.5f;
    };
    const float first = note(3)[0];
    EXPECT_TRUE(dealt(first)) << first;
    releaseAll();
    const double stopped = lfo1().lfoVoice(0)->phase();

    gNow += 0.5;
    EXPECT_NEAR(note(3)[0], stopped, 1e-6);
    releaseAll();

    gNow += 1.5;
    const float redrawn = note(3)[0];
    EXPECT_TRUE(dealt(redrawn)) << redrawn;
    EXPECT_NE(redrawn, first); // dealt without repetition
}

// ---- shapes ----

struct ShapeCase {
    int form;
    float morph;
    std::vector<std::pair<double, float>> points; // (phase, value)
};

// 100 Hz from phase 0.25: sample k sits at phase 0.25 + k / 400.
TEST_F(LfoTest, ShapeValuesAtKnownPhases) {
    const ShapeCase cases[] = {
        {0, 0.5f, {{0.0, 0.0f}, {0.125, 0.146447f}, {0.5, 1.0f}, {0.75, 0.5f}}}, // sine
        {0, 0.0f, {{0.125, 0.25f}, {0.75, 0.5f}}},                               // triangle
        {0, 1.0f, {{0.2, 0.0f}, {0.245, 0.32724f}, {0.6, 1.0f}}},                // squared off
        {1, 0.25f, {{0.125, 0.5f}, {0.25, 1.0f}, {0.625, 0.5f}}},
        {1, 0.0f, {{0.25, 0.75f}, {0.9, 0.1f}}},                 // falling ramp
        {1, 1.0f, {{0.25, 0.25f}, {0.9, 0.9f}}},                 // rising ramp
        {2, 0.0f, {{0.005, 1.0f}, {0.0125, 0.0f}, {0.5, 0.0f}}}, // 1 % pulse
        {2, 0.5f, {{0.49, 1.0f}, {0.51, 0.0f}}},
        {2, 1.0f, {{0.985, 1.0f}, {0.995, 0.0f}}}}; // 99 %
    set("lfo1_rate", 1.0f);
    set("lfo1_phase", 0.04f);
    for (const ShapeCase& c : cases) {
        option("lfo1_form", c.form);
        set("lfo1_morph", c.morph);
        run(0.25);
        const std::vector<float> x = note(3);
        for (const auto& [phase, value] : c.points) {
            const auto k =
                static_cast<std::size_t>(std::lround(std::fmod(phase + 0.75, 1.0) * 400));
            EXPECT_NEAR(x[k], value, 1e-4f) << c.form << " " << c.morph << " at " << phase;
        }
        releaseAll();
    }
}

TEST_F(LfoTest, WaveShapesFollowTheWaveBank) {
    struct Case {
        int form;
        float morph;
        int waveA, waveB;
        float blend;
    };
    const Case cases[] = {{5, 0.5f, 2, 2, 0.0f},   // TriSine
                          {5, 0.0f, 48, 48, 0.0f}, // the previous of the first is the last
                          {51, 1.0f, 2, 2, 0.0f},  // the next of the last is the first
                          {20, 0.75f, 17, 18, 0.5f}};
    set("lfo1_rate", 1.0f);
    set("lfo1_phase", 0.04f);
    for (const Case& c : cases) {
        option("lfo1_form", c.form);
        set("lfo1_morph", c.morph);
        run(0.4);
        const std::vector<float> x = note(2);
        const float* a = osc::OscTables::get().wave(c.waveA, 0);
        const float* b = osc::OscTables::get().wave(c.waveB, 0);
        for (int k = 0; k < 400; k += 7) {
            const auto pos = static_cast<float>(std::fmod(0.25 + k / 400.0, 1.0) * 4096.0);
            const float want =
                ((1 - c.blend) * osc::readTable(a, pos) + c.blend * osc::readTable(b, pos) + 1) / 2;
            ASSERT_NEAR(x[static_cast<std::size_t>(k)], want, 1e-4f) << c.form << " at " << k;
        }
        releaseAll();
    }
}

// Held values change only at cycle wraps (every 400 samples from about sample 300); gliding
// values run in straight, connected lines between them.
TEST_F(LfoTest, SampleAndHoldAndGlideChangeAtCycleWraps) {
    set("lfo1_rate", 1.0f);
    set("lfo1_phase", 0.04f);
    run(0.25);
    for (int form : {3, 4}) {
        option("lfo1_form", form);
        const std::vector<float> x = note(10);
        std::vector<float> slopes;
        // Two samples either side of each wrap are left out: where exactly the summed phase
        // crosses 1 is a matter of rounding.
        for (int s = 300; s + 402 < static_cast<int>(x.size()); s += 400) {
            const float d = x[s + 3] - x[s + 2];
            for (int i = s + 2; i < s + 398; ++i) {
                ASSERT_NEAR(x[i + 1] - x[i], d, 1e-5f) << "form " << form << " sample " << i;
                ASSERT_TRUE(x[i] >= 0.0f && x[i] <= 1.0f) << x[i];
            }
            // Into the next cycle: S&H jumps, S&G carries on from where the line ended.
            const float across = x[s + 402] - x[s + 398];
            if (form == 3) {
                EXPECT_NE(across, 0.0f);
            } else {
                EXPECT_LE(std::fabs(across), 4.0f / 400.0f + 1e-5f);
            }
            slopes.push_back(d);
        }
        const auto [low, high] = std::minmax_element(slopes.begin(), slopes.end());
        if (form == 4) {
            EXPECT_GT(*high - *low, 1e-4f); // a new random target every cycle
        }
        releaseAll();
    }
}

// ---- output scaling and fade-in ----

TEST_F(LfoTest, SymmetryOffsetsAndAmplitudeScales) {
    struct Case {
        float symmetry, amplitude, low, high;
    };
    set("lfo1_rate", 1.0f); // Tri, morph 0.5: 0..1
    for (const Case& c : {Case{1.0f, 1.0f, 0.0f, 1.0f}, Case{0.5f, 1.0f, -0.5f, 0.5f},
                          Case{0.0f, 1.0f, -1.0f, 0.0f}, Case{1.0f, 0.5f, 0.0f, 0.5f},
                          Case{0.5f, 0.25f, -0.125f, 0.125f}}) {
        set("lfo1_sym", c.symmetry);
        set("lfo1_amp", c.amplitude);
        run(0.25);
        const std::vector<float> x = note(4);
        const auto [low, high] = std::minmax_element(x.begin(), x.end());
        EXPECT_NEAR(*low, c.low, 1e-4f) << c.symmetry << " " << c.amplitude;
        EXPECT_NEAR(*high, c.high, 1e-4f) << c.symmetry << " " << c.amplitude;
        releaseAll();
    }
}

// A standing square at 1 shows the fade-in gain alone: half way through, the gain curve reads
// 0.3455, and full amplitude arrives after sr x T samples (T from the fade-in time curve).
TEST_F(LfoTest, FadeInReachesFullAmplitudeAtTheCurveTime) {
    option("lfo1_form", 2);
    set("lfo1_morph", 1.0f);
    set("lfo1_rate", 0.0f);
    set("lfo1_phase", 0.04f);
    for (auto [control, seconds] : {std::pair{0.0f, 0.0}, {1.0f / 31.0f, 0.0275}, {0.5f, 0.898}}) {
        set("lfo1_fadein", control);
        run(0.25);
        const double samples = seconds * kRate;
        const std::vector<float> x = note(static_cast<int>(samples / kFrames) + 3);
        const auto full =
            std::find_if(x.begin(), x.end(), [](float v) { return v >= 1.0f - 1e-6f; });
        // The counter is summed in float: long fades arrive a few samples late.
        EXPECT_NEAR(static_cast<double>(full - x.begin()), samples, 2.0 + samples * 5e-4)
            << control;
        if (seconds > 0.0) {
            EXPECT_NEAR(x[static_cast<std::size_t>(samples / 2)], 0.3455f, 0.003f);
        }
        releaseAll();
    }
}

// ---- voices ----

TEST_F(LfoTest, MonoSwitchSharesVoiceSixteensSignal) {
    option("poly", 1); // two voices
    set("lfo1_rate", 0.5f);
    set("lfo1_phase", 0.04f);
    for (bool mono : {false, true}) {
        set("lfo1_mono", mono ? 1.0f : 0.0f);
        e.noteOn(0, 60, 100);
        run(0.02);
        e.noteOn(0, 64, 100); // starts later on the other voice
        block();
        float* const* out = published();
        if (mono) {
            for (int v = 0; v < kNumVoices; ++v)
                EXPECT_EQ(out[v], out[kMonoVoice]);
            const float before = out[kMonoVoice][kFrames - 1];
            block();
            EXPECT_NE(out[kMonoVoice][kFrames - 1], before); // and voice 16 runs
        } else {
            EXPECT_GT(std::fabs(out[0][kFrames - 1] - out[1][kFrames - 1]), 0.01f);
        }
        e.noteOff(0, 60);
        releaseAll(64);
    }
}

TEST_F(LfoTest, GlobalDestinationRendersVoiceSixteenWithoutNotes) {
    option("lfo1_target1", 89); // LFO2_Rate: a global destination
    e.rebuildRouting();
    set("lfo1_rate", 1.0f);
    ASSERT_EQ(e.matrix().sourceTier(8), 2);
    const std::vector<float> x = record(4, kMonoVoice);
    const auto [low, high] = std::minmax_element(x.begin(), x.end());
    EXPECT_GT(*high - *low, 0.5f);
    for (int v = 0; v < kPolyVoices; ++v)
        EXPECT_EQ(published()[v][kFrames - 1], 0.0f) << v;
}

// ---- robustness ----

TEST_F(LfoTest, EveryFormAndBadValuesStayFiniteAndInRange) {
    const auto inRange = [](const std::vector<float>& x) {
        return std::all_of(x.begin(), x.end(), [](float v) { return std::fabs(v) <= 1.0f; });
    };
    set("lfo1_rate", 1.0f);
    for (int form = 0; form < ModuleLfo::kForms; ++form) {
        option("lfo1_form", form);
        set("lfo1_mono", static_cast<float>(form % 2));
        EXPECT_TRUE(inRange(note(2))) << form;
        releaseAll();
    }
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const int first = findParameter("lfo1_rate");
    for (float bad : {nan, inf, -inf, 1e30f, -5.0f}) {
        for (int p = first; p < first + 10; ++p)
            e.setParameter(p, bad);
        e.setParameter(6, bad); // drift
        for (float tempo : {0.0f, nan, inf}) {
            e.voiceContext().tempo = tempo;
            EXPECT_TRUE(inRange(note(3))) << bad << " " << tempo; // NaN fails the range too
            releaseAll();
        }
    }
    option("lfo1_form", 52); // out-of-range options read as the first entry
    option("lfo1_time", 21);
    EXPECT_EQ(lfo1().form() + lfo1().division(), 0);
}

} // namespace
} // namespace kolva
