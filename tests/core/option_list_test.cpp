#include "core/option_list.h"
#include "core/parameter_defs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kolva {
namespace {

using Words = std::vector<std::string>;

Words wordsOf(OptionListId id) {
    return optionWords(optionListText(id));
}

TEST(OptionList, SeparatorsTabsAndRanges) {
    EXPECT_EQ(optionWords("LP4 BP4 HP4 Peak - - "), (Words{"LP4", "BP4", "HP4", "Peak", "-", "-"}));
    EXPECT_EQ(countOptions("- - - - - - "), 6);
    EXPECT_EQ(optionWords("- a - b - "), (Words{"a", "b"}));
    EXPECT_EQ(optionWords("a - - - b -x "), (Words{"a", "-", "-", "-", "b", "-x"}));
    // Tabs count with their word but are not shown; a closing tab run is no option.
    EXPECT_EQ(optionWords("a \t\t\tb \t- c \t\t"), (Words{"a", "b", "-", "c"}));
    EXPECT_EQ(countOptions(""), 0);
    EXPECT_EQ(optionWord("off - on ", 1), "on");
    EXPECT_EQ(optionWord("off on ", -1), "");
    EXPECT_EQ(optionWord("off on ", 2), "");
}

TEST(OptionList, EveryListHasItsDocumentedCount) {
    using L = OptionListId;
    const std::pair<L, int> expected[] = {
        {L::Mode, 6},         {L::Poly, 16},       {L::Bend, 37},        {L::Switch, 2},
        {L::EqBand, 3},       {L::OscType, 7},     {L::Octave, 9},       {L::Note, 23},
        {L::Wave, 49},        {L::Unison, 9},      {L::UnisonChord, 18}, {L::FilterType, 7},
        {L::FilterMode, 6},   {L::Routing, 2},     {L::CurveA, 3},       {L::CurveB, 3},
        {L::Target, 230},     {L::Time, 21},       {L::LfoForm, 52},     {L::ShaperMode, 11},
        {L::PhaserStages, 9}, {L::ChorusMode, 7},  {L::SyncTime, 21},    {L::ReverbMode, 7},
        {L::Source, 33},      {L::StepMode, 3},    {L::Step, 16},        {L::ArpMode, 10},
        {L::ArpOctave, 4},    {L::ArpVelocity, 5}, {L::ArpWrap, 17},     {L::ArpNote, 49},
        {L::PitchShift, 129}, {L::PitchFine, 199},
    };
    for (auto [id, count] : expected) {
        const std::string text = optionListText(id);
        EXPECT_EQ(countOptions(text), count) << text;
        EXPECT_EQ(text.find("  "), std::string::npos) << text;
    }
    EXPECT_EQ(optionListText(L::None), nullptr);
}

TEST(OptionList, GeneratedListWords) {
    using L = OptionListId;
    const Words bend = wordsOf(L::Bend), note = wordsOf(L::Note), wrap = wordsOf(L::ArpWrap);
    EXPECT_EQ(bend[0] + bend[9] + bend[36], "000936");
    EXPECT_EQ(note[0] + " " + note[11] + " " + note[22], "-11 0 11");
    EXPECT_EQ(wrap[0] + " " + wrap[15] + " " + wrap[16], "01 16 no");
    EXPECT_EQ(wordsOf(L::Step).back(), "16");
    EXPECT_EQ(wordsOf(L::ArpNote)[25], "1");
    EXPECT_EQ(wordsOf(L::PitchShift).front(), "-64");
    EXPECT_EQ(wordsOf(L::PitchFine).back(), "99");

    const Words wave = wordsOf(L::Wave), lfo = wordsOf(L::LfoForm);
    EXPECT_EQ(wave[3] + " " + wave[11] + " " + wave[48], "Para_1 Piano_A1 Alarm_2");
    EXPECT_EQ(lfo[4] + " " + lfo[5], "S&G TriSine");
    EXPECT_EQ(Words(lfo.begin() + 6, lfo.end()), Words(wave.begin() + 3, wave.end()));

    const Words source = wordsOf(L::Source);
    EXPECT_EQ(source[16] + " " + source[17] + " " + source[32],
              "Random_Unipolar PitchWheel Constant_50%");
}

TEST(OptionList, TargetListColumnsAndOrder) {
    const std::string text = optionListText(OptionListId::Target);
    const Words w = optionWords(text);
    const std::pair<int, const char*> at[] = {
        {5, "AllOsc_Pitch"}, {10, "Osc1_Wave"},  {16, "Osc1_Send2FL"}, {50, "Cutoff_1"},
        {87, "AllLFO_Rate"}, {116, "Shp_Drive"}, {161, "Slot1_Amt1"},  {229, "Glide"}};
    for (auto [i, word] : at)
        EXPECT_EQ(w[i], word);

    const std::string tabs(6, '\t');
    for (const char* col :
         {"Osc1_Pitch", "Osc4_Pitch", "Cutoff_1", "Env1_Att", "Env4_Att", "AllLFO_Rate",
          "LFO2_Rate", "LFO4_Rate", "Shp_Drive", "Chr_Delay", "Del_DelayL", "Rev_Predelay",
          "X-Comp", "EQ_Low_Freq", "Slot1_Amt1", "Slot6_Amt1", "Slot11_Amt1", "Gate"})
        EXPECT_NE(text.find(" " + tabs + col + " "), std::string::npos) << col;
    for (const char* plain : {"LFO1_Rate", "Phs_Freq", "Slot2_Amt1", "Main_Volume", "Osc1_CtrlA"})
        EXPECT_NE(text.find(std::string(" ") + plain + " "), std::string::npos) << plain;
    EXPECT_EQ(text.substr(text.size() - 12), "Glide " + tabs);
    EXPECT_EQ(text.find(" - "), std::string::npos);
}

} // namespace
} // namespace kolva
