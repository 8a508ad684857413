#include "platform/folders.h"

#include <cstdlib>
#include <dlfcn.h>
#include <system_error>

namespace kolva::platform {
namespace {

std::filesystem::path fromEnv(const char* name) {
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0') return {};
    return std::filesystem::path(v);
}

} // namespace

std::filesystem::path appDataFolder() {
    if (auto xdg = fromEnv("XDG_CONFIG_HOME"); !xdg.empty()) return xdg;
    if (auto home = fromEnv("HOME"); !home.empty()) return home / ".config";
    return {};
}

std::filesystem::path localAppDataFolder() {
    if (auto xdg = fromEnv("XDG_CACHE_HOME"); !xdg.empty()) return xdg;
    if (auto home = fromEnv("HOME"); !home.empty()) return home / ".cache";
    return appDataFolder();
}

std::filesystem::path pluginDataFolder() {
    auto base = appDataFolder();
    if (base.empty()) return {};
    return base / "Mornside";
}

std::filesystem::path libraryPath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&libraryPath), &info) == 0 || info.dli_fname == nullptr)
        return {};
    std::error_code ec;
    auto p = std::filesystem::canonical(info.dli_fname, ec);
    return ec ? std::filesystem::path(info.dli_fname) : p;
}

bool ensureFolder(const std::filesystem::path& folder) {
    if (folder.empty()) return false;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    return std::filesystem::is_directory(folder, ec);
}

} // namespace kolva::platform
