#pragma once
// The preset file (.kpf2): UTF-8 JSON, one object, the name taken from the file name.
// Members in the order "author", "vendor", "bank", "notes", "icon", ["favorite"], "tags",
// "parameters" (722 numbers keyed by parameter name; 720, 723 and 724 are never stored).

#include "presets/preset.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kolva {

inline constexpr const char* kErrorLoadingPreset = "Error loading preset";
inline constexpr std::size_t kMaxPresetFileBytes = 4u << 20; // real files are ~30 kB

// The document text. `withFavourite` false leaves "favorite" out (the legacy converter).
std::string presetToText(const Preset& preset, bool withFavourite);
// Parses a document into a new preset named `name`. nullopt with `error` set to
// "Error loading preset" when the text is not a JSON object.
std::optional<Preset> presetFromText(std::string_view text, std::string_view name, std::string& error);

// Reads a .kpf2 file (name = file name without extension). The preset's path is set.
std::optional<Preset> readPresetFile(const std::filesystem::path& file, std::string& error);
// Writes atomically (temporary file, then rename); false with `error` set on failure, and
// an existing file is then left as it was.
bool writePresetFile(const std::filesystem::path& file, const Preset& preset, bool withFavourite,
                     std::string& error);

} // namespace kolva
