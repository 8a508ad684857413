#include "core/parameter_table.h"

#include "core/option_list.h"
#include "util/number_text.h"

#include <algorithm>
#include <cmath>

namespace kolva {
namespace {

constexpr int kTargetCodes = 230;
constexpr int kSourceCodes = 33;

// Option lists of the filter-mode parameters, by filter type (off .. Shaper). Every list has
// six entries so the descriptor's option count stays valid whichever is shown.
constexpr const char* kFilterModeLists[7] = {
    "- - - - - - ",
    "LP4 BP4 HP4 Peak - - ",
    "LP1 LP2 LP3 LP4 - - ",
    "LP2 BP2 HP2 Notch - - ",
    "RedLP2 RedLP4 BlackLP2 BlackLP4 BlackHP4 BlackBP4 ",
    "Mono_+ Mono_- Stereo_+ Stereo_- - - ",
    "Saturate Foldback - - - - ",
};

float sanitize(float value) noexcept {
    return std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
}

// Scale that turns a normalized value into an option number: thousandths lists use the first
// count/999 of the range, plain lists spread their options over all of it.
float optionScale(bool thousandths, int count) noexcept {
    return (thousandths ? 1000.0f : static_cast<float>(count)) - 0.01f;
}

struct Decoded {
    float value;
    int option;
};

Decoded decodeValue(bool thousandths, int count, float raw) noexcept {
    float v = sanitize(raw);
    if (count <= 0) return {v, 0};
    int k = static_cast<int>(optionScale(thousandths, count) * v);
    if (k >= count) {
        k = count - 1;
        v = static_cast<float>(count - 1) / 999.0f;
    } else if (k < 0) {
        k = 0;
        v = 0.0f;
    }
    return {v, k};
}

} // namespace

ParameterTable::ParameterTable() {
    resetToDefaults();
}

void ParameterTable::resetToDefaults() {
    const auto& defs = parameterDefs();
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& def = defs[static_cast<std::size_t>(i)];
        ParameterDescriptor& d = descriptors_[static_cast<std::size_t>(i)];
        d.def = &def;
        d.options.store(def.options, std::memory_order_relaxed);
        d.thousandths = def.encoding == OptionEncoding::Thousandths ? 1000u : 0u;
        d.smoothing = def.smoothing;
        d.optionCount = static_cast<std::uint32_t>(def.optionCount);
        convertValue(i, def.defaultValue);
        d.changed.store(0, std::memory_order_relaxed);
    }
}

float ParameterTable::convertValue(int index, float value) {
    if (index < 0 || index >= kNumParameters) return 0.0f;
    ParameterDescriptor& d = descriptors_[static_cast<std::size_t>(index)];
    const Decoded r = decodeValue(d.thousandths == 1000, static_cast<int>(d.optionCount), value);
    d.value.store(r.value, std::memory_order_relaxed);
    d.optionIndex.store(r.option, std::memory_order_relaxed);
    if (d.smoothing > 0.0f) d.changed.store(1, std::memory_order_relaxed);
    return r.value;
}

float ParameterTable::decode(const ParameterDef& def, float value, int* optionIndex) {
    const Decoded r =
        decodeValue(def.encoding == OptionEncoding::Thousandths, def.optionCount, value);
    if (optionIndex != nullptr) *optionIndex = r.option;
    return r.value;
}

std::string ParameterTable::displayText(int index, float value) {
    if (index < 0 || index >= kNumParameters) return {};
    ParameterDescriptor& d = descriptors_[static_cast<std::size_t>(index)];

    if (index == param::kFlt1Mode || index == param::kFlt2Mode) {
        const int typeIndex = index == param::kFlt1Mode ? param::kFlt1Type : param::kFlt2Type;
        const int type = descriptors_[static_cast<std::size_t>(typeIndex)].optionIndex.load(
            std::memory_order_relaxed);
        if (type >= 0 && type < 7)
            d.options.store(kFilterModeLists[type], std::memory_order_relaxed);
    }

    const int* map = nullptr;
    int mapSize = 0;
    if (d.def->list == OptionListId::Target) {
        map = targetCodePositions();
        mapSize = kTargetCodes;
    } else if (d.def->list == OptionListId::Source) {
        map = sourceCodePositions();
        mapSize = kSourceCodes;
    }
    const OptionEncoding encoding = d.optionCount == 0      ? OptionEncoding::None
                                    : d.thousandths == 1000 ? OptionEncoding::Thousandths
                                                            : OptionEncoding::Plain;
    return formatDisplayText(d.options.load(std::memory_order_relaxed), encoding,
                             static_cast<int>(d.optionCount), value, map, mapSize);
}

std::string formatDisplayText(const char* options, OptionEncoding encoding, int optionCount,
                              float value, const int* codeMap, int codeMapSize) {
    // Out-of-range values show as the nearest end (and never reach an undefined conversion).
    const float v = sanitize(value);
    if (options == nullptr || encoding == OptionEncoding::None || optionCount <= 0) {
        const long long permille = std::llround(static_cast<double>(v) * 1000.0);
        return formatInt(std::clamp(permille, 0LL, 1000LL));
    }
    int k = static_cast<int>(optionScale(encoding == OptionEncoding::Thousandths, optionCount) * v);
    if (codeMap != nullptr && k >= 0 && k < codeMapSize) k = codeMap[k];
    k = std::clamp(k, 0, optionCount - 1);
    return optionWord(options, k);
}

} // namespace kolva
