// LFO1 inside the engine: notes played through APlugin with LFO1 routed to the first cutoff,
// measured on LFO1's published voice signal. The shape is shown raw (symmetry 1, amplitude 1:
// out = shape value) and every block renders under the allocation guard.

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
#include <tuple>
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
        option("lfo1_target1", 45); // Cutoff_1: LFO1 renders per voice
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
    void shape(int form, float morph) { // and let the morph smoother settle
        option("lfo1_form", form);
        set("lfo1_morph", morph);
        run(0.25);
    }
    void ramp() { shape(1, 1.0f); } // Tri at morph 1: out = phase
    float* const* published() {
        return static_cast<ModuleLfo&>(*e.module(kModLfo1)).getModOutput(0);
    }

    void block() {
        test::AllocationGuard guard;
        e.render(left.data(), right.data(), kFrames);
        allocations += guard.count();
    }
    void run(double seconds) {
        for (int b = static_cast<int>(seconds * kRate / kFrames) + 1; b > 0; --b)
            block();
    }
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
    void releaseAll(int key = 60) { e.noteOff(0, key), run(0.02); }

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

// Expected rates come from the free-rate curve's points and tempo / beats per cycle.
TEST_F(LfoTest, RampCyclesAtTheFreeAndSyncRates) {
    struct Case {
        bool sync, allRate; // allRate: Constant_50% -> All_LFO_Rate at full amount
        float rate;
        int division;
        float tempo;
        double hz;
    };
    const Case cases[] = {
        {false, false, 1.0f, 0, 120, 100.0},
        {false, false, 10.0f / 11.0f, 0, 120, 30.0},
        {false, false, 0.5f, 0, 120, 1.625},
        {false, false, 0.0f, 0, 120, 0.0},  // stands still
        {true, false, 0.74f, 10, 120, 2.0}, // "1/4": the rate control is no division offset
        {true, false, 0.0f, 20, 150, 40.0},
        {true, false, 0.0f, 11, 90, 2.0},
        {true, false, 0.0f, 4, 240, 1.0},
        {false, true, 0.0f, 0, 120, 1.625}, // half the free range
        {true, true, 0.0f, 3, 120, 4.0}};   // "2/1" + 10 divisions = "1/8"
    ramp();
    for (const Case& c : cases) {
        e.setParameter(288, c.allRate ? 32.0f / 999.0f : 0.0f); // matrix slot 1
        e.setParameter(290, 1.0f);
        e.setParameter(291, 229.0f / 999.0f);
        e.rebuildRouting();
        set("lfo1_sync", c.sync ? 1.0f : 0.0f);
        set("lfo1_rate", c.rate);
        option("lfo1_time", c.division);
        e.setTempo(c.tempo);
        const std::vector<float> x =
            note(c.hz > 0.0 ? static_cast<int>(3.5 / c.hz * kRate / kFrames) + 2 : 40);
        const auto [low, high] = std::minmax_element(x.begin(), x.end());
        if (c.hz == 0.0) {
            EXPECT_EQ(*low, *high);
        } else {
            EXPECT_NEAR(cycleHz(x), c.hz, c.hz * 1e-3)
                << c.sync << " " << c.rate << " " << c.division;
        }
        releaseAll();
    }
}

// Drift shifts the free rate control by k/16 x 0.01 per free-running note (k from the phase
// bag's first fill, 8..15); a fixed start phase clears it. Near 30 Hz one control unit is 770 Hz.
TEST_F(LfoTest, DriftMovesFreeRunningNotesOnlyByBagSteps) {
    set("drift", 1.0f);
    set("lfo1_rate", 10.0f / 11.0f);
    ramp();
    for (float phase : {0.0f, 0.04f}) {
        set("lfo1_phase", phase);
        std::vector<float> x = note(40);
        x.erase(x.begin(), x.begin() + kFrames); // the note's first block still runs undrifted
        const double k = (cycleHz(x) - 30.0) / 770.0 * 1600.0;
        if (phase == 0.0f) {
            EXPECT_NEAR(k, std::clamp(std::round(k), 8.0, 15.0), 0.05);
        } else {
            EXPECT_NEAR(k, 0.0, 0.05);
        }
        releaseAll();
    }
}

