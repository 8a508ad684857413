#include "presets/bank.h"

#include "core/parameter_table.h"
#include "util/number_text.h"

#include <algorithm>

namespace kolva {
namespace {

constexpr const char* kDefaultBankName = "Kolva Factory Bank";
constexpr const char* kDefaultAuthor = "Mornside";
constexpr const char* kDefaultWeb = "https://mornside.invalid/kolva";

bool validProgram(int index) {
    return index >= 0 && index < Bank::kPrograms;
}

} // namespace

Bank::Bank(ParameterTable& table)
    : table_(table),
      stored_(std::make_unique<std::array<Preset, kPrograms>>()),
      working_(std::make_unique<std::array<Preset, kPrograms>>()) {
    // A bank is usable as soon as it exists: the preset manager reads legacy files through
    // temporary banks that nobody sets up.
    setup();
}

Bank::~Bank() = default;

void Bank::setup() {
    header_ = BankHeader{};
    copyText(header_.name, sizeof header_.name, kDefaultBankName);
    copyText(header_.title, sizeof header_.title, kDefaultBankName);
    copyText(header_.author, sizeof header_.author, kDefaultAuthor);
    copyText(header_.web, sizeof header_.web, kDefaultWeb);
    const auto& defs = parameterDefs();
    for (int i = 0; i < kNumParameters; ++i)
        resetValues_[static_cast<std::size_t>(i)] = defs[static_cast<std::size_t>(i)].defaultValue;
    current_ = 0;
    resetAllPrograms();
}

ParameterDescriptor& Bank::parameterRecord(int index) {
    return table_.descriptor(std::clamp(index, 0, kNumParameters - 1));
}

const char* Bank::parameterShortName(int index) const {
    if (index < 0 || index >= kNumParameters) return "";
    return parameterDefs()[static_cast<std::size_t>(index)].name.c_str();
}

void Bank::setResetValues(const float* values) {
    if (values != nullptr) std::copy_n(values, kNumParameters, resetValues_.begin());
}

void Bank::resetAllPrograms() {
    for (int i = 0; i < kPrograms; ++i) {
        Preset fresh;
        fresh.setAllParameters(resetValues_.data());
        fresh.setName(i == 0 ? std::string("init") : "init" + formatInt(i + 1));
        (*stored_)[static_cast<std::size_t>(i)] = fresh;
        (*working_)[static_cast<std::size_t>(i)] = fresh;
    }
}

void Bank::setCurrentProgram(int program) {
    current_ = validProgram(program) ? program : 0;
}

Preset& Bank::workingProgram(int index) {
    return (*working_)[static_cast<std::size_t>(validProgram(index) ? index : current_)];
}

Preset& Bank::storedProgram(int index) {
    return (*stored_)[static_cast<std::size_t>(validProgram(index) ? index : current_)];
}

void Bank::copyToCurrent(const Preset& preset) {
    workingProgram() = preset;
}

} // namespace kolva
