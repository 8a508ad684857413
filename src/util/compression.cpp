#include "util/compression.h"

#include <zlib.h>

#include <limits>

namespace kolva {

namespace {
constexpr int kRawWindowBits = -15;
constexpr std::size_t kStep = 16384;
} // namespace

std::optional<std::vector<std::uint8_t>> rawDeflate(std::span<const std::uint8_t> data) {
    if (data.size() > std::numeric_limits<uInt>::max()) return std::nullopt;
    z_stream z{};
    if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, kRawWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    std::vector<std::uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    const std::size_t written = z.total_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    out.resize(written);
    return out;
}

std::optional<std::vector<std::uint8_t>> rawInflate(std::span<const std::uint8_t> data,
                                                    std::size_t maxOutput) {
    if (data.size() > std::numeric_limits<uInt>::max()) return std::nullopt;
    z_stream z{};
    if (inflateInit2(&z, kRawWindowBits) != Z_OK) return std::nullopt;
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    std::vector<std::uint8_t> out;
    int rc = Z_OK;
    while (rc == Z_OK) {
        const std::size_t have = out.size();
        if (have >= maxOutput) {
            // Full: only acceptable if the stream ends exactly here.
            std::uint8_t probe = 0;
            z.next_out = &probe;
            z.avail_out = 1;
            rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END && z.avail_out == 1) break;
            rc = Z_DATA_ERROR;
            break;
        }
        const std::size_t grow = std::min(kStep, maxOutput - have);
        out.resize(have + grow);
        z.next_out = out.data() + have;
        z.avail_out = static_cast<uInt>(grow);
        rc = inflate(&z, Z_NO_FLUSH);
        out.resize(have + (grow - z.avail_out));
        if (rc == Z_BUF_ERROR && z.avail_in == 0) rc = Z_DATA_ERROR; // truncated stream
        else if (rc == Z_BUF_ERROR) rc = Z_OK;
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

} // namespace kolva
