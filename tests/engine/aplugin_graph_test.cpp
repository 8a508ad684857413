// The engine graph: its modules, their names and numbers, the parameter routing and the
// arena that prepare carves.

#include "core/parameter_defs.h"
#include "engine/aplugin.h"
#include "engine/module.h"
#include "engine/module_matrix.h"
#include "engine/module_registry.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace kolva {
namespace {

TEST(EngineGraph, TwentySevenModulesUnderTheirNumbersAndNames) {
    APlugin e;
    const char* names[kNumModules] = {
        "midi", "lfo1", "lfo2", "lfo3", "lfo4", "env1", "env2", "env3", "env4",
        "osc1", "osc2", "osc3", "osc4", "mix", "filter", "fx_shaper", "fx_phaser",
        "fx_chorus", "fx_delay", "fx_rever", "fx_compressor", "fx_equalizer", "perfomance",
        "extcontrol", "stepper1", "stepper2", "arp1"};
    for (int n = 0; n < kNumModules; ++n) {
        ASSERT_NE(e.module(n), nullptr) << n;
        EXPECT_EQ(e.module(n)->name(), names[n]) << n;
    }
    EXPECT_EQ(e.module(-1), nullptr);
    EXPECT_EQ(e.module(27), nullptr);
    EXPECT_EQ(e.matrix().name(), "matrix");

    // Creation order and labels come from the one registry.
    std::set<int> numbers;
    const auto reg = moduleRegistry();
    ASSERT_EQ(reg.size(), 27u);
    EXPECT_STREQ(reg[0].label, "ModuleMidi::midi");
    EXPECT_STREQ(reg[1].name, "env1");
    EXPECT_STREQ(reg[13].label, "ModuleMixer::mix");
    EXPECT_STREQ(reg[26].label, "ModuleArp::arp1");
    for (const auto& entry : reg) {
        numbers.insert(entry.number);
        EXPECT_EQ(std::string(entry.label).substr(std::string(entry.label).find("::") + 2), entry.name);
    }
    EXPECT_EQ(numbers.size(), 27u);
}

TEST(EngineGraph, PolyModulesKeepSeventeenLabelledVoices) {
    APlugin e;
    for (int n : {kModMidi, kModLfo1, kModEnv1, kModOsc1, kModMixer, kModFilter, kModPerfomance,
                  kModStepper1, kModArp}) {
        auto* poly = dynamic_cast<ModulePoly*>(e.module(n));
        ASSERT_NE(poly, nullptr) << n;
        for (int v = 0; v < kNumVoices; ++v) {
            ASSERT_NE(poly->getVoice(v), nullptr);
            EXPECT_EQ(poly->getVoice(v)->index(), v);
        }
        EXPECT_EQ(poly->getVoice(17), nullptr);
    }
    auto* mix = dynamic_cast<ModulePoly*>(e.module(kModMixer));
    EXPECT_EQ(mix->getVoice(3)->label(), "voice mixer");
    EXPECT_EQ(dynamic_cast<ModulePoly*>(e.module(kModFxDelay)), nullptr);
}

TEST(EngineGraph, RoutingRecordsFollowTheParameterTable) {
    APlugin e;
    const RoutingTable& rt = e.routing();
    // drift goes to the MIDI module first, then to each LFO.
    const auto& drift = rt.record(6);
    ASSERT_EQ(drift.count, 5);
    EXPECT_EQ(drift.module[0], kModMidi);
    EXPECT_EQ(drift.slot[0], 4);
    for (int i = 1; i < 5; ++i) {
        EXPECT_EQ(drift.module[i], kModLfo1 + i - 1);
        EXPECT_EQ(drift.slot[i], 10);
    }
    // arp_speed reaches both steppers before the arpeggiator.
    const auto& speed = rt.record(652);
    ASSERT_EQ(speed.count, 3);
    EXPECT_EQ(speed.module[0], kModStepper1);
    EXPECT_EQ(speed.module[1], kModStepper1 + 1);
    EXPECT_EQ(speed.module[2], kModArp);
    EXPECT_EQ(speed.slot[2], 50);
    EXPECT_EQ(speed.module[3], -1);
    // Engine-handled indices without module receivers.
    for (int i : {8, 257, 288, 437, 720, 721, 722, 123}) EXPECT_EQ(rt.record(i).count, 0) << i;

    // Every binding is also known to the receiving module, slot -> parameter.
    int bindings = 0;
    for (int i = 0; i < kNumParameters; ++i) {
        const auto& r = rt.record(i);
        EXPECT_LE(r.count, 5);
        for (int k = 0; k < r.count; ++k) {
            EXPECT_EQ(e.module(r.module[k])->parameterForSlot(r.slot[k]), i) << i;
            ++bindings;
        }
    }
    EXPECT_GT(bindings, 500);
}

TEST(EngineGraph, SettingAParameterReachesEveryReceiver) {
    APlugin e;
    e.setParameter(6, 1.0f);
    EXPECT_FLOAT_EQ(e.module(kModMidi)->slotValue(4), 1.0f);
    for (int i = 0; i < 4; ++i) EXPECT_FLOAT_EQ(e.module(kModLfo1 + i)->slotValue(10), 1.0f);
    e.setParameter(273, 0.33f); // del_rate
    EXPECT_FLOAT_EQ(e.module(kModFxDelay)->slotValue(7), 0.33f);
    e.setParameter(-1, 1.0f);
    e.setParameter(725, 1.0f);
}

TEST(EngineGraph, PrepareCarvesTheArenaOnlyWhenSettingsChange) {
    APlugin e;
    EXPECT_FALSE(e.prepare()); // nothing set yet
    e.setSampleRate(44100.0f);
    EXPECT_FALSE(e.prepare()); // block size still unset
    e.setBlockSize(1024);
    ASSERT_TRUE(e.prepare());
    // (1024/32 + 1) x 917504 + 44100 x 20971520 / 44100 bytes
    EXPECT_EQ(APlugin::arenaBytes(1024, 44100.0f), 33u * 917504u + 20971520u);
    EXPECT_GE(e.voiceContext().arenaSize(), APlugin::arenaBytes(1024, 44100.0f));

    int matrixBuffers = 0;
    for (const auto& b : e.voiceContext().buffers()) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data) % 16, 0u);
        if (b.name == "mtrx out") {
            ++matrixBuffers;
            EXPECT_EQ(b.frames, 1028);
        }
    }
    EXPECT_EQ(matrixBuffers, 2 * ModuleMatrix::kDestinations);
    ASSERT_NE(e.matrix().destinationOutput(229, 1), nullptr);
    EXPECT_EQ(e.matrix().destinationOutput(230, 0), nullptr);

    const float* before = e.matrix().destinationOutput(1, 0);
    e.setSampleRate(44100.4f); // same integer rate: nothing re-carved
    EXPECT_TRUE(e.prepare());
    EXPECT_EQ(e.matrix().destinationOutput(1, 0), before);
    e.setBlockSize(256);
    ASSERT_TRUE(e.prepare());
    for (const auto& b : e.voiceContext().buffers()) {
        if (b.name == "mtrx out") {
            EXPECT_EQ(b.frames, 260);
        }
    }

    // Constant sources are real signals.
    float* const* c10 = e.matrix().source(ModuleMatrix::kPosConstant10);
    ASSERT_NE(c10, nullptr);
    EXPECT_FLOAT_EQ(c10[16][255], 0.1f);
    EXPECT_FLOAT_EQ(e.matrix().source(ModuleMatrix::kPosConstant50)[0][0], 0.5f);
    EXPECT_FLOAT_EQ(e.halfBuffer()[4095], 0.5f);
}

TEST(EngineGraph, ArenaRefusesWhatItCannotHold) {
    SharedVoiceContext ctx;
    EXPECT_EQ(ctx.allocate(16, "before arena"), nullptr);
    ASSERT_TRUE(ctx.recreateArena(1024));
    float* a = ctx.allocate(100, "a"); // 416 bytes
    float* b = ctx.allocate(100, "b");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_GE(reinterpret_cast<char*>(b) - reinterpret_cast<char*>(a), 416);
    EXPECT_EQ(ctx.allocate(100, "c"), nullptr); // 1248 > 1024
    EXPECT_EQ(ctx.buffers().size(), 2u);
    a[99] = 1.0f;
    ASSERT_TRUE(ctx.recreateArena(4096));
    EXPECT_TRUE(ctx.buffers().empty());
    float* z = ctx.allocate(100, "zeroed");
    for (int i = 0; i < 104; ++i) EXPECT_EQ(z[i], 0.0f);
}

} // namespace
} // namespace kolva
