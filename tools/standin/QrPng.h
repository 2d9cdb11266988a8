#pragma once

#include <string>

namespace standin {

// A QR code of `text` as a greyscale PNG (8 pixels per module, 4 modules of margin).
// Empty when the text cannot be encoded.
std::string qrPng(const std::string& text);

// An 8-bit RGB PNG of `width` × `height` pixels from `rgb` (3 bytes a pixel, rows top down).
// Empty when the sizes do not match.
std::string rgbPng(int width, int height, const std::string& rgb);

std::string base64(const std::string& bytes);

} // namespace standin
