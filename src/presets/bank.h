#pragma once
// Bank: the 128 stored and 128 working programs of one instance, the reset values every
// reset and legacy load starts from, and the legacy binary formats (.kpf single presets and
// .kbf banks). The working copy of the current program is the sound being played.
// Main/editor thread; the owner serialises access (the chunk holds its lock while it uses it).

#include "presets/preset.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kolva {

class ParameterTable;
struct ParameterDescriptor;

struct BankHeader {
    char magic[4] = {'k', 'b', 'f', '\0'};
    char version[5] = {'0', '9', '2', '0', '\0'};
    char name[256] = {};
    char title[256] = {};
    char author[256] = {};
    char web[252] = {};
};

class Bank {
public:
    static constexpr int kPrograms = 128;
    static constexpr int kLegacyStandardCount = 722;
    static constexpr int kLegacyCompactCount = 714;
    static constexpr int kLegacyOldestCount = 438;
    static constexpr std::size_t kLegacyRecordHeader = 277; // name 25, notes 248, category 4
    static constexpr std::size_t kLegacyBankHeader = 1033;
    static constexpr std::size_t kLegacyBankBytes = 407687;        // n = 722
    static constexpr std::size_t kLegacyBankCompactBytes = 402055; // n = 714
    static constexpr std::size_t kLegacyPresetBytes = 3165;        // n = 722
    static constexpr std::size_t kLegacyPresetCompactBytes = 3133; // n = 714

    // The descriptors stay owned by the plug-in; the bank reads their names, defaults and
    // option counts (sanitise) through this link.
    explicit Bank(ParameterTable& table);
    Bank(const Bank&) = delete;
    Bank& operator=(const Bank&) = delete;
    ~Bank();

    // Start-up: header defaults, reset values = the table's defaults, every program reset.
    void setup();

    ParameterDescriptor& parameterRecord(int index);
    const char* parameterShortName(int index) const; // "" outside 0..724
    ParameterTable& parameterTable() { return table_; }

    const float* resetValues() const { return resetValues_.data(); }
    void setResetValues(const float* values); // 725 values
    // Reset values into every stored and working program; "init", "init2" ... "init128".
    void resetAllPrograms();

    int currentProgram() const { return current_; }
    void setCurrentProgram(int program); // outside 0..127 -> 0
    Preset& workingProgram(int index = -1); // -1 = current; out of range -> current
    Preset& storedProgram(int index);       // out of range -> current
    // A preset's name and all 725 values (and metadata) into the current working program.
    void copyToCurrent(const Preset& preset);

    BankHeader& header() { return header_; }
    const std::string& fileName() const { return fileName_; }
    void setFileName(std::string name) { fileName_ = std::move(name); }

    // ---- legacy formats ----
    // .kbf data (read whole, at most 407,687 bytes). False (nothing changed) when refused.
    bool readLegacyBank(std::span<const std::uint8_t> data);
    bool loadLegacyBankFile(const std::filesystem::path& file);
    // The image of every working program: 407,687 bytes (722 values) or 402,055 (compact).
    std::span<const std::uint8_t> buildLegacyBankImage(bool compact);
    // The current working program as a .kpf image: 3165 bytes, or 3133 when compact.
    std::span<const std::uint8_t> buildLegacyPresetImage(bool compact);
    // .kpf data into the current working program. False (nothing changed) when refused.
    bool readLegacyPreset(std::span<const std::uint8_t> data);

    // Called after loads that replace programs (program index, or -1 for all of them).
    void setProgramsChangedListener(std::function<void(int)> listener) { listener_ = std::move(listener); }
    void notifyProgramsChanged(int program) { if (listener_) listener_(program); }

private:
    ParameterTable& table_;
    BankHeader header_;
    int current_ = 0;
    std::unique_ptr<std::array<Preset, kPrograms>> stored_;
    std::unique_ptr<std::array<Preset, kPrograms>> working_;
    std::array<float, kNumParameters> resetValues_{};
    std::array<float, kNumParameters> scratch_{};
    std::string fileName_ = "Untitled.kbf";
    std::vector<std::uint8_t> presetImage_;
    std::vector<std::uint8_t> bankImage_;
    std::function<void(int)> listener_;
};

} // namespace kolva
