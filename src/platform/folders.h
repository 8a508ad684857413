#pragma once
// Per-user folders (the Linux equivalents of APPDATA and LOCALAPPDATA) and the location of
// the plug-in library itself. Main/editor threads only.

#include <filesystem>
#include <string>

namespace kolva::platform {

// $XDG_CONFIG_HOME, else $HOME/.config; empty when neither is set.
std::filesystem::path appDataFolder();
// $XDG_CACHE_HOME, else $HOME/.cache; falls back to appDataFolder().
std::filesystem::path localAppDataFolder();
// The folder for Kolva's own files: <appData>/Mornside.
std::filesystem::path pluginDataFolder();
// Full path of the shared library (or executable) that contains this code.
std::filesystem::path libraryPath();

// Creates the folder and its parents; false when it does not exist afterwards.
bool ensureFolder(const std::filesystem::path& folder);

} // namespace kolva::platform
