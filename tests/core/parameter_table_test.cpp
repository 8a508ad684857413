#include "core/option_list.h"
#include "core/parameter_table.h"
#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>

namespace kolva {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

int at(const char* name) {
    const int i = findParameter(name);
    EXPECT_GE(i, 0) << name;
    return std::max(i, 0);
}

TEST(ParameterTable, DefaultsAndEveryOptionSurviveDecoding) {
    const auto table = std::make_unique<ParameterTable>();
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& def = parameterDefs()[i];
        const bool thousandths = def.encoding == OptionEncoding::Thousandths;
        EXPECT_EQ(table->descriptor(i).value.load(), def.defaultValue) << def.name;
        for (int k = 0; k < def.optionCount; ++k) {
            // Option k is stored as k/999 or k/(count-1).
            const float v = k / (thousandths ? 999.0f : def.optionCount - 1.0f);
            int decoded = -1;
            ASSERT_EQ(ParameterTable::decode(def, v, &decoded), v) << def.name;
            ASSERT_EQ(decoded, k) << def.name;
        }
    }
}

TEST(ParameterTable, ConvertClampsDecodesAndMarksSmoothedParameters) {
    const auto table = std::make_unique<ParameterTable>();
    {
        test::AllocationGuard guard; // hosts automate from the audio thread
        for (int i = 0; i < kNumParameters; ++i)
            table->convertValue(i, 0.37f);
        EXPECT_EQ(guard.count(), 0);
    }
    for (auto [name, smoothed] : {std::pair{"volume", 1}, {"lfo1_sym", 1}, {"glide", 0}})
        EXPECT_EQ(table->descriptor(at(name)).changed.load(), smoothed) << name;

    // Thousandths use only [0, (count-1)/999] and keep in-range values unsnapped; plain lists
    // spread over the whole range.
    const std::tuple<const char*, float, float, int> cases[] = {
        {"mode", 1.0f, 5 / 999.0f, 5}, {"mode", 2.5f / 999, 2.5f / 999, 2},
        {"mode", -0.5f, 0.0f, 0},      {"osc1_uoct", kInf, 17 / 999.0f, 17},
        {"osc1_uoct", kNaN, 0.0f, 0},  {"osc1_note", 1.0f, 1.0f, 22},
        {"osc1_note", 0.5f, 0.5f, 11}, {"arp_on", 0.5f, 0.5f, 0},
        {"arp_on", 0.51f, 0.51f, 1},   {"glide", 1.5f, 1.0f, 0},
        {"glide", -kInf, 0.0f, 0},     {"glide", kNaN, 0.0f, 0},
    };
    for (auto [name, in, out, option] : cases) {
        EXPECT_EQ(table->convertValue(at(name), in), out) << name << " " << in;
        const ParameterDescriptor& d = table->descriptor(at(name));
        EXPECT_EQ(std::pair(d.value.load(), d.optionIndex.load()), std::pair(out, option)) << name;
    }
    EXPECT_EQ(table->convertValue(-1, 0.5f), 0.0f);
    EXPECT_EQ(table->convertValue(kNumParameters, 0.5f), 0.0f);
    table->resetToDefaults();
    EXPECT_EQ(table->descriptor(at("volume")).changed.load(), 0);
    EXPECT_FLOAT_EQ(table->descriptor(at("mode")).value.load(), 4 / 999.0f); // poly_1
}

TEST(ParameterTable, DisplayTexts) {
    // 0.0625 is exactly 62.5 thousandths: halves round away from zero.
    const std::tuple<const char*, float, const char*> cases[] = {
        {"glide", 0.0625f, "63"},     {"glide", 0.5625f, "563"},
        {"glide", 3.0f, "1000"},      {"glide", -1.0f, "0"},
        {"glide", kNaN, "0"},         {"osc1_type", 3 / 999.0f, "AMSync"},
        {"osc1_type", 1.0f, "Vowel"}, {"osc1_wave", 11 / 999.0f, "Piano_A1"},
        {"osc1_oct", 0.5f, "0"},      {"arp_note1", 0.0f, "-24"},
        {"arp_note1", 1.0f, "24"},    {"arp_on", 0.4f, "off"},
    };
    const auto table = std::make_unique<ParameterTable>();
    for (auto [name, value, text] : cases)
        EXPECT_EQ(table->displayText(at(name), value), text) << name << " " << value;
    EXPECT_EQ(table->displayText(-1, 0.5f), "");
    EXPECT_EQ(table->displayText(kNumParameters, 0.5f), "");
}

TEST(ParameterTable, ModulationCodesShowTheirMenuWords) {
    const auto table = std::make_unique<ParameterTable>();
    const auto sources = optionWords(
        "off Osc1 Osc2 Osc3 Osc4 Env1 Env2 Env3 Env4 LFO1 LFO2 LFO3 LFO4 Velocity KeyFollow "
        "Random_Bipolar PitchWheel ModWheel Aftertouch FootPedal Breath Expression Sustain "
        "Stepper1 Stepper2 ArpStep Mod1 Mod2 Mod3 Mod4 Random_Unipolar Constant_10% Constant_50% ");
    for (int code = 0; code < 33; ++code)
        EXPECT_EQ(table->displayText(at("slot4_Src2"), code / 999.0f), sources[code]) << code;

    const std::pair<int, const char*> targets[] = {
        {5, "Osc1_Pitch"},    {14, "Osc1_Send2FL"}, {44, "Osc4_Send2FL"}, {49, "Filt_Balance"},
        {81, "Env4_Amt2"},    {82, "LFO1_Rate"},    {110, "Shp_Drive"},   {154, "EQ_Hi_Level"},
        {155, "Slot1_Amt1"},  {216, "Swing"},       {222, "Stepp1_Rate"}, {224, "Osc1_Wave"},
        {228, "AllOsc_Pitch"}};
    for (const char* name : {"slot7_Trg3", "env2_target2", "lfo4_target1"})
        for (auto [code, word] : targets)
            EXPECT_EQ(table->displayText(at(name), code / 999.0f), word) << name << " " << code;
    // Every menu entry is reachable by exactly one code.
    std::set<std::string> shown;
    for (int code = 0; code < 230; ++code)
        shown.insert(table->displayText(at("slot7_Trg3"), code / 999.0f));
    EXPECT_EQ(shown.size(), 230u);
}

TEST(ParameterTable, FilterModeNamesFollowTheFilterType) {
    const auto table = std::make_unique<ParameterTable>();
    const int type1 = at("flt1_type"), mode1 = at("flt1_mode"), type2 = at("flt2_type");
    const std::tuple<int, int, const char*> cases[] = {
        {0, 0, "-"},        {1, 3, "Peak"},     {2, 0, "LP1"}, {3, 3, "Notch"},
        {4, 5, "BlackBP4"}, {5, 2, "Stereo_+"}, {6, 2, "-"},   {6, 1, "Foldback"}};
    for (auto [type, mode, word] : cases) {
        table->convertValue(type1, type / 999.0f);
        EXPECT_EQ(table->displayText(mode1, mode / 999.0f), word) << type;
    }
    // The swapped list stays on the descriptor; the second filter follows its own type.
    EXPECT_EQ(optionWord(table->descriptor(mode1).options.load(), 0), "Saturate");
    table->convertValue(type2, 2 / 999.0f);
    EXPECT_EQ(table->displayText(at("flt2_mode"), 0.0f), "LP1");
    EXPECT_EQ(table->displayText(mode1, 0.0f), "Saturate");
}

} // namespace
} // namespace kolva
