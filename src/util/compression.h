#pragma once
// Raw deflate (RFC 1951, no zlib or gzip header) in both directions. Inflation always has an
// output cap: data that would expand past it is refused, so a small hostile input cannot make
// us allocate without bound.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kolva {

// Deterministic for the same input (fixed level and settings).
std::optional<std::vector<std::uint8_t>> rawDeflate(std::span<const std::uint8_t> data);

// nullopt for corrupt data, data that does not end where the stream ends (truncated), or
// output that would exceed maxOutput bytes.
std::optional<std::vector<std::uint8_t>> rawInflate(std::span<const std::uint8_t> data,
                                                    std::size_t maxOutput);

} // namespace kolva
