// Step sequencer 1: the step tables against their definitions, then the module inside the
// engine (Stepper1 routed to a cutoff so it runs), measured on its published voice signals.
// Rising steps (0 -> 1 through the diagonal curve point) read back the clock's phase; flat steps
// at level s / 16 read back the step number.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module_stepper.h"
#include "engine/voice_context.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kolva {
namespace {

// y of the Bézier (0, s) (c) (c) (1, e) at x, by bisection on t.
float bezierAt(float s, float e, float cx, float cy, float x) {
    double lo = 0.0, hi = 1.0;
    for (int k = 0; k < 60; ++k) {
        const double t = (lo + hi) / 2;
        (3 * t * (1 - t) * cx + t * t * t < x ? lo : hi) = t;
    }
    const double t = lo, u = 1 - t;
    return static_cast<float>(u * u * u * s + 3 * t * u * cy + t * t * t * e);
}

TEST(StepShape, TablesFollowTheirDefinitions) {
    struct Case {
        float start, end, cx, cy;
        int hold, repeats;
    };
    const Case cases[] = {{0.3f, 0.3f, 0.7f, 0.3f, 0, 1}, {0.2f, 0.8f, 0.5f, 0.1f, 1, 1},
                          {0.9f, 0.1f, 0.0f, 0.0f, 1, 3}, {0.4f, 0.6f, 1.0f, 0.0f, 1, 1},
                          {0.0f, 1.0f, 0.2f, 0.9f, 0, 1}, {1.0f, 0.0f, 0.9f, 0.8f, 0, 1},
                          {0.4f, 0.4f, 0.5f, 0.9f, 0, 1}, {0.0f, 1.0f, 0.3f, 0.3f, 0, 1},
                          {0.0f, 1.0f, 0.6f, 0.6f, 0, 2}, {0.0f, 1.0f, 0.5f, 0.5f, 0, 3},
                          {0.0f, 1.0f, 0.5f, 0.5f, 0, 4}};
    for (const Case& c : cases) {
        StepShape st{c.start, c.cx, c.cy, c.end, c.hold, c.repeats};
        st.build();
        const bool diagonal = c.start == 0 && c.end == 1 && c.cx == c.cy;
        for (int i = 0; i < 64; ++i) {
            const float x = i / 63.0f;
            float want = c.start == c.end && c.end == c.cy
                             ? c.start
                             : bezierAt(c.start, c.end, c.cx, c.cy, x);
            if (c.hold) want = i >= std::clamp(c.cx, 0.01f, 0.95f) * 64 ? c.end : c.start;
            EXPECT_NEAR(st.shape[i], want, diagonal || c.hold ? 1e-6 : 0.01) << c.cx << " " << i;
        }
        if (!diagonal) continue;
        // A rising diagonal walked with stride r: passes of int(63 / r) + 1 entries, each
        // closing on the end level; 1, 2 and 4 repeats are whole passes, 3 cuts the last.
        const int pass = 63 / c.repeats + 1;
        if (c.repeats != 3) {
            EXPECT_EQ(64 % pass, 0);
            EXPECT_EQ(st.repeated[63], 1.0f);
        }
        for (int j = 0; j < 64; ++j) {
            const int k = j % pass;
            EXPECT_NEAR(st.repeated[j], k == pass - 1 ? 1.0f : c.repeats * k / 63.0f, 1e-6) << j;
        }
        EXPECT_NEAR(st.at(0.5 / 63), st.repeated[0] / 2 + st.repeated[1] / 2, 1e-6);
    }
    // Flat and held steps are read without interpolation.
    StepShape bump{0.4f, 0.5f, 0.9f, 0.4f, 0, 1};
    bump.build();
    EXPECT_GT(bump.shape[40], 0.7f);
    EXPECT_EQ(bump.at(40.7 / 63), bump.repeated[40]);
}

constexpr float kRate = 48000.0f;
constexpr int kFrames = 480;

class StepperTest : public ::testing::Test {
protected:
    StepperTest() {
        e.setSampleRate(kRate);
        e.setBlockSize(kFrames);
        EXPECT_TRUE(e.prepare());
        for (int i = 0; i < kNumParameters; ++i)
            e.setParameter(i, parameterDefs()[i].defaultValue);
        option("poly", 0);        // one voice: every note lands on voice 0
        option("slot1_Src1", 23); // Stepper1
        option("slot1_Trg1", 45); // -> Cutoff_1
        option("stp1_mode", 1);   // sync
        option("stp1_time", 16);  // "1/16": 6000 samples at 120 bpm
        option("arp_speed", 13);  // another division: no swing
        set("arp_swing", 1.0f);
        for (int s = 0; s < 16; ++s)
            step(s, 0.0f, 1.0f);
        e.rebuildRouting();
        e.setTempo(120.0f);
    }

