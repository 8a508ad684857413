#include "core/option_list.h"
#include "core/parameter_defs.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace kolva {
namespace {

using Words = std::vector<std::string>;
using L = OptionListId;

TEST(OptionList, SeparatorsAndTabsAreNotShownAsOptions) {
    const std::pair<const char*, Words> cases[] = {
        {"LP4 BP4 HP4 Peak - - ", {"LP4", "BP4", "HP4", "Peak", "-", "-"}},
        {"- a - b - ", {"a", "b"}},
        {"a - - - b -x ", {"a", "-", "-", "-", "b", "-x"}},
        // Tabs belong to their word but are not shown; a closing tab run is no option.
        {"a \t\t\tb \t- c \t\t", {"a", "b", "-", "c"}},
        {"", {}},
    };
    for (const auto& [text, words] : cases) {
        EXPECT_EQ(optionWords(text), words) << text;
        EXPECT_EQ(countOptions(text), static_cast<int>(words.size())) << text;
        const int n = static_cast<int>(words.size());
        for (int k = -1; k <= n; ++k)
            EXPECT_EQ(optionWord(text, k), k < 0 || k == n ? "" : words[k]) << text << k;
    }
}

TEST(OptionList, EveryListHasItsDocumentedCountAndEnds) {
    using enum OptionListId;
    // clang-format off
    const std::tuple<L, int, const char*> lists[] = {
        {Mode, 6, "mono_1 poly_2"},               {Poly, 16, "1 16"},
        {Bend, 37, "00 36"},                      {Switch, 2, "off on"},
        {EqBand, 3, "low hi"},                    {OscType, 7, "Classic Vowel"},
        {Octave, 9, "-4 4"},                      {Note, 23, "-11 11"},
        {Wave, 49, "Sin Alarm_2"},                {Unison, 9, "1_Voice 9_Voices"},
        {UnisonChord, 18, "1_Octave Perfect4th"}, {FilterType, 7, "off Shaper"},
        {FilterMode, 6, "LP4 -"},                 {Routing, 2, "serial parallel"},
        {CurveA, 3, "Lin Pow"},                   {CurveB, 3, "Exp2 Exp1"},
        {Target, 230, "off Glide"},               {Time, 21, "16/1 1/64"},
        {LfoForm, 52, "Sin Alarm_2"},             {ShaperMode, 11, "soft dcm"},
        {PhaserStages, 9, "1_stage vowelHi"},     {ChorusMode, 7, "01 J8"},
        {SyncTime, 21, "1/64 16/1"},              {ReverbMode, 7, "plate1 aura"},
        {Source, 33, "off Constant_50%"},         {StepMode, 3, "free spos"},
        {Step, 16, "01 16"},                      {ArpMode, 10, "Up Chord"},
        {ArpOctave, 4, "01 04"},                  {ArpVelocity, 5, "Key Step+Hold"},
        {ArpWrap, 17, "01 no"},                   {ArpNote, 49, "-24 24"},
        {PitchShift, 129, "-64 64"},              {PitchFine, 199, "-99 99"},
    };
    // clang-format on
    for (auto [id, count, ends] : lists) {
        const std::string text = optionListText(id);
        EXPECT_EQ(countOptions(text), count) << text;
        EXPECT_EQ(optionWord(text, 0) + " " + optionWord(text, count - 1), ends);
        EXPECT_EQ(text.find("  "), std::string::npos) << text;
    }
    // The LFO forms are five shapes, then TriSine and the waves from Para_1 on.
    const Words wave = optionWords(optionListText(Wave));
    const Words lfo = optionWords(optionListText(LfoForm));
    EXPECT_EQ(Words(wave.begin(), wave.begin() + 3), (Words{"Sin", "Tri", "TriSine"}));
    EXPECT_EQ(Words(lfo.begin(), lfo.begin() + 6),
              (Words{"Sin", "Tri", "Sqr", "S&H", "S&G", "TriSine"}));
    EXPECT_EQ(Words(lfo.begin() + 6, lfo.end()), Words(wave.begin() + 3, wave.end()));
}

TEST(OptionList, ModulationListsFollowTheMenusWithColumnBreaks) {
    EXPECT_EQ(optionWord(optionListText(L::Source), 16), "Random_Unipolar");
    const std::string text = optionListText(L::Target);
    const std::pair<int, const char*> at[] = {
        {5, "AllOsc_Pitch"}, {10, "Osc1_Wave"}, {87, "AllLFO_Rate"}, {224, "Stepp2_Rate"}};
    for (auto [k, word] : at)
        EXPECT_EQ(optionWord(text, k), word) << k;
    const std::string tabs(6, '\t');
    for (const char* group :
         {"Osc1_Pitch", "Cutoff_1", "Env2_Att", "Shp_Drive", "Slot1_Amt1", "Gate"})
        EXPECT_NE(text.find(" " + tabs + group + " "), std::string::npos) << group;
    EXPECT_EQ(text.substr(text.size() - 12), "Glide " + tabs);
}

} // namespace
} // namespace kolva