// Phase control -> start phase: 0.03.. is 0.25, from 0.06 (p - 0.06) x 1.137 up to 0.95.
TEST_F(LfoTest, EveryNoteStartsAtTheFixedPhase) {
    set("lfo1_rate", 0.5f);
    ramp();
    for (auto [control, phase, offset] :
         {std::tuple{0.04f, 0.25f, 37}, {0.5f, 0.50028f, 5}, {1.0f, 0.95f, 150}}) {
        set("lfo1_phase", control);
        EXPECT_NEAR(note(2, offset)[static_cast<std::size_t>(offset)], phase, 1e-5f) << control;
        releaseAll();
    }
}

// A free-running voice keeps its phase if its last note started within a second; after that
// it draws a new phase from the bag (first fill: 8/16..15/16, without repetition).
TEST_F(LfoTest, FreeRunningPhaseContinuesWithinASecondAndIsRedrawnAfter) {
    set("lfo1_rate", 0.5f);
    ramp();
    const auto dealt = [](float v) {
        return std::fabs(v * 16 - std::round(v * 16)) < 1e-5f && v >= 0.5f;
    };
    const float first = note(3)[0];
    EXPECT_TRUE(dealt(first)) << first;
    releaseAll();
    const double stopped = static_cast<ModuleLfo&>(*e.module(kModLfo1)).lfoVoice(0)->phase();
    gNow += 0.5;
    EXPECT_NEAR(note(3)[0], stopped, 1e-6);
    releaseAll();
    gNow += 1.5;
    const float redrawn = note(3)[0];
    EXPECT_TRUE(dealt(redrawn) && redrawn != first) << redrawn;
}

// 100 Hz from phase 0.25: sample k sits at phase 0.25 + k / 400. Values worked out by hand.
TEST_F(LfoTest, ShapeValuesAtKnownPhases) {
    struct Case {
        int form;
        float morph, sym, amp;                        // out = (shape - 1 + sym) x amp
        std::vector<std::pair<double, float>> points; // (phase, out)
    };
    const Case cases[] = {
        {0, 0.5f, 1, 1, {{0.0, 0.0f}, {0.125, 0.146447f}, {0.5, 1.0f}, {0.75, 0.5f}}}, // sine
        {0, 0.0f, 1, 1, {{0.125, 0.25f}, {0.75, 0.5f}}},                               // triangle
        {0, 1.0f, 1, 1, {{0.2, 0.0f}, {0.245, 0.32724f}, {0.6, 1.0f}}}, // squared off
        {1, 0.25f, 1, 1, {{0.125, 0.5f}, {0.25, 1.0f}, {0.625, 0.5f}}},
        {1, 0.0f, 1, 1, {{0.25, 0.75f}, {0.9, 0.1f}}},                 // falling ramp
        {2, 0.0f, 1, 1, {{0.005, 1.0f}, {0.0125, 0.0f}, {0.5, 0.0f}}}, // 1 % pulse
        {2, 0.5f, 1, 1, {{0.49, 1.0f}, {0.51, 0.0f}}},
        {2, 1.0f, 1, 1, {{0.985, 1.0f}, {0.995, 0.0f}}}, // 99 %
        {0, 0.0f, 0.0f, 1, {{0.0, -1.0f}, {0.5, 0.0f}}},
        {0, 0.0f, 0.5f, 0.25f, {{0.0, -0.125f}, {0.5, 0.125f}}},
        {0, 0.0f, 1, 0.5f, {{0.25, 0.25f}, {0.5, 0.5f}}}};
    set("lfo1_rate", 1.0f);
    set("lfo1_phase", 0.04f);
    for (const Case& c : cases) {
        set("lfo1_sym", c.sym);
        set("lfo1_amp", c.amp);
        shape(c.form, c.morph);
        const std::vector<float> x = note(3);
        for (const auto& [phase, value] : c.points) {
            const auto k =
                static_cast<std::size_t>(std::lround(std::fmod(phase + 0.75, 1.0) * 400));
            EXPECT_NEAR(x[k], value, 1e-4f) << c.form << " " << c.morph << " at " << phase;
        }
        releaseAll();
    }
}

