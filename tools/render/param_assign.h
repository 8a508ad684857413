#pragma once
// Turns "--param NAME_OR_INDEX=VALUE" into a parameter index and a normalised value.
// Names come from the plug-in (effGetParamName). Kolva answers empty names, so for a
// plug-in with Kolva's unique ID the names and option words of its own parameter table
// are used instead; that table is plain data and brings no engine along.

#include "host/vst_host.h"
#include "core/vst/vst_abi.h"

#include <string>
#include <string_view>
#include <vector>

namespace kolva::render {

// Kolva's unique ID, "Kol2".
inline constexpr std::int32_t kKolvaUniqueId = vst::fourCC('K', 'o', 'l', '2');

struct ParameterAssignment {
    int index = -1;
    float value = 0.0f;
    std::string name; // as resolved, for messages
};

class ParameterResolver {
public:
    explicit ParameterResolver(host::PluginHost& host);

    // On failure returns false and sets `error` to a one-line message.
    bool resolve(std::string_view setting, ParameterAssignment& out, std::string& error);

    // True when the plug-in identifies as Kolva (unique ID "Kol2").
    bool usesKolvaTable() const { return kolva_; }

private:
    int findByName(std::string_view name);
    bool parseValue(int index, std::string_view text, float& value, std::string& error) const;

    host::PluginHost& host_;
    bool kolva_ = false;
    bool namesLoaded_ = false;
    bool namesEmpty_ = true;
    std::vector<std::string> names_;
};

} // namespace kolva::render
