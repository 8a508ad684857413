// Option list texts and the code -> menu position maps of the modulation source and target
// lists. Lists that are plain number ranges or long name families are generated once.

#include "core/option_list.h"
#include "core/parameter_defs.h"
#include "core/parameter_table.h"
#include "util/number_text.h"

#include <array>
#include <string>
#include <vector>

namespace kolva {
namespace {

constexpr int kTargetCodes = 230;
constexpr int kSourceCodes = 33;

// Menu column break in the target list.
constexpr std::string_view kColumnBreak = "\t\t\t\t\t\t";

// Oscillator waves after the three basic shapes; the LFO forms reuse them.
constexpr std::string_view kWaveTail =
    "Para_1 Para_2 Para_3 Para_4 - Bass_1 Bass_2 Bass_3 Bass_4 - "
    "Piano_A1 Piano_A2 Piano_A3 Piano_A4 - Violin_1 Violin_2 Violin_3 - Oboe Sitar - "
    "Bayan_1 Bayan_2 - Guitar_1 Guitar_2 Guitar_3 - Organ_1 Organ_2 Organ_3 - "
    "Brass_1 Brass_2 - Vocal_1 Vocal_2 Vocal_3 Vocal_4 Vocal_5 Vocal_6 - "
    "Robo_1 Robo_2 Robo_3 - Synth_1 Synth_2 Synth_3 - Inter_1 Inter_2 - FM_1 FM_2 FM_3 - "
    "Alarm_1 Alarm_2 ";

constexpr const char* kSourceList =
    "off - Osc1 Osc2 Osc3 Osc4 - Env1 Env2 Env3 Env4 - LFO1 LFO2 LFO3 LFO4 - "
    "Velocity KeyFollow Random_Bipolar Random_Unipolar - "
    "PitchWheel ModWheel Aftertouch FootPedal Breath Expression Sustain - "
    "Stepper1 Stepper2 ArpStep - Mod1 Mod2 Mod3 Mod4 - Constant_10% Constant_50% ";

// Source words in code order (codes follow the editor's menus, not the list order).
constexpr const char* kSourceCodeOrder =
    "off Osc1 Osc2 Osc3 Osc4 Env1 Env2 Env3 Env4 LFO1 LFO2 LFO3 LFO4 Velocity KeyFollow "
    "Random_Bipolar PitchWheel ModWheel Aftertouch FootPedal Breath Expression Sustain "
    "Stepper1 Stepper2 ArpStep Mod1 Mod2 Mod3 Mod4 Random_Unipolar Constant_10% Constant_50% ";

struct TargetWord {
    std::string_view word;
    bool columnBreak;
};

// Effect, master and EQ targets: the same order in the list and in the codes 110-154.
constexpr std::array<TargetWord, 45> kEffectTargets = {{
    {"Shp_Drive", true},    {"Shp_Bit", false},      {"Shp_S.Rate", false},
    {"Shp_HiCut", false},   {"Shp_LowCut", false},   {"Shp_DryWet", false},
    {"Phs_Freq", false},    {"Phs_F.Back", false},   {"Phs_Spread", false},
    {"Phs_Rate", false},    {"Phs_Depth", false},    {"Phs_DryWet", false},
    {"Chr_Delay", true},    {"Chr_FBack", false},    {"Chr_Rate", false},
    {"Chr_Depth", false},   {"Chr_Wide", false},     {"Chr_HiCut", false},
    {"Chr_LowCut", false},  {"Chr_DryWet", false},   {"Del_DelayL", true},
    {"Del_DelayR", false},  {"Del_F.Back", false},   {"Del_Color", false},
    {"Del_Wide", false},    {"Del_Modulate", false}, {"Del_Rate", false},
    {"Del_DryWet", false},  {"Rev_Predelay", true},  {"Rev_Decay", false},
    {"Rev_Damp", false},    {"Rev_Color", false},    {"Rev_Wide", false},
    {"Rev_DryWet", false},  {"X-Comp", true},        {"Main_Volume", false},
    {"EQ_Low_Freq", true},  {"EQ_Low_Q", false},     {"EQ_Low_Level", false},
    {"EQ_Mid_Freq", false}, {"EQ_Mid_Q", false},     {"EQ_Mid_Level", false},
    {"EQ_Hi_Freq", false},  {"EQ_Hi_Q", false},      {"EQ_Hi_Level", false},
}};

constexpr std::array<std::string_view, 10> kOscCodeTargets = {
    "Pitch", "CtrlA", "CtrlB", "Phase", "WTMix", "Detune", "Density", "Wide", "Pan", "Send2FL"};
constexpr std::array<std::string_view, 8> kEnvTargets = {"Att", "Dec", "Sus",  "Slt",
                                                         "Sll", "Rel", "Amt1", "Amt2"};
constexpr std::array<std::string_view, 7> kLfoTargets = {"Rate", "Sym",  "Phase", "Form",
                                                         "Amp",  "Amt1", "Amt2"};

std::string join(std::string_view a, int n, std::string_view b = {}) {
    std::string s(a);
    s += formatInt(n);
    s += b;
    return s;
}

// "from".."to" as words; width 2 pads non-negative numbers with a leading zero.
std::string numberWords(int from, int to, int width) {
    std::string s;
    for (int i = from; i <= to; ++i) {
        if (width == 2 && i >= 0 && i < 10) s += '0';
        s += formatInt(i);
        s += ' ';
    }
    return s;
}

std::string buildTargetList() {
    std::string s;
    auto add = [&](std::string_view word, bool columnBreak = false) {
        if (columnBreak) s += kColumnBreak;
        s += word;
        s += ' ';
    };
    add("off");
    for (int n = 1; n <= 4; ++n)
        add(join("Osc", n, "_Amp"));
    add("AllOsc_Pitch");
    for (int n = 1; n <= 4; ++n) {
        const std::string osc = join("Osc", n, "_");
        add(osc + "Pitch", true);
        for (std::string_view w : {"CtrlA", "CtrlB", "Phase", "Wave", "WTMix", "Detune", "Density",
                                   "Wide", "Pan", "Send2FL"})
            add(osc + std::string(w));
    }
    add("Cutoff_1", true);
    for (std::string_view w : {"Reso_1", "Cutoff_2", "Reso_2", "Filt_Balance"})
        add(w);
    for (int n = 1; n <= 4; ++n)
        for (std::size_t i = 0; i < kEnvTargets.size(); ++i)
            add(join("Env", n, "_") + std::string(kEnvTargets[i]), i == 0);
    add("AllLFO_Rate", true);
    for (int n = 1; n <= 4; ++n)
        for (std::size_t i = 0; i < kLfoTargets.size(); ++i)
            add(join("LFO", n, "_") + std::string(kLfoTargets[i]), i == 0 && n > 1);
    for (const TargetWord& t : kEffectTargets)
        add(t.word, t.columnBreak);
    for (int s = 1; s <= 15; ++s)
        for (int k = 1; k <= 4; ++k)
            add(join(join("Slot", s, "_Amt"), k), k == 1 && s % 5 == 1);
    add("Gate", true);
    for (std::string_view w :
         {"Swing", "Stepp1_Rate", "Stepp2_Rate", "Mod1", "Mod2", "Mod3", "Mod4", "Glide"})
        add(w);
    s += kColumnBreak;
    return s;
}

// Target words (as shown) in code order.
std::vector<std::string> targetCodeWords() {
    std::vector<std::string> w;
    w.reserve(kTargetCodes);
    w.emplace_back("off");
    for (int n = 1; n <= 4; ++n)
        w.push_back(join("Osc", n, "_Amp"));
    for (int n = 1; n <= 4; ++n)
        for (std::string_view t : kOscCodeTargets)
            w.push_back(join("Osc", n, "_") + std::string(t));
    for (std::string_view t : {"Cutoff_1", "Reso_1", "Cutoff_2", "Reso_2", "Filt_Balance"})
        w.emplace_back(t);
    for (int n = 1; n <= 4; ++n)
        for (std::string_view t : kEnvTargets)
            w.push_back(join("Env", n, "_") + std::string(t));
    for (int n = 1; n <= 4; ++n)
        for (std::string_view t : kLfoTargets)
            w.push_back(join("LFO", n, "_") + std::string(t));
    for (const TargetWord& t : kEffectTargets)
        w.emplace_back(t.word);
    for (int s = 1; s <= 15; ++s)
        for (int k = 1; k <= 4; ++k)
            w.push_back(join(join("Slot", s, "_Amt"), k));
    for (std::string_view t :
         {"Gate", "Swing", "Mod1", "Mod2", "Mod3", "Mod4", "Glide", "Stepp1_Rate", "Stepp2_Rate"})
        w.emplace_back(t);
    for (int n = 1; n <= 4; ++n)
        w.push_back(join("Osc", n, "_Wave"));
    w.emplace_back("AllOsc_Pitch");
    w.emplace_back("AllLFO_Rate");
    return w;
}

// Generated list texts, built on first use and never changed afterwards.
struct GeneratedLists {
    std::string bend = numberWords(0, 36, 2);
    std::string note = numberWords(-11, 11, 1);
    std::string wave = "Sin Tri TriSine - " + std::string(kWaveTail);
    std::string target = buildTargetList();
    std::string lfoForm = "Sin Tri Sqr S&H S&G - TriSine - " + std::string(kWaveTail);
    std::string step = numberWords(1, 16, 2);
    std::string arpWrap = numberWords(1, 16, 2) + "no ";
    std::string arpNote = numberWords(-24, 24, 1);
    std::string pitchShift = numberWords(-64, 64, 1);
    std::string pitchFine = numberWords(-99, 99, 1);
};

const GeneratedLists& generated() {
    static const GeneratedLists lists;
    return lists;
}

// For every code, the position of its word in the menu list (-1 if the word is missing).
template <std::size_t N>
std::array<int, N> positionsOf(const std::vector<std::string>& codeWords, const char* list) {
    const std::vector<std::string> menu = optionWords(list);
    std::array<int, N> map{};
    map.fill(-1);
    for (std::size_t code = 0; code < N && code < codeWords.size(); ++code)
        for (std::size_t pos = 0; pos < menu.size(); ++pos)
            if (menu[pos] == codeWords[code]) map[code] = static_cast<int>(pos);
    return map;
}

} // namespace

const char* optionListText(OptionListId id) {
    using L = OptionListId;
    const GeneratedLists& g = generated();
    switch (id) {
    case L::None:
        return nullptr;
    case L::Mode:
        return "mono_1 mono_2 mono_3 mono_4 poly_1 poly_2 ";
    case L::Poly:
        return "1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 ";
    case L::Bend:
        return g.bend.c_str();
    case L::Switch:
        return "off on ";
    case L::EqBand:
        return "low mid hi ";
    case L::OscType:
        return "Classic Noise FM AMSync SawPwm HardFM Vowel ";
    case L::Octave:
        return "-4 -3 -2 -1 0 1 2 3 4 ";
    case L::Note:
        return g.note.c_str();
    case L::Wave:
        return g.wave.c_str();
    case L::Unison:
        return "1_Voice 2_Voices 3_Voices 4_Voices 5_Voices 6_Voices 7_Voices 8_Voices 9_Voices ";
    case L::UnisonChord:
        return "1_Octave 2_Octave 3_Octave Major3rd Minor3rd Major7th Dom7th Min-Maj7th "
               "Minor7th Minor9th Major9th Dom9th Half-Dim7th Dim7th Sus2 Sus4 Perfect5th "
               "Perfect4th ";
    case L::FilterType:
        return "off Perfecto Acido Infecto Scorpio Combo Shaper ";
    case L::FilterMode:
        return "LP4 BP4 HP4 Peak - - ";
    case L::Routing:
        return "serial parallel ";
    case L::CurveA:
        return "Lin Exp Pow ";
    case L::CurveB:
        return "Exp2 Pow Exp1 ";
    case L::Target:
        return g.target.c_str();
    case L::Time:
        return "16/1 8/1 4/1 2/1 1/1 3/4 2/3 1/2 3/8 1/3 1/4 3/16 1/6 1/8 3/32 1/12 1/16 3/64 "
               "1/24 1/32 1/64 ";
    case L::LfoForm:
        return g.lfoForm.c_str();
    case L::ShaperMode:
        return "soft warm hard clip tube1 tube2 tube3 fbtri fbsin flt+dcm dcm ";
    case L::PhaserStages:
        return "1_stage 2_stages 3_stages 4_stages 5_stages 6_stages vowelLow vowelMid vowelHi ";
    case L::ChorusMode:
        return "01 02 03 04 05 06 J8 ";
    case L::SyncTime:
        return "1/64 1/32 1/24 3/64 1/16 1/12 3/32 1/8 1/6 3/16 1/4 1/3 3/8 1/2 2/3 3/4 1/1 "
               "2/1 4/1 8/1 16/1 ";
    case L::ReverbMode:
        return "plate1 plate2 hall sparkles ambience dmension aura ";
    case L::Source:
        return kSourceList;
    case L::StepMode:
        return "free sync spos ";
    case L::Step:
        return g.step.c_str();
    case L::ArpMode:
        return "Up Down Up/Down Up/Down2 Down/Up Down/Up2 Random Ordered Step Chord ";
    case L::ArpOctave:
        return "01 02 03 04 ";
    case L::ArpVelocity:
        return "Key Hold Step Step+Key Step+Hold ";
    case L::ArpWrap:
        return g.arpWrap.c_str();
    case L::ArpNote:
        return g.arpNote.c_str();
    case L::PitchShift:
        return g.pitchShift.c_str();
    case L::PitchFine:
        return g.pitchFine.c_str();
    }
    return nullptr;
}

const int* targetCodePositions() {
    static const std::array<int, kTargetCodes> map =
        positionsOf<kTargetCodes>(targetCodeWords(), optionListText(OptionListId::Target));
    return map.data();
}

const int* sourceCodePositions() {
    static const std::array<int, kSourceCodes> map = positionsOf<kSourceCodes>(
        optionWords(kSourceCodeOrder), optionListText(OptionListId::Source));
    return map.data();
}

} // namespace kolva
