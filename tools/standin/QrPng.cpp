#include "QrPng.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <qrencode.h>
#include <zlib.h>

namespace standin {

namespace {

constexpr int scale = 8;
constexpr int margin = 4;

void putU32(std::string& out, uint32_t value)
{
    out.push_back(char(value >> 24));
    out.push_back(char(value >> 16));
    out.push_back(char(value >> 8));
    out.push_back(char(value));
}

void putChunk(std::string& out, const char type[4], const std::string& data)
{
    putU32(out, uint32_t(data.size()));
    std::string typed(type, 4);
    typed += data;
    out += typed;
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(typed.data()), uInt(typed.size()));
    putU32(out, uint32_t(crc));
}

// Rows of `raw` each start with filter byte 0; 8-bit greyscale or RGB.
std::string encodePng(int width, int height, bool rgb, const std::string& raw)
{
    uLongf packedSize = compressBound(uLong(raw.size()));
    std::vector<Bytef> packed(packedSize);
    if (compress2(packed.data(), &packedSize, reinterpret_cast<const Bytef*>(raw.data()),
                  uLong(raw.size()), 9) != Z_OK)
        return {};

    std::string png("\x89PNG\r\n\x1a\n", 8);
    std::string header;
    putU32(header, uint32_t(width));
    putU32(header, uint32_t(height));
    header += std::string(rgb ? "\x08\x02\x00\x00\x00" : "\x08\x00\x00\x00\x00", 5);
    putChunk(png, "IHDR", header);
    putChunk(png, "IDAT", std::string(reinterpret_cast<const char*>(packed.data()), packedSize));
    putChunk(png, "IEND", {});
    return png;
}

} // namespace

std::string qrPng(const std::string& text)
{
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code)
        return {};

    const int modules = code->width + 2 * margin;
    const int side = modules * scale;
    std::string raw;
    raw.reserve(size_t(side) * (side + 1));
    for (int y = 0; y < side; ++y) {
        raw.push_back('\0'); // filter: none
        const int my = y / scale - margin;
        for (int x = 0; x < side; ++x) {
            const int mx = x / scale - margin;
            const bool dark = mx >= 0 && my >= 0 && mx < code->width && my < code->width
                && (code->data[my * code->width + mx] & 1);
            raw.push_back(dark ? '\0' : '\xff');
        }
    }

    return encodePng(side, side, false, raw);
}

std::string rgbPng(int width, int height, const std::function<uint32_t(int x, int y)>& colour)
{
    std::string raw;
    raw.reserve(size_t(height) * (size_t(width) * 3 + 1));
    for (int y = 0; y < height; ++y) {
        raw.push_back('\0');
        for (int x = 0; x < width; ++x) {
            const uint32_t rgb = colour(x, y);
            raw.push_back(char(rgb >> 16));
            raw.push_back(char(rgb >> 8));
            raw.push_back(char(rgb));
        }
    }
    return encodePng(width, height, true, raw);
}

std::string base64(const std::string& bytes)
{
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const uint32_t n = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8
            | uint8_t(bytes[i + 2]);
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += alphabet[n >> 6 & 63];
        out += alphabet[n & 63];
    }
    if (i < bytes.size()) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += i + 1 < bytes.size() ? alphabet[n >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

} // namespace standin
