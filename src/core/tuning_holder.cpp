#include "core/tuning_holder.h"

#include "engine/tuning_map.h"
#include "platform/atomic_file.h"
#include "platform/folders.h"
#include "util/number_text.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

namespace kolva {
namespace {

using Json = nlohmann::ordered_json;

constexpr int kMaxReferenceNote = 127;
// A full 1024-degree state is under 100 kB; anything far larger is not ours.
constexpr std::size_t kMaxStateTextBytes = std::size_t{1} << 20;

std::string invalidFileText(const std::filesystem::path& path) {
    return "Error: Invalid scl file '" + path.string() + "'";
}

// Shortest fixed-point text that reads back as the same double, whatever the locale.
std::string centsText(double cents) {
    char buf[512];
    const auto r = std::to_chars(buf, buf + sizeof buf, cents, std::chars_format::fixed);
    if (r.ec != std::errc()) return formatFixed(cents, 17);
    return std::string(buf, r.ptr);
}

std::optional<long long> integerValue(const Json& v) {
    if (v.is_number_unsigned()) {
        const auto u = v.get<std::uint64_t>();
        constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<long long>::max());
        return static_cast<long long>(std::min(u, kMax));
    }
    if (v.is_number_integer()) return v.get<std::int64_t>();
    return std::nullopt;
}

// An optional integer member, clamped to [lo, hi]; false when present with another type.
bool readSetting(const Json& doc, const char* key, int lo, int hi, int& value) {
    const auto it = doc.find(key);
    if (it == doc.end()) return true;
    const auto v = integerValue(*it);
    if (!v) return false;
    value = static_cast<int>(std::clamp<long long>(*v, lo, hi));
    return true;
}

std::optional<ScaleDegree> readDegree(const Json& entry) {
    if (!entry.is_object()) return std::nullopt;
    const auto type = entry.find("type");
    if (type == entry.end()) return std::nullopt;
    const auto kind = integerValue(*type);
    if (kind == ScaleDegree::kCents) {
        const auto rat = entry.find("rat");
        if (rat == entry.end() || !rat->is_string()) return std::nullopt;
        const auto cents = parseDouble(rat->get_ref<const std::string&>());
        if (!cents) return std::nullopt;
        return ScaleDegree::fromCents(*cents);
    }
    if (kind == ScaleDegree::kRatio) {
        const auto num = entry.find("num");
        const auto den = entry.find("den");
        if (num == entry.end() || den == entry.end()) return std::nullopt;
        const auto n = integerValue(*num);
        const auto d = integerValue(*den);
        constexpr long long kMax = std::numeric_limits<std::int32_t>::max();
        if (!n || !d || *n < 1 || *d < 1 || *n > kMax || *d > kMax) return std::nullopt;
        return ScaleDegree::fromRatio(static_cast<std::int32_t>(*n), static_cast<std::int32_t>(*d));
    }
    return std::nullopt;
}

std::string asciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

bool hasScalaExtension(const std::filesystem::path& name) {
    return asciiLower(name.extension().string()) == ".scl";
}

} // namespace

std::vector<float> TuningHolder::semitoneTable() const {
    if (degrees_.empty()) return {};
    std::vector<float> table;
    table.reserve(degrees_.size() + 1);
    table.push_back(0.0f);
    for (const ScaleDegree& d : degrees_)
        table.push_back(static_cast<float>(degreeSemitones(d)));
    return table;
}

bool TuningHolder::loadFile(const std::filesystem::path& path, std::string& error) {
    ScaleFile scale;
    std::string why;
    if (!loadScalaFile(path, scale, why)) {
        error = invalidFileText(path);
        return false;
    }
    degrees_ = std::move(scale.degrees);
    description_ = std::move(scale.description);
    declaredCount_ = scale.declaredCount;
    selectedFile_ = path.filename().string();
    return true;
}

void TuningHolder::clear() {
    degrees_.clear();
    description_.clear();
    declaredCount_ = 0;
    selectedFile_.clear();
}

void TuningHolder::setReferenceNote(int note) {
    referenceNote_ = std::clamp(note, 0, kMaxReferenceNote);
}

void TuningHolder::setA4Index(int index) {
    a4Index_ = std::clamp(index, 0, kA4IndexCount - 1);
}

