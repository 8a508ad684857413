#include "core/option_list.h"
#include "core/parameter_defs.h"
#include "engine/module_id.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kolva {
namespace {

using Receivers = std::vector<std::pair<int, int>>;

const ParameterDef& def(const char* name) {
    const int i = findParameter(name);
    EXPECT_GE(i, 0) << name;
    return parameterDefs()[i < 0 ? 0 : i];
}

Receivers receiversOf(const ParameterDef& d) {
    Receivers r;
    for (int i = 0; i < d.receiverCount; ++i)
        r.emplace_back(d.receivers[i].module, d.receivers[i].slot);
    return r;
}

TEST(ParameterDefs, NamesAreUniqueShortAndFindable) {
    std::set<std::string> seen;
    for (int i = 0; i < kNumParameters; ++i) {
        const std::string& name = parameterDefs()[i].name;
        EXPECT_FALSE(name.empty()) << i;
        EXPECT_LE(name.size(), 35u) << name;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name;
        EXPECT_EQ(findParameter(name), i) << name;
    }
    for (const char* missing : {"", "OSC1_TYPE", "osc5_type", "slot16_Src1", "stp3_rate"})
        EXPECT_EQ(findParameter(missing), -1) << missing;
}

TEST(ParameterDefs, FamiliesLandOnTheirIndices) {
    const std::pair<const char*, int> expected[] = {
        {"x-comp", 7},        {"eq_hi_lev", 20},     {"osc1_mixto", 43},    {"osc2_type", 44},
        {"osc4_mixto", 100},  {"flt_keytrack", 112}, {"env1_rel_crv", 122}, {"env4_vel2", 176},
        {"lfo1_fadein", 186}, {"lfo4_vel2", 240},    {"rev_wet", 287},      {"slot1_Amt1", 290},
        {"slot15_Trg4", 437}, {"osc4_mute", 441},    {"stp1_end1", 458},    {"stp1_rep16", 521},
        {"stp1_hold1", 530},  {"stp2_crvY16", 609},  {"stp2_loop", 633},    {"stp2_hold16", 649},
        {"arp_hold1", 674},   {"arp_note16", 705},   {"rev_mute", 710},     {"lfo_all_rt", 724},
    };
    for (auto [name, index] : expected)
        EXPECT_EQ(findParameter(name), index) << name;
}

TEST(ParameterDefs, KindsEncodingsAndSmoothing) {
    for (const ParameterDef& d : parameterDefs()) {
        if (d.encoding == OptionEncoding::None) {
            EXPECT_EQ(d.options, nullptr) << d.name;
            EXPECT_EQ(d.optionCount, 0) << d.name;
        } else {
            EXPECT_EQ(d.options, optionListText(d.list)) << d.name;
            EXPECT_EQ(d.optionCount, countOptions(d.options)) << d.name;
        }
    }
    using E = OptionEncoding;
    const std::pair<const char*, E> encodings[] = {
        {"osc3_oct", E::Plain},           {"osc3_wave", E::Thousandths}, {"env2_dec_crv", E::Plain},
        {"env2_target2", E::Thousandths}, {"stp2_stop", E::Thousandths}, {"arp_note3", E::Plain},
        {"pitch_fine", E::Plain},         {"slot9_Amt3", E::None}};
    for (auto [name, e] : encodings)
        EXPECT_EQ(def(name).encoding, e) << name;
    const std::pair<const char*, float> smoothing[] = {
        {"x-comp", 6},     {"velocity", 0},   {"osc2_note", 6},    {"osc2_fine", 0},
        {"osc2_udet", 0},  {"osc3_mixto", 6}, {"flt_keytrack", 0}, {"lfo1_sym", 3},
        {"lfo3_morph", 3}, {"lfo3_phase", 0}, {"del_stimeL", 0},   {"rev_pretime", 6}};
    for (auto [name, s] : smoothing)
        EXPECT_EQ(def(name).smoothing, s) << name;
}

// Position of a module in routing order: midi, perfomance, env, lfo, osc, mix, filter, effects,
// steppers, arpeggiator.
int routingRank(int m) {
    if (m == kModMidi || m == kModPerfomance) return m == kModMidi ? 0 : 1;
    if (m >= kModEnv1 && m < kModEnv1 + 4) return 10 + m;
    if (m >= kModLfo1 && m < kModLfo1 + 4) return 20 + m;
    if (m >= kModOsc1 && m <= kModFxEqualizer) return 30 + m;
    if (m == kModStepper1 || m == kModStepper1 + 1 || m == kModArp) return 60 + m;
    return -1;
}

TEST(ParameterDefs, ReceiversAreInRoutingOrderAndNeverShared) {
    std::map<std::pair<int, int>, int> owner;
    int most = 0;
    for (int i = 0; i < kNumParameters; ++i) {
        const Receivers r = receiversOf(parameterDefs()[i]);
        most = std::max(most, static_cast<int>(r.size()));
        for (std::size_t k = 0; k < r.size(); ++k) {
            EXPECT_GE(routingRank(r[k].first), 0) << i;
            EXPECT_GE(r[k].second, 0) << i;
            if (k > 0) {
                EXPECT_LE(routingRank(r[k - 1].first), routingRank(r[k].first)) << i;
            }
            EXPECT_TRUE(owner.emplace(r[k], i).second) << "slot fed twice, by " << i;
        }
    }
    EXPECT_EQ(most, 5);
}

TEST(ParameterDefs, SelectedRoutes) {
    const int s1 = kModStepper1, s2 = kModStepper1 + 1, lfo = kModLfo1;
    const std::pair<const char*, Receivers> expected[] = {
        {"mode", {{kModMidi, 0}}},
        {"drift", {{kModMidi, 4}, {lfo, 10}, {lfo + 1, 10}, {lfo + 2, 10}, {lfo + 3, 10}}},
        {"arp_speed", {{s1, 82}, {s2, 82}, {kModArp, 50}}},
        {"arp_swing", {{s1, 89}, {s2, 89}, {kModArp, 51}}},
        {"rev_mode", {{kModFxRever, 0}}},
        {"osc3_pan", {{kModMixer, 2}}},
        {"osc3_mixto", {{kModMixer, 10}}},
        {"osc2_uwid", {{kModOsc1 + 1, 13}}},
        {"osc2_uden", {{kModOsc1 + 1, 10}}},
        {"osc2_mute", {{kModMixer, 13}}},
        {"flt2_mode", {{kModFilter, 7}}},
        {"stp2_crvX3", {{s2, 34}}},
        {"stp2_mode", {{s2, 83}}},
        {"stp2_hold1", {{s2, 90}}},
        {"arp_hold2", {{kModArp, 17}}},
        {"macro3", {{kModPerfomance, 2}}},
        {"boost", {{kModFxEqualizer, 3}}},
        {"del_rate", {{kModFxDelay, 7}}},
        {"del_fback", {{kModFxDelay, 6}}},
        {"del_wide", {{kModFxDelay, 9}}},
        {"del_modulate", {{kModFxDelay, 8}}},
        {"phs_mute", {{kModFxPhaser, 7}}},
        {"del_mute", {{kModFxDelay, 12}}},
    };
    for (const auto& [name, r] : expected)
        EXPECT_EQ(receiversOf(def(name)), r) << name;
}

TEST(ParameterDefs, EngineHandledParameters) {
    // Besides the specials, the six sends of every envelope and LFO and the 15 slots.
    std::set<int> expected = {0, 8, 257, 279, 720, 721, 722};
    for (int first : {123, 139, 155, 171, 187, 203, 219, 235})
        for (int k = 0; k < 6; ++k)
            expected.insert(first + k);
    for (int i = 288; i <= 437; ++i)
        expected.insert(i);

    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& d = parameterDefs()[i];
        EXPECT_EQ(d.engineHandled, expected.count(i) == 1) << d.name;
        if (d.engineHandled && i != 0 && i != 279) {
            EXPECT_EQ(d.receiverCount, 0) << d.name;
        }
    }
    for (const char* unrouted : {"eq_band", "osc_all_pt", "lfo_all_rt"})
        EXPECT_EQ(def(unrouted).receiverCount, 0) << unrouted;
}

TEST(ParameterDefs, SoundParameterRanges) {
    for (int i : {-5, 4, 441, 522, 527, 545, 626, 631, 651, 653, 706, 724})
        EXPECT_TRUE(isSoundParameter(i)) << i;
    for (int i : {0, 3, 442, 521, 523, 526, 546, 625, 627, 630, 652, 654, 705})
        EXPECT_FALSE(isSoundParameter(i)) << i;
}

} // namespace
} // namespace kolva
