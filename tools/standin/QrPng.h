#pragma once

#include <string>

namespace standin {

// A QR code of `text` as a greyscale PNG (8 pixels per module, 4 modules of margin).
// Empty when the text cannot be encoded.
std::string qrPng(const std::string& text);

std::string base64(const std::string& bytes);

} // namespace standin
