#include "fx/rever_modes.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>

namespace kolva::fx {
namespace {

// Delays in samples at 29761 Hz. "plate 2" differs from "plate 1" only in its time ratio,
// its flags and the missing second depths of its modulated delays.
constexpr std::string_view kModeDocument = R"json({
"modes": [
 {"name": "plate 1", "trr": 2, "useMtDfTlPd": [1, 1, 1, 0], "lfoDelta": [3, 1, 4, 12],
  "rngSizeMt": [0.1, 0.9], "rngSizeDiff": [1, 0], "rngDecTail": [0, 1],
  "dlyMT": [[100, 0.1], [2000, 0.2], [2200, 0.3], [2400, 0.5], [3400, 0.8], [5000, 0.6]],
  "dlyDF": [[142, 0.5], [107, 0.5], [379, 0.5], [227, 0.5]],
  "dlyInside": [0.2, 0.5],
  "dlyAP_L": [[672, 0.5], [1800, 0.5]], "dlyAP_R": [[908, 0.5], [2656, 0.5]],
  "dlyWG_L": [[4453, 50, 0], [3720, 40, 50]], "dlyWG_R": [[4217, 5, 0], [3163, 20, 0]],
  "dlyCL_L": [[3, 266, 0.6], [3, 2974, 0.6], [4, 1913, -0.6], [5, 1996, 0.6], [0, 1990, -0.6],
              [1, 187, -0.6], [2, 1066, -0.6]],
  "dlyCL_R": [[0, 353, 0.6], [0, 3627, 0.6], [1, 1218, -0.6], [2, 2673, 0.6], [3, 2111, -0.6],
              [4, 335, -0.6], [5, 121, -0.6]],
  "notch": [[11000, 1, -20], [400, 0.7, -4]]},
 {"name": "plate 2", "trr": 1, "useMtDfTlPd": [0, 1, 1, 1], "lfoDelta": [3, 1, 4, 12],
  "rngSizeMt": [0.1, 0.9], "rngSizeDiff": [1, 0], "rngDecTail": [0, 1],
  "dlyMT": [[100, 0.1], [2000, 0.2], [2200, 0.3], [2400, 0.5], [3400, 0.8], [5000, 0.6]],
  "dlyDF": [[142, 0.5], [107, 0.5], [379, 0.5], [227, 0.5]],
  "dlyInside": [0.2, 0.5],
  "dlyAP_L": [[672, 0.5], [1800, 0.5]], "dlyAP_R": [[908, 0.5], [2656, 0.5]],
  "dlyWG_L": [[4453, 50], [3720, 40, 50]], "dlyWG_R": [[4217, 5], [3163, 20]],
  "dlyCL_L": [[3, 266, 0.6], [3, 2974, 0.6], [4, 1913, -0.6], [5, 1996, 0.6], [0, 1990, -0.6],
              [1, 187, -0.6], [2, 1066, -0.6]],
  "dlyCL_R": [[0, 353, 0.6], [0, 3627, 0.6], [1, 1218, -0.6], [2, 2673, 0.6], [3, 2111, -0.6],
              [4, 335, -0.6], [5, 121, -0.6]],
  "notch": [[11000, 1, -20], [400, 0.7, -4]]},
 {"name": "hall", "trr": 2, "useMtDfTlPd": [1, 1, 1, 1], "lfoDelta": [1, 6, 6, 4],
  "rngSizeMt": [0.8, 1], "rngSizeDiff": [1, 0], "rngDecTail": [0, 1],
  "dlyMT": [[762, 0.4], [1780, 0.26], [2270, -0.18], [2822, 0.12], [3730, -0.03], [4826, 0.01]],
  "dlyDF": [[168, 0.5], [204, 0.5], [132, 0.5], [167, 0.5], [199, 0.5], [238, 0.5]],
  "dlyInside": [3.5, 4.3],
  "dlyAP_L": [[580, 0.5], [1630, 0.5]], "dlyAP_R": [[640, 0.5], [1680, 0.5]],
  "dlyWG_L": [[800, 30], [80, 20, 30]], "dlyWG_R": [[30, 40], [830, 30, 20]],
  "dlyCL_L": [[0, 50, -0.6], [1, 20, 0.2], [2, 100, -0.8], [3, 340, -0.7], [4, 100, 0.5],
              [3, 1800, 0.3], [0, 0, 0]],
  "dlyCL_R": [[0, 680, 0.6], [4, 2600, -0.2], [5, 2640, 0.8], [0, 230, 0.6], [3, 880, -0.5],
              [0, 2200, -0.16], [5, 0, 0]],
  "notch": [[340, 0.82, -3.4], [14160, 0.54, -5.2]]},
 {"name": "sparkles", "trr": 1, "useMtDfTlPd": [0, 1, 1, 0], "lfoDelta": [4, 6, 6, 6],
  "rngSizeMt": [0.5, 1], "rngSizeDiff": [1, 0], "rngDecTail": [0.4, 0.6],
  "dlyMT": [[0, 0], [0, 0], [0, 0], [0, 0], [0, 0], [0, 0]],
  "dlyDF": [[2, 0.46], [6, 0.46], [10, 0.46]],
  "dlyInside": [0.2, 2.2],
  "dlyAP_L": [[3580, 0.5], [1630, 0.5]], "dlyAP_R": [[5640, 0.5], [3680, 0.5]],
  "dlyWG_L": [[2800, 30], [180, 30, 50]], "dlyWG_R": [[2830, 40], [80, 50, 20]],
  "dlyCL_L": [[0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]],
  "dlyCL_R": [[0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0], [0, 0, 0]],
  "notch": [[12000, 0.8, 2.4], [300, 0.74, -1.6]]},
 {"name": "ambience", "trr": 1, "useMtDfTlPd": [1, 1, 1, 1], "lfoDelta": [2, 2, 3, 4],
  "rngSizeMt": [0.9, 1.9], "rngSizeDiff": [1, 0], "rngDecTail": [0, 1],
  "dlyMT": [[298, 0.3], [526, -0.2], [597, -0.1]],
  "dlyDF": [[168, 0.4], [204, 0.4], [332, 0.4]],
  "dlyInside": [1.6, 1.7],
  "dlyAP_L": [[640, 0.5], [830, 0.5]], "dlyAP_R": [[660, 0.5], [980, 0.5]],
  "dlyWG_L": [[340, 30], [800, 30, 30]], "dlyWG_R": [[840, 20], [800, 50, 50]],
  "dlyCL_L": [[0, 580, 0.8], [1, 980, -0.7], [2, 1536, 0.4], [3, 2600, -0.2], [4, 3040, -0.1],
              [5, 3820, 0.1], [0, 0, 0]],
  "dlyCL_R": [[3, 632, -0.74], [4, 920, 0.7], [5, 1154, 0.4], [0, 2530, 0.2], [1, 3140, -0.1],
              [2, 3260, 0.1], [0, 0, 0]],
  "notch": [[475, 0.92, -10], [175, 0.96, -14]]},
 {"name": "dmension", "trr": 2, "useMtDfTlPd": [1, 0, 1, 1], "lfoDelta": [0, 0, 0, 0],
  "rngSizeMt": [0.04, 1.8], "rngSizeDiff": [1, 0], "rngDecTail": [0, 0.08],
  "dlyMT": [[162, 0.5], [380, -0.56], [1270, 0.48], [2022, -0.34], [2230, 0.2], [2826, -0.16]],
  "dlyDF": [[16.8, 0.1], [20.4, 0.2], [43.2, 0.3], [16.7, 0.2], [29.9, 0.1]],
  "dlyInside": [1, 1],
  "dlyAP_L": [[3, 0.1], [3, 0.1]], "dlyAP_R": [[3, 0.1], [3, 0.1]],
  "dlyWG_L": [[10, 0], [10, 0, 0]], "dlyWG_R": [[10, 0], [10, 0, 0]],
  "dlyCL_L": [[0, 10, 0.8], [1, 165, 0.6], [2, 320, 0.5], [0, 400, -0.3], [1, 520, 0.7],
              [2, 600, 0.5], [0, 720, 0.8]],
  "dlyCL_R": [[3, 10, 0.8], [4, 160, 0.6], [5, 300, -0.5], [3, 420, 0.6], [4, 500, -0.3],
              [5, 620, -0.8], [3, 700, -0.4]],
  "notch": [[340, 0.9, -2], [600, 0.7, 2]]},
 {"name": "aura", "trr": 2, "useMtDfTlPd": [0, 0, 1, 1], "lfoDelta": [3, 3, 3, 3],
  "rngSizeMt": [0.03, 0.9], "rngSizeDiff": [1, 0], "rngDecTail": [0.1, 0.6],
  "dlyMT": [[62, 0.2], [186, -0.16], [558, 0.1]],
  "dlyDF": [[4.8, 0.3], [20.4, 0.2], [30.4, 0.5], [90.9, 0.4]],
  "dlyInside": [27.2, 27.7],
  "dlyAP_L": [[128, 0.5], [44, 0.5]], "dlyAP_R": [[108, 0.5], [24, 0.5]],
  "dlyWG_L": [[12, 30], [14, 30, 30]], "dlyWG_R": [[12, 20], [14, 50, 50]],
  "dlyCL_L": [[0, 3, 0.8], [1, 95, 0.5], [2, 120, -0.4], [0, 575, 0.5], [1, 302, -0.3],
              [0, 0, 0], [0, 0, 0]],
  "dlyCL_R": [[3, 6, 0.8], [4, 90, -0.5], [5, 120, -0.4], [3, 565, 0.5], [4, 290, -0.3],
              [0, 0, 0], [0, 0, 0]],
  "notch": [[80, 0.76, 8], [20, 0.88, -16]]}
]
})json";

