// The per-voice mixer: level rule, mute, the pan and filter-input balances into the two sends,
// and which voices it writes.

#include "engine/aplugin.h"
#include "engine/module_id.h"
#include "engine/module_mixer.h"
#include "engine/voice_context.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace kolva {
namespace {

constexpr int kFrames = 256;
constexpr int kPan = 0, kLevel = 4, kInput = 8, kMute = 12; // first slot of each group
constexpr float kFull = 0.97f; // level control 1.0 less the 0.03 threshold

class MixerTest : public ::testing::Test {
protected:
    void SetUp() override {
        e.setSampleRate(44100.0f);
        e.setBlockSize(kFrames);
        ASSERT_TRUE(e.prepare());
        mix = static_cast<ModuleMixer*>(e.module(kModMixer));
        // Oscillator k plays a constant pair on every voice: left 0.5 + k, right 0.25.
        for (int k = 0; k < 4; ++k) {
            signal[k][0].assign(kFrames, 0.5f + static_cast<float>(k));
            signal[k][1].assign(kFrames, 0.25f);
            for (int side = 0; side < 2; ++side)
                ptrs[k][side].fill(signal[k][side].data());
        }
        e.voiceContext().voiceActive[0] = 1;
    }
    // Oscillator osc at full level, unmuted.
    void play(int osc, float pan = 0.5f, float input = 0.5f) {
        mix->setOscillatorOutputs(osc, ptrs[osc][0].data(), ptrs[osc][1].data());
        mix->setParameter(kLevel + osc, 1.0f);
        mix->setParameter(kPan + osc, pan);
        mix->setParameter(kInput + osc, input);
    }
    void blocks(int count = 40) { // 40: long enough for every smoother to settle
        for (int i = 0; i < count; ++i)
            mix->renderBlock(kFrames);
    }
    float send(int which, int voice, int i = kFrames - 1) {
        return mix->getAudioOutput(which)[voice][i];
    }

    APlugin e;
    ModuleMixer* mix = nullptr;
    std::array<std::array<std::vector<float>, 2>, 4> signal;
    std::array<std::array<std::array<float*, kNumVoices>, 2>, 4> ptrs{};
};

TEST_F(MixerTest, PanAndFilterInputAreLinearBalancesWithUnityAtTheCentre) {
    struct Case {
        float pan, input;
        float gl, gr, f1, f2; // gains expected from the balance laws
    };
    const Case cases[] = {
        {0.5f, 0.5f, 1.0f, 1.0f, 1.0f, 1.0f}, // both filters, both sides, unattenuated
        {0.0f, 0.0f, 1.0f, 0.0f, 1.0f, 0.0f}, // hard left into filter 1 only
        {1.0f, 1.0f, 0.0f, 1.0f, 0.0f, 1.0f}, // hard right into filter 2 only
        {0.25f, 0.75f, 1.0f, 0.5f, 0.5f, 1.0f}, {0.75f, 0.25f, 0.5f, 1.0f, 1.0f, 0.5f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pan " << c.pan << " input " << c.input);
        play(0, c.pan, c.input);
        blocks();
        EXPECT_NEAR(send(0, 0), 0.5f * kFull * c.gl * c.f1, 1e-5f);
        EXPECT_NEAR(send(1, 0), 0.25f * kFull * c.gr * c.f1, 1e-5f);
        EXPECT_NEAR(send(2, 0), 0.5f * kFull * c.gl * c.f2, 1e-5f);
        EXPECT_NEAR(send(3, 0), 0.25f * kFull * c.gr * c.f2, 1e-5f);
    }
}

TEST_F(MixerTest, LevelBelowThresholdFadesButOnlyZeroOrMuteRemovesTheOscillator) {
    play(0);
    blocks();
    mix->setParameter(kLevel, 0.02f);
    EXPECT_TRUE(mix->isOscillatorAudible(0));
    blocks(1);
    EXPECT_GT(send(0, 0, 0), 0.1f); // still mixed while it fades
    EXPECT_LT(send(0, 0, kFrames - 1), send(0, 0, 0));
    blocks();
    EXPECT_EQ(send(0, 0), 0.0f);

    mix->setParameter(kLevel, 1.0f);
    blocks();
    mix->setParameter(kLevel, 0.0f);
    EXPECT_FALSE(mix->isOscillatorAudible(0));
    blocks(1);
    EXPECT_EQ(send(0, 0, 0), 0.0f); // gone at once, no fade

    mix->setParameter(kLevel, 1.0f);
    for (float mute : {0.5f, 0.51f, 1.0f, 0.2f}) {
        SCOPED_TRACE(mute);
        const bool audible = mute <= 0.5f; // 1 - int(v x 1.99)
        mix->setParameter(kMute, mute);
        EXPECT_EQ(mix->isOscillatorAudible(0), audible);
        blocks();
        EXPECT_NEAR(send(0, 0), audible ? 0.5f * kFull : 0.0f, 1e-5f);
    }
}

TEST_F(MixerTest, OnlySoundingVoicesAreWrittenWithTheOscillatorsThatHaveOutput) {
    auto& vc = e.voiceContext();
    vc.voiceActive[2] = 1;
    vc.ampEnvelopeActive[15] = 1; // released but still audible
    vc.voiceActive[16] = 1;
    play(0);
    play(1);
    play(3);
    ptrs[1][0][0] = nullptr;                        // osc2 has no left buffer on voice 0
    mix->setOscillatorOutputs(3, nullptr, nullptr); // osc4 produced nothing this block
    blocks();
    const auto mark = [&] {
        for (int s = 0; s < 4; ++s)
            for (int v = 0; v < kNumVoices; ++v)
                mix->getAudioOutput(s)[v][0] = 7.0f;
    };
    mark();
    kolva::test::AllocationGuard g;
    blocks(1);
    EXPECT_EQ(g.count(), 0);
    for (int v = 0; v < kNumVoices; ++v) {
        const float sum = v == 0 ? 0.5f : 0.5f + 1.5f; // osc1 + osc2 on the left
        EXPECT_NEAR(send(0, v, 0), v == 0 || v == 2 || v == 15 ? sum * kFull : 7.0f, 1e-5f) << v;
    }
    EXPECT_NEAR(send(3, 2, 0), (0.25f + 0.25f) * kFull, 1e-5f);

    vc.modeInEffect = kModeMono1;
    mark();
    blocks(1);
    EXPECT_NEAR(send(2, 16, 0), 2.0f * kFull, 1e-5f);
    EXPECT_EQ(send(2, 0, 0), 7.0f);
    vc.voiceActive[16] = 0;
    mark();
    blocks(1);
    EXPECT_EQ(send(2, 16, 0), 7.0f);
}

} // namespace
} // namespace kolva
