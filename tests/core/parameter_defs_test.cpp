#include "core/option_list.h"
#include "core/parameter_defs.h"
#include "core/parameter_table.h"
#include "engine/module_id.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva {
namespace {

using Receivers = std::vector<std::pair<int, int>>;

Receivers receiversOf(const ParameterDef& d) {
    Receivers r;
    for (int i = 0; i < d.receiverCount; ++i)
        r.emplace_back(d.receivers[i].module, d.receivers[i].slot);
    return r;
}

// Names, engine handling and module slots across the whole table.
TEST(ParameterDefs, EveryParameterIsNamedAndRoutedOnce) {
    // The specials, the six sends of every envelope and LFO (16 apart from 113) and the slots.
    const auto engine = [](int i) {
        return i == 0 || i == 8 || i == 257 || i == 279 || (i >= 720 && i <= 722) ||
               (i >= 113 && i <= 240 && (i - 113) % 16 >= 10) || (i >= 288 && i <= 437);
    };
    std::set<std::string> names;
    std::map<std::pair<int, int>, int> owner;
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& d = parameterDefs()[i];
        EXPECT_TRUE(!d.name.empty() && d.name.size() <= 35) << i << " " << d.name;
        EXPECT_TRUE(names.insert(d.name).second) << "duplicate " << d.name;
        EXPECT_EQ(findParameter(d.name), i) << d.name;
        EXPECT_EQ(d.engineHandled, engine(i)) << d.name;
        EXPECT_LE(d.receiverCount, 5) << d.name; // drift has the most
        for (const auto& slot : receiversOf(d)) {
            EXPECT_TRUE(slot.first >= 0 && slot.first < kNumModules && slot.second >= 0) << i;
            EXPECT_TRUE(owner.emplace(slot, i).second) << "slot fed twice, by " << d.name;
        }
    }
    for (const char* missing : {"", "OSC1_TYPE", "osc5_type", "slot16_Src1", "stp3_rate"})
        EXPECT_EQ(findParameter(missing), -1) << missing;
}

// A sample of every family: name, list, encoding, default as shown, smoothing, receivers.
TEST(ParameterDefs, FamiliesMatchTheParameterTable) {
    using enum OptionListId;
    constexpr auto C = OptionEncoding::None, T = OptionEncoding::Thousandths,
                   P = OptionEncoding::Plain;
    const int o1 = kModOsc1, e1 = kModEnv1, l1 = kModLfo1, s1 = kModStepper1, s2 = s1 + 1,
              mix = kModMixer, flt = kModFilter, arp = kModArp, del = kModFxDelay;
    const Receivers drift = {{kModMidi, 4}, {l1, 10}, {l1 + 1, 10}, {l1 + 2, 10}, {l1 + 3, 10}};
    using Row =
        std::tuple<int, const char*, OptionListId, OptionEncoding, const char*, float, Receivers>;
    const Row rows[] = {
        {0, "mode", Mode, T, "poly_1", 0, {{kModMidi, 0}}},
        {1, "poly", Poly, T, "4", 0, {{kModMidi, 1}}},
        {6, "drift", Switch, P, "on", 0, drift},
        {7, "x-comp", None, C, "0", 6, {{kModFxCompressor, 0}}},
        {25, "osc1_type", OscType, T, "Classic", 0, {{o1, 0}}},
        {46, "osc2_note", Note, P, "0", 6, {{o1 + 1, 2}}},
        {54, "osc2_uwid", None, C, "0", 0, {{o1 + 1, 13}}},
        {70, "osc3_wave", Wave, T, "Sin", 0, {{o1 + 2, 7}}},
        {100, "osc4_mixto", None, C, "0", 6, {{mix, 11}}},
        {105, "flt2_type", FilterType, T, "off", 0, {{flt, 6}}},
        {113, "env1_att", None, C, "5", 0, {{e1, 0}}},
        {136, "env2_dec_crv", CurveB, P, "Pow", 0, {{e1 + 1, 7}}},
        {153, "env3_slp_crv", CurveA, P, "Exp", 0, {{e1 + 2, 8}}},
        {155, "env3_target1", Target, T, "Cutoff_1", 0, {}},
        {156, "env3_amt1", None, C, "830", 0, {}},
        {216, "lfo3_form", LfoForm, T, "Tri", 0, {{l1 + 2, 7}}},
        {230, "lfo4_morph", None, C, "496", 3, {{l1 + 3, 5}}},
        {270, "del_stimeR", SyncTime, T, "1/32", 0, {{del, 5}}},
        {276, "del_modulate", None, C, "50", 6, {{del, 8}}},
        {285, "rev_decay", None, C, "636", 6, {{kModFxRever, 6}}},
        {288, "slot1_Src1", Source, T, "ModWheel", 0, {}},
        {437, "slot15_Trg4", Target, T, "off", 0, {}},
        {441, "osc4_mute", Switch, P, "off", 0, {{mix, 15}}},
        {609, "stp2_crvY16", None, C, "500", 0, {{s2, 63}}},
        {628, "stp2_mode", StepMode, T, "spos", 0, {{s2, 83}}},
        {649, "stp2_hold16", Switch, P, "off", 0, {{s2, 105}}},
        {652, "arp_speed", Time, T, "1/16", 0, {{s1, 82}, {s2, 82}, {arp, 50}}},
        {653, "arp_swing", None, C, "500", 0, {{s1, 89}, {s2, 89}, {arp, 51}}},
        {673, "arp_vel16", None, C, "780", 0, {{arp, 47}}},
        {705, "arp_note16", ArpNote, P, "0", 0, {{arp, 15}}},
        {709, "del_mute", Switch, P, "off", 0, {{del, 12}}},
        {716, "macro3", None, C, "0", 0, {{kModPerfomance, 2}}},
        {722, "anticlick", None, C, "1000", 0, {}},
    };
    const auto table = std::make_unique<ParameterTable>();
    for (const auto& [index, name, list, encoding, shown, smoothing, to] : rows) {
        ASSERT_EQ(findParameter(name), index) << name;
        const ParameterDef& d = parameterDefs()[index];
        EXPECT_EQ(d.list, list) << name;
        EXPECT_EQ(d.options, optionListText(list)) << name;
        EXPECT_EQ(d.encoding, encoding) << name;
        EXPECT_EQ(table->displayText(index, d.defaultValue), shown) << name;
        EXPECT_EQ(d.smoothing, smoothing) << name;
        EXPECT_EQ(receiversOf(d), to) << name;
    }
}

TEST(ParameterDefs, SoundParameterRanges) {
    for (int i : {-5, 4, 441, 522, 527, 545, 626, 631, 651, 653, 706, 724})
        EXPECT_TRUE(isSoundParameter(i)) << i;
    for (int i : {0, 3, 442, 521, 523, 526, 546, 625, 627, 630, 652, 654, 705})
        EXPECT_FALSE(isSoundParameter(i)) << i;
}

} // namespace
} // namespace kolva
