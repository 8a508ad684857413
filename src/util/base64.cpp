#include "util/base64.h"

#include <openssl/evp.h>

namespace kolva {

std::string base64Encode(std::span<const std::uint8_t> data) {
    std::string out(4 * ((data.size() + 2) / 3), '\0');
    if (data.empty()) return out;
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text) {
    std::string clean;
    clean.reserve(text.size());
    for (char c : text) {
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t' || c == '\f' || c == '\v') continue;
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                              (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=';
        if (!alphabet) return std::nullopt;
        clean.push_back(c);
    }
    if (clean.size() % 4 != 0) return std::nullopt;
    std::size_t pad = 0;
    while (pad < clean.size() && clean[clean.size() - 1 - pad] == '=') ++pad;
    if (pad > 2 || clean.find('=') < clean.size() - pad) return std::nullopt;
    if (clean.empty()) return std::vector<std::uint8_t>{};
    if (clean.size() > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
    std::vector<std::uint8_t> out(clean.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

} // namespace kolva
