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

// A one-pole glide from 0 after `samples` samples.
double glide(double target, double hz, int samples) {
    const double c = std::sin(std::numbers::pi * hz / 44100.0);
    return target * (1.0 - std::pow(1.0 - c, samples));
}

TEST(Perfomance, SoundingVoicesCarryTheSmoothedMacrosAndVoiceSixteenAlwaysInPoly) {
    APlugin e;
    e.setSampleRate(44100.0f);
    e.setBlockSize(kFrames);
    ASSERT_TRUE(e.prepare());
    auto* perf = static_cast<ModulePerfomance*>(e.module(kModPerfomance));
    auto& vc = e.voiceContext();
    const auto out = [&](int k, int v, int i = 10) { return perf->getModOutput(k)[v][i]; };
    const auto blocks = [&](int count) {
        for (int b = 0; b < count; ++b)
            perf->renderBlock(kFrames);
    };
    const auto mark = [&] {
        for (int k = 0; k < 4; ++k)
            for (int v = 0; v < kNumVoices; ++v)
                perf->getModOutput(k)[v][10] = 7.0f;
    };
    vc.voiceActive[3] = 1;
    vc.ampEnvelopeActive[15] = 1; // released but still audible
    perf->setParameter(0, 0.8f);  // a jump of 0.5 or more: the fast glide
    perf->setParameter(1, 0.3f);  // the slow glide
    perf->setParameter(3, 0.6f);
    mark();
    kolva::test::AllocationGuard g;
    blocks(1);
    EXPECT_EQ(g.count(), 0);
    for (int v = 0; v < kNumVoices; ++v) {
        SCOPED_TRACE(v);
        if (v != 3 && v != 15 && v != 16) {
            EXPECT_EQ(out(0, v), 7.0f);
            continue;
        }
        for (int i : {0, 10, kFrames - 1}) {
            EXPECT_NEAR(out(0, v, i), glide(0.8, 240.0, i + 1), 1e-5) << i;
            EXPECT_NEAR(out(1, v, i), glide(0.3, 24.0, i + 1), 1e-5) << i;
            EXPECT_NEAR(out(3, v, i), glide(0.6, 240.0, i + 1), 1e-5) << i;
            EXPECT_EQ(out(2, v, i), 0.0f);
        }
    }

    vc.modeInEffect = kModeMono1; // voice 16 only, and only while sounding
    mark();
    blocks(1);
    EXPECT_EQ(out(1, 16), 7.0f);
    vc.ampEnvelopeActive[16] = 1;
    blocks(40);
    EXPECT_EQ(out(1, 16), 0.3f);
    EXPECT_EQ(out(1, 3), 7.0f);
}

} // namespace
} // namespace kolva
