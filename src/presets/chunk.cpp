#include "presets/chunk.h"

#include "core/config.h"
#include "core/tuning_holder.h"
#include "presets/bank.h"
#include "util/base64.h"
#include "util/compression.h"
#include "util/uuid.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace kolva {

namespace chunk_detail {

std::optional<long long> jsonInteger(const OrderedJson& value) {
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        return u > static_cast<std::uint64_t>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(u);
    }
    if (value.is_number_integer()) return value.get<long long>();
    return std::nullopt;
}

const OrderedJson* member(const OrderedJson& object, const char* name) {
    if (!object.is_object()) return nullptr;
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
}

} // namespace chunk_detail

using chunk_detail::jsonInteger;
using chunk_detail::member;

namespace {

std::span<const std::uint8_t> asBytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

const std::string* stringMember(const OrderedJson& object, const char* name) {
    const OrderedJson* v = member(object, name);
    return v != nullptr && v->is_string() ? &v->get_ref<const std::string&>() : nullptr;
}

std::optional<long long> integerMember(const OrderedJson& object, const char* name) {
    const OrderedJson* v = member(object, name);
    return v != nullptr ? jsonInteger(*v) : std::nullopt;
}

// A number (or a numeric string) that is finite; nullopt for anything else.
std::optional<double> finiteNumber(const OrderedJson& value) {
    const std::optional<double> d = jsonToDouble(value);
    if (!d || !std::isfinite(*d)) return std::nullopt;
    return *d;
}

} // namespace

Chunk::Chunk() : plugUuid_(newUuid()) {}

Chunk::~Chunk() = default;

void Chunk::setSelectedBank(std::string_view bank) {
    std::lock_guard<std::mutex> hold(textLock_);
    selectedBank_ = bank;
}

std::string Chunk::selectedBank() const {
    std::lock_guard<std::mutex> hold(textLock_);
    return selectedBank_;
}

void Chunk::setSourceName(std::string_view name) {
    std::string lower(name);
    for (char& ch : lower)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    std::lock_guard<std::mutex> hold(textLock_);
    sourceName_ = std::move(lower);
}

std::string Chunk::sourceName() const {
    std::lock_guard<std::mutex> hold(textLock_);
    return sourceName_;
}

std::string Chunk::plugUuid() const {
    std::lock_guard<std::mutex> hold(textLock_);
    return plugUuid_;
}

void Chunk::setBank(Bank* bank) {
    ScopedLock<Mutex> hold(lock_);
    bank_ = bank;
}

void Chunk::setTuningHolder(ScalaDataHolder* tuning) {
    ScopedLock<Mutex> hold(lock_);
    tuning_ = tuning;
}

void Chunk::setConfig(Config* config) {
    ScopedLock<Mutex> hold(lock_);
    config_ = config;
    if (config == nullptr) return;
    const int scale = config->guiScaleIndex();
    guiScale_.store(scale >= 1 && scale <= 3 ? scale : 1);
    perfPanelShown_.store(config->showPerfPanel() != 0 ? 1 : 0);
    const int theme = config->themeId();
    theme_.store(theme >= 0 && theme <= 4 ? theme : 0);
}

void Chunk::setDatabase(MetadataStorage* database) {
    ScopedLock<Mutex> hold(lock_);
    database_ = database;
}

void Chunk::setPresetManagerModel(PresetManagerModel* model) {
    ScopedLock<Mutex> hold(lock_);
    presetManager_ = model;
}

void Chunk::registerControllerValues(float* values, int count) {
    ScopedLock<Mutex> hold(lock_);
    const bool valid = values != nullptr && count > 0;
    controllers_ = valid ? values : nullptr;
    controllerCount_ = valid ? count : 0;
}

float* Chunk::controllerValues(int* count) const {
    if (count != nullptr) *count = controllerCount_;
    return controllers_;
}

// ---- database and preset manager hooks ----

std::string Chunk::workspaceUuid() {
    return {};
}

std::int32_t Chunk::indexPresetFile(const std::filesystem::path&) {
    return -1;
}

std::optional<std::string> Chunk::presetPathFromRow(std::int32_t) {
    return std::nullopt;
}

OrderedJson Chunk::presetManagerState() {
    return OrderedJson::object();
}

void Chunk::restorePresetManagerState(const OrderedJson&) {}

// ---- save ----

std::uint8_t* Chunk::reserve(std::size_t bytes) {
    if (buffer_.capacity < bytes) {
        const std::size_t capacity = bytes + 256;
        buffer_.data = std::make_unique<std::uint8_t[]>(capacity); // zero-filled
        buffer_.capacity = capacity;
    }
    return buffer_.data.get();
}

std::int32_t Chunk::saveState(void** out) {
    ScopedLock<Mutex> hold(lock_);
    const std::int32_t length = saveLocked();
    if (out != nullptr) *out = length > 0 ? buffer_.data.get() : nullptr;
    return length;
}

std::int32_t Chunk::saveState() {
    ScopedLock<Mutex> hold(lock_);
    return saveLocked();
}

