// The filter section's wiring inside the engine: pass-through for "off" and unnamed modes,
// serial and parallel routing, balance, link and key tracking. Measured against the mixer's
// sends of the same block, so the oscillators' sound does not matter.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/filter_tables.h"
#include "engine/module_filter.h"
#include "engine/module_midi.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace kolva {
namespace {

constexpr int kFrames = 128;

struct Setting {
    const char* name;
    float value;
};

// One note through an engine with both sends carrying sound; returns the voice's sends and
// filter output for the last of `blocks` blocks.
struct Played {
    std::vector<float> send1L, send2L, outL, outR;
    std::vector<float> cut1, cut2;
    long allocations = 0;
};

float option(int index) { return static_cast<float>(index) / 999.0f; }

Played play(std::initializer_list<Setting> settings, int note = 60, int blocks = 60) {
    APlugin e;
    e.setSampleRate(44100.0f);
    e.setBlockSize(kFrames);
    EXPECT_TRUE(e.prepare());
    for (int i = 0; i < kNumParameters; ++i) e.setParameter(i, parameterDefs()[i].defaultValue);
    auto set = [&](const char* name, float v) { e.setParameter(findParameter(name), v); };
    set("drift", 0.0f);
    set("osc1_phase", 0.5f); // the same waveform on every run
    set("osc1_mixto", 0.5f); // osc1 into both sends
    set("mix_osc2", 0.8f);   // and osc2, an octave up, into send 2 only
    set("osc2_oct", 5.0f / 8.0f);
    set("osc2_phase", 0.5f);
    set("osc2_mixto", 1.0f);
    set("env3_target1", 0.0f); // no filter envelope: the cutoffs are the controls
    for (const Setting& s : settings) set(s.name, s.value);
    e.rebuildRouting();
    std::vector<float> l(kFrames), r(kFrames);
    e.noteOn(0, note, 100);
    Played run;
    for (int b = 0; b < blocks; ++b) {
        test::AllocationGuard guard;
        e.render(l.data(), r.data(), kFrames);
        run.allocations += guard.count();
    }
    const int v = e.midi().voiceNote(0) == note ? 0 : kMonoVoice;
    auto& filter = static_cast<ModuleFilter&>(*e.module(kModFilter));
    float* const* sends = nullptr;
    auto take = [v](float* const* voices) {
        return std::vector<float>(voices[v], voices[v] + kFrames);
    };
    sends = e.module(kModMixer)->getAudioOutput(0);
    run.send1L = take(sends);
    run.send2L = take(e.module(kModMixer)->getAudioOutput(2));
    run.outL = take(filter.getAudioOutput(0));
    run.outR = take(filter.getAudioOutput(1));
    const VoiceFilter& vf = *filter.filterVoice(v);
    run.cut1.assign(vf.lastCutoff(0), vf.lastCutoff(0) + kFrames);
    run.cut2.assign(vf.lastCutoff(1), vf.lastCutoff(1) + kFrames);
    return run;
}

bool audible(const std::vector<float>& x) {
    for (float s : x)
        if (s != 0.0f) return true;
    return false;
}

TEST(FilterSection, OffAndUnnamedModesPassTheirSendUnchanged) {
    // Parallel routing: balance 0 hears filter 1 alone, balance 1 filter 2 alone.
    struct Case {
        int type, mode;
    };
    const Case cases[] = {{0, 0}, {0, 3}, {1, 4}, {2, 5}, {3, 4}, {5, 4}, {6, 2}, {6, 3}};
    for (const Case& c : cases) {
        const Played one = play({{"flt_rout", 1.0f}, {"flt_balance", 0.0f},
                              {"flt1_type", option(c.type)}, {"flt1_mode", option(c.mode)}});
        ASSERT_TRUE(audible(one.send1L));
        EXPECT_EQ(one.outL, one.send1L) << "filter 1 type " << c.type << " mode " << c.mode;
        const Played two = play({{"flt_rout", 1.0f}, {"flt_balance", 1.0f},
                              {"flt2_type", option(c.type)}, {"flt2_mode", option(c.mode)}});
        EXPECT_EQ(two.outL, two.send2L) << "filter 2 type " << c.type << " mode " << c.mode;
        EXPECT_EQ(one.allocations + two.allocations, 0);
    }
}

TEST(FilterSection, SerialRoutingAddsFilterOneToSendTwoAndBalanceBlends) {
    // Filter 1 alone (parallel, balance 0) gives F1 for this note.
    const Played f1 = play({{"flt_rout", 1.0f}, {"flt_balance", 0.0f}, {"flt1_cut", 0.4f},
                         {"flt1_res", 0.3f}});
    const Played serial = play({{"flt_rout", 0.0f}, {"flt_balance", 1.0f}, {"flt1_cut", 0.4f},
                             {"flt1_res", 0.3f}, {"flt2_type", option(0)}});
    ASSERT_EQ(serial.send2L, f1.send2L);
    for (int i = 0; i < kFrames; ++i)
        ASSERT_EQ(serial.outL[i], serial.send2L[i] + f1.outL[i]) << i;

    // Parallel, filter 2 off, balance 0.25: three quarters of F1 and a quarter of send 2.
    const Played mix = play({{"flt_rout", 1.0f}, {"flt_balance", 0.25f}, {"flt1_cut", 0.4f},
                          {"flt1_res", 0.3f}, {"flt2_type", option(0)}});
    for (int i = 0; i < kFrames; ++i)
        ASSERT_NEAR(mix.outL[i], 0.75f * f1.outL[i] + 0.25f * mix.send2L[i], 1e-6f) << i;
}

TEST(FilterSection, LinkMakesCutoffTwoAnOffsetAroundCutoffOne) {
    const Played equal = play({{"flt_link", 1.0f}, {"flt1_cut", 0.3f}, {"flt2_cut", 0.5f}});
    for (int i = 0; i < kFrames; ++i) ASSERT_NEAR(equal.cut2[i], equal.cut1[i], 1e-7f) << i;
    EXPECT_FLOAT_EQ(equal.cut1.back(), 0.3f);
    const Played above = play({{"flt_link", 1.0f}, {"flt1_cut", 0.3f}, {"flt2_cut", 0.6f}});
    EXPECT_NEAR(above.cut2.back(), 0.5f, 1e-6f); // 2 x 0.6 + 0.3 - 1
    const Played clamped = play({{"flt_link", 1.0f}, {"flt1_cut", 0.3f}, {"flt2_cut", 0.0f}});
    EXPECT_EQ(clamped.cut2.back(), 0.0f);
    const Played free = play({{"flt_link", 0.0f}, {"flt1_cut", 0.3f}, {"flt2_cut", 0.6f}});
    EXPECT_FLOAT_EQ(free.cut2.back(), 0.6f);
}

TEST(FilterSection, KeyTrackingMovesCutoffOneSemitonePerKeyFromMiddleC) {
    const float plusOne = (1.0f / 1.066667f + 1.0f) * 0.5f; // amount +1
    const float minusHalf = (-0.5f / 1.066667f + 1.0f) * 0.5f;
    struct Case {
        float amount;
        int note;
        float expected;
    };
    const Case cases[] = {
        {plusOne, 60, 0.5f},
        {plusOne, 72, 0.5f + 12.0f / 127.0f},
        {plusOne, 48, 0.5f - 12.0f / 127.0f},
        {minusHalf, 72, 0.5f - 6.0f / 127.0f},
        {0.5f, 84, 0.5f},                 // amount 0: no tracking
        {plusOne, 127, 0.5f + 67.0f / 127.0f > 1.0f ? 1.0f : 0.5f + 67.0f / 127.0f},
    };
    for (const Case& c : cases) {
        const Played r = play({{"flt_keytrack", c.amount}, {"flt1_cut", 0.5f}}, c.note);
        EXPECT_NEAR(r.cut1.back(), c.expected, 2e-5f) << "note " << c.note << " amount " << c.amount;
    }
}

TEST(FilterCurves, FrequencyCurvesHitTheirRowsAndRiseSmoothly) {
    struct Curve {
        const flt::FrequencyCurve& values;
        std::array<std::pair<int, float>, 7> rows;
    };
    const Curve curves[] = {
        {flt::ladderFrequencyCurve(),
         {{{0, 0.000851f}, {19, 0.002553f}, {39, 0.008128f}, {59, 0.026038f}, {79, 0.085583f},
           {99, 0.30853f}, {119, 1.0f}}}},
        {flt::svfFrequencyCurve(),
         {{{0, 0.000777f}, {19, 0.002468f}, {39, 0.007836f}, {59, 0.024876f}, {79, 0.078966f},
           {99, 0.24984f}, {119, 0.738f}}}},
    };
    for (const Curve& c : curves) {
        for (const auto& [point, value] : c.rows) EXPECT_NEAR(c.values[point], value, value * 1e-5f);
        // Between rows the ratio of neighbours stays near the curve's ~6 % per point and never
        // jumps: a kink or an overshoot would show as a step in this ratio.
        double lastRatio = c.values[1] / c.values[0];
        for (int p = 1; p < flt::kFrequencyPoints; ++p) {
            const double ratio = c.values[p] / c.values[p - 1];
            EXPECT_GT(ratio, 1.04) << p;
            EXPECT_LT(ratio, 1.08) << p;
            EXPECT_NEAR(ratio, lastRatio, 0.004) << p;
            lastRatio = ratio;
        }
        EXPECT_FLOAT_EQ(flt::readFrequencyCurve(c.values, 0.5f),
                        0.5f * (c.values[59] + c.values[60]));
        EXPECT_EQ(flt::readFrequencyCurve(c.values, std::nanf("")), c.values[0]);
    }
}

} // namespace
} // namespace kolva
