#include "core/option_list.h"
#include "core/parameter_table.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace kolva {
namespace {

class ParameterTableTest : public ::testing::Test {
protected:
    static int at(const char* name) {
        const int i = findParameter(name);
        EXPECT_GE(i, 0) << name;
        return std::max(i, 0);
    }
    // Stored value of option k, as the editor and preset files write it.
    float encoded(int index, int k) const {
        const ParameterDescriptor& d = table->descriptor(index);
        return d.thousandths == 1000 ? k / 999.0f : k / static_cast<float>(d.optionCount - 1);
    }
    std::string show(const char* name, float v) { return table->displayText(at(name), v); }
    std::string showDefault(const char* name) {
        return show(name, table->descriptor(at(name)).value.load());
    }
    int option(const char* name) { return table->descriptor(at(name)).optionIndex.load(); }

    std::unique_ptr<ParameterTable> table = std::make_unique<ParameterTable>();
};

TEST_F(ParameterTableTest, DescriptorsStartAtTheirDefaults) {
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDescriptor& d = table->descriptor(i);
        const ParameterDef& def = parameterDefs()[i];
        EXPECT_EQ(d.options.load(), def.options);
        EXPECT_EQ(d.thousandths, def.encoding == OptionEncoding::Thousandths ? 1000u : 0u);
        EXPECT_EQ(d.value.load(), def.defaultValue) << def.name;
        EXPECT_EQ(d.changed.load(), 0) << def.name;
    }
    const std::pair<const char*, const char*> expected[] = {
        {"mode", "poly_1"},           {"poly", "4"},           {"bend_dn", "02"},
        {"glide_log", "on"},          {"osc2_note", "0"},      {"osc2_ucnt", "1_Voice"},
        {"flt1_type", "Perfecto"},    {"flt2_type", "off"},    {"env1_dec_crv", "Exp1"},
        {"env2_dec_crv", "Pow"},      {"env3_slp_crv", "Exp"}, {"env4_slp_crv", "Lin"},
        {"env3_target1", "Cutoff_1"}, {"lfo1_time", "8/1"},    {"lfo3_form", "Tri"},
        {"lfo4_form", "Sin"},         {"shp_mode", "warm"},    {"phs_stages", "4_stages"},
        {"chr_mode", "J8"},           {"del_stimeR", "1/32"},  {"slot1_Src1", "ModWheel"},
        {"slot2_Src1", "off"},        {"stp2_mode", "spos"},   {"stp2_stop", "16"},
        {"stp2_rtrg", "on"},          {"arp_speed", "1/16"},   {"arp_wrap", "no"},
        {"arp_note7", "0"},           {"pitch_fine", "0"},     {"soft", "off"},
        {"mix_osc1", "500"},          {"env1_att", "5"},       {"env3_amt1", "830"},
        {"lfo4_morph", "496"},        {"rev_decay", "636"},    {"arp_vel16", "780"},
    };
    for (auto [name, text] : expected)
        EXPECT_EQ(showDefault(name), text) << name;
}

TEST_F(ParameterTableTest, ConvertClampsAndDecodes) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Thousandths use only [0, (count-1)/999]; in range the value is kept, not snapped.
    EXPECT_FLOAT_EQ(table->convertValue(at("mode"), 1.0f), 5.0f / 999.0f);
    EXPECT_EQ(option("mode"), 5);
    EXPECT_EQ(table->convertValue(at("mode"), 2.5f / 999.0f), 2.5f / 999.0f);
    EXPECT_EQ(option("mode"), 2);
    EXPECT_FLOAT_EQ(table->convertValue(at("osc1_uoct"), inf), 17.0f / 999.0f);
    EXPECT_EQ(table->convertValue(at("osc1_uoct"), nan), 0.0f);
    EXPECT_EQ(option("osc1_uoct"), 0);
    // Plain lists spread over the whole range.
    EXPECT_EQ(table->convertValue(at("osc1_note"), 1.0f), 1.0f);
    EXPECT_EQ(option("osc1_note"), 22);
    table->convertValue(at("arp_on"), 0.51f);
    EXPECT_EQ(option("arp_on"), 1);
    // Continuous values.
    EXPECT_EQ(table->convertValue(at("glide"), 1.5f), 1.0f);
    EXPECT_EQ(table->convertValue(at("glide"), -inf), 0.0f);
    EXPECT_EQ(table->convertValue(at("glide"), nan), 0.0f);
    EXPECT_EQ(table->convertValue(-1, 0.5f), 0.0f);
    EXPECT_EQ(table->convertValue(kNumParameters, 0.5f), 0.0f);
}

TEST_F(ParameterTableTest, EveryOptionRoundTripsAndDecodeAgreesWithConvert) {
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& def = parameterDefs()[i];
        for (int k = 0; k < def.optionCount; ++k) {
            int decoded = -1;
            ParameterTable::decode(def, encoded(i, k), &decoded);
            ASSERT_EQ(decoded, k) << def.name;
        }
        for (float v : {0.0f, 0.013f, 0.2f, 0.77f, 1.0f, 2.0f, -1.0f}) {
            int k = -1;
            const float expected = ParameterTable::decode(def, v, &k);
            EXPECT_EQ(table->convertValue(i, v), expected) << def.name;
            EXPECT_EQ(table->descriptor(i).optionIndex.load(), k) << def.name;
            if (def.optionCount > 0) {
                EXPECT_LT(k, def.optionCount) << def.name;
            }
        }
    }
}

