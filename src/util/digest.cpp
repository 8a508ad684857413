#include "util/digest.h"

#include <openssl/evp.h>

namespace kolva {

namespace {

std::string hexDigest(const EVP_MD* md, const void* data, std::size_t size) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data, size, digest, &length, md, nullptr) != 1) return {};
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out(2 * length, '0');
    for (unsigned i = 0; i < length; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    return out;
}

} // namespace

std::string sha256Hex(std::span<const std::uint8_t> data) {
    return hexDigest(EVP_sha256(), data.data(), data.size());
}
std::string sha256Hex(std::string_view text) { return hexDigest(EVP_sha256(), text.data(), text.size()); }
std::string sha512Hex(std::span<const std::uint8_t> data) {
    return hexDigest(EVP_sha512(), data.data(), data.size());
}

} // namespace kolva
