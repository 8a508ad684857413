#pragma once
// SHA-256 and SHA-512 digests as lower-case hexadecimal text.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kolva {

std::string sha256Hex(std::span<const std::uint8_t> data);
std::string sha256Hex(std::string_view text);
std::string sha512Hex(std::span<const std::uint8_t> data);

} // namespace kolva
