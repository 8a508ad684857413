// The modulation matrix: compiling slots into destination entries, amount curves, velocity
// factors, modulation of amounts, and the four evaluation forms.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module_matrix.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <vector>

namespace kolva {
namespace {

constexpr int kFrames = 64;

// Per-voice signals the test controls, published as matrix sources.
struct TestSource {
    std::array<std::vector<float>, kNumVoices> data;
    std::array<float*, kNumVoices> ptrs{};
    explicit TestSource(float value = 0.0f) {
        for (int v = 0; v < kNumVoices; ++v) {
            data[v].assign(kFrames + 4, value);
            ptrs[v] = data[v].data();
        }
    }
    void fill(int voice, float value) { std::fill(data[voice].begin(), data[voice].end(), value); }
};

float code(int c) {
    return static_cast<float>(c) / 999.0f;
}

class Matrix : public ::testing::Test {
protected:
    void SetUp() override {
        e.setSampleRate(44100.0f);
        e.setBlockSize(kFrames);
        ASSERT_TRUE(e.prepare());
        m.setSource(ModuleMatrix::kPosModWheel, modWheel.ptrs.data());
        m.setSource(ModuleMatrix::kPosVelocity, velocity.ptrs.data());
        m.setSource(ModuleMatrix::kPosLfo1, lfo1.ptrs.data());
        m.setVelocitySources(velocity.ptrs.data(), complement.ptrs.data());
    }
    // User slot s (1..15): sources, and route k (1..4) to `target` with `amount`.
    void slot(int s, int srcA, int srcB, int k, int target, float amount) {
        const int base = 288 + 10 * (s - 1);
        e.setParameter(base, code(srcA));
        e.setParameter(base + 1, code(srcB));
        e.setParameter(base + 2 * k, amount);
        e.setParameter(base + 2 * k + 1, code(target));
    }
    float scalar(int voice, int param, float base) {
        return m.modulateScalar(voice, kFrames, param, base);
    }