std::int32_t Chunk::saveLocked() {
    if (bank_ == nullptr) return 0;
    try {
        return legacyMode_.load() ? saveLegacyImage() : saveCurrentLayout();
    } catch (...) {
        // Out of memory or a library refusing a text: the host gets no state rather than an
        // exception across its boundary.
        return 0;
    }
}

std::int32_t Chunk::saveCurrentLayout() {
    Preset& preset = bank_->workingProgram(-1);
    OrderedJson doc = OrderedJson::object();

    OrderedJson params = OrderedJson::array();
    for (int i = 0; i < kNumParameters; ++i)
        params.push_back(floatToJson(preset.parameter(i)));
    doc["preset"]["params"] = std::move(params);
    if (controllers_ != nullptr && controllerCount_ > 0) {
        OrderedJson ctrl = OrderedJson::array();
        for (int i = 0; i < controllerCount_; ++i)
            ctrl.push_back(floatToJson(controllers_[i]));
        doc["ctrl"]["params"] = std::move(ctrl);
    }
    currentProgram_ = bank_->currentProgram();
    doc["preset"]["current"] = currentProgram_;
    doc["plug_uuid"] = plugUuid();
    doc["selected_bank"] = selectedBank();
    doc["gui_scale"] = guiScale_.load();
    doc["perf_panel_show"] = perfPanelShown_.load();
    doc["theme_id"] = theme_.load();
    doc["version"] = kVersion;
    doc["scala"] = tuning_ != nullptr ? tuning_->toStateText() : std::string();
    doc["uuid"] = workspaceUuid();
    std::optional<OrderedJson> pathObject = parseJson(preset.pathObject());
    doc["preset_path_obj"] =
        pathObject && pathObject->is_object() ? std::move(*pathObject) : OrderedJson::object();
    doc["factory_expanded"] = factoryExpanded_.load();

    OrderedJson meta = OrderedJson::object();
    meta["name"] = preset.name();
    meta["author"] = preset.author();
    meta["vendor"] = preset.vendor();
    meta["bank"] = preset.bank();
    meta["notes"] = preset.notes();
    meta["icon"] = preset.icon();
    meta["tags"] = OrderedJson::array();
    for (const std::string& tag : preset.tags())
        meta["tags"].push_back(tag);
    doc["preset_meta"] = std::move(meta);

    OrderedJson browser = presetManager_ != nullptr ? presetManagerState() : OrderedJson::object();
    doc["preset_manager"] = browser.is_object() ? std::move(browser) : OrderedJson::object();

    const std::string text = dumpJson(doc);
    const auto packed = rawDeflate(asBytes(text));
    if (!packed) return 0;
    const std::string encoded = base64Encode(*packed);
    const std::size_t length = encoded.size() + 1; // the host gets the terminating zero too
    if (length > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) return 0;
    std::uint8_t* out = reserve(length);
    std::memcpy(out, encoded.data(), encoded.size());
    out[encoded.size()] = 0;
    return static_cast<std::int32_t>(length);
}

// ---- restore ----

bool Chunk::restoreState(const void* data, std::int32_t length) {
    if (data == nullptr || length <= 0) return false;
    const std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(data),
                                              static_cast<std::size_t>(length));
    ScopedLock<Mutex> hold(lock_);
    if (bank_ == nullptr) return false;
    try {
        if (!legacyOnly_.load() && restoreCurrentLayout(bytes)) return true;
        return restoreLegacyImage(bytes);
    } catch (...) {
        // Every reader below checks types before reading; this only guards against running
        // out of memory half-way.
        return false;
    }
}

bool Chunk::restoreCurrentLayout(std::span<const std::uint8_t> data) {
    // The text ends at its terminating zero (hosts may hand back a longer block).
    const auto* begin = reinterpret_cast<const char*>(data.data());
    const std::size_t textLength = strnlen(begin, data.size());
    if (textLength == 0 || textLength > kMaxTextBytes) return false;
    const auto packed = base64Decode(std::string_view(begin, textLength));
    if (!packed || packed->empty()) return false;
    const auto inflated = rawInflate(*packed, kMaxInflatedBytes);
    if (!inflated || inflated->empty()) return false;
    const std::optional<OrderedJson> doc = parseJson(
        std::string_view(reinterpret_cast<const char*>(inflated->data()), inflated->size()));
    if (!doc || !doc->is_object()) return false;
    applyDocument(*doc);
    return true;
}

