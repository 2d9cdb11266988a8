#include "LoomworkKit/ZFCodec.h"

#include <limits>
#include <vector>

#include <zlib.h>

std::optional<std::size_t> ZFCodec::compressedSize(std::span<const uint8_t> data)
{
    if (data.size() > std::numeric_limits<uInt>::max() / 2)
        return std::nullopt;
    z_stream strm{};
    if (deflateInit2(&strm, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return std::nullopt;
    std::vector<uint8_t> out(compressBound(static_cast<uLong>(data.size())) + 128);
    strm.next_in = const_cast<Bytef*>(data.data());
    strm.avail_in = static_cast<uInt>(data.size());
    strm.next_out = out.data();
    strm.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&strm, Z_FINISH);
    const std::size_t total = strm.total_out;
    deflateEnd(&strm);
    if (result != Z_STREAM_END)
        return std::nullopt;
    return total;
}

bool ZFCodec::isWorthCompressing(std::span<const uint8_t> data, double floor)
{
    if (data.empty())
        return false;
    const auto compressed = compressedSize(data);
    if (!compressed)
        return false;
    return floor * static_cast<double>(data.size()) > static_cast<double>(*compressed);
}
