#pragma once
// Number <-> text conversions that ignore the process locale (a host may run under a
// German LC_NUMERIC, where printf would write "0,5" and strtod would stop at ".").

#include <optional>
#include <string>
#include <string_view>

namespace kolva {

std::string formatInt(long long value);
// Fixed notation with the given number of decimals, rounded half away from zero.
std::string formatFixed(double value, int decimals);
// Leading/trailing blanks are skipped; the rest must be one decimal number
// (optional sign, digits, optional fraction and exponent). nullopt otherwise.
std::optional<double> parseDouble(std::string_view text);
// Like parseDouble but accepts trailing text after the number (as strtod would).
std::optional<double> parseLeadingDouble(std::string_view text);

// The text without leading and trailing white space.
std::string_view trimSpace(std::string_view text);

// Copies text into a C buffer of `capacity` bytes, always NUL-terminated (when capacity > 0).
void copyText(char* dest, std::size_t capacity, std::string_view text);

} // namespace kolva