TEST_F(ParameterTableTest, ConvertDoesNotAllocate) {
    test::AllocationGuard guard;
    for (int i = 0; i < kNumParameters; ++i)
        table->convertValue(i, 0.37f);
    EXPECT_EQ(guard.count(), 0);
}

TEST_F(ParameterTableTest, OnlySmoothedParametersAreMarkedChanged) {
    for (const char* name : {"volume", "lfo1_sym", "glide"})
        table->convertValue(at(name), 0.3f);
    EXPECT_EQ(table->descriptor(at("volume")).changed.load(), 1);
    EXPECT_EQ(table->descriptor(at("lfo1_sym")).changed.load(), 1);
    EXPECT_EQ(table->descriptor(at("glide")).changed.load(), 0);
    table->resetToDefaults();
    EXPECT_EQ(table->descriptor(at("volume")).changed.load(), 0);
    EXPECT_EQ(table->descriptor(at("volume")).value.load(), 0.5f);
}

TEST_F(ParameterTableTest, DisplayTexts) {
    EXPECT_EQ(show("glide", 0.0625f), "63"); // exactly 62.5: half away from zero
    EXPECT_EQ(show("glide", 0.5625f), "563");
    EXPECT_EQ(show("glide", 3.0f), "1000");
    EXPECT_EQ(show("glide", -1.0f), "0");
    EXPECT_EQ(show("glide", std::numeric_limits<float>::quiet_NaN()), "0");
    EXPECT_EQ(show("osc1_type", 3 / 999.0f), "AMSync");
    EXPECT_EQ(show("osc1_type", 1.0f), "Vowel");
    EXPECT_EQ(show("osc1_wave", 3 / 999.0f), "Para_1");
    EXPECT_EQ(show("arp_note1", 0.0f), "-24");
    EXPECT_EQ(show("arp_on", 0.4f), "off");
    EXPECT_EQ(table->displayText(-1, 0.5f), "");
    EXPECT_EQ(table->displayText(kNumParameters, 0.5f), "");
    const int map[] = {2, 0, 1};
    const char* abc = "a b c d e ";
    EXPECT_EQ(formatDisplayText(abc, OptionEncoding::Thousandths, 5, 0.0f, map, 3), "c");
    EXPECT_EQ(formatDisplayText(abc, OptionEncoding::Thousandths, 5, 4 / 999.0f, map, 3), "e");
    EXPECT_EQ(formatDisplayText(abc, OptionEncoding::Plain, 5, 0.5f, nullptr, 0), "c");
}

TEST_F(ParameterTableTest, ModulationCodesShowTheirMenuWords) {
    const std::pair<int, const char*> sources[] = {
        {4, "Osc4"},  {15, "Random_Bipolar"},  {16, "PitchWheel"},  {25, "ArpStep"},
        {26, "Mod1"}, {30, "Random_Unipolar"}, {31, "Constant_10%"}};
    for (auto [code, word] : sources)
        EXPECT_EQ(show("slot4_Src2", code / 999.0f), word);

    const std::pair<int, const char*> targets[] = {
        {5, "Osc1_Pitch"},    {9, "Osc1_WTMix"},    {14, "Osc1_Send2FL"}, {15, "Osc2_Pitch"},
        {49, "Filt_Balance"}, {81, "Env4_Amt2"},    {82, "LFO1_Rate"},    {109, "LFO4_Amt2"},
        {110, "Shp_Drive"},   {145, "Main_Volume"}, {154, "EQ_Hi_Level"}, {155, "Slot1_Amt1"},
        {214, "Slot15_Amt4"}, {216, "Swing"},       {217, "Mod1"},        {221, "Glide"},
        {222, "Stepp1_Rate"}, {224, "Osc1_Wave"},   {227, "Osc4_Wave"},   {228, "AllOsc_Pitch"},
        {229, "AllLFO_Rate"}};
    for (const char* name : {"slot7_Trg3", "env2_target2", "lfo4_target1"})
        for (auto [code, word] : targets)
            EXPECT_EQ(show(name, code / 999.0f), word) << code;

    const std::pair<const int*, int> maps[] = {{targetCodePositions(), 230},
                                               {sourceCodePositions(), 33}};
    for (auto [map, n] : maps) {
        std::vector<int> positions(map, map + n);
        std::sort(positions.begin(), positions.end());
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(positions[i], i) << "not a permutation, size " << n;
    }
}

TEST_F(ParameterTableTest, FilterModeNamesFollowTheFilterType) {
    const int type1 = at("flt1_type"), mode1 = at("flt1_mode"), type2 = at("flt2_type");
    struct Case {
        int type, mode;
        const char* word;
    };
    const Case cases[] = {{0, 0, "-"},     {1, 3, "Peak"},     {2, 0, "LP1"},
                          {3, 3, "Notch"}, {4, 5, "BlackBP4"}, {5, 2, "Stereo_+"},
                          {6, 2, "-"},     {6, 1, "Foldback"}};
    for (const Case& c : cases) {
        table->convertValue(type1, encoded(type1, c.type));
        EXPECT_EQ(table->displayText(mode1, encoded(mode1, c.mode)), c.word) << c.type;
    }
    // The swapped list stays on the descriptor; the second filter follows its own type.
    EXPECT_EQ(optionWord(table->descriptor(mode1).options.load(), 0), "Saturate");
    table->convertValue(type2, encoded(type2, 2));
    EXPECT_EQ(show("flt2_mode", 0.0f), "LP1");
    EXPECT_EQ(show("flt1_mode", 0.0f), "Saturate");
}

} // namespace
} // namespace kolva