    void set(const std::string& name, float v) {
        const int p = findParameter(name.c_str());
        ASSERT_GE(p, 0) << name;
        e.setParameter(p, v);
    }
    void option(const std::string& name, int k) { set(name, k / 999.0f); }
    // The curve point on the straight line from start to end: a linear step.
    void step(int s, float start, float end) {
        const std::string n = std::to_string(s + 1);
        set("stp1_start" + n, start), set("stp1_end" + n, end);
        set("stp1_crvX" + n, 0.5f), set("stp1_crvY" + n, (start + end) / 2);
    }
    void flatSteps() {
        for (int s = 0; s < 16; ++s)
            step(s, s / 16.0f, s / 16.0f);
    }
    ModuleStepper& stepper() { return e.stepper(0); }
    // Renders whole blocks covering `samples`; voice v's stepper signal. The host position
    // moves on with the blocks at 120 bpm.
    std::vector<float> record(int samples, int v = 0) {
        std::vector<float> x;
        for (int b = (samples + kFrames - 1) / kFrames; b > 0; --b) {
            e.setSongPosition(static_cast<float>(position));
            test::AllocationGuard guard;
            e.render(left.data(), right.data(), kFrames);
            EXPECT_EQ(guard.count(), 0);
            position += kFrames * 120.0 / 60.0 / kRate;
            x.insert(x.end(), stepper().getModOutput(0)[v], stepper().getModOutput(0)[v] + kFrames);
        }
        return x;
    }
    // Samples where a rising step begins.
    static std::vector<int> stepStarts(const std::vector<float>& x) {
        std::vector<int> at;
        for (std::size_t i = 1; i < x.size(); ++i)
            if (x[i] < x[i - 1] - 0.5f) at.push_back(static_cast<int>(i));
        return at;
    }

