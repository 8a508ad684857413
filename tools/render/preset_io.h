#pragma once
// Sounds and state for kolva-render: reading Kolva's preset files (.kpf2, legacy .kpf and a
// program of a legacy .kbf bank) into 725 values for effSetParameter, writing the plug-in's
// values back as a .kpf2, and passing opaque state through effSetChunk / effGetChunk.
// The plug-in is still reached only through the binary interface; the preset formats are
// Kolva's own readers and writers.

#include "host/vst_host.h"
#include "presets/preset.h"

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kolva::render {

enum class PresetFileType { Unknown, Kpf2, Kpf, Kbf };

// By extension, in any letter case.
PresetFileType presetFileType(const std::filesystem::path& file);

// A state file or chunk larger than this is refused (Kolva's own state is well under 1 MiB).
inline constexpr std::size_t kMaxStateBytes = 64u << 20;
// A legacy preset is 3165 bytes; anything much larger is not one.
inline constexpr std::size_t kMaxLegacyPresetFileBytes = 64u << 10;

// The sound of `file`: a .kpf2, a .kpf, or program `program` (0..127) of a .kbf. Values are
// sanitised as the plug-in's own loaders do. nullopt with a one-line `error` when refused.
std::optional<Preset> loadPresetFile(const std::filesystem::path& file, int program,
                                     std::string& error);

// Presets carry Kolva's 725 parameters: false with `error` for any other plug-in.
bool checkPresetPlugin(host::PluginHost& plugin, std::string& error);

// effSetParameter for all 725 values, in index order.
void sendPreset(host::PluginHost& plugin, const Preset& preset);

// The plug-in's 725 values (effGetParameter) as a preset named after `file` (its base name),
// keeping the metadata of `base` when given, written as a .kpf2.
bool savePluginPreset(host::PluginHost& plugin, const std::filesystem::path& file,
                      const Preset* base, std::string& error);

// A whole state file (1..kMaxStateBytes bytes).
std::optional<std::vector<unsigned char>> readStateFile(const std::filesystem::path& file,
                                                        std::string& error);

// False with `error` when the plug-in does not keep its state in a chunk.
bool checkStatePlugin(host::PluginHost& plugin, std::string& error);

// effSetChunk with the whole state (as a bank, the way hosts restore a project).
void restoreState(host::PluginHost& plugin, std::span<const unsigned char> state);

// effGetChunk's bytes, copied at once (the plug-in owns its buffer only until the next call).
// nullopt with `error` when the plug-in hands back nothing or an absurd size.
std::optional<std::vector<unsigned char>> fetchState(host::PluginHost& plugin, std::string& error);

// Atomic write: the file is either the complete state or left as it was.
bool writeStateFile(const std::filesystem::path& file, std::span<const unsigned char> state,
                    std::string& error);

} // namespace kolva::render
