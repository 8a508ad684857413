#pragma once
// Standard Base64 (RFC 4648 alphabet, '=' padding, no line breaks when encoding).

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kolva {

std::string base64Encode(std::span<const std::uint8_t> data);

// Line breaks and other ASCII white space are skipped; anything else outside the alphabet,
// a bad length or misplaced padding gives nullopt.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

} // namespace kolva
