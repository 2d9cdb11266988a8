#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace standin {

// A QR code of `text` as a greyscale PNG (8 pixels per module, 4 modules of margin).
// Empty when the text cannot be encoded.
std::string qrPng(const std::string& text);

// A width x height RGB PNG whose pixel (x, y) is colour(x, y) as 0xRRGGBB.
std::string rgbPng(int width, int height, const std::function<uint32_t(int x, int y)>& colour);

std::string base64(const std::string& bytes);

} // namespace standin
