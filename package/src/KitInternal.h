#pragma once

// Shared pieces of LoomworkKit that stay out of the public headers.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "LoomworkKit/ZFCEntry.h"
#include "LoomworkKit/ZFCPlugin.h"

namespace kit {

// Plug-in streams are cut into pieces of this size before sealing.
inline constexpr std::size_t kPieceSize = 1024 * 1024;
// IV + ciphertext of one full piece: the largest chunk a package may hold.
inline constexpr int64_t kMaxChunkLength = kPieceSize + 16;
inline constexpr int64_t kMinSealedLength = 17;
inline constexpr std::size_t kHeaderSize = 8;
// Length headers must stay below 2^31 (a reader takes bytes 0-3 as signed).
inline constexpr int64_t kMaxHeaderValue = 0x7FFFFFFF;

// Throws filesystem_error for `path` with the current errno.
[[noreturn]] void throwErrno(const char* what, const std::filesystem::path& path);

void putLengthHeader(uint8_t* out, int64_t value);
int32_t readLengthHeader(const uint8_t* in);

// AES-256-CTR (in may equal out). Throws AES256CTR::CryptoError.
void cryptRaw(const uint8_t* in, uint8_t* out, std::size_t length, const uint8_t* key, const uint8_t* iv);
// AES-256-CTR of `length` bytes in place under the package key.
void cryptInPlace(uint8_t* bytes, std::size_t length, const uint8_t* iv);
void randomBytes(uint8_t* out, std::size_t length);
std::string newUuid();

// Unicode white space (as in "white space and newlines") trimmed from both ends.
std::string trimWhitespace(std::string_view text);

// Compact JSON text; invalid UTF-8 in strings becomes U+FFFD instead of throwing.
std::string dumpJson(const nlohmann::json& value);
nlohmann::json toJsonValue(const ZFCEntry& entry);
nlohmann::json toJsonValue(const ZFCPlugin& plugin);
// Throw std::invalid_argument when the value is not a valid record.
ZFCEntry entryFromJsonValue(const nlohmann::json& value);
ZFCPlugin pluginFromJsonValue(const nlohmann::json& value);

} // namespace kit
