#include "render/preset_io.h"

#include "core/parameter_table.h"
#include "core/vst/vst_abi.h"
#include "platform/atomic_file.h"
#include "presets/bank.h"
#include "presets/preset_file.h"
#include "render/param_assign.h"
#include "render/plugin_info.h"
#include "util/number_text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <memory>
#include <system_error>

namespace kolva::render {

namespace {

std::string lowerExtension(const std::filesystem::path& file) {
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// Missing files get their own message; the readers would only say they refused them.
bool checkReadable(const std::filesystem::path& file, std::string& error) {
    std::error_code ec;
    if (std::filesystem::is_regular_file(file, ec)) return true;
    error = "cannot open " + file.string();
    return false;
}

std::optional<Preset> loadLegacyPreset(const std::filesystem::path& file, Bank& bank,
                                       std::string& error) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (!ec && size > kMaxLegacyPresetFileBytes) {
        error = file.string() +
                " is not a legacy preset (.kpf): " + formatInt(static_cast<long long>(size)) +
                " bytes";
        return std::nullopt;
    }
    const auto bytes = platform::readFile(file, kMaxLegacyPresetFileBytes);
    if (!bytes) {
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    if (!bank.readLegacyPreset(*bytes)) {
        error = file.string() + ": legacy preset data refused (not a .kpf Kolva can read)";
        return std::nullopt;
    }
    return bank.workingProgram();
}

std::optional<Preset> loadLegacyBankProgram(const std::filesystem::path& file, int program,
                                            Bank& bank, std::string& error) {
    if (program < 0 || program >= Bank::kPrograms) {
        error = "program " + formatInt(program) + " is outside the bank (0-" +
                formatInt(Bank::kPrograms - 1) + ")";
        return std::nullopt;
    }
    if (!bank.loadLegacyBankFile(file)) {
        error = file.string() + ": legacy bank data refused (not a .kbf Kolva can read)";
        return std::nullopt;
    }
    return bank.storedProgram(program);
}

} // namespace

PresetFileType presetFileType(const std::filesystem::path& file) {
    const std::string ext = lowerExtension(file);
    if (ext == ".kpf2") return PresetFileType::Kpf2;
    if (ext == ".kpf") return PresetFileType::Kpf;
    if (ext == ".kbf") return PresetFileType::Kbf;
    return PresetFileType::Unknown;
}

std::optional<Preset> loadPresetFile(const std::filesystem::path& file, int program,
                                     std::string& error) {
    const PresetFileType type = presetFileType(file);
    if (type == PresetFileType::Unknown) {
        error = file.string() + " is not a .kpf2, .kpf or .kbf file";
        return std::nullopt;
    }
    if (!checkReadable(file, error)) return std::nullopt;

    // The legacy readers start from the parameter defaults and sanitise against the table.
    auto table = std::make_unique<ParameterTable>();
    auto bank = std::make_unique<Bank>(*table);
    bank->setup();

    std::optional<Preset> preset;
    switch (type) {
    case PresetFileType::Kpf2: {
        std::string readError;
        preset = readPresetFile(file, readError);
        if (!preset) error = file.string() + ": " + readError;
        break;
    }
    case PresetFileType::Kpf:
        preset = loadLegacyPreset(file, *bank, error);
        break;
    case PresetFileType::Kbf:
        preset = loadLegacyBankProgram(file, program, *bank, error);
        break;
    case PresetFileType::Unknown:
        break;
    }
    if (!preset) return std::nullopt;
    // Bank files are taken as they are, and a value read from any file may be NaN or huge.
    preset->sanitize(*table);
    preset->setPath(file.string());
    return preset;
}

bool checkPresetPlugin(host::PluginHost& plugin, std::string& error) {
    const AEffect& e = plugin.effect();
    if (e.uniqueID == kKolvaUniqueId && e.numParams == kNumParameters) return true;
    error = "presets need Kolva (unique ID Kol2, " + formatInt(kNumParameters) +
            " parameters); the plug-in is " + fourCharText(e.uniqueID) + " with " +
            formatInt(e.numParams) + " parameters";
    return false;
}

void sendPreset(host::PluginHost& plugin, const Preset& preset) {
    for (int i = 0; i < kNumParameters; ++i)
        plugin.setParameter(i, preset.parameter(i));
}

bool savePluginPreset(host::PluginHost& plugin, const std::filesystem::path& file,
                      const Preset* base, std::string& error) {
    auto preset = std::make_unique<Preset>(base != nullptr ? *base : Preset());
    preset->setName(file.stem().string());
    std::array<float, kNumParameters> values{};
    for (int i = 0; i < kNumParameters; ++i)
        values[static_cast<std::size_t>(i)] = plugin.getParameter(i);
    preset->setAllParameters(values.data());
    preset->setParameterCount(kNumParameters);
    // A plug-in may answer anything; the file gets values its readers accept.
    auto table = std::make_unique<ParameterTable>();
    preset->sanitize(*table);
    preset->setPath(file.string());

    std::string writeError;
    if (!writePresetFile(file, *preset, true, writeError)) {
        error = "cannot write " + file.string() + ": " + writeError;
        return false;
    }
    return true;
}

std::optional<std::vector<unsigned char>> readStateFile(const std::filesystem::path& file,
                                                        std::string& error) {
    if (!checkReadable(file, error)) return std::nullopt;
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (!ec && size > kMaxStateBytes) {
        error = file.string() + " is " + formatInt(static_cast<long long>(size)) +
                " bytes, more than the " + formatInt(kMaxStateBytes) + " a state may have";
        return std::nullopt;
    }
    auto bytes = platform::readFile(file, kMaxStateBytes);
    if (!bytes) {
        error = "cannot read " + file.string();
        return std::nullopt;
    }
    if (bytes->empty()) {
        error = file.string() + " is empty";
        return std::nullopt;
    }
    return bytes;
}

bool checkStatePlugin(host::PluginHost& plugin, std::string& error) {
    if ((plugin.flags() & vst::kFlagProgramChunks) != 0) return true;
    error = "the plug-in keeps no state chunk (flag programChunks not set)";
    return false;
}

void restoreState(host::PluginHost& plugin, std::span<const unsigned char> state) {
    // The interface passes a non-const pointer; the plug-in gets a copy it may not keep.
    std::vector<unsigned char> copy(state.begin(), state.end());
    plugin.dispatch(vst::kEffSetChunk, 0, static_cast<VstIntPtr>(copy.size()), copy.data());
}

std::optional<std::vector<unsigned char>> fetchState(host::PluginHost& plugin, std::string& error) {
    void* data = nullptr;
    const VstIntPtr size = plugin.dispatch(vst::kEffGetChunk, 0, 0, &data);
    if (size <= 0 || data == nullptr) {
        error = "the plug-in handed back no state (effGetChunk answered " +
                formatInt(static_cast<long long>(size)) + ")";
        return std::nullopt;
    }
    if (static_cast<std::size_t>(size) > kMaxStateBytes) {
        error = "the plug-in's state of " + formatInt(static_cast<long long>(size)) +
                " bytes is more than the " + formatInt(kMaxStateBytes) + " accepted";
        return std::nullopt;
    }
    const auto* bytes = static_cast<const unsigned char*>(data);
    return std::vector<unsigned char>(bytes, bytes + size);
}

bool writeStateFile(const std::filesystem::path& file, std::span<const unsigned char> state,
                    std::string& error) {
    if (platform::writeFileAtomically(file, state.data(), state.size())) return true;
    error = "cannot write " + file.string();
    return false;
}

} // namespace kolva::render
