// The 725 parameter definitions, built from per-family rules so that the repeated families
// (oscillators, envelopes, LFOs, modulation slots, step sequencers, arpeggiator steps) are
// written once. Receivers are listed in routing order: midi, perfomance, env1-4, lfo1-4,
// osc1-4, mix, filter, the effects, stepper1, stepper2, arp1.

#include "core/parameter_defs.h"

#include "core/option_list.h"
#include "engine/module_id.h"
#include "util/number_text.h"

#include <cstdlib>
#include <string>
#include <unordered_map>
#include <vector>

namespace kolva {
namespace {

using Defs = std::array<ParameterDef, kNumParameters>;
using L = OptionListId;
constexpr OptionEncoding T = OptionEncoding::Thousandths;
constexpr OptionEncoding P = OptionEncoding::Plain;

std::string join(std::string_view a, int n, std::string_view b = {}) {
    std::string s(a);
    s += formatInt(n);
    s += b;
    return s;
}

// Fluent access to one definition while the table is being filled.
struct Entry {
    ParameterDef& def;

    Entry& to(int module, int slot) {
        if (def.receiverCount >= def.receivers.size()) std::abort(); // table error
        def.receivers[def.receiverCount++] = {static_cast<std::int16_t>(module),
                                              static_cast<std::int16_t>(slot)};
        return *this;
    }
    Entry& engine() {
        def.engineHandled = true;
        return *this;
    }
};

class TableBuilder {
public:
    explicit TableBuilder(Defs& defs) : defs_(defs) {}

    Entry continuous(int index, std::string name, float value, float smoothing = 0.0f) {
        ParameterDef& d = start(index, std::move(name), smoothing);
        d.defaultValue = value;
        return {d};
    }

    // Enumerated, default given as the option word.
    Entry option(int index, std::string name, OptionListId list, OptionEncoding encoding,
                 std::string_view defaultWord, float smoothing = 0.0f) {
        const std::vector<std::string> words = optionWords(optionListText(list));
        int k = -1;
        for (std::size_t i = 0; i < words.size(); ++i)
            if (words[i] == defaultWord) k = static_cast<int>(i);
        if (k < 0) std::abort(); // a default that is not one of the list's words
        return enumerated(index, std::move(name), list, encoding, k, smoothing);
    }

    // Enumerated, default given as the stored option number (modulation codes).
    Entry enumerated(int index, std::string name, OptionListId list, OptionEncoding encoding, int k,
                     float smoothing = 0.0f) {
        ParameterDef& d = start(index, std::move(name), smoothing);
        d.list = list;
        d.options = optionListText(list);
        d.encoding = encoding;
        d.optionCount = countOptions(d.options);
        d.defaultValue = encoding == T
                             ? static_cast<float>(k) / 999.0f
                             : static_cast<float>(k) / static_cast<float>(d.optionCount - 1);
        return {d};
    }

private:
    ParameterDef& start(int index, std::string name, float smoothing) {
        ParameterDef& d = defs_[static_cast<std::size_t>(index)];
        if (!d.name.empty()) std::abort(); // an index defined twice
        d.name = std::move(name);
        d.smoothing = smoothing;
        return d;
    }