    APlugin e;
    ModuleMatrix& m = e.matrix();
    TestSource modWheel{0.5f}, velocity{0.8f}, complement{0.2f}, lfo1{0.0f};
    const int cutoff1 = findParameter("flt1_cut");
};

TEST_F(Matrix, TwoSourcesOfOneSlotMakeTwoEntriesWithTheSlotAmount) {
    slot(1, 17 /*ModWheel*/, 13 /*Velocity*/, 1, 45 /*Cutoff_1*/, 1.0f);
    m.rebuild();
    EXPECT_EQ(m.entryCount(45), 2);
    EXPECT_TRUE(m.isModulated(cutoff1));
    // Cutoff uses curve C2, which is +1 at amount 1: 0.2 + 1 x 0.5 + 1 x 0.8, clamped.
    EXPECT_FLOAT_EQ(scalar(0, cutoff1, 0.2f), 1.0f);
    modWheel.fill(0, 0.1f);
    velocity.fill(0, 0.05f);
    EXPECT_NEAR(scalar(0, cutoff1, 0.2f), 0.35f, 1e-6f);
    EXPECT_EQ(m.sourceTier(16), 1); // ModWheel (internal 16) feeds a per-voice destination
    EXPECT_EQ(m.sourceTier(12), 1);
    EXPECT_EQ(m.sourceTier(0), 0);
}

TEST_F(Matrix, AmountCurvesByParameterKind) {
    // Amount 0.5 is bipolar 0: nothing, whatever the curve.
    for (int kind = 0; kind <= 5; ++kind)
        EXPECT_NEAR(ModuleMatrix::amountCurve(kind, 0.0f), 0.0f, 1e-7f);
    // Curve C0: its fixed points at both ends and in between.
    EXPECT_FLOAT_EQ(ModuleMatrix::amountCurve(0, 1.0f), 1.0f);
    EXPECT_FLOAT_EQ(ModuleMatrix::amountCurve(0, -1.0f), -1.0f);
    EXPECT_NEAR(ModuleMatrix::amountCurve(0, -1.0f + 2.0f / 31.0f), -0.7295f, 1e-5f);
    EXPECT_NEAR(ModuleMatrix::amountCurve(0, 1.0f - 2.0f / 31.0f), 0.7295f, 1e-5f);
    EXPECT_NEAR(ModuleMatrix::amountCurve(1, -1.0f + 4.0f / 31.0f), -0.6838f, 1e-5f);
    EXPECT_NEAR(ModuleMatrix::amountCurve(2, 1.0f - 6.0f / 31.0f), 0.6907f, 1e-5f);
    EXPECT_FLOAT_EQ(ModuleMatrix::amountCurve(3, 0.3f), 0.3f);
    EXPECT_FLOAT_EQ(ModuleMatrix::amountCurve(4, 0.3f), 0.6f);
    EXPECT_FLOAT_EQ(ModuleMatrix::amountCurve(5, -0.3f), -1.2f);

    EXPECT_EQ(ModuleMatrix::curveKindOf(findParameter("osc1_note")), 1);
    EXPECT_EQ(ModuleMatrix::curveKindOf(findParameter("osc4_note")), 1);
    EXPECT_EQ(ModuleMatrix::curveKindOf(findParameter("osc2_ctrlB")), 3);
    EXPECT_EQ(ModuleMatrix::curveKindOf(findParameter("osc3_wtmix")), 4);
    EXPECT_EQ(ModuleMatrix::curveKindOf(findParameter("flt2_cut")), 2);
    EXPECT_EQ(ModuleMatrix::curveKindOf(findParameter("osc1_ctrlA")), 0);
}

TEST_F(Matrix, EveryDestinationModulatesItsOwnParameter) {
    std::set<int> params;
    for (int d = 0; d < ModuleMatrix::kDestinations; ++d) {
        int bound = -1;
        for (int p = 0; p < kNumParameters; ++p)
            if (ModuleMatrix::destinationOf(p) == d) bound = p;
        ASSERT_GE(bound, 0) << "destination code " << d + 1;
        params.insert(bound);
    }
    EXPECT_EQ(params.size(), 229u);
    EXPECT_EQ(ModuleMatrix::destinationOf(findParameter("osc1_note")), 4);
    EXPECT_EQ(ModuleMatrix::destinationOf(findParameter("osc1_wave")), 223);
    EXPECT_EQ(ModuleMatrix::destinationOf(findParameter("macro1")), 216);
    EXPECT_EQ(ModuleMatrix::destinationOf(findParameter("lfo_all_rt")), 228);
    EXPECT_EQ(ModuleMatrix::destinationOf(findParameter("mode")), -1);
}

TEST_F(Matrix, VelocityAmountsScaleByVelocityOrItsComplement) {
    // Env1's direct routing: target 1 = Cutoff_1, amount 1, velocity amount +1.
    TestSource env(1.0f);
    m.setSource(ModuleMatrix::kPosEnv1, env.ptrs.data());
    e.setParameter(123, code(45));
    e.setParameter(124, 1.0f);
    e.setParameter(125, 1.0f);
    m.rebuild();
    EXPECT_NEAR(scalar(3, cutoff1, 0.0f), 0.8f, 1e-6f); // x velocity 0.8
    e.setParameter(125, 0.0f);                          // velocity amount -1
    m.rebuild();
    EXPECT_NEAR(scalar(3, cutoff1, 0.0f), 0.2f, 1e-6f); // x (1 - velocity)
    e.setParameter(125, 0.75f);                         // +0.5: 1 - 0.5 + 0.5 x 0.8
    m.rebuild();
    EXPECT_NEAR(scalar(3, cutoff1, 0.0f), 0.9f, 1e-6f);
    EXPECT_EQ(m.sourceTier(4), 1);
}

TEST_F(Matrix, SlotAmountsCanBeModulatedPerVoice) {
    // Slot 1: ModWheel -> osc1_ctrlA with amount 0.5 (nothing on its own).
    const int ctrlA = findParameter("osc1_ctrlA");
    slot(1, 17, 0, 1, 6 /*Osc1_CtrlA*/, 0.5f);
    // Slot 2: LFO1 -> Slot1_Amount1 with full amount.
    slot(2, 9 /*LFO1*/, 0, 1, 155, 1.0f);
    m.rebuild();
    EXPECT_EQ(m.entryCount(6), 1);
    EXPECT_EQ(m.entryCount(155), 0); // amount destinations hold no entries of their own
    lfo1.fill(2, 1.0f);
    lfo1.fill(5, 0.0f);
    // Voice 2: amount 0 + C0(1) x 1 = 1, times the mod wheel 0.5.
    EXPECT_NEAR(scalar(2, ctrlA, 0.1f), 0.6f, 1e-6f);
    EXPECT_NEAR(scalar(5, ctrlA, 0.1f), 0.1f, 1e-6f);
    EXPECT_EQ(m.sourceTier(8), 1);
}

TEST_F(Matrix, GlobalDestinationsRaiseTheSourceTier) {
    slot(1, 17, 0, 1, 145 /*Main_Volume*/, 1.0f);
    slot(2, 9, 0, 2, 60 /*Env2_Rel*/, 1.0f);
    m.rebuild();
    EXPECT_EQ(m.sourceTier(16), 2);
    EXPECT_EQ(m.sourceTier(8), 1);
    EXPECT_TRUE(m.isSourceUsed(ModuleMatrix::kPosModWheel));
    EXPECT_TRUE(m.isSourceUsed(ModuleMatrix::kPosLfo1));
    EXPECT_FALSE(m.isSourceUsed(ModuleMatrix::kPosLfo1 + 1));
}

TEST_F(Matrix, DestinationsHoldAtMost31EntriesAndOutOfRangeCodesAreOff) {
    for (int s = 1; s <= 15; ++s) {
        const int base = 288 + 10 * (s - 1);
        e.setParameter(base, code(17));
        e.setParameter(base + 1, code(13));
        for (int k = 1; k <= 4; ++k) {
            e.setParameter(base + 2 * k, 1.0f);
            e.setParameter(base + 2 * k + 1, code(45));
        }
    }
    m.rebuild();
    EXPECT_EQ(m.entryCount(45), ModuleMatrix::kMaxEntries);
    // Source codes above 32 and destination codes above 229 read as off.
    for (int s = 1; s <= 15; ++s) {
        e.setParameter(288 + 10 * (s - 1), code(s == 1 ? 40 : 0));
        e.setParameter(289 + 10 * (s - 1), 0.0f);
    }
    m.rebuild();
    EXPECT_EQ(m.entryCount(45), 0);
    e.setParameter(288, code(17));
    e.setParameter(291, 1.0f); // destination code 999
    e.setParameter(293, code(230));
    e.setParameter(295, code(229));
    m.rebuild();
    int entries = 0;
    for (int d = 1; d <= ModuleMatrix::kDestinations; ++d)
        entries += m.entryCount(d);
    // Only route 3 (All_LFO_Rate) and route 4 (still Cutoff_1 from above) are left.
    EXPECT_EQ(entries, 2);
    EXPECT_EQ(m.entryCount(229), 1);
}

TEST_F(Matrix, EvaluationForms) {
    const int ctrlA = findParameter("osc1_ctrlA");
    const int pitch = findParameter("osc1_note");
    const int wave = findParameter("osc1_wave");
    std::vector<float> base(kFrames + 4, 0.6f);
    // Nothing routed: every form hands the base back.
    EXPECT_FLOAT_EQ(scalar(0, ctrlA, 0.6f), 0.6f);
    EXPECT_EQ(m.modulateBuffer(0, kFrames, ctrlA, base.data()), base.data());
    EXPECT_EQ(m.modulateScalarMax(0, kFrames, wave), 0.0f);

    slot(1, 17, 0, 1, 6, 1.0f);   // ModWheel -> CtrlA
    slot(1, 17, 0, 2, 5, 0.0f);   // ModWheel -> Pitch, amount -1 on curve C1
    slot(1, 17, 0, 3, 224, 1.0f); // ModWheel -> Osc1_Wave
    m.rebuild();
    // A ramp: the scalar form uses the average of the first and last sample.
    for (int i = 0; i < kFrames; ++i)
        modWheel.data[0][i] = static_cast<float>(i) / (kFrames - 1);
    EXPECT_NEAR(scalar(0, ctrlA, 0.1f), 0.6f, 1e-6f);
    EXPECT_NEAR(m.modulateScalarMax(0, kFrames, wave), 1.0f, 1e-6f);
    EXPECT_FLOAT_EQ(scalar(0, ctrlA, 0.1f), m.modulateScalar(0, kFrames, ctrlA, 0.1f));
    // Fewer than two frames: no modulation.
    EXPECT_FLOAT_EQ(m.modulateScalar(0, 1, ctrlA, 0.1f), 0.1f);

    const float* out = m.modulateBuffer(0, kFrames, ctrlA, base.data());
    ASSERT_NE(out, base.data());
    EXPECT_FLOAT_EQ(out[0], 0.6f);
    EXPECT_FLOAT_EQ(out[10], 0.6f + 10.0f / 63.0f);
    EXPECT_FLOAT_EQ(out[kFrames - 1], 1.0f); // clamped
    // The additive form is not clamped: pitch goes below 0.
    std::vector<float> zero(kFrames + 4, 0.0f);
    const float* p = m.modulateAdd(0, kFrames, pitch, zero.data());
    EXPECT_FLOAT_EQ(p[kFrames - 1], -1.0f);
    EXPECT_LT(p[kFrames / 2], 0.0f);
    // Other voices read their own source buffers.
    modWheel.fill(1, 0.0f);
    EXPECT_FLOAT_EQ(scalar(1, ctrlA, 0.1f), 0.1f);

    // Evaluation never allocates.
    test::AllocationGuard guard;
    for (int v = 0; v < kNumVoices; ++v) {
        m.modulateBuffer(v, kFrames, ctrlA, base.data());
        m.modulateAdd(v, kFrames, pitch, zero.data());
        m.modulateScalar(v, kFrames, ctrlA, 0.5f);
    }
    m.rebuild();
    EXPECT_EQ(guard.count(), 0);
}

} // namespace
} // namespace kolva
