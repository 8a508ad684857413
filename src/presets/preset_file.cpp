#include "presets/preset_file.h"

#include "core/parameter_defs.h"
#include "platform/atomic_file.h"
#include "util/json_text.h"

namespace kolva {
namespace {

constexpr const char* kErrorSavingPreset = "Failed to save preset";

// The pitch-bend wheel and the two global offsets belong to the performance, not the sound.
bool storedInFile(int index) {
    return index != param::kBendWheel && index != 723 && index != 724;
}

void takeString(const OrderedJson& doc, const char* member, Preset& preset,
                void (Preset::*set)(std::string_view)) {
    const auto it = doc.find(member);
    if (it != doc.end() && it->is_string()) (preset.*set)(it->get_ref<const std::string&>());
}

std::vector<std::string> readTags(const OrderedJson& tags) {
    std::vector<std::string> out;
    if (!tags.is_array()) return out;
    for (const OrderedJson& tag : tags) {
        if (out.size() == static_cast<std::size_t>(kPresetMaxTags)) break;
        if (tag.is_string()) out.push_back(tag.get<std::string>());
    }
    return out;
}

// A missing member or a number outside [0, 1] takes the default; text that is no number
// reads as 0.
float readParameter(const OrderedJson& parameters, int index) {
    const ParameterDef& def = parameterDefs()[static_cast<std::size_t>(index)];
    if (!parameters.is_object()) return def.defaultValue;
    const auto it = parameters.find(def.name);
    if (it == parameters.end()) return def.defaultValue;
    const std::optional<double> value = jsonToDouble(*it);
    if (!value) return 0.0f;
    if (!(*value >= 0.0 && *value <= 1.0)) return def.defaultValue;
    return static_cast<float>(*value);
}

} // namespace

std::string presetToText(const Preset& preset, bool withFavourite) {
    OrderedJson doc = OrderedJson::object();
    doc["author"] = preset.author();
    doc["vendor"] = preset.vendor();
    doc["bank"] = preset.bank();
    doc["notes"] = preset.notes();
    doc["icon"] = preset.icon();
    if (withFavourite) doc["favorite"] = preset.favourite() ? "yes" : "no";
    doc["tags"] = preset.tags();
    OrderedJson parameters = OrderedJson::object();
    const auto& defs = parameterDefs();
    for (int i = 0; i < kNumParameters; ++i) {
        if (storedInFile(i))
            parameters[defs[static_cast<std::size_t>(i)].name] = floatToJson(preset.parameter(i));
    }
    doc["parameters"] = std::move(parameters);
    return dumpJson(doc);
}

std::optional<Preset> presetFromText(std::string_view text, std::string_view name,
                                     std::string& error) {
    const std::optional<OrderedJson> parsed = parseJson(text);
    if (!parsed || !parsed->is_object()) {
        error = kErrorLoadingPreset;
        return std::nullopt;
    }
    const OrderedJson& doc = *parsed;

    Preset preset;
    preset.setName(name);
    const auto favourite = doc.find("favorite");
    preset.setFavourite(favourite != doc.end() && favourite->is_string() &&
                        favourite->get_ref<const std::string&>() == "yes");
    takeString(doc, "author", preset, &Preset::setAuthor);
    takeString(doc, "vendor", preset, &Preset::setVendor);
    takeString(doc, "bank", preset, &Preset::setBank);
    takeString(doc, "notes", preset, &Preset::setNotes);
    takeString(doc, "icon", preset, &Preset::setIcon);
    if (const auto tags = doc.find("tags"); tags != doc.end()) preset.setTags(readTags(*tags));

    static const OrderedJson kNoParameters;
    const auto found = doc.find("parameters");
    const OrderedJson& parameters = found != doc.end() ? *found : kNoParameters;
    for (int i = 0; i < kNumParameters; ++i) preset.setParameter(i, readParameter(parameters, i));
    preset.setParameterCount(kNumParameters);
    return preset;
}

std::optional<Preset> readPresetFile(const std::filesystem::path& file, std::string& error) {
    const auto bytes = platform::readFile(file, kMaxPresetFileBytes);
    if (!bytes) {
        error = kErrorLoadingPreset;
        return std::nullopt;
    }
    const std::string_view text(reinterpret_cast<const char*>(bytes->data()), bytes->size());
    std::optional<Preset> preset = presetFromText(text, file.stem().string(), error);
    if (preset) preset->setPath(file.string());
    return preset;
}

bool writePresetFile(const std::filesystem::path& file, const Preset& preset, bool withFavourite,
                     std::string& error) {
    const std::string text = presetToText(preset, withFavourite);
    if (!platform::writeFileAtomically(file, text.data(), text.size())) {
        error = kErrorSavingPreset;
        return false;
    }
    return true;
}

} // namespace kolva
