#pragma once
// JSON helpers shared by every file and state format: a parse that never throws and refuses
// absurd nesting, a dump that never throws on bad UTF-8, and parameter numbers written the
// way a default-formatted text stream writes a float (6 significant digits: 0.5, 1e-05, 1).

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kolva {

using OrderedJson = nlohmann::ordered_json;

inline constexpr int kMaxJsonDepth = 64;

// nullopt for text that is not one JSON value, or nests deeper than maxDepth.
std::optional<OrderedJson> parseJson(std::string_view text, int maxDepth = kMaxJsonDepth);

// Compact text; invalid UTF-8 in strings is replaced, never thrown.
std::string dumpJson(const OrderedJson& value);

// The float as "%g" writes it, then stored as a JSON number that prints the same text.
OrderedJson floatToJson(float value);
// "%g" text of a float, independent of the process locale ("0.5", "1e-05", "1").
std::string formatGeneral(float value);

// A JSON number as double; strings holding a decimal number are read too. nullopt otherwise.
std::optional<double> jsonToDouble(const OrderedJson& value);

} // namespace kolva
