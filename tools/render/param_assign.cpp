#include "render/param_assign.h"

#include "core/option_list.h"
#include "core/parameter_defs.h"
#include "core/vst/vst_abi.h"
#include "util/number_text.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>

namespace kolva::render {

namespace {


bool equalsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool allDigits(std::string_view t) {
    return !t.empty() && std::all_of(t.begin(), t.end(), [](char c) {
        return std::isdigit(static_cast<unsigned char>(c));
    });
}

} // namespace

ParameterResolver::ParameterResolver(host::PluginHost& host)
    : host_(host), kolva_(host.effect().uniqueID == kKolvaUniqueId) {}

int ParameterResolver::findByName(std::string_view name) {
    if (!namesLoaded_) {
        int count = host_.effect().numParams;
        names_.reserve(static_cast<std::size_t>(count));
        for (int i = 0; i < count; ++i) {
            names_.push_back(host_.parameterName(i));
            if (!names_.back().empty()) namesEmpty_ = false;
        }
        namesLoaded_ = true;
    }
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name) return static_cast<int>(i);
    for (std::size_t i = 0; i < names_.size(); ++i)
        if (equalsIgnoreCase(names_[i], name)) return static_cast<int>(i);
    if (namesEmpty_ && kolva_) return findParameter(name);
    return -1;
}

bool ParameterResolver::parseValue(int index, std::string_view text, float& value,
                                   std::string& error) const {
    // Kolva's option words come first: some lists are numbers ("1 2 ... 16", "-4 ... 4"),
    // and "--param poly=4" means the option, not a normalised 4.
    const ParameterDef* def = nullptr;
    std::vector<std::string> words;
    if (kolva_ && index < kNumParameters && parameterDefs()[index].options != nullptr) {
        def = &parameterDefs()[index];
        words = optionWords(def->options);
        auto it = std::find(words.begin(), words.end(), text);
        if (it == words.end())
            it = std::find_if(words.begin(), words.end(),
                              [&](const std::string& w) { return equalsIgnoreCase(w, text); });
        if (it != words.end()) {
            auto k = static_cast<double>(it - words.begin());
            if (def->encoding == OptionEncoding::Thousandths)
                value = static_cast<float>(k / 999.0);
            else
                value = words.size() > 1
                            ? static_cast<float>(k / static_cast<double>(words.size() - 1))
                            : 0.0f;
            return true;
        }
    }
    if (auto number = parseDouble(text)) {
        if (!std::isfinite(*number) || *number < 0.0 || *number > 1.0) {
            error = "parameter value " + std::string(text) + " is outside 0..1";
            return false;
        }
        value = static_cast<float>(*number);
        return true;
    }
    if (def == nullptr) {
        error = "parameter value \"" + std::string(text) + "\" is not a number in 0..1";
        return false;
    }
    error.assign(1, '"').append(text).append("\" is not an option of ").append(def->name);
    error += " (options:";
    for (std::size_t i = 0; i < words.size() && i < 24; ++i)
        error.append(" ").append(words[i]);
    if (words.size() > 24) error += " ...";
    error += ")";
    return false;
}

bool ParameterResolver::resolve(std::string_view setting, ParameterAssignment& out,
                                std::string& error) {
    std::size_t eq = setting.find('=');
    if (eq == std::string_view::npos) {
        error = "parameter setting \"" + std::string(setting) + "\" needs NAME_OR_INDEX=VALUE";
        return false;
    }
    std::string_view key = trimSpace(setting.substr(0, eq));
    std::string_view valueText = trimSpace(setting.substr(eq + 1));
    int count = host_.effect().numParams;

    int index = -1;
    if (allDigits(key)) {
        auto r = std::from_chars(key.data(), key.data() + key.size(), index);
        if (r.ec != std::errc() || index >= count) {
            error = "parameter index " + std::string(key) + " out of range (plug-in has " +
                    formatInt(count) + " parameters)";
            return false;
        }
    } else {
        index = findByName(key);
        if (index < 0 || index >= count) {
            error = "no parameter named \"" + std::string(key) + "\"";
            return false;
        }
    }
    if (!parseValue(index, valueText, out.value, error)) return false;
    out.index = index;
    std::string name = host_.parameterName(index);
    if (name.empty() && kolva_ && index < kNumParameters) name = parameterDefs()[index].name;
    out.name = name.empty() ? std::string(key) : name;
    return true;
}

} // namespace kolva::render
