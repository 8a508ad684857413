// libFuzzer target for the preset file reader (.kpf2): any byte string either gives a preset
// or the one loading error. A preset read from a file has a short name, at most 5 tags and
// every value in [0, 1], and survives being written and read again (values up to the 6
// significant digits the file keeps).

#include "presets/preset_file.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolva;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    const std::optional<Preset> preset = presetFromText(text, "fuzzed preset name of length 30", error);
    if (!preset) {
        if (error != kErrorLoadingPreset) std::abort();
        return 0;
    }
    if (preset->name().size() > 24 || preset->tags().size() > 5 ||
        preset->parameterCount() != kNumParameters)
        std::abort();
    for (int i = 0; i < kNumParameters; ++i) {
        const float v = preset->parameter(i);
        if (!(v >= 0.0f && v <= 1.0f)) std::abort();
    }

    const std::optional<Preset> again = presetFromText(presetToText(*preset, true), "x", error);
    if (!again) std::abort();
    if (again->author() != preset->author() || again->vendor() != preset->vendor() ||
        again->bank() != preset->bank() || again->notes() != preset->notes() ||
        again->icon() != preset->icon() || again->tags() != preset->tags() ||
        again->favourite() != preset->favourite())
        std::abort();
    for (int i = 0; i < kNumParameters; ++i) {
        if (i == 720 || i == 723 || i == 724) continue; // never written
        const float a = preset->parameter(i), b = again->parameter(i);
        if (std::fabs(a - b) > 1e-5f * a + 1e-37f) std::abort();
    }
    return 0;
}
