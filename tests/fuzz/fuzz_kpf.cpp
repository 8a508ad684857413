// libFuzzer target for the legacy preset reader (.kpf): data is accepted exactly when it holds
// 1 to 5799 bytes after the record header; an accepted preset is sanitised (every option index
// inside its list, continuous values in [0, 1]) and reads back unchanged from the image the
// bank writes of it, apart from the notes, of which that image keeps 9 bytes.

#include "core/parameter_table.h"
#include "presets/bank.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <span>

namespace {

kolva::ParameterTable& table() {
    static kolva::ParameterTable t;
    return t;
}

void checkSanitised(const kolva::Preset& p) {
    using namespace kolva;
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDef& def = parameterDefs()[static_cast<std::size_t>(i)];
        const float v = p.parameter(i);
        if (def.optionCount == 0) {
            if (!(v >= 0.0f && v <= 1.0f)) std::abort();
            continue;
        }
        int option = -1;
        ParameterTable::decode(def, v, &option);
        if (!std::isfinite(v) || sanitizeParameterValue(def, v) != v || option < 0 ||
            option >= def.optionCount)
            std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolva;
    static Bank bank(table()), other(table());
    const bool accepted = bank.readLegacyPreset(std::span(data, size));
    if (accepted != (size > 277 && size < 277 + 5800)) std::abort();
    if (!accepted) return 0;

    const Preset& p = bank.workingProgram();
    const int count = static_cast<int>(std::min<std::size_t>((size - 277) / 4, kNumParameters));
    if (p.name().size() > 24 || p.legacyNotes().size() > 247 || p.parameterCount() != count)
        std::abort();
    checkSanitised(p);

    if (!other.readLegacyPreset(bank.buildLegacyPresetImage(false))) std::abort();
    const Preset& q = other.workingProgram();
    if (q.name() != p.name() || q.legacyCategory() != p.legacyCategory() ||
        q.legacyNotes() != p.legacyNotes().substr(0, 9))
        std::abort();
    for (int i = 0; i < kNumParameters; ++i)
        if (q.parameter(i) != p.parameter(i)) std::abort();
    return 0;
}