    Defs& defs_;
};

// Target/amount/velocity pairs of an envelope or LFO; the matrix handles them.
void modulationSends(TableBuilder& b, int base, const std::string& prefix, int target1,
                     float amount1) {
    b.enumerated(base, prefix + "target1", L::Target, T, target1).engine();
    b.continuous(base + 1, prefix + "amt1", amount1).engine();
    b.continuous(base + 2, prefix + "vel1", 0.5f).engine();
    b.enumerated(base + 3, prefix + "target2", L::Target, T, 0).engine();
    b.continuous(base + 4, prefix + "amt2", 0.5f).engine();
    b.continuous(base + 5, prefix + "vel2", 0.5f).engine();
}

void addVoiceAndMaster(TableBuilder& b) {
    b.option(0, "mode", L::Mode, T, "poly_1").engine().to(kModMidi, 0);
    b.option(1, "poly", L::Poly, T, "4").to(kModMidi, 1);
    b.option(2, "bend_up", L::Bend, T, "02").to(kModMidi, 5);
    b.option(3, "bend_dn", L::Bend, T, "02").to(kModMidi, 6);
    b.option(4, "glide_log", L::Switch, P, "on").to(kModMidi, 2);
    b.continuous(5, "glide", 0.0f).to(kModMidi, 3);
    Entry drift = b.option(6, "drift", L::Switch, P, "on").to(kModMidi, 4);
    for (int n = 0; n < 4; ++n)
        drift.to(kModLfo1 + n, 10);
    b.continuous(7, "x-comp", 0.0f, 6).to(kModFxCompressor, 0);
    b.continuous(8, "velocity", 0.5f).engine();
    b.continuous(9, "volume", 0.5f, 6).to(kModFxEqualizer, 13);
    b.option(10, "eq_band", L::EqBand, P, "low"); // editor page only
    b.option(11, "eq_power", L::Switch, P, "off").to(kModFxEqualizer, 0);

    static constexpr const char* kEqNames[9] = {"eq_low_frq", "eq_low_Q", "eq_low_lev",
                                                "eq_mid_frq", "eq_mid_Q", "eq_mid_lev",
                                                "eq_hi_frq",  "eq_hi_Q",  "eq_hi_lev"};
    static constexpr float kEqDefaults[9] = {0.2f, 0.54f, 0.5f, 0.5f, 0.45f,
                                             0.5f, 0.53f, 0.4f, 0.5f};
    for (int i = 0; i < 9; ++i)
        b.continuous(12 + i, kEqNames[i], kEqDefaults[i], 6).to(kModFxEqualizer, 4 + i);

    for (int n = 1; n <= 4; ++n)
        b.continuous(20 + n, join("mix_osc", n), n == 1 ? 0.5f : 0.0f, 6).to(kModMixer, 3 + n);
}

void addOscillators(TableBuilder& b) {
    for (int n = 1; n <= 4; ++n) {
        const int i = 25 + 19 * (n - 1);
        const int osc = kModOsc1 + n - 1;
        const std::string p = join("osc", n, "_");
        b.option(i, p + "type", L::OscType, T, "Classic").to(osc, 0);
        b.option(i + 1, p + "oct", L::Octave, P, "0").to(osc, 1);
        b.option(i + 2, p + "note", L::Note, P, "0", 6).to(osc, 2);
        b.continuous(i + 3, p + "fine", 0.5f).to(osc, 3);
        b.continuous(i + 4, p + "ctrlA", 0.0f, 6).to(osc, 4);
        b.continuous(i + 5, p + "ctrlB", 0.5f, 6).to(osc, 5);
        b.continuous(i + 6, p + "phase", 0.0f).to(osc, 6);
        b.option(i + 7, p + "wave", L::Wave, T, "Sin").to(osc, 7);
        b.continuous(i + 8, p + "wtmix", 0.0f, 6).to(osc, 8);
        b.continuous(i + 9, p + "udet", 0.5f).to(osc, 9);
        b.continuous(i + 10, p + "uwid", 0.0f).to(osc, 13);
        b.option(i + 11, p + "ucnt", L::Unison, T, "1_Voice").to(osc, 11);
        b.option(i + 12, p + "uoct", L::UnisonChord, T, "1_Octave").to(osc, 12);
        b.continuous(i + 13, p + "uden", 0.5f).to(osc, 10);
        b.continuous(i + 14, p + "pan", 0.5f, 6).to(kModMixer, n - 1);
        b.option(i + 15, p + "ana", L::Switch, P, "on").to(osc, 14);
        b.option(i + 16, p + "inv", L::Switch, P, "off").to(osc, 15);
        b.option(i + 17, p + "key", L::Switch, P, "on").to(osc, 16);
        b.continuous(i + 18, p + "mixto", 0.0f, 6).to(kModMixer, 7 + n);
    }
}

void addFilters(TableBuilder& b) {
    b.option(101, "flt1_type", L::FilterType, T, "Perfecto").to(kModFilter, 2);
    b.option(102, "flt1_mode", L::FilterMode, T, "LP4").to(kModFilter, 3);
    b.continuous(103, "flt1_cut", 1.0f, 6).to(kModFilter, 4);
    b.continuous(104, "flt1_res", 0.0f, 6).to(kModFilter, 5);
    b.option(105, "flt2_type", L::FilterType, T, "off").to(kModFilter, 6);
    b.option(106, "flt2_mode", L::FilterMode, T, "LP4").to(kModFilter, 7);
    b.continuous(107, "flt2_cut", 0.5f, 6).to(kModFilter, 8);
    b.continuous(108, "flt2_res", 0.0f, 6).to(kModFilter, 9);
    b.option(109, "flt_rout", L::Routing, P, "serial").to(kModFilter, 0);
    b.option(110, "flt_link", L::Switch, P, "off").to(kModFilter, 1);
    b.continuous(111, "flt_balance", 1.0f, 6).to(kModFilter, 11);
    b.continuous(112, "flt_keytrack", 0.5f).to(kModFilter, 10);
}

void addEnvelopes(TableBuilder& b) {
    static constexpr const char* kStages[6] = {"att", "dec", "sus", "slt", "sll", "rel"};
    static constexpr float kStageDefaults[4][6] = {
        {0.005f, 0.0f, 1.0f, 0.0f, 0.0f, 0.07f},
        {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.07f},
        {0.0f, 0.5f, 0.0f, 0.0f, 0.0f, 0.5f},
        {0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.07f},
    };
    constexpr int kCutoff1 = 45; // target code of the first filter's cutoff
    for (int n = 1; n <= 4; ++n) {
        const int i = 113 + 16 * (n - 1);
        const int env = kModEnv1 + n - 1;
        const std::string p = join("env", n, "_");
        for (int s = 0; s < 6; ++s)
            b.continuous(i + s, p + kStages[s], kStageDefaults[n - 1][s]).to(env, s);
        b.option(i + 6, p + "att_crv", L::CurveA, P, "Lin").to(env, 6);
        b.option(i + 7, p + "dec_crv", L::CurveB, P, n % 2 == 1 ? "Exp1" : "Pow").to(env, 7);
        b.option(i + 8, p + "slp_crv", L::CurveA, P, n == 3 ? "Exp" : "Lin").to(env, 8);
        b.option(i + 9, p + "rel_crv", L::CurveB, P, "Exp2").to(env, 9);
        modulationSends(b, i + 10, p, n == 3 ? kCutoff1 : 0, n == 3 ? 0.83f : 0.5f);
    }
}

void addLfos(TableBuilder& b) {
    for (int n = 1; n <= 4; ++n) {
        const int i = 177 + 16 * (n - 1);
        const int lfo = kModLfo1 + n - 1;
        const std::string p = join("lfo", n, "_");
        b.continuous(i, p + "rate", 0.74f).to(lfo, 0);
        b.option(i + 1, p + "time", L::Time, T, "8/1").to(lfo, 1);
        b.continuous(i + 2, p + "sym", 0.5f, 3).to(lfo, 2);
        b.option(i + 3, p + "sync", L::Switch, P, "off").to(lfo, 3);
        b.option(i + 4, p + "mono", L::Switch, P, "off").to(lfo, 4);
        b.continuous(i + 5, p + "morph", n == 4 ? 0.4963f : 0.5f, 3).to(lfo, 5);
        b.continuous(i + 6, p + "phase", 0.0f).to(lfo, 6);
        b.option(i + 7, p + "form", L::LfoForm, T, n % 2 == 1 ? "Tri" : "Sin").to(lfo, 7);
        b.continuous(i + 8, p + "amp", 0.5f).to(lfo, 8);
        b.continuous(i + 9, p + "fadein", 0.0f).to(lfo, 9);
        modulationSends(b, i + 10, p, 0, 0.5f);
    }
}

// Consecutive continuous parameters feeding consecutive slots of one module.
void continuousRun(TableBuilder& b, int first, std::initializer_list<const char*> names,
                   std::initializer_list<float> defaults, int module,
                   std::initializer_list<int> slots) {
    auto name = names.begin();
    auto value = defaults.begin();
    auto slot = slots.begin();
    for (int i = first; name != names.end(); ++i, ++name, ++value, ++slot)
        b.continuous(i, *name, *value, 6).to(module, *slot);
}

void addEffects(TableBuilder& b) {
    b.option(241, "shp_mode", L::ShaperMode, T, "warm").to(kModFxShaper, 0);
    b.option(242, "shp_band", L::Switch, P, "off").to(kModFxShaper, 1);
    continuousRun(b, 243, {"shp_drive", "shp_bit", "shp_sr", "shp_hicut", "shp_lowcut", "shp_wet"},
                  {0, 1, 1, 1, 0, 0}, kModFxShaper, {3, 4, 5, 6, 7, 8});
    b.option(249, "shp_hq", L::Switch, P, "on").to(kModFxShaper, 2);

    b.option(250, "phs_stages", L::PhaserStages, T, "4_stages").to(kModFxPhaser, 0);
    continuousRun(b, 251,
                  {"phs_freq", "phs_fback", "phs_spread", "phs_rate", "phs_depth", "phs_wet"},
                  {0, 0.55f, 0.5f, 0.1f, 0.9f, 0}, kModFxPhaser, {1, 2, 3, 4, 5, 6});
    b.option(257, "phs_pre", L::Switch, P, "off").engine(); // phaser before shaper

    b.continuous(258, "chr_delay", 0.5f, 6).to(kModFxChorus, 1);
    b.option(259, "chr_mode", L::ChorusMode, T, "J8").to(kModFxChorus, 0);
    continuousRun(
        b, 260,
        {"chr_fback", "chr_rate", "chr_depth", "chr_wide", "chr_hicut", "chr_lowcut", "chr_wet"},
        {0.4f, 0.5f, 0.5f, 1, 1, 0.35f, 0}, kModFxChorus, {2, 3, 4, 5, 6, 7, 8});

    b.continuous(267, "del_timeL", 0.4f, 6).to(kModFxDelay, 2);
    b.continuous(268, "del_timeR", 0.5f, 6).to(kModFxDelay, 3);
    b.option(269, "del_stimeL", L::SyncTime, T, "1/8").to(kModFxDelay, 4);
    b.option(270, "del_stimeR", L::SyncTime, T, "1/32").to(kModFxDelay, 5);
    b.option(271, "del_pingpong", L::Switch, P, "on").to(kModFxDelay, 0);
    b.option(272, "del_sync", L::Switch, P, "on").to(kModFxDelay, 1);
    continuousRun(b, 273,
                  {"del_rate", "del_fback", "del_wide", "del_modulate", "del_color", "del_wet"},
                  {0.2f, 0.5f, 0, 0.05f, 0.5f, 0}, kModFxDelay, {7, 6, 9, 8, 10, 11});

    // The reverb mode also decides whether the reverb runs before the compressor.
    b.option(279, "rev_mode", L::ReverbMode, T, "plate1").engine().to(kModFxRever, 0);
    b.option(280, "rev_sync", L::Switch, P, "off").to(kModFxRever, 1);
    b.continuous(281, "rev_pretime", 0.0f, 6).to(kModFxRever, 3);
    b.option(282, "rev_pretimeS", L::SyncTime, T, "1/8").to(kModFxRever, 2);
    continuousRun(b, 283, {"rev_damp", "rev_wide", "rev_decay", "rev_color", "rev_wet"},
                  {0.15f, 1, 0.6357f, 0.65f, 0}, kModFxRever, {4, 5, 6, 7, 8});
}

void addModulationSlots(TableBuilder& b) {
    constexpr int kModWheelSource = 17;
    for (int s = 1; s <= 15; ++s) {
        const int i = 288 + 10 * (s - 1);
        const std::string p = join("slot", s, "_");
        b.enumerated(i, p + "Src1", L::Source, T, s == 1 ? kModWheelSource : 0).engine();
        b.enumerated(i + 1, p + "Src2", L::Source, T, 0).engine();
        for (int k = 1; k <= 4; ++k) {
            b.continuous(i + 2 * k, join(p + "Amt", k), 0.5f).engine();
            b.enumerated(i + 2 * k + 1, join(p + "Trg", k), L::Target, T, 0).engine();
        }
    }
    for (int n = 1; n <= 4; ++n)
        b.option(437 + n, join("osc", n, "_mute"), L::Switch, P, "off").to(kModMixer, 11 + n);
}

void addSteppers(TableBuilder& b) {
    struct Lane {
        const char* name;
        float value;
    };
    static constexpr Lane kLanes[5] = {
        {"start", 1.0f}, {"end", 0.0f}, {"crvX", 0.5f}, {"crvY", 0.5f}, {"rep", 0.0f}};
    for (int p = 1; p <= 2; ++p) {
        const int i = 442 + 104 * (p - 1);
        const int stp = kModStepper1 + p - 1;
        const std::string s = join("stp", p, "_");
        for (int lane = 0; lane < 5; ++lane)
            for (int step = 0; step < 16; ++step) {
                const int slot = 16 * lane + step;
                b.continuous(i + slot, join(s + kLanes[lane].name, step + 1), kLanes[lane].value)
                    .to(stp, slot);
            }
        b.continuous(i + 80, s + "rate", 0.5f).to(stp, 80);
        b.option(i + 81, s + "time", L::Time, T, "1/8").to(stp, 81);
        b.option(i + 82, s + "mode", L::StepMode, T, "spos").to(stp, 83);
        b.option(i + 83, s + "start", L::Step, T, "01").to(stp, 84);
        b.option(i + 84, s + "stop", L::Step, T, "16").to(stp, 85);
        b.option(i + 85, s + "mono", L::Switch, P, "off").to(stp, 86);
        b.option(i + 86, s + "rtrg", L::Switch, P, "on").to(stp, 87);
        b.option(i + 87, s + "loop", L::Switch, P, "on").to(stp, 88);
        for (int step = 0; step < 16; ++step)
            b.option(i + 88 + step, join(s + "hold", step + 1), L::Switch, P, "off")
                .to(stp, 90 + step);
    }
}

void addArpeggiatorAndPerformance(TableBuilder& b) {
    b.option(650, "arp_on", L::Switch, P, "off").to(kModArp, 48);
    b.continuous(651, "arp_length", 0.5f).to(kModArp, 49);
    // The steppers follow the arpeggiator's clock and swing.
    b.option(652, "arp_speed", L::Time, T, "1/16")
        .to(kModStepper1, 82)
        .to(kModStepper1 + 1, 82)
        .to(kModArp, 50);
    b.continuous(653, "arp_swing", 0.5f)
        .to(kModStepper1, 89)
        .to(kModStepper1 + 1, 89)
        .to(kModArp, 51);
    b.option(654, "arp_mode", L::ArpMode, T, "Up").to(kModArp, 52);
    b.option(655, "arp_octave", L::ArpOctave, T, "01").to(kModArp, 54);
    b.option(656, "arp_velocity", L::ArpVelocity, T, "Key").to(kModArp, 53);
    b.option(657, "arp_wrap", L::ArpWrap, T, "no").to(kModArp, 55);
    for (int step = 0; step < 16; ++step) {
        b.continuous(658 + step, join("arp_vel", step + 1), 0.78f).to(kModArp, 32 + step);
        b.option(674 + step, join("arp_hold", step + 1), L::Switch, P, "off")
            .to(kModArp, 16 + step);
        b.option(690 + step, join("arp_note", step + 1), L::ArpNote, P, "0").to(kModArp, step);
    }

    struct Mute {
        const char* name;
        int module;
        int slot;
    };
    static constexpr Mute kMutes[5] = {{"shp_mute", kModFxShaper, 9},
                                       {"phs_mute", kModFxPhaser, 7},
                                       {"chr_mute", kModFxChorus, 9},
                                       {"del_mute", kModFxDelay, 12},
                                       {"rev_mute", kModFxRever, 9}};
    for (int i = 0; i < 5; ++i)
        b.option(706 + i, kMutes[i].name, L::Switch, P, "off").to(kMutes[i].module, kMutes[i].slot);

    b.option(711, "warm", L::Switch, P, "on").to(kModFxEqualizer, 1);
    b.option(712, "boost", L::Switch, P, "on").to(kModFxEqualizer, 3);
    b.option(713, "soft", L::Switch, P, "off").to(kModFxEqualizer, 2);
    for (int m = 1; m <= 4; ++m)
        b.continuous(713 + m, join("macro", m), 0.0f).to(kModPerfomance, m - 1);
    b.option(718, "pitch_shift", L::PitchShift, P, "0").to(kModMidi, 7);
    b.option(719, "pitch_fine", L::PitchFine, P, "0").to(kModMidi, 8);
    b.continuous(720, "bend_wheel", 0.5f).engine();
    b.continuous(721, "mod_wheel", 0.0f).engine();
    b.continuous(722, "anticlick", 1.0f).engine();
    b.continuous(723, "osc_all_pt", 0.0f);
    b.continuous(724, "lfo_all_rt", 0.0f);
}

Defs buildDefinitions() {
    Defs defs{};
    TableBuilder b(defs);
    addVoiceAndMaster(b);
    addOscillators(b);
    addFilters(b);
    addEnvelopes(b);
    addLfos(b);
    addEffects(b);
    addModulationSlots(b);
    addSteppers(b);
    addArpeggiatorAndPerformance(b);
    for (const ParameterDef& d : defs)
        if (d.name.empty()) std::abort(); // an index nobody defined
    return defs;
}

} // namespace

const std::array<ParameterDef, kNumParameters>& parameterDefs() {
    static const Defs defs = buildDefinitions();
    return defs;
}

int findParameter(std::string_view name) {
    static const std::unordered_map<std::string_view, int> byName = [] {
        std::unordered_map<std::string_view, int> m;
        const Defs& defs = parameterDefs();
        for (int i = 0; i < kNumParameters; ++i)
            m.emplace(defs[i].name, i);
        return m;
    }();
    auto it = byName.find(name);
    return it == byName.end() ? -1 : it->second;
}

// The editor treats everything as sound except the voice settings 0-3, the step values and
// the step sequencers' timing and range, arp_speed and the arpeggiator pattern 654-705.
bool isSoundParameter(int index) {
    if (index < 0) return true;
    return (index >= 4 && index <= 441) || index == 522 || (index >= 527 && index <= 545) ||
           index == 626 || (index >= 631 && index <= 651) || index == 653 || index >= 706;
}

} // namespace kolva
