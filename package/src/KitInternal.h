#pragma once

// Shared pieces of LoomworkKit that stay out of the public headers.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "LoomworkKit/ZFCEntry.h"
#include "LoomworkKit/ZFCPlugin.h"

namespace kit {

// Plug-in streams are cut into pieces of this size before sealing.
inline constexpr std::size_t kPieceSize = 1024 * 1024;
// Every sealed piece and the sealed metadata start with their own random IV (one AES block).
inline constexpr std::size_t kIvSize = 16;
// IV + ciphertext of one full piece: the largest chunk a package may hold.
inline constexpr int64_t kMaxChunkLength = kPieceSize + kIvSize;
inline constexpr int64_t kMinSealedLength = kIvSize + 1;
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
// The cores this process may run on (at least 1).
unsigned coreCount();

// Unicode white space (as in "white space and newlines") trimmed from both ends.
std::string trimWhitespace(std::string_view text);

// AES-256-CTR over consecutive pieces of one sealed buffer: the counter runs on across calls.
class CtrStream
{
public:
    CtrStream(const uint8_t* key, const uint8_t* iv);
    ~CtrStream();
    CtrStream(const CtrStream&) = delete;
    CtrStream& operator=(const CtrStream&) = delete;
    void apply(uint8_t* bytes, std::size_t length);

private:
    void* m_ctx;
};

// ---- metadata JSON ----------------------------------------------------------------------

// Caps of the metadata reader; anything beyond them is refused as metadataCorrupted.
inline constexpr std::size_t kMaxMetadataEntries = 1000000;  // entries of all plug-ins
inline constexpr int kMaxMetadataNesting = 32;
inline constexpr std::size_t kMaxStringBytes = 64 * 1024;    // one string, as written
inline constexpr std::size_t kMaxTokenBytes = 256;           // one number or literal

bool isValidUtf8(std::string_view text);

// Compact JSON, keys sorted, invalid UTF-8 in strings written as U+FFFD.
void appendJson(std::string& out, const ZFCEntry& entry);
void appendJson(std::string& out, const ZFCPlugin& plugin);

// Bounds the length of every token of a JSON text fed to it piece by piece, so that the
// parser never buffers a giant string or number.
class TokenGuard
{
public:
    bool scan(const char* bytes, std::size_t length);

private:
    bool m_inString = false;
    bool m_escape = false;
    std::size_t m_run = 0;
};

// Takes the records of a metadata text as they are parsed: each entry of a plug-in's items
// as it ends, then the plug-in itself, without its items, as its record ends. Returning
// false refuses the metadata.
class MetadataVisitor
{
public:
    virtual ~MetadataVisitor() = default;
    virtual bool entry(ZFCEntry&& entry) = 0;
    virtual bool plugin(ZFCPlugin&& plugin) = 0;
};

// Keeps every record. Entries gather in fixed blocks and move into one vector of the exact
// size at the end of their plug-in: a growing vector would need its old and new copies at once.
class MetadataCollector : public MetadataVisitor
{
public:
    std::vector<ZFCPlugin> plugins;
    bool entry(ZFCEntry&& entry) override;
    bool plugin(ZFCPlugin&& plugin) override;

private:
    std::vector<std::vector<ZFCEntry>> m_blocks;
};

// The plug-in records of a metadata text, parsed without a document tree. Throws
// ZFCPackageError::metadataCorrupted for anything but a valid array of records within the
// caps above. The stream form expects its source to apply a TokenGuard and keeps nothing
// itself: memory is what the visitor keeps.
std::vector<ZFCPlugin> decodeMetadata(std::string_view json);
void decodeMetadata(std::istream& json, MetadataVisitor& visitor);

// Single records through a document tree (small texts only). Throw std::invalid_argument
// when the value is not a valid record.
ZFCEntry entryFromJsonValue(const nlohmann::json& value);
ZFCPlugin pluginFromJsonValue(const nlohmann::json& value);

} // namespace kit
