// The effects chain as the engine runs it: the order and its two switches, the tail that
// keeps echoes ringing after the voices stop and then lets the chain sleep, recovery from a
// NaN block, and a whole chain that never allocates at any sample rate.

#include "../core/plugin_test_util.h"
#include "fx/module_fx_equalizer.h"
#include "fx_harness.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

namespace kolva::test {
namespace {

constexpr int kBlock = 256;

struct Setting {
    const char* name;
    float value;
};

void apply(FxHarness& h, std::initializer_list<Setting> settings) {
    for (const Setting& s : settings) h.set(s.name, s.value);
}

std::vector<float> noisySine(int n, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> noise(-0.2f, 0.2f);
    std::vector<float> x = sine(n, 330.0f, 44100.0f, 0.6f);
    for (float& v : x) v += noise(rng);
    return x;
}

// Runs the modules one by one in the order given, as the chain would.
void runInOrder(FxHarness& h, const std::vector<int>& order, std::vector<float>& l,
                std::vector<float>& r) {
    auto& eq = h.module<ModuleFxEqualizer>(kModFxEqualizer);
    for (std::size_t i = 0; i < l.size(); i += kBlock) {
        for (int m : order) {
            if (m < 0) {
                eq.processStage(-m, kBlock, l.data() + i, r.data() + i);
            } else {
                h.engine.module(m)->process(kBlock, l.data() + i, r.data() + i);
            }
        }
    }
}

void runChain(FxHarness& h, std::vector<float>& l, std::vector<float>& r) {
    for (std::size_t i = 0; i < l.size(); i += kBlock)
        h.engine.processEffects(kBlock, l.data() + i, r.data() + i);
}

// Equalizer stages appear as -1, -2, -3.
const std::vector<int> kShaperFirst = {kModFxShaper, kModFxPhaser, kModFxChorus, -1,
                                       kModFxCompressor, -2, kModFxDelay, kModFxRever, -3};
const std::vector<int> kPhaserFirst = {kModFxPhaser, kModFxShaper, kModFxChorus, -1,
                                       kModFxCompressor, -2, kModFxDelay, kModFxRever, -3};
const std::vector<int> kReverbEarly = {kModFxShaper, kModFxPhaser, kModFxChorus, -1,
                                       kModFxRever, kModFxCompressor, -2, kModFxDelay, -3};

TEST(EffectsChain, OrderFollowsThePhaserFirstAndReverbEarlySwitches) {
    struct Case {
        const char* what;
        std::initializer_list<Setting> settings;
        const std::vector<int>* expected;
        const std::vector<int>* other;
    };
    // A hard shaper and a deep phaser do not commute; neither do reverb and compressor.
    const std::initializer_list<Setting> shaperPhaser = {
        {"shp_mode", 2.0f / 999}, {"shp_drive", 0.9f}, {"shp_wet", 1.0f}, {"shp_hq", 0.0f},
        {"phs_wet", 1.0f},        {"phs_depth", 0.8f}, {"phs_fback", 0.9f}};
    const std::initializer_list<Setting> reverbCompressor = {
        {"rev_wet", 0.8f}, {"rev_decay", 0.8f}, {"x-comp", 1.0f}};
    const Case cases[] = {
        {"shaper first", shaperPhaser, &kShaperFirst, &kPhaserFirst},
        {"phaser first", shaperPhaser, &kPhaserFirst, &kShaperFirst},
        {"plate: reverb late", reverbCompressor, &kShaperFirst, &kReverbEarly},
        {"dmension: reverb early", reverbCompressor, &kReverbEarly, &kShaperFirst},
        {"aura: reverb early", reverbCompressor, &kReverbEarly, &kShaperFirst},
    };
    const float phaserFirst[] = {0.0f, 1.0f, 0.0f, 0.0f, 0.0f};
    const int reverbMode[] = {0, 0, 0, 5, 6};
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(cases[c].what);
        FxHarness chain, expected, other;
        for (FxHarness* h : {&chain, &expected, &other}) {
            apply(*h, cases[c].settings);
            h->set("phs_pre", phaserFirst[c]);
            h->option("rev_mode", reverbMode[c]);
        }
        std::vector<float> l = noisySine(kBlock * 24, 1), r = noisySine(kBlock * 24, 2);
        std::vector<float> el = l, er = r, ol = l, orr = r;
        runChain(chain, l, r);
        runInOrder(expected, *cases[c].expected, el, er);
        runInOrder(other, *cases[c].other, ol, orr);
        EXPECT_EQ(l, el);
        EXPECT_EQ(r, er);
        EXPECT_NE(l, ol); // the order is audible, so the check above means something
    }
}

TEST(EffectsChain, ANanBlockIsDroppedAndTheEffectsRecover) {
    FxHarness h;
    apply(h, {{"del_wet", 0.5f}, {"del_fback", 0.8f}, {"rev_wet", 0.5f}, {"chr_wet", 0.5f},
              {"phs_wet", 0.5f}, {"x-comp", 0.5f}, {"eq_power", 1.0f}});
    std::vector<float> l = noisySine(kBlock, 3), r = noisySine(kBlock, 4);
    h.engine.processEffects(kBlock, l.data(), r.data());

    std::vector<float> bad = noisySine(kBlock, 5), badR = bad;
    bad[17] = std::numeric_limits<float>::quiet_NaN();
    badR[3] = std::numeric_limits<float>::infinity();
    h.engine.processEffects(kBlock, bad.data(), badR.data());
    EXPECT_EQ(h.engine.nonFiniteBlocks(), 1u);
    for (int i = 0; i < kBlock; ++i) ASSERT_TRUE(std::isfinite(bad[i]) && std::isfinite(badR[i]));

    // The chain keeps sounding: later blocks are finite and carry the new input and echoes.
    double energy = 0;
    for (int b = 0; b < 40; ++b) {
        std::vector<float> x = noisySine(kBlock, 10 + b), y = x;
        h.engine.processEffects(kBlock, x.data(), y.data());
        for (int i = 0; i < kBlock; ++i) {
            ASSERT_TRUE(std::isfinite(x[i]) && std::isfinite(y[i])) << b;
            energy += x[i] * x[i];
        }
    }
    EXPECT_GT(energy, 1.0);
    EXPECT_EQ(h.engine.nonFiniteBlocks(), 1u);
}

TEST(EffectsChain, AnLfoModulatesAnEffectThroughTheGlobalVoice) {
    // The delay's mix is 0, so only the modulation can wake it: LFO1 (source 9) routed to
    // Del_DryWet (137) must render its global voice and open the mix.
    FxHarness plain, modulated;
    for (FxHarness* h : {&plain, &modulated}) {
        apply(*h, {{"del_wet", 0.0f}, {"del_fback", 0.5f}, {"del_sync", 0.0f},
                   {"del_timeL", 0.05f}, {"del_timeR", 0.05f}});
        h->engine.noteOn(0, 57, 100);
    }
    modulated.route(0, 9, 137, 1.0f);
    std::vector<float> al(kBlock), ar(kBlock), bl(kBlock), br(kBlock);
    double difference = 0;
    for (int b = 0; b < 60; ++b) {
        plain.engine.render(al.data(), ar.data(), kBlock);
        modulated.engine.render(bl.data(), br.data(), kBlock);
        for (int i = 0; i < kBlock; ++i) difference += std::fabs(al[i] - bl[i]);
    }
    EXPECT_GT(difference, 1.0);
}

// After the last sound the chain runs on for one bar at the host tempo plus 256 samples, then
// is no longer called; an echo keeps it running for as long as it is heard.
TEST(EffectsChain, TailRunsOneBarAfterTheLastSoundThenTheChainSleeps) {
    struct Case {
        double tempo;
        bool echo;
    };
    int quietReload = -1; // the last reload at 120 bpm without an echo
    for (const Case c : {Case{120.0, false}, Case{60.0, false}, Case{120.0, true}}) {
        SCOPED_TRACE(testing::Message() << c.tempo << (c.echo ? " bpm with echo" : " bpm"));
        FakeHost host;
        host.tempo = c.tempo;
        HostedPlugin p(host);
        p.start(44100.0f, kBlock);
        for (int i = 0; i < kNumParameters; ++i)
            p.setParameter(i, parameterDefs()[i].defaultValue);
        p.setParameter(findParameter("env1_rel"), 0.1f);
        if (c.echo) {
            p.setParameter(findParameter("del_wet"), 0.6f);
            p.setParameter(findParameter("del_fback"), 0.7f);
        }
        APlugin& engine = engineOf(p);
        const int tail = static_cast<int>(44100.0 * 240.0 / c.tempo + 256.0);

        p.sendMidi({noteOn(60, 100)});
        for (int b = 0; b < 20; ++b) p.process(kBlock);
        p.sendMidi({noteOff(60)});

        int lastReload = -1, lastRun = -1, block = 0, reloadedTo = -1;
        int countdown = engine.tailGate().countdown();
        bool ranWithSilentOutput = false;
        for (; block < 3000; ++block) {
            const unsigned long before = engine.effectsRuns();
            p.process(kBlock);
            const bool ran = engine.effectsRuns() > before;
            if (ran) lastRun = block;
            // Counting down takes exactly one block per block; anything else is a reload.
            const int now = engine.tailGate().countdown();
            if (ran && now != countdown - kBlock) {
                lastReload = block;
                reloadedTo = now;
            }
            countdown = now;
            if (!ran) {
                // Asleep: nothing reaches the output any more.
                for (int i = 0; i < kBlock; ++i) ASSERT_EQ(p.left()[i], 0.0f) << block;
            } else if (block > lastReload) {
                ranWithSilentOutput = true;
            }
            if (lastRun >= 0 && block - lastRun > 50) break;
        }
        ASSERT_GE(lastReload, 0);
        EXPECT_EQ(reloadedTo, tail);
        EXPECT_TRUE(ranWithSilentOutput);
        // The countdown after the last reload covers (tail - 1) / block further blocks.
        EXPECT_EQ(lastRun - lastReload, (tail - 1) / kBlock);
        if (c.tempo == 120.0 && !c.echo) quietReload = lastReload;
        if (c.echo) {
            EXPECT_GT(lastReload, quietReload + 40); // the echo held the chain awake
        }
    }
}

TEST(EffectsChain, EveryEffectOnRendersFinitelyWithoutAllocatingAtAnyRate) {
    for (float rate : {22050.0f, 48000.0f, 192000.0f}) {
        SCOPED_TRACE(rate);
        FakeHost host;
        HostedPlugin p(host);
        p.start(rate, 512);
        const Setting on[] = {{"shp_wet", 0.7f},  {"shp_hq", 1.0f},   {"shp_drive", 0.6f},
                              {"phs_wet", 0.5f},  {"chr_wet", 0.5f},  {"del_wet", 0.5f},
                              {"del_fback", 1.0f}, {"del_timeL", 1.0f}, {"del_sync", 0.0f},
                              {"rev_wet", 0.5f},  {"rev_decay", 1.0f}, {"x-comp", 1.0f},
                              {"eq_power", 1.0f}, {"soft", 1.0f},     {"rev_pretime", 1.0f}};
        for (const Setting& s : on) p.setParameter(findParameter(s.name), s.value);
        long allocations = 0;
        double peak = 0;
        for (int block = 0; block < 120; ++block) {
            if (block % 40 == 0) p.sendMidi({noteOn(48 + block / 40 * 7, 110)});
            if (block == 60) p.setParameter(findParameter("rev_mode"), (block / 20) / 999.0f);
            AllocationGuard guard;
            p.process(block % 3 == 0 ? 512 : 301);
            allocations += guard.count();
            for (int i = 0; i < 301; ++i) {
                ASSERT_TRUE(std::isfinite(p.left()[i]) && std::isfinite(p.right()[i])) << block;
                peak = std::max(peak, static_cast<double>(std::fabs(p.left()[i])));
            }
        }
        EXPECT_EQ(allocations, 0);
        EXPECT_GT(peak, 0.01);
        EXPECT_LE(peak, 2.0); // the master stage bounds the output (doubled at most)
    }
}

} // namespace
} // namespace kolva::test