    APlugin e;
    double position = 0.0;
    std::vector<float> left = std::vector<float>(kFrames), right = std::vector<float>(kFrames);
};

// Step length = sampleRate x beats per step x 60 / tempo; swing 1.0 stretches even steps by
// 1.3 and shortens odd ones by 0.7 only when the arpeggiator runs the same division.
TEST_F(StepperTest, SyncStepsLastTheirDivisionAtEveryTempo) {
    struct Case {
        float tempo;
        int division, arpDivision;
        int even, odd;
    };
    const Case cases[] = {{120, 16, 13, 6000, 6000}, {90, 13, 16, 16000, 16000},
                          {150, 19, 16, 2400, 2400}, {200, 10, 13, 14400, 14400},
                          {120, 16, 16, 7800, 4200}, {60, 20, 20, 3900, 2100}};
    for (const Case& c : cases) {
        option("stp1_time", c.division);
        option("arp_speed", c.arpDivision);
        e.setTempo(c.tempo);
        e.setTempo(0.0f), e.setTempo(-50.0f), e.setTempo(std::numeric_limits<float>::quiet_NaN());
        e.noteOn(0, 60, 100);
        const std::vector<float> x = record(4 * (c.even + c.odd) + 1);
        const std::vector<int> at = stepStarts(x);
        ASSERT_GE(at.size(), 6u) << c.tempo;
        for (std::size_t k = 0; k + 1 < at.size(); ++k)
            EXPECT_NEAR(at[k + 1] - at[k], k % 2 ? c.even : c.odd, 1) << c.tempo << " " << k;
        EXPECT_NEAR(x[c.even / 2], 0.5f, 1e-3f); // halfway through step 0
        e.noteOff(0, 60);
    }
}

// The division index: modulation (Constant_50% at +1 or -1) moves it by up to 20 entries,
// never past "1/64" nor below "16/1".
TEST_F(StepperTest, RateModulationMovesTheDivision) {
    struct Case {
        int mode, division;
        float amount;
        int index, length;
    };
    const Case cases[] = {{1, 10, 1.0f, 20, 1500}, {2, 20, 0.0f, 9, 32000}, {1, 20, 1.0f, 20, 1500},
                          {1, 3, 0.0f, 0, 0},      {1, 16, 0.5f, 16, 6000}, {0, 0, 1.0f, 0, 480}};
    for (const Case& c : cases) {
        option("slot2_Src1", 32), set("slot2_Amt1", c.amount), option("slot2_Trg1", 222);
        e.rebuildRouting();
        option("stp1_mode", c.mode);
        option("stp1_time", c.division);
        set("stp1_rate", 0.5f); // free mode: 0.5 + 0.5 = the top of the rate curve, 100 Hz
        e.noteOn(0, 60, 100);
        const std::vector<int> at = stepStarts(record(3 * c.length + kFrames));
        if (c.mode != 0) {
            EXPECT_EQ(stepper().divisionIndex(), c.index) << c.division;
        }
        if (c.length > 0) {
            ASSERT_GE(at.size(), 2u) << c.division;
            EXPECT_NEAR(at[1] - at[0], c.length, 1) << c.division;
        }
        e.noteOff(0, 60);
    }
}

// Restart on note (rtrg) and loop, with first/last steps: the step played at each step's middle,
// with a second note 5 steps in (in the middle of a block).
TEST_F(StepperTest, RestartAndEndOfPattern) {
    struct Case {
        bool rtrg, loop;
        int first, last;
        std::vector<int> steps; // -1: holding the last step's end level
    };
    const Case cases[] = {{true, true, 1, 2, {0, 1, 2, 1, 2, 0, 1, 2, 1, 2, 1}},
                          {true, false, 2, 5, {2, 3, 4, 5, -1, 2, 3, 4, 5, -1, -1}},
                          {false, true, 2, 3, {0, 1, 2, 3, 2, 3, 2, 3, 2, 3, 2}},
                          {false, true, 0, 15, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}};
    for (int s = 0; s < 16; ++s)
        step(s, s / 16.0f, s / 16.0f + 0.03f);
    for (const Case& c : cases) {
        e.reset();
        record(kFrames * 2);
        set("stp1_rtrg", c.rtrg), set("stp1_loop", c.loop);
        option("stp1_start", c.first), option("stp1_stop", c.last);
        e.noteOn(0, 60, 100);
        std::vector<float> x = record(62 * kFrames);
        e.noteOn(240, 62, 100); // at sample 30000
        const std::vector<float> rest = record(6000 * 6 - 240);
        x.insert(x.end(), rest.begin(), rest.end());
        ASSERT_LT(x.size(), 66000u); // ends inside the last step checked
        for (std::size_t k = 0; k < c.steps.size(); ++k) {
            const float v = x[6000 * k + 3000];
            const float want =
                c.steps[k] < 0 ? c.last / 16.0f + 0.03f : c.steps[k] / 16.0f + 0.015f;
            EXPECT_NEAR(v, want, 1e-4f) << c.first << " " << k;
        }
        EXPECT_EQ(stepper().currentStep(), c.steps.back() < 0 ? c.last : c.steps.back());
        e.noteOff(0, 60), e.noteOff(0, 62);
    }
    e.reset();
    EXPECT_EQ(stepper().currentStep(), 0);
}

// "spos" without rtrg: a note takes step and phase from the host position (rounded to 1/256
// beat, plus the note's offset in beats, truncated to 1/100 beat), so the steps fall on the host's
// grid: a "1/16" step is a quarter beat, 6000 samples at 120 bpm. The position jumps back between
// cases as in a host loop; a negative one counts as 0.
TEST_F(StepperTest, NotesAlignToTheHostPosition) {
    struct Case {
        double position;
        int offset, first, last, step, next; // next: samples from the note to the next step
    };
    const Case cases[] = {{2.5, 0, 0, 15, 10, 6000},   {5.6, 0, 0, 15, 6, 3600},
                          {2.5, 240, 0, 15, 10, 5760}, {2.74, 360, 0, 15, 11, 6000},
                          {2.5, 0, 4, 7, 6, 6000},     {-1.0, 0, 0, 15, 0, 6000}};
    flatSteps();
    option("stp1_mode", 2);
    set("stp1_rtrg", 0.0f);
    for (const Case& c : cases) {
        option("stp1_start", c.first), option("stp1_stop", c.last);
        position = c.position;
        e.noteOn(c.offset, 60, 100);
        const std::vector<float> x = record(c.offset + c.next + 6000 + 1);
        const int note = c.offset;
        EXPECT_NEAR(x[note] * 16, c.step, 1e-3) << c.position;
        int change = note + 1;
        while (change < static_cast<int>(x.size()) && x[change] == x[change - 1])
            ++change;
        EXPECT_NEAR(change - note, c.next, 1) << c.position;
        EXPECT_NEAR(x[change] * 16, c.step == c.last ? c.first : c.step + 1, 1e-3) << c.position;
        e.noteOff(0, 60);
    }
}

// Mono voice modes and the mono switch run only track 16, which every voice then reads; in the
// poly modes each voice has its own track, and track 16 runs too once a global destination
// (Main_Volume) reads Stepper1.
TEST_F(StepperTest, MonoAndGlobalTracks) {
    struct Case {
        int mode;
        bool monoSwitch, global, shared, track16;
    };
    const Case cases[] = {{0, false, false, true, true},
                          {4, true, false, true, true},
                          {4, false, false, false, false},
                          {4, false, true, false, true}};
    for (const Case& c : cases) {
        option("mode", c.mode);
        set("stp1_mono", c.monoSwitch);
        option("slot3_Src1", c.global ? 23 : 0), option("slot3_Trg1", 145);
        e.rebuildRouting();
        e.reset();
        record(2 * kFrames);
        e.noteOn(0, 60, 100);
        record(3000);
        float* const* out = stepper().getModOutput(0);
        for (int v = 0; v < 16; ++v)
            EXPECT_EQ(out[v] == out[16], c.shared) << c.mode << " " << v;
        EXPECT_EQ(stepper().clock().running(16), c.track16) << c.mode;
        EXPECT_EQ(stepper().clock().running(0), !c.shared) << c.mode;
        e.noteOff(0, 60);
    }
}

// NaN and out-of-range values on every slot: the signal stays within 0..1 and every table
// read in range (the sanitizers check the reads).
TEST_F(StepperTest, BadValuesStayInRange) {
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), -3.0f, 7.0f,
                      std::numeric_limits<float>::infinity()}) {
        for (int slot = 0; slot < ModuleStepper::kSlotCount; ++slot)
            stepper().setParameter(slot, bad);
        e.noteOn(0, 60, 100);
        for (float v : record(20 * kFrames))
            ASSERT_TRUE(v >= 0.0f && v <= 1.0f) << bad;
        EXPECT_GE(stepper().currentStep(), 0);
        EXPECT_LE(stepper().currentStep(), 15);
        e.noteOff(0, 60);
    }
}

