// Constant tables of the modulation matrix: the amount curves and which parameter each
// destination modulates.

#include "engine/module_matrix_tables.h"

#include "core/parameter_defs.h"

#include <string>

namespace kolva::matrix_tables {
namespace {

// Negative halves of the three curved amount laws (index 0 = amount -1); the positive halves
// mirror them.
constexpr float kC0Neg[16] = {-1.0f,    -0.7295f, -0.5818f, -0.4781f, -0.3976f, -0.3332f,
                              -0.2802f, -0.2351f, -0.1961f, -0.1619f, -0.1314f, -0.1039f,
                              -0.0787f, -0.0551f, -0.0326f, -0.0108f};
constexpr float kC1Neg[16] = {-1.0f,    -0.8435f, -0.6838f, -0.5229f, -0.3663f, -0.2278f,
                              -0.1258f, -0.0648f, -0.0329f, -0.0168f, -0.0088f, -0.0049f,
                              -0.003f,  -0.0019f, -0.001f,  0.0f};
constexpr float kC2Neg[16] = {-1.0f,    -0.8755f, -0.7768f, -0.6907f, -0.6128f, -0.5407f,
                              -0.4732f, -0.4096f, -0.3493f, -0.2919f, -0.2372f, -0.1851f,
                              -0.1353f, -0.0879f, -0.0427f, 0.0f};

std::array<float, 32> mirrored(const float (&neg)[16]) {
    std::array<float, 32> t{};
    for (int i = 0; i < 16; ++i) {
        t[i] = neg[i];
        t[31 - i] = -neg[i];
    }
    return t;
}

// Destination code -> the parameter it modulates.
std::array<std::string, kDestinationCount + 1> destinationParameterNames() {
    std::array<std::string, kDestinationCount + 1> n{};
    auto num = [](int i) { return std::to_string(i); };
    for (int o = 1; o <= 4; ++o) {
        const std::string p = "osc" + num(o) + "_";
        n[o] = "mix_osc" + num(o);
        const int b = 5 + 10 * (o - 1);
        const char* fields[10] = {"note", "ctrlA", "ctrlB", "phase", "wtmix",
                                  "udet", "uden",  "uwid",  "pan",   "mixto"};
        for (int k = 0; k < 10; ++k) n[b + k] = p + fields[k];
        n[223 + o] = p + "wave";
    }
    n[45] = "flt1_cut";
    n[46] = "flt1_res";
    n[47] = "flt2_cut";
    n[48] = "flt2_res";
    n[49] = "flt_balance";
    for (int e = 1; e <= 4; ++e) {
        const char* fields[8] = {"att", "dec", "sus", "slt", "sll", "rel", "amt1", "amt2"};
        for (int k = 0; k < 8; ++k) n[50 + 8 * (e - 1) + k] = "env" + num(e) + "_" + fields[k];
    }
    for (int l = 1; l <= 4; ++l) {
        // "Form" moves through the shapes continuously: the morph control.
        const char* fields[7] = {"rate", "sym", "phase", "morph", "amp", "amt1", "amt2"};
        for (int k = 0; k < 7; ++k) n[82 + 7 * (l - 1) + k] = "lfo" + num(l) + "_" + fields[k];
    }
    const char* fx[45] = {
        "shp_drive",  "shp_bit",      "shp_sr",     "shp_hicut",   "shp_lowcut", "shp_wet",
        "phs_freq",   "phs_fback",    "phs_spread", "phs_rate",    "phs_depth",  "phs_wet",
        "chr_delay",  "chr_fback",    "chr_rate",   "chr_depth",   "chr_wide",   "chr_hicut",
        "chr_lowcut", "chr_wet",      "del_timeL",  "del_timeR",   "del_fback",  "del_color",
        "del_wide",   "del_modulate", "del_rate",   "del_wet",     "rev_pretime", "rev_decay",
        "rev_damp",   "rev_color",    "rev_wide",   "rev_wet",     "x-comp",     "volume",
        "eq_low_frq", "eq_low_Q",     "eq_low_lev", "eq_mid_frq",  "eq_mid_Q",   "eq_mid_lev",
        "eq_hi_frq",  "eq_hi_Q",      "eq_hi_lev"};
    for (int k = 0; k < 45; ++k) n[110 + k] = fx[k];
    for (int s = 1; s <= 15; ++s)
        for (int k = 1; k <= 4; ++k) n[155 + 4 * (s - 1) + k - 1] = "slot" + num(s) + "_Amt" + num(k);
    n[215] = "arp_length";
    n[216] = "arp_swing";
    for (int m = 1; m <= 4; ++m) n[216 + m] = "macro" + num(m);
    n[221] = "glide";
    n[222] = "stp1_rate";
    n[223] = "stp2_rate";
    n[228] = "osc_all_pt";
    n[229] = "lfo_all_rt";
    return n;
}

int curveKindForCode(int code) {
    if (code >= 5 && code <= 44) {
        const int field = (code - 5) % 10;
        if (field == 0) return 1; // oscillator pitch
        if (field == 2) return 3; // CtrlB
        if (field == 4) return 4; // WTMix
    }
    if (code == 45 || code == 47) return 2; // filter cutoffs
    return 0;
}

} // namespace

const Tables& tables() {
    static const Tables t = [] {
        Tables r{};
        r.curves[0] = mirrored(kC0Neg);
        r.curves[1] = mirrored(kC1Neg);
        r.curves[2] = mirrored(kC2Neg);
        r.destinationOfParam.fill(-1);
        r.curveKindOfParam.fill(0);
        r.paramOfDestination.fill(-1);
        const auto names = destinationParameterNames();
        for (int code = 1; code <= kDestinationCount; ++code) {
            const int p = findParameter(names[code]);
            if (p < 0) continue; // (a table error; tests catch it)
            r.destinationOfParam[p] = code - 1;
            r.curveKindOfParam[p] = curveKindForCode(code);
            r.paramOfDestination[code - 1] = p;
        }
        return r;
    }();
    return t;
}

} // namespace kolva::matrix_tables
