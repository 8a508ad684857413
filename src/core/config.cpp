#include "core/config.h"

#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "util/base64.h"
#include "util/compression.h"
#include "util/json_text.h"


#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <system_error>
#include <utility>
#include <vector>

namespace kolva {

namespace fs = std::filesystem;

namespace {

using Lock = ScopedLock<Mutex>;

constexpr const char* kLegacyFiles[] = {"kolva.cfg", "kolva2.cfg", "kolva3.cfg"};
constexpr std::size_t kLegacyHeaderBytes = 5 * 4;
constexpr std::size_t kLegacyMaxPath = 1023;
// A legacy file is a 20-byte header and a path of at most 1 KiB; anything far larger is not one.
constexpr std::size_t kMaxLegacyFileBytes = 64 * 1024;

// --- acceptance rules, shared by load, the legacy reader and the setters -------------------
// Integer keys are compared as unsigned, so negative values fall outside the range too.

int scaleIndexRule(std::int64_t v) {
    return (v < 0 || v > 5) ? 0 : static_cast<int>(v);
}
int perfPanelRule(std::int64_t v) {
    return (v < 0 || v > 1) ? 1 : static_cast<int>(v);
}
int themeRule(std::int64_t v) {
    return (v < 0 || v > 4) ? 0 : static_cast<int>(v);
}
int expandFactoryRule(std::int64_t v) {
    return (v < -1 || v > 1) ? -1 : static_cast<int>(v);
}
int nonZeroRule(std::int64_t v) {
    return v != 0 ? 1 : 0;
}
int sliderRule(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, 0, 255));
}

int saturateToInt(std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, std::numeric_limits<int>::min(),
                                                     std::numeric_limits<int>::max()));
}

double weightRule(double v) {
    if (!(v >= 0.0)) return 0.0; // also NaN
    return std::min(v, 100.0);
}

double finiteOrZero(double v) {
    return std::isfinite(v) ? v : 0.0;
}

// Init-preset values are normalised parameter values; anything else would reach the engine.
float paramRule(float v) {
    if (!(v >= 0.0f)) return 0.0f;
    return std::min(v, 1.0f);
}

// At most maxBytes bytes, never ending inside a UTF-8 sequence.
std::string cutUtf8(std::string text, std::size_t maxBytes) {
    if (text.size() <= maxBytes) return text;
    std::size_t cut = maxBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    text.resize(cut);
    return text;
}

// --- typed reads that never throw: a wrong type reads as a missing key ---------------------

const OrderedJson* member(const OrderedJson& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::int64_t> readInt(const OrderedJson& object, const char* key) {
    const OrderedJson* v = member(object, key);
    if (v == nullptr || !v->is_number_integer()) return std::nullopt;
    if (v->is_number_unsigned()) {
        const auto u = v->get<std::uint64_t>();
        return static_cast<std::int64_t>(
            std::min<std::uint64_t>(u, std::numeric_limits<std::int64_t>::max()));
    }
    return v->get<std::int64_t>();
}

std::optional<double> readNumber(const OrderedJson& object, const char* key) {
    const OrderedJson* v = member(object, key);
    if (v == nullptr || !v->is_number()) return std::nullopt;
    return v->get<double>();
}

std::optional<std::string> readString(const OrderedJson& object, const char* key) {
    const OrderedJson* v = member(object, key);
    if (v == nullptr || !v->is_string()) return std::nullopt;
    return v->get<std::string>();
}

bool readBool(const OrderedJson& object, const char* key) {
    const OrderedJson* v = member(object, key);
    return v != nullptr && v->is_boolean() && v->get<bool>();
}

// --- default_preset.params: 725 little-endian floats, raw deflate, Base64 ------------------

std::optional<std::string> encodeParams(const std::array<float, Config::kParamCount>& values) {
    std::vector<std::uint8_t> bytes(Config::kParamBytes);
    for (int i = 0; i < Config::kParamCount; ++i) {
        std::uint32_t bits = 0;
        std::memcpy(&bits, &values[static_cast<std::size_t>(i)], 4);
        for (int b = 0; b < 4; ++b)
            bytes[static_cast<std::size_t>(i) * 4 + b] = static_cast<std::uint8_t>(bits >> (8 * b));
    }
    auto packed = rawDeflate(bytes);
    if (!packed) return std::nullopt;
    return base64Encode(*packed);
}

// All zero when the text does not decode; otherwise the first decoded-length / 4 values.
std::array<float, Config::kParamCount> decodeParams(const std::string& text) {
    std::array<float, Config::kParamCount> values{};
    auto packed = base64Decode(text);
    if (!packed) return values;
    auto bytes = rawInflate(*packed, Config::kMaxInflatedParams);
    if (!bytes) return values;
    const std::size_t count =
        std::min<std::size_t>(bytes->size() / 4, static_cast<std::size_t>(Config::kParamCount));
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits = 0;
        for (int b = 0; b < 4; ++b)
            bits |= static_cast<std::uint32_t>((*bytes)[i * 4 + b]) << (8 * b);
        float v = 0.0f;
        std::memcpy(&v, &bits, 4);
        values[i] = paramRule(v);
    }
    return values;
}

