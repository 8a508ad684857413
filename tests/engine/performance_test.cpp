// Performance macros: four smoothed controls published per voice as Mod1..Mod4.

#include "engine/aplugin.h"
#include "engine/module_id.h"
#include "engine/module_perfomance.h"
#include "engine/voice_context.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace kolva {
namespace {

constexpr int kFrames = 256;

class PerfomanceTest : public ::testing::Test {
protected:
    void SetUp() override {
        e.setSampleRate(44100.0f);
        e.setBlockSize(kFrames);
        ASSERT_TRUE(e.prepare());
        perf = static_cast<ModulePerfomance*>(e.module(kModPerfomance));
    }
    float out(int macro, int voice, int i = 10) { return perf->getModOutput(macro)[voice][i]; }
    void blocks(int count) {
        for (int b = 0; b < count; ++b)
            perf->renderBlock(kFrames);
    }

    APlugin e;
    ModulePerfomance* perf = nullptr;
};

// A one-pole glide from 0 after `samples` samples.
double glide(double target, double hz, int samples) {
    const double c = std::sin(std::numbers::pi * hz / 44100.0);
    return target * (1.0 - std::pow(1.0 - c, samples));
}

TEST_F(PerfomanceTest, EachVoiceCarriesTheSmoothedMacro) {
    e.voiceContext().voiceActive[3] = 1;
    perf->setParameter(0, 0.8f); // a jump of 0.5 or more: the fast glide
    perf->setParameter(1, 0.3f); // the slow glide
    perf->setParameter(3, 0.6f);
    blocks(1);
    for (int i : {0, 1, 100, kFrames - 1}) {
        EXPECT_NEAR(out(0, 3, i), glide(0.8, 240.0, i + 1), 1e-5) << i;
        EXPECT_NEAR(out(1, 3, i), glide(0.3, 24.0, i + 1), 1e-5) << i;
        EXPECT_NEAR(out(3, 3, i), glide(0.6, 240.0, i + 1), 1e-5) << i;
        EXPECT_EQ(out(2, 3, i), 0.0f);
        EXPECT_EQ(out(0, 16, i), out(0, 3, i)); // voice 16 carries the same values
    }
    EXPECT_NE(perf->getModOutput(0)[3], perf->getModOutput(0)[16]);
    blocks(40);
    EXPECT_EQ(out(1, 3, kFrames - 1), 0.3f);
}

TEST_F(PerfomanceTest, VoiceSixteenAlwaysRunsInPolyModesAndOnlyWhenSoundingInMono) {
    auto& vc = e.voiceContext();
    perf->setParameter(2, 0.4f);
    blocks(40);
    auto mark = [&] {
        for (int v = 0; v < kNumVoices; ++v)
            perf->getModOutput(2)[v][10] = 7.0f;
    };
    mark();
    vc.voiceActive[1] = 1;
    kolva::test::AllocationGuard g;
    blocks(1);
    EXPECT_EQ(g.count(), 0);
    for (int v = 0; v < kNumVoices; ++v)
        EXPECT_EQ(out(2, v), v == 1 || v == 16 ? 0.4f : 7.0f) << v;

    vc.modeInEffect = kModeMono1;
    mark();
    blocks(1);
    EXPECT_EQ(out(2, 16), 7.0f);
    vc.ampEnvelopeActive[16] = 1;
    blocks(1);
    EXPECT_EQ(out(2, 16), 0.4f);
    EXPECT_EQ(out(2, 1), 7.0f);
}

} // namespace
} // namespace kolva