using nlohmann::json;

// A flat array of at most `capacity` numbers into `out`.
bool readNumbers(const json& mode, const char* key, float* out, int capacity) {
    const auto it = mode.find(key);
    if (it == mode.end() || !it->is_array() || static_cast<int>(it->size()) > capacity)
        return false;
    int i = 0;
    for (const json& v : *it) {
        if (!v.is_number()) return false;
        out[i++] = v.get<float>();
    }
    return true;
}

// An array of at most `rows` rows of at most `cols` numbers into out[row * cols + col].
bool readRows(const json& mode, const char* key, float* out, int rows, int cols,
              int* used = nullptr) {
    const auto it = mode.find(key);
    if (it == mode.end() || !it->is_array() || static_cast<int>(it->size()) > rows) return false;
    int r = 0;
    for (const json& row : *it) {
        if (!row.is_array() || static_cast<int>(row.size()) > cols) return false;
        int c = 0;
        for (const json& v : row) {
            if (!v.is_number()) return false;
            out[r * cols + c++] = v.get<float>();
        }
        ++r;
    }
    if (used != nullptr) *used = r;
    return true;
}

bool validNodes(const float (&taps)[ReverMode::kOutputTaps][3]) {
    for (const auto& t : taps)
        if (!(t[0] >= 0.0f && t[0] <= 5.0f)) return false;
    return true;
}