std::int32_t readLe32(const std::vector<unsigned char>& bytes, std::size_t offset) {
    std::uint32_t v = 0;
    for (int b = 0; b < 4; ++b)
        v |= static_cast<std::uint32_t>(bytes[offset + b]) << (8 * b);
    return static_cast<std::int32_t>(v);
}

} // namespace

Config::Config(fs::path dataFolder, fs::path cacheBase)
    : dataFolder_(dataFolder.empty() ? platform::pluginDataFolder() : std::move(dataFolder)) {
    // The cache folder is created up front so that online services can drop files into it.
    const fs::path tail = fs::path("Caches") / "Mornside" / "Kolva";
    const fs::path primary = cacheBase.empty() ? platform::localAppDataFolder() : cacheBase;
    const fs::path appData =
        dataFolder_.empty() ? platform::appDataFolder() : dataFolder_.parent_path();
    if (!primary.empty() && platform::ensureFolder(primary / tail)) {
        cacheFolder_ = primary / tail / "";
    } else if (!appData.empty() && platform::ensureFolder(appData / tail)) {
        cacheFolder_ = appData / tail / "";
    }
}

Config::~Config() = default;

fs::path Config::dataFolder() const {
    return dataFolder_;
}

fs::path Config::filePath() const {
    if (dataFolder_.empty()) return {};
    return dataFolder_ / kFileName;
}

fs::path Config::cacheFolder() const {
    return cacheFolder_;
}

std::uint64_t Config::fileReadCount() const {
    Lock lock(mutex_);
    return readCount_;
}

Config::FileStamp Config::stampOf(const fs::path& file) const {
    const platform::FileIdentity id = platform::fileIdentity(file);
    FileStamp stamp;
    if (!id.exists) return stamp;
    stamp.valid = true;
    stamp.regular = id.regular;
    stamp.device = id.device;
    stamp.inode = id.inode;
    stamp.size = id.size;
    stamp.mtimeNs = id.mtimeNs;
    return stamp;
}

// --- load --------------------------------------------------------------------------------

bool Config::load(bool force) {
    Lock lock(mutex_);
    const fs::path file = filePath();
    const FileStamp now = stampOf(file);
    if (!force && haveStamp_ && now == stamp_) return false;

    if (!now.valid) {
        // No file (or it vanished): start from the defaults, take over what the old settings
        // files hold, and write the JSON file so the next load finds it.
        fields_ = Fields{};
        migrateLegacyLocked();
        if (!saveLocked()) {
            stamp_ = FileStamp{};
            haveStamp_ = true;
        }
        applyDefaultWorkspaceLocked();
        return true;
    }

    if (now.regular) {
        ++readCount_;
        auto bytes = platform::readFile(file, kMaxFileBytes);
        if (bytes) applyJsonLocked(std::string(bytes->begin(), bytes->end()));
    }
    // Recorded even when the text did not parse, so a broken file is not reread on every call.
    stamp_ = now;
    haveStamp_ = true;
    applyDefaultWorkspaceLocked();
    return true;
}

