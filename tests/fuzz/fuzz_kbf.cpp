// libFuzzer target for the legacy bank reader (.kbf): any bytes are read or refused without a
// crash. An accepted bank starts at program 0 with full working programs, short names and
// terminated header texts; its programs sanitise into range; and the image written from it
// reads back with the same names and values (except the two bytes of program 127's last
// value that the trailing block overlaps).

#include "core/parameter_table.h"
#include "presets/bank.h"

#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

namespace {

kolva::ParameterTable& table() {
    static kolva::ParameterTable t;
    return t;
}

template <std::size_t N>
bool terminated(const char (&field)[N]) {
    return std::memchr(field, 0, N) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace kolva;
    static Bank bank(table()), other(table());
    if (!bank.readLegacyBank(std::span(data, size))) return 0;

    const BankHeader& h = bank.header();
    if (bank.currentProgram() != 0 || !terminated(h.version) || !terminated(h.name) ||
        !terminated(h.title) || !terminated(h.author) || !terminated(h.web))
        std::abort();
    for (int p = 0; p < Bank::kPrograms; ++p) {
        const Preset& s = bank.storedProgram(p);
        if (s.name().size() > 24 || s.legacyNotes().size() > 247 || s.parameterCount() < 0 ||
            s.parameterCount() > Bank::kLegacyStandardCount ||
            bank.workingProgram(p).parameterCount() != kNumParameters ||
            s.legacyCategory() < -128 || s.legacyCategory() > 127)
            std::abort();
        Preset copy = s;
        copy.sanitize(table());
        for (int i = 0; i < kNumParameters; ++i) {
            const ParameterDef& def = parameterDefs()[static_cast<std::size_t>(i)];
            int option = 0;
            ParameterTable::decode(def, copy.parameter(i), &option);
            if (sanitizeParameterValue(def, copy.parameter(i)) != copy.parameter(i) ||
                (def.optionCount == 0 && !(copy.parameter(i) >= 0.0f && copy.parameter(i) <= 1.0f)) ||
                (def.optionCount > 0 && option >= def.optionCount))
                std::abort();
        }
    }

    if (!other.readLegacyBank(bank.buildLegacyBankImage(false))) std::abort();
    for (int p = 0; p < Bank::kPrograms; ++p) {
        const Preset &a = bank.workingProgram(p), &b = other.workingProgram(p);
        if (a.name() != b.name() || a.legacyNotes() != b.legacyNotes() ||
            a.legacyCategory() != b.legacyCategory())
            std::abort();
        for (int i = 0; i < kNumParameters; ++i) {
            if (p == 127 && i == 721) continue;
            if (std::bit_cast<std::uint32_t>(a.parameter(i)) !=
                std::bit_cast<std::uint32_t>(b.parameter(i)))
                std::abort();
        }
    }
    return 0;
}