bool readMode(const json& m, ReverMode& out) {
    out = ReverMode{};
    if (!m.is_object()) return false;
    const auto name = m.find("name");
    const auto trr = m.find("trr");
    if (name == m.end() || !name->is_string() || trr == m.end() || !trr->is_number_integer())
        return false;
    const std::string& text = name->get_ref<const std::string&>();
    const std::size_t n = std::min(text.size(), sizeof(out.name) - 1);
    std::memcpy(out.name, text.data(), n);
    out.timeRatio = trr->get<int>();
    if (out.timeRatio < 1) return false;

    float flags[4] = {};
    bool ok = readNumbers(m, "useMtDfTlPd", flags, 4) && readNumbers(m, "lfoDelta", out.lfoHz, 4) &&
              readNumbers(m, "rngSizeMt", out.sizeMt, 2) &&
              readNumbers(m, "rngSizeDiff", out.sizeDiff, 2) &&
              readNumbers(m, "rngDecTail", out.decayTail, 2) &&
              readRows(m, "dlyMT", &out.taps[0][0], ReverMode::kTaps, 2, &out.tapCount) &&
              readRows(m, "dlyDF", &out.diffusers[0][0], ReverMode::kDiffusers, 2,
                       &out.diffuserCount) &&
              readNumbers(m, "dlyInside", out.inside, 2) &&
              readRows(m, "dlyAP_L", &out.allPassL[0][0], 2, 2) &&
              readRows(m, "dlyAP_R", &out.allPassR[0][0], 2, 2) &&
              readRows(m, "dlyWG_L", &out.waveL[0][0], 2, 3) &&
              readRows(m, "dlyWG_R", &out.waveR[0][0], 2, 3) &&
              readRows(m, "dlyCL_L", &out.outputL[0][0], ReverMode::kOutputTaps, 3) &&
              readRows(m, "dlyCL_R", &out.outputR[0][0], ReverMode::kOutputTaps, 3) &&
              readRows(m, "notch", &out.notch[0][0], 2, 3);
    for (int i = 0; i < 4; ++i) out.flags[i] = flags[i] != 0.0f ? 1 : 0;
    return ok && validNodes(out.outputL) && validNodes(out.outputR);
}

} // namespace

bool parseReverModes(std::string_view text, ReverModeBank& bank) {
    bank.valid = false;
    const json doc = json::parse(text.begin(), text.end(), nullptr, false);
    if (doc.is_discarded() || !doc.is_object()) return false;
    const auto modes = doc.find("modes");
    if (modes == doc.end() || !modes->is_array() || modes->size() != kReverModes) return false;
    try {
        for (int i = 0; i < kReverModes; ++i)
            if (!readMode((*modes)[static_cast<std::size_t>(i)], bank.modes[i])) return false;
    } catch (const json::exception&) {
        return false;
    }
    bank.valid = true;
    return true;
}

const ReverModeBank& reverModeBank() {
    static const ReverModeBank bank = [] {
        ReverModeBank b;
        parseReverModes(kModeDocument, b);
        return b;
    }();
    return bank;
}

} // namespace kolva::fx
