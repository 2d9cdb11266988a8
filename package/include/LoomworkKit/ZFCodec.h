#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

// One-shot raw deflate, used to judge whether compressing a file pays off. Never throws.
class ZFCodec
{
public:
    // Raw-deflate length at level 6; no value when zlib fails or the input exceeds 32 bits.
    static std::optional<std::size_t> compressedSize(std::span<const uint8_t> data);
    // True when floor * data length > compressed length; false for empty data or failure.
    static bool isWorthCompressing(std::span<const uint8_t> data, double floor);

    ZFCodec() = delete;
};
