// libFuzzer target for the host state chunk: any bytes handed to restoreState must be read or
// refused without a crash, a hang or unbounded memory. After a successful restore every
// working program holds values in [0, 1], and the state saves and restores again.

#include "core/parameter_table.h"
#include "core/tuning_holder.h"
#include "presets/bank.h"
#include "presets/chunk.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace {

struct Instance {
    kolva::ParameterTable table;
    kolva::Bank bank{table};
    kolva::TuningHolder tuning;
    kolva::Chunk chunk; // no configuration: legacy images are read but never converted
    Instance() {
        chunk.setBank(&bank);
        chunk.setTuningHolder(&tuning);
    }
};

void checkPrograms(kolva::Bank& bank) {
    for (int p = 0; p < kolva::Bank::kPrograms; ++p)
        for (int i = 0; i < kolva::kNumParameters; ++i) {
            const float v = bank.workingProgram(p).parameter(i);
            if (!(v >= 0.0f && v <= 1.0f)) std::abort();
        }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Instance in;
    if (size > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return 0;
    in.chunk.setLegacyMode(false);
    if (!in.chunk.restoreState(data, static_cast<std::int32_t>(size))) return 0;
    checkPrograms(in.bank);

    void* out = nullptr;
    const std::int32_t length = in.chunk.saveState(&out);
    if (length <= 0 || out == nullptr) std::abort();
    const auto* bytes = static_cast<const std::uint8_t*>(out);
    const std::vector<std::uint8_t> saved(bytes, bytes + length);
    if (!in.chunk.restoreState(saved.data(), length)) std::abort();
    checkPrograms(in.bank);
    return 0;
}