void Config::applyJsonLocked(const std::string& text) {
    auto parsed = parseJson(text);
    if (!parsed || !parsed->is_object()) return; // unparsable: keep the fields as they are
    const OrderedJson& root = *parsed;

    Fields f = fields_;
    // A missing (or mistyped) key takes its default, so an old or hand-edited file never
    // hides the performance section or collapses the factory folder by surprise.
    f.guiScaleIndex = scaleIndexRule(readInt(root, "gui_scale_index").value_or(1));
    f.showPerfPanel = perfPanelRule(readInt(root, "show_perf_panel").value_or(1));
    f.themeId = themeRule(readInt(root, "theme_id").value_or(0));
    f.expandFactory = expandFactoryRule(readInt(root, "expand_factory").value_or(-1));
    f.workspaceDir = readString(root, "workspace_dir").value_or("");
    f.defaultAuthor = readString(root, "default_author").value_or("");
    f.defaultVendor = readString(root, "default_vendor").value_or("");
    f.saveChangesWithoutConfirm = readBool(root, "save_changes_wo_confirm");
    f.confirmSavingChanges =
        readBool(root, "confirm_saving_changes") && !f.saveChangesWithoutConfirm;
    f.applyInitToCurrent = nonZeroRule(readInt(root, "apply_init_to_current").value_or(1));
    f.convertLegacyOnImport = saturateToInt(readInt(root, "convert_legacy_on_import").value_or(1));
    f.saleCheckTime = finiteOrZero(readNumber(root, "sale_check_time").value_or(0.0));
    f.saleEndTime = readString(root, "sale_end_time").value_or("");

    f.defaultPresetParams.fill(0.0f);
    f.defaultPresetName.clear();
    if (const OrderedJson* preset = member(root, "default_preset")) {
        auto name = readString(*preset, "name");
        auto params = readString(*preset, "params");
        if (name) f.defaultPresetName = cutUtf8(std::move(*name), kMaxNameBytes);
        if (name && params) f.defaultPresetParams = decodeParams(*params);
    }

    static const OrderedJson kEmpty = OrderedJson::object();
    const OrderedJson* aiPtr = member(root, "ai");
    const OrderedJson& ai = aiPtr != nullptr ? *aiPtr : kEmpty;
    f.aiNet = readString(ai, "net").value_or("");
    f.aiModel = readString(ai, "model").value_or("");
    f.aiCorrector = readString(ai, "corrector").value_or("");
    f.aiMode = readString(ai, "mode").value_or("");
    f.aiTimbre = readString(ai, "timbre").value_or("");
    f.aiPresetCount = saturateToInt(readInt(ai, "presetCount").value_or(0));
    static constexpr const char* kSliderKeys[] = {"s0", "s1", "s2", "s3"};
    for (std::size_t i = 0; i < f.aiSliders.size(); ++i)
        f.aiSliders[i] = sliderRule(readInt(ai, kSliderKeys[i]).value_or(0));
    f.aiWeight = weightRule(readNumber(ai, "weight").value_or(0.0));

    fields_ = std::move(f);
}

void Config::applyDefaultWorkspaceLocked() {
    if (fields_.workspaceDir.empty() && !dataFolder_.empty())
        fields_.workspaceDir = (dataFolder_ / "Banks" / "").string();
}

void Config::migrateLegacyLocked() {
    if (dataFolder_.empty()) return;
    for (const char* name : kLegacyFiles) {
        const fs::path file = dataFolder_ / name;
        if (!stampOf(file).regular) continue;
        auto bytes = platform::readFile(file, kMaxLegacyFileBytes);
        if (!bytes || bytes->size() < kLegacyHeaderBytes) continue; // missing or truncated
        const std::vector<unsigned char>& b = *bytes;
        if (readLe32(b, 0) == 2) {
            fields_.guiScaleIndex = scaleIndexRule(readLe32(b, 4));
            fields_.showPerfPanel = nonZeroRule(readLe32(b, 8));
            fields_.themeId = themeRule(readLe32(b, 12));
            fields_.expandFactory = expandFactoryRule(readLe32(b, 16));
        }
        // The path ends at its terminator, at 1023 bytes, or where a short file ends.
        const std::size_t avail = std::min(b.size() - kLegacyHeaderBytes, kLegacyMaxPath);
        const auto first = b.begin() + static_cast<std::ptrdiff_t>(kLegacyHeaderBytes);
        const auto last = std::find(first, first + static_cast<std::ptrdiff_t>(avail), 0);
        if (last != first) fields_.workspaceDir.assign(first, last);
    }
}

// --- save --------------------------------------------------------------------------------

