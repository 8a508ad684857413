#include "presets/preset.h"

#include "core/parameter_table.h"
#include "util/digest.h"
#include "util/json_text.h"
#include "util/number_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kolva {
namespace {

constexpr int kFingerprintValues = 720; // the wheels and the two global offsets stay out
constexpr std::size_t kNameChars = kPresetNameField - 1;
constexpr std::size_t kLegacyNotesChars = kPresetLegacyNotesField - 1;

// A cut at `limit` bytes that does not leave half a UTF-8 sequence at the end. Text that is
// not UTF-8 there (legacy files may hold any bytes) is cut at `limit` as it is.
std::string_view cutUtf8(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text;
    auto continuation = [&](std::size_t i) {
        return (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
    };
    std::size_t end = limit;
    while (end > 0 && limit - end < 3 && continuation(end)) --end;
    const bool leadByte = static_cast<unsigned char>(text[end]) >= 0xC0;
    return text.substr(0, end < limit && !leadByte ? limit : end);
}

// Stepped values with n options decode to trunc((s - 0.01) * v) with s = 1000 for thousandths
// and n for plain lists. An index past the list is pulled back to the last option (stored as
// thousandths, as the parameter table does); anything below the first option becomes 0.
float sanitizeStepped(bool thousandths, int n, float value) {
    if (std::isnan(value)) return 0.0f;
    const float scale = (thousandths ? 1000.0f : static_cast<float>(n)) - 0.01f;
    const float position = scale * value; // +-inf for huge values, never truncated as such
    if (!(position < static_cast<float>(n))) return static_cast<float>(n - 1) * 0.001001001f;
    if (position < 0.0f) return 0.0f;
    return value;
}

float sanitizeContinuous(float value) {
    return std::isnan(value) ? 0.0f : std::clamp(value, 0.0f, 1.0f);
}

// int(v x 1000) without undefined behaviour for values a file or chunk made absurd.
int thousandthsOf(float value) {
    const float scaled = value * 1000.0f;
    if (std::isnan(scaled)) return 0;
    if (scaled >= 2147483520.0f) return 2147483520; // largest float below 2^31
    if (scaled <= -2147483648.0f) return -2147483647 - 1;
    return static_cast<int>(scaled);
}

} // namespace

float sanitizeParameterValue(const ParameterDef& def, float value) {
    if (def.optionCount > 0)
        return sanitizeStepped(def.encoding == OptionEncoding::Thousandths, def.optionCount,
                               value);
    return sanitizeContinuous(value);
}

Preset::Preset() {
    copyText(name_.data(), name_.size(), "init");
    copyText(legacyNotes_.data(), legacyNotes_.size(), "no notes");
}

void Preset::setParameter(int index, float value) {
    if (index >= 0 && index < kNumParameters) params_[static_cast<std::size_t>(index)] = value;
}

void Preset::setParameters(const float* source, int count, int first) {
    if (source == nullptr || count <= 0 || first < 0 || first >= kNumParameters) return;
    const int n = std::min(count, kNumParameters - first);
    std::copy_n(source, n, params_.begin() + first);
}

void Preset::copyParameters(float* destination, int count) const {
    if (destination == nullptr || count <= 0) return;
    std::copy_n(params_.begin(), std::min(count, kNumParameters), destination);
}

void Preset::setTags(const std::vector<std::string>& tags) {
    const std::size_t n = std::min(tags.size(), static_cast<std::size_t>(kPresetMaxTags));
    tags_.assign(tags.begin(), tags.begin() + static_cast<std::ptrdiff_t>(n));
}

void Preset::setTag(std::string_view tag) {
    tags_.clear();
    if (!tag.empty()) tags_.emplace_back(tag);
}

std::string Preset::fingerprint() const {
    OrderedJson values = OrderedJson::array();
    for (int i = 0; i < kFingerprintValues; ++i)
        values.push_back(thousandthsOf(params_[static_cast<std::size_t>(i)]));
    OrderedJson doc = OrderedJson::object();
    doc["preset"]["params"] = std::move(values);
    return sha256Hex(dumpJson(doc));
}

void Preset::setParameterCount(int n) {
    paramCount_ = std::clamp(n, 0, kNumParameters);
}

void Preset::sanitize(const ParameterTable& table) {
    for (int i = 0; i < kNumParameters; ++i) {
        const ParameterDescriptor& d = table.descriptor(i);
        float& v = params_[static_cast<std::size_t>(i)];
        v = d.optionCount > 0
                ? sanitizeStepped(d.thousandths == 1000, static_cast<int>(d.optionCount), v)
                : sanitizeContinuous(v);
    }
}

void Preset::copyFrom(const Preset& source, int count) {
    name_ = source.name_;
    legacyNotes_ = source.legacyNotes_;
    legacyCategory_ = source.legacyCategory_;
    const int n = count == 0 ? kNumParameters : std::clamp(count, 0, kNumParameters);
    std::copy_n(source.params_.begin(), n, params_.begin());
}

void Preset::setName(std::string_view name) {
    name_.fill('\0');
    const std::string_view cut = cutUtf8(name, kNameChars);
    std::memcpy(name_.data(), cut.data(), cut.size());
}

void Preset::setNameChars(const char* name) {
    name_.fill('\0');
    if (name == nullptr) return;
    std::memcpy(name_.data(), name, ::strnlen(name, kNameChars));
}

void Preset::setLegacyNotes(std::string_view notes) {
    legacyNotes_.fill('\0');
    const std::string_view cut = cutUtf8(notes, kLegacyNotesChars);
    std::memcpy(legacyNotes_.data(), cut.data(), cut.size());
}

void Preset::setAllParameters(const float* values) {
    if (values != nullptr) std::copy_n(values, kNumParameters, params_.begin());
}

} // namespace kolva
