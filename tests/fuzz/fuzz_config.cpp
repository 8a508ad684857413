// libFuzzer target for the configuration reader. The first byte picks what the rest becomes:
// even, the JSON file; odd, a legacy kolva2.cfg with no JSON file beside it (migration).
// Loading must never crash, every field must end inside its accepted range, and what is
// saved must load back to the same values.

#include "core/config.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

const fs::path& workFolder() {
    static const fs::path folder = [] {
        std::string tmpl = (fs::temp_directory_path() / "kolva-fuzz-config-XXXXXX").string();
        if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
        return fs::path(tmpl);
    }();
    return folder;
}

void check(bool ok) {
    if (!ok) std::abort();
}

void checkRanges(const kolva::Config& c) {
    check(c.guiScaleIndex() >= 0 && c.guiScaleIndex() <= 5);
    check(c.showPerfPanel() >= 0 && c.showPerfPanel() <= 1);
    check(c.themeId() >= 0 && c.themeId() <= 4);
    check(c.expandFactory() >= -1 && c.expandFactory() <= 1);
    check(c.applyInitToCurrent() == 0 || c.applyInitToCurrent() == 1);
    check(!(c.confirmSavingChanges() && c.saveChangesWithoutConfirm()));
    check(!c.workspaceDir().empty());
    check(c.defaultPresetName().size() <= kolva::Config::kMaxNameBytes);
    check(std::isfinite(c.saleCheckTime()));
    check(c.aiWeight() >= 0.0 && c.aiWeight() <= 100.0);
    for (int i = 0; i < 4; ++i)
        check(c.aiSlider(i) >= 0 && c.aiSlider(i) <= 255);
    for (float v : c.defaultPresetParams())
        check(v >= 0.0f && v <= 1.0f);
}

bool sameNumbers(const kolva::Config& a, const kolva::Config& b) {
    bool same = a.guiScaleIndex() == b.guiScaleIndex() && a.showPerfPanel() == b.showPerfPanel() &&
                a.themeId() == b.themeId() && a.expandFactory() == b.expandFactory() &&
                a.confirmSavingChanges() == b.confirmSavingChanges() &&
                a.saveChangesWithoutConfirm() == b.saveChangesWithoutConfirm() &&
                a.applyInitToCurrent() == b.applyInitToCurrent() &&
                a.convertLegacyOnImport() == b.convertLegacyOnImport() &&
                a.saleCheckTime() == b.saleCheckTime() && a.aiPresetCount() == b.aiPresetCount() &&
                a.aiWeight() == b.aiWeight() && a.defaultPresetParams() == b.defaultPresetParams();
    for (int i = 0; i < 4; ++i)
        same = same && a.aiSlider(i) == b.aiSlider(i);
    return same;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const fs::path folder = workFolder() / "data";
    std::error_code ec;
    fs::remove_all(folder, ec);
    fs::create_directories(folder, ec);
    const bool legacy = (data[0] & 1) != 0;
    {
        std::ofstream out(folder / (legacy ? "kolva2.cfg" : kolva::Config::kFileName),
                          std::ios::binary);
        out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
    }

    kolva::Config config(folder, workFolder());
    config.load(true);
    checkRanges(config);

    // Whatever was accepted survives a save and a fresh load unchanged.
    check(config.save());
    kolva::Config again(folder, workFolder());
    check(again.load(false));
    checkRanges(again);
    check(sameNumbers(config, again));
    return 0;
}