bool Config::save() {
    Lock lock(mutex_);
    return saveLocked();
}

bool Config::saveLocked() {
    const fs::path file = filePath();
    if (file.empty()) return false;
    const Fields& f = fields_;
    auto params = encodeParams(f.defaultPresetParams);
    if (!params) return false;

    OrderedJson root = OrderedJson::object();
    root["gui_scale_index"] = f.guiScaleIndex;
    root["show_perf_panel"] = f.showPerfPanel;
    root["theme_id"] = f.themeId;
    root["expand_factory"] = f.expandFactory;
    root["workspace_dir"] = f.workspaceDir;
    root["default_author"] = f.defaultAuthor;
    root["default_vendor"] = f.defaultVendor;
    root["confirm_saving_changes"] = f.confirmSavingChanges;
    root["save_changes_wo_confirm"] = f.saveChangesWithoutConfirm;
    root["apply_init_to_current"] = f.applyInitToCurrent;
    root["convert_legacy_on_import"] = f.convertLegacyOnImport;
    root["sale_check_time"] = f.saleCheckTime;
    root["sale_end_time"] = f.saleEndTime;
    OrderedJson preset = OrderedJson::object();
    preset["name"] = f.defaultPresetName;
    preset["params"] = *params;
    root["default_preset"] = std::move(preset);
    OrderedJson ai = OrderedJson::object();
    ai["net"] = f.aiNet;
    ai["model"] = f.aiModel;
    ai["corrector"] = f.aiCorrector;
    ai["mode"] = f.aiMode;
    ai["timbre"] = f.aiTimbre;
    ai["presetCount"] = f.aiPresetCount;
    ai["s0"] = f.aiSliders[0];
    ai["s1"] = f.aiSliders[1];
    ai["s2"] = f.aiSliders[2];
    ai["s3"] = f.aiSliders[3];
    ai["weight"] = f.aiWeight;
    root["ai"] = std::move(ai);

    // Indented for people who open the file; invalid UTF-8 is replaced, never thrown.
    const std::string text = root.dump(4, ' ', false, OrderedJson::error_handler_t::replace);
    if (!platform::ensureFolder(dataFolder_)) return false;
    if (!platform::writeFileAtomically(file, text.data(), text.size())) return false;
    // Our own write is not a change to reread.
    stamp_ = stampOf(file);
    haveStamp_ = true;
    return true;
}

// --- getters and setters -------------------------------------------------------------------

int Config::guiScaleIndex() const {
    Lock l(mutex_);
    return fields_.guiScaleIndex;
}
int Config::showPerfPanel() const {
    Lock l(mutex_);
    return fields_.showPerfPanel;
}
int Config::themeId() const {
    Lock l(mutex_);
    return fields_.themeId;
}
int Config::expandFactory() const {
    Lock l(mutex_);
    return fields_.expandFactory;
}
fs::path Config::workspaceDir() const {
    Lock l(mutex_);
    return fs::path(fields_.workspaceDir);
}
std::string Config::defaultAuthor() const {
    Lock l(mutex_);
    return fields_.defaultAuthor;
}
std::string Config::defaultVendor() const {
    Lock l(mutex_);
    return fields_.defaultVendor;
}
bool Config::confirmSavingChanges() const {
    Lock l(mutex_);
    return fields_.confirmSavingChanges;
}
bool Config::saveChangesWithoutConfirm() const {
    Lock l(mutex_);
    return fields_.saveChangesWithoutConfirm;
}
int Config::applyInitToCurrent() const {
    Lock l(mutex_);
    return fields_.applyInitToCurrent;
}
int Config::convertLegacyOnImport() const {
    Lock l(mutex_);
    return fields_.convertLegacyOnImport;
}
double Config::saleCheckTime() const {
    Lock l(mutex_);
    return fields_.saleCheckTime;
}
std::string Config::saleEndTime() const {
    Lock l(mutex_);
    return fields_.saleEndTime;
}
std::string Config::defaultPresetName() const {
    Lock l(mutex_);
    return fields_.defaultPresetName;
}
std::array<float, Config::kParamCount> Config::defaultPresetParams() const {
    Lock l(mutex_);
    return fields_.defaultPresetParams;
}
std::string Config::aiNet() const {
    Lock l(mutex_);
    return fields_.aiNet;
}
std::string Config::aiModel() const {
    Lock l(mutex_);
    return fields_.aiModel;
}
std::string Config::aiCorrector() const {
    Lock l(mutex_);
    return fields_.aiCorrector;
}
std::string Config::aiMode() const {
    Lock l(mutex_);
    return fields_.aiMode;
}
std::string Config::aiTimbre() const {
    Lock l(mutex_);
    return fields_.aiTimbre;
}
int Config::aiPresetCount() const {
    Lock l(mutex_);
    return fields_.aiPresetCount;
}
int Config::aiSlider(int index) const {
    if (index < 0 || index >= 4) return 0;
    Lock l(mutex_);
    return fields_.aiSliders[static_cast<std::size_t>(index)];
}
double Config::aiWeight() const {
    Lock l(mutex_);
    return fields_.aiWeight;
}

