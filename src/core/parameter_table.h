#pragma once
// The per-instance parameter descriptors: the constant definition of each parameter plus its
// current value and decoded option. Values are written by the host thread (automation) and by
// the audio thread (editor records at block start), so the mutable fields are relaxed atomics.

#include "core/parameter_defs.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

namespace kolva {

struct ParameterDescriptor {
    const ParameterDef* def = nullptr;
    std::atomic<float> value{0.0f};              // current normalized (engine) value
    std::atomic<const char*> options{nullptr};   // may be swapped (filter modes)
    std::uint32_t thousandths = 0;               // 1000 for thousandths encoding, else 0
    float smoothing = 0.0f;
    std::uint32_t optionCount = 0;
    std::atomic<std::int32_t> optionIndex{0};
    std::atomic<std::uint8_t> changed{0};

    const char* name() const { return def->name.c_str(); }
    const char* label() const { return ""; }
};

class ParameterTable {
public:
    ParameterTable(); // every descriptor at its default
    ParameterTable(const ParameterTable&) = delete;
    ParameterTable& operator=(const ParameterTable&) = delete;

    // Rebuild every descriptor with its default value (through convertValue).
    void resetToDefaults();

    const ParameterDescriptor& descriptor(int index) const { return descriptors_[index]; }
    ParameterDescriptor& descriptor(int index) { return descriptors_[index]; }

    // Clamp/decode `value` for parameter `index`, store it in the descriptor (value,
    // optionIndex, changed) and return the engine value. NaN is treated as 0. Real-time safe.
    float convertValue(int index, float value);

    // Pure decoding without storing: the engine value and option index `value` would give.
    static float decode(const ParameterDef& def, float value, int* optionIndex = nullptr);

    // The text shown for `value` of parameter `index` (continuous: 0..1000; enumerated: the
    // option word, target/source codes mapped to their menu words). Swaps the filter-mode
    // option list to match the current filter type first. Not for the audio thread.
    std::string displayText(int index, float value);

private:
    std::array<ParameterDescriptor, kNumParameters> descriptors_;
};

// Display text for a descriptor-less query: value formatting rules only.
// codeMap, when given, maps stored codes to option positions (size codeMapSize).
std::string formatDisplayText(const char* options, OptionEncoding encoding, int optionCount,
                              float value, const int* codeMap, int codeMapSize);

// Code -> option position maps for the Target (230 codes) and Source (33 codes) lists.
const int* targetCodePositions(); // 230 entries
const int* sourceCodePositions(); // 33 entries

} // namespace kolva