// Forms 5..51 are waves 2..48; the morph blends towards the previous / next wave, wrapping.
TEST_F(LfoTest, WaveShapesFollowTheWaveBank) {
    struct Case {
        int form;
        float morph;
        int waveA, waveB;
        float blend;
    };
    set("lfo1_rate", 1.0f);
    set("lfo1_phase", 0.04f);
    for (const Case& c : {Case{5, 0.5f, 2, 2, 0.0f}, Case{5, 0.0f, 48, 48, 0.0f},
                          Case{51, 1.0f, 2, 2, 0.0f}, Case{20, 0.75f, 17, 18, 0.5f}}) {
        shape(c.form, c.morph);
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

// Within a cycle (wraps every 400 samples from about sample 300) S&H holds and S&G runs a
// straight line; across a wrap S&H jumps and S&G bends without a jump. Two samples either
// side of each wrap are left out: where the summed phase crosses 1 is a matter of rounding.
TEST_F(LfoTest, SampleAndHoldAndGlideChangeAtCycleWraps) {
    set("lfo1_rate", 1.0f);
    set("lfo1_phase", 0.04f);
    for (int form : {3, 4}) {
        shape(form, 0.5f);
        const std::vector<float> x = note(10);
        float lastSlope = 0.0f;
        for (int s = 300; s + 402 < static_cast<int>(x.size()); s += 400) {
            const float d = x[s + 3] - x[s + 2];
            for (int i = s + 2; i < s + 398; ++i) {
                ASSERT_NEAR(x[i + 1] - x[i], form == 3 ? 0.0f : d, 1e-5f) << form << " at " << i;
                ASSERT_TRUE(x[i] >= 0.0f && x[i] <= 1.0f) << x[i];
            }
            const float across = x[s + 402] - x[s + 398];
            if (form == 3) {
                EXPECT_NE(across, 0.0f);
            } else {
                EXPECT_LE(std::fabs(across),
                          4.0f / 400.0f + 1e-5f); // at most 4 steps of a full swing
                EXPECT_NE(d, lastSlope);          // a new random target every cycle
            }
            lastSlope = d;
        }
        releaseAll();
    }
}

// A standing square at 1 shows the fade-in gain alone: half way through the gain curve reads
// 0.3455, and full amplitude arrives after sr x T samples (T from the fade-in time curve).
TEST_F(LfoTest, FadeInReachesFullAmplitudeAtTheCurveTime) {
    set("lfo1_rate", 0.0f);
    set("lfo1_phase", 0.04f);
    for (auto [control, seconds] : {std::pair{0.0f, 0.0}, {1.0f / 31.0f, 0.0275}, {0.5f, 0.898}}) {
        set("lfo1_fadein", control);
        shape(2, 1.0f);
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

TEST_F(LfoTest, EveryFormAndBadValuesStayFiniteAndInRange) {
    const auto inRange = [](const std::vector<float>& x) { // NaN fails too
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
            EXPECT_TRUE(inRange(note(3))) << bad << " " << tempo;
            releaseAll();
        }
    }
    option("lfo1_form", 52); // out-of-range options read as the first entry
    option("lfo1_time", 21);
    const ModuleLfo& lfo = static_cast<ModuleLfo&>(*e.module(kModLfo1));
    EXPECT_EQ(lfo.form() + lfo.division(), 0);
}

} // namespace
} // namespace kolva