// While the arpeggiator runs, its restart markers (7) retrigger the mono track, even with no
// voice sounding.
TEST(StepperModule, ArpeggiatorRestartsTheMonoTrack) {
    EngineContext engine;
    SharedVoiceContext voices;
    ASSERT_TRUE(voices.recreateArena(1 << 20));
    ModuleStepper m;
    m.init(&engine, &voices, nullptr, "stepper1");
    m.setup();
    m.setSampleRate(kRate);
    m.setBlockSize(kFrames);
    m.setParameter(ModuleStepper::kMode, 1 / 999.0f);
    m.setParameter(ModuleStepper::kTime, 16 / 999.0f);
    for (int s = 0; s < 16; ++s)
        m.setParameter(ModuleStepper::kEnd + s, 1.0f); // rising steps
    std::vector<float> markers(4096);
    markers[100] = 7.0f;
    for (bool arpOn : {false, true}) {
        m.setArpState(arpOn, markers.data());
        m.renderBlock(kFrames);
        EXPECT_EQ(m.clock().running(16), arpOn);
        EXPECT_FALSE(m.clock().running(0));
    }
    const float* x = m.getModOutput(0)[16];
    EXPECT_EQ(x[99], x[0]); // standing until the marker
    for (int i = 100; i < kFrames; i += 50)
        EXPECT_NEAR(x[i], (i - 100) / 6000.0f, 1e-5f) << i;
}

} // namespace
} // namespace kolva