void Chunk::applyDocument(const OrderedJson& doc) {
    Preset* preset = &bank_->workingProgram(-1);
    if (const OrderedJson* p = member(doc, "preset")) {
        if (const auto current = integerMember(*p, "current")) {
            currentProgram_ = *current >= 0 && *current <= 127 ? static_cast<int>(*current) : 0;
            bank_->setCurrentProgram(currentProgram_);
            preset = &bank_->workingProgram(-1);
        }
        const OrderedJson* params = member(*p, "params");
        if (params != nullptr && params->is_array()) {
            const std::size_t n = std::min<std::size_t>(params->size(), kNumParameters);
            for (std::size_t i = 0; i < n; ++i) {
                if (const auto v = finiteNumber((*params)[i]))
                    preset->setParameter(static_cast<int>(i),
                                         static_cast<float>(std::clamp(*v, 0.0, 1.0)));
            }
        }
    }

    if (controllers_ != nullptr && controllerCount_ > 0) {
        const OrderedJson* ctrl = member(doc, "ctrl");
        const OrderedJson* params = ctrl != nullptr ? member(*ctrl, "params") : nullptr;
        if (params != nullptr && params->is_array()) {
            const std::size_t n = std::min<std::size_t>(params->size(), controllerCount_);
            for (std::size_t i = 0; i < n; ++i)
                if (const auto v = finiteNumber((*params)[i]))
                    controllers_[i] = static_cast<float>(std::clamp<double>(
                        *v, -std::numeric_limits<float>::max(), std::numeric_limits<float>::max()));
        }
    }

    if (const std::string* bank = stringMember(doc, "selected_bank")) setSelectedBank(*bank);
    if (const std::string* uuid = stringMember(doc, "plug_uuid")) {
        std::lock_guard<std::mutex> hold(textLock_);
        plugUuid_ = *uuid;
    }
    if (const auto v = integerMember(doc, "gui_scale"))
        guiScale_.store(*v >= 1 && *v <= 3 ? int(*v) : 1);
    if (const OrderedJson* perf = member(doc, "perf_panel_show")) {
        if (const auto v = jsonInteger(*perf)) perfPanelShown_.store(*v != 0 ? 1 : 0);
    } else {
        perfPanelShown_.store(1);
    }
    if (const auto v = integerMember(doc, "theme_id"))
        theme_.store(*v >= 0 && *v <= 4 ? int(*v) : 0);
    if (const auto v = integerMember(doc, "factory_expanded"))
        factoryExpanded_.store(*v >= -1 && *v <= 1 ? int(*v) : -1);

    // Path objects and browser state name rows of one workspace's database; from another
    // workspace (or with no database) they would point at the wrong presets.
    const std::string here = workspaceUuid();
    const std::string* saved = stringMember(doc, "uuid");
    const bool sameWorkspace = !here.empty() && saved != nullptr && *saved == here;

    if (tuning_ != nullptr) {
        if (const std::string* scala = stringMember(doc, "scala")) tuning_->fromStateText(*scala);
    }

    if (sameWorkspace) {
        // Older states name the editor's loaded preset "preset_path"; that preset is the
        // current working program here, so the newer member, when present, wins.
        if (const OrderedJson* v = member(doc, "preset_path")) applyPathObject(*v);
        if (const OrderedJson* v = member(doc, "preset_path_obj")) applyPathObject(*v);
    }

    if (const OrderedJson* meta = member(doc, "preset_meta")) {
        if (const std::string* s = stringMember(*meta, "author")) preset->setAuthor(*s);
        if (const std::string* s = stringMember(*meta, "name")) preset->setName(*s);
        if (const std::string* s = stringMember(*meta, "vendor")) preset->setVendor(*s);
        if (const std::string* s = stringMember(*meta, "bank")) preset->setBank(*s);
        if (const std::string* s = stringMember(*meta, "notes")) preset->setNotes(*s);
        if (const std::string* s = stringMember(*meta, "icon")) preset->setIcon(*s);
        const OrderedJson* tags = member(*meta, "tags");
        if (tags != nullptr && tags->is_array()) {
            std::vector<std::string> kept;
            for (const OrderedJson& tag : *tags) {
                if (kept.size() == static_cast<std::size_t>(kPresetMaxTags)) break;
                if (tag.is_string()) kept.push_back(tag.get<std::string>());
            }
            preset->setTags(kept);
        }
    }

    if (sameWorkspace && presetManager_ != nullptr) {
        const OrderedJson* browser = member(doc, "preset_manager");
        if (browser != nullptr && browser->is_object()) restorePresetManagerState(*browser);
    }

    bank_->notifyProgramsChanged(bank_->currentProgram());
}

void Chunk::applyPathObject(const OrderedJson& value) {
    std::optional<OrderedJson> parsed;
    const OrderedJson* object = &value;
    if (value.is_string()) {
        parsed = parseJson(value.get_ref<const std::string&>());
        if (!parsed) return;
        object = &*parsed;
    }
    if (!object->is_object()) return;

    std::int32_t id = -1;
    if (const auto v = integerMember(*object, "id"))
        if (*v >= INT32_MIN && *v <= INT32_MAX) id = static_cast<std::int32_t>(*v);
    Preset& preset = bank_->workingProgram(-1);
    preset.setPathObject(dumpJson(*object));
    preset.setId(id);
    if (id != -1) {
        if (const std::optional<std::string> path = presetPathFromRow(id)) preset.setPath(*path);
    }
}

} // namespace kolva
