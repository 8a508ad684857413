#include "util/json_text.h"

#include "util/number_text.h"

#include <charconv>
#include <cmath>

namespace kolva {

std::optional<OrderedJson> parseJson(std::string_view text, int maxDepth) {
    bool tooDeep = false;
    auto guard = [&](int depth, OrderedJson::parse_event_t, OrderedJson&) {
        if (depth > maxDepth) tooDeep = true;
        return !tooDeep;
    };
    OrderedJson value = OrderedJson::parse(text.begin(), text.end(), guard, false);
    if (tooDeep || value.is_discarded()) return std::nullopt;
    return value;
}

std::string dumpJson(const OrderedJson& value) {
    return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

std::string formatGeneral(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 6);
    return std::string(buf, r.ptr);
}

OrderedJson floatToJson(float value) {
    if (!std::isfinite(value)) return 0; // JSON has no NaN; a sound never needs it
    const std::string text = formatGeneral(value);
    if (text.find_first_of(".e") == std::string::npos) {
        long long whole = 0;
        auto r = std::from_chars(text.data(), text.data() + text.size(), whole);
        if (r.ec == std::errc()) return whole;
    }
    return parseDouble(text).value_or(0.0);
}

std::optional<double> jsonToDouble(const OrderedJson& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_string()) return parseDouble(value.get_ref<const std::string&>());
    return std::nullopt;
}

} // namespace kolva