bool TuningHolder::applyTo(TuningMap& map) const {
    bool accepted = true;
    if (degrees_.empty()) {
        map.clearScale();
    } else {
        const std::vector<float> table = semitoneTable();
        accepted = map.setScale(table.data(), static_cast<int>(degrees_.size()));
        // Never leave the engine playing a scale other than the one the plug-in shows.
        if (!accepted) map.clearScale();
    }
    map.setReferenceNote(referenceNote_);
    map.setA4Index(a4Index_);
    return accepted;
}

std::string TuningHolder::toStateText() const {
    Json degrees = Json::array();
    for (const ScaleDegree& d : degrees_) {
        Json entry;
        entry["type"] = d.kind;
        if (d.kind == ScaleDegree::kRatio) {
            entry["num"] = d.numerator;
            entry["den"] = d.denominator;
        } else {
            entry["rat"] = centsText(d.cents);
        }
        degrees.push_back(std::move(entry));
    }
    Json doc;
    doc["microtuning"] = std::move(degrees);
    doc["selected_file"] = selectedFile_;
    doc["ref_note"] = referenceNote_;
    doc["a4_freq"] = a4Index_;
    // File names need not be valid UTF-8 on Linux; such bytes are replaced, not thrown on.
    return doc.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool TuningHolder::fromStateText(std::string_view text) {
    if (text.size() > kMaxStateTextBytes) return false;
    try {
        const Json doc = Json::parse(text.begin(), text.end(), nullptr, false);
        if (doc.is_discarded() || !doc.is_object()) return false;

        std::vector<ScaleDegree> degrees;
        if (const auto list = doc.find("microtuning"); list != doc.end()) {
            if (!list->is_array() || list->size() > static_cast<std::size_t>(kMaxScalaDegrees))
                return false;
            degrees.reserve(list->size());
            for (const Json& entry : *list) {
                const auto degree = readDegree(entry);
                if (!degree) return false;
                degrees.push_back(*degree);
            }
            std::string why;
            if (!degrees.empty() && !checkScale(degrees, why)) return false;
        }

        std::string selected;
        if (const auto name = doc.find("selected_file"); name != doc.end()) {
            if (!name->is_string()) return false;
            selected = name->get<std::string>();
        }
        int reference = kDefaultReferenceNote;
        int a4 = kDefaultA4Index;
        if (!readSetting(doc, "ref_note", 0, kMaxReferenceNote, reference) ||
            !readSetting(doc, "a4_freq", 0, kA4IndexCount - 1, a4))
            return false;

        declaredCount_ = static_cast<int>(degrees.size());
        degrees_ = std::move(degrees);
        description_.clear(); // the state does not carry it
        selectedFile_ = std::move(selected);
        referenceNote_ = reference;
        a4Index_ = a4;
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::filesystem::path scaleFolder() {
    const auto base = platform::pluginDataFolder();
    if (base.empty()) return {};
    return base / "scl";
}

bool importScale(const std::filesystem::path& source, std::string& error, std::string* storedName) {
    // Validate the very bytes that get copied.
    const auto bytes = platform::readFile(source, kMaxScalaFileBytes);
    ScaleFile scale;
    std::string why;
    if (!bytes || !parseScalaText({reinterpret_cast<const char*>(bytes->data()), bytes->size()},
                                  scale, why)) {
        error = invalidFileText(source);
        return false;
    }
    std::filesystem::path name = source.filename();
    if (!hasScalaExtension(name)) name += ".scl";

    const auto folder = scaleFolder();
    if (folder.empty() || !platform::ensureFolder(folder) ||
        !platform::writeFileAtomically(folder / name, bytes->data(), bytes->size())) {
        error = "Error: Cannot copy scl file '" + source.string() + "' to the scale folder";
        return false;
    }
    if (storedName != nullptr) *storedName = name.string();
    return true;
}

std::vector<std::string> listScales() {
    std::vector<std::string> names;
    const auto folder = scaleFolder();
    if (folder.empty()) return names;
    std::error_code ec;
    std::filesystem::directory_iterator it(folder, ec);
    for (; !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        if (it->is_regular_file(typeError) && hasScalaExtension(it->path().filename()))
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace kolva