void Config::setGuiScaleIndex(int v) {
    Lock l(mutex_);
    fields_.guiScaleIndex = scaleIndexRule(v);
}
void Config::setShowPerfPanel(int v) {
    Lock l(mutex_);
    fields_.showPerfPanel = perfPanelRule(v);
}
void Config::setThemeId(int v) {
    Lock l(mutex_);
    fields_.themeId = themeRule(v);
}
void Config::setExpandFactory(int v) {
    Lock l(mutex_);
    fields_.expandFactory = expandFactoryRule(v);
}
void Config::setWorkspaceDir(const fs::path& folder) {
    Lock l(mutex_);
    fields_.workspaceDir = folder.string();
    applyDefaultWorkspaceLocked();
}
void Config::setDefaultAuthor(const std::string& s) {
    Lock l(mutex_);
    fields_.defaultAuthor = s;
}
void Config::setDefaultVendor(const std::string& s) {
    Lock l(mutex_);
    fields_.defaultVendor = s;
}
void Config::setConfirmSavingChanges(bool on) {
    Lock l(mutex_);
    fields_.confirmSavingChanges = on;
    if (on) fields_.saveChangesWithoutConfirm = false;
}
void Config::setSaveChangesWithoutConfirm(bool on) {
    Lock l(mutex_);
    fields_.saveChangesWithoutConfirm = on;
    if (on) fields_.confirmSavingChanges = false;
}
void Config::setApplyInitToCurrent(int v) {
    Lock l(mutex_);
    fields_.applyInitToCurrent = nonZeroRule(v);
}
void Config::setConvertLegacyOnImport(int v) {
    Lock l(mutex_);
    fields_.convertLegacyOnImport = v;
}
void Config::setSaleCheckTime(double t) {
    Lock l(mutex_);
    fields_.saleCheckTime = finiteOrZero(t);
}
void Config::setSaleEndTime(const std::string& s) {
    Lock l(mutex_);
    fields_.saleEndTime = s;
}
void Config::setDefaultPreset(const std::string& name,
                              const std::array<float, kParamCount>& values) {
    Lock l(mutex_);
    fields_.defaultPresetName = cutUtf8(name, kMaxNameBytes);
    for (std::size_t i = 0; i < values.size(); ++i)
        fields_.defaultPresetParams[i] = paramRule(values[i]);
}
void Config::setAiNet(const std::string& s) {
    Lock l(mutex_);
    fields_.aiNet = s;
}
void Config::setAiModel(const std::string& s) {
    Lock l(mutex_);
    fields_.aiModel = s;
}
void Config::setAiCorrector(const std::string& s) {
    Lock l(mutex_);
    fields_.aiCorrector = s;
}
void Config::setAiMode(const std::string& s) {
    Lock l(mutex_);
    fields_.aiMode = s;
}
void Config::setAiTimbre(const std::string& s) {
    Lock l(mutex_);
    fields_.aiTimbre = s;
}
void Config::setAiPresetCount(int v) {
    Lock l(mutex_);
    fields_.aiPresetCount = v;
}
void Config::setAiSlider(int index, int v) {
    if (index < 0 || index >= 4) return;
    Lock l(mutex_);
    fields_.aiSliders[static_cast<std::size_t>(index)] = sliderRule(v);
}
void Config::setAiWeight(double v) {
    Lock l(mutex_);
    fields_.aiWeight = weightRule(v);
}

} // namespace kolva
