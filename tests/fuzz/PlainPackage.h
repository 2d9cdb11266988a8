#pragma once

// The input of fuzz_package_plain made into a package: mutations land in the plaintext
// metadata and stream, which are then sealed as the packer would, so they reach the checks
// behind the cipher. Byte 0 is the plaintext size of every chunk (0 means 1 MiB), then the
// metadata JSON up to the first NUL byte, where "$E" stands for the length of the sealed
// stream, then the plug-in stream (make_corpus.py writes the seeds).

#include <cstdint>
#include <string>
#include <string_view>

#include "LoomworkKit/ZFCPacker.h"

namespace fuzz {

inline std::string lengthHeader(std::size_t value)
{
    std::string h(8, '\0');
    for (int i = 0; i < 8; ++i)
        h[static_cast<std::size_t>(i)] = static_cast<char>((static_cast<uint64_t>(value) >> (8 * i)) & 0xFF);
    return h;
}

inline std::string sealed(std::string_view plain)
{
    const auto s = ZFCPacker::encryptBuffer({reinterpret_cast<const uint8_t*>(plain.data()), plain.size()});
    return lengthHeader(s.size()) + std::string(s.begin(), s.end());
}

inline std::string plainToPackage(std::string_view input)
{
    if (input.empty())
        return {};
    const std::size_t piece = static_cast<unsigned char>(input[0]) ? static_cast<unsigned char>(input[0]) : 1 << 20;
    input.remove_prefix(1);
    const std::size_t nul = input.find('\0');
    std::string metadata(input.substr(0, nul));
    const std::string_view stream = nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    std::string data;
    for (std::size_t at = 0; at < stream.size(); at += piece)
        data += sealed(stream.substr(at, piece));
    const std::string eSize = std::to_string(data.size());
    for (std::size_t at = metadata.find("\"$E\""); at != std::string::npos; at = metadata.find("\"$E\"", at + eSize.size()))
        metadata.replace(at, 4, eSize);
    // A metadata text that is empty still gets a sealed block: the reader refuses it itself.
    return sealed(metadata) + data;
}

} // namespace fuzz
