#include "util/number_text.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kolva {

std::string formatInt(long long value) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string formatFixed(double value, int decimals) {
    if (!std::isfinite(value)) return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    if (decimals < 0) decimals = 0;
    if (decimals > 17) decimals = 17;
    // to_chars rounds half to even on the binary value; round half away from zero first.
    double scale = std::pow(10.0, decimals);
    double scaled = std::round(value * scale);
    if (std::fabs(scaled) < 9e15) value = scaled / scale;
    char buf[512];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    if (r.ec != std::errc()) return "0";
    std::string s(buf, r.ptr);
    if (s.size() > 1 && s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos)
        s.erase(0, 1); // no "-0"
    return s;
}

std::string_view trimSpace(std::string_view t) {
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; };
    while (!t.empty() && space(t.front())) t.remove_prefix(1);
    while (!t.empty() && space(t.back())) t.remove_suffix(1);
    return t;
}

namespace {

std::optional<double> parse(std::string_view t, bool whole) {
    t = trimSpace(t);
    if (!t.empty() && t.front() == '+') t.remove_prefix(1);
    if (t.empty()) return std::nullopt;
    double v = 0;
    auto r = std::from_chars(t.data(), t.data() + t.size(), v, std::chars_format::general);
    if (r.ec != std::errc() && r.ec != std::errc::result_out_of_range) return std::nullopt;
    if (r.ec == std::errc::result_out_of_range) return std::nullopt;
    if (whole && r.ptr != t.data() + t.size()) return std::nullopt;
    return v;
}

} // namespace

std::optional<double> parseDouble(std::string_view text) { return parse(text, true); }
std::optional<double> parseLeadingDouble(std::string_view text) { return parse(text, false); }

void copyText(char* dest, std::size_t capacity, std::string_view text) {
    if (dest == nullptr || capacity == 0) return;
    std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(dest, text.data(), n);
    dest[n] = '\0';
}

} // namespace kolva
