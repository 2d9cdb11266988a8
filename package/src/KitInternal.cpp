#include "KitInternal.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <sched.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCPackageReader.h"

namespace kit {

void throwErrno(const char* what, const std::filesystem::path& path)
{
    throw std::filesystem::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

void putLengthHeader(uint8_t* out, int64_t value)
{
    const auto v = static_cast<uint64_t>(value);
    for (int i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(v >> (8 * i));
}

int32_t readLengthHeader(const uint8_t* in)
{
    const uint32_t v = uint32_t(in[0]) | (uint32_t(in[1]) << 8) | (uint32_t(in[2]) << 16) | (uint32_t(in[3]) << 24);
    return static_cast<int32_t>(v);
}

namespace {

int32_t cryptoStatus(int fallback)
{
    // The error queue's last code stands in for the platform's status number; memory that ran
    // out is told as such.
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code && ERR_GET_REASON(code) == ERR_GET_REASON(ERR_R_MALLOC_FAILURE))
        throw std::bad_alloc();
    return code ? static_cast<int32_t>(code & 0x7FFFFFFF) : fallback;
}

// OpenSSL's start-up needs memory. When it could not have it, the library's default context
// is left without its lock and the next call that takes it crashes; the failure itself is
// kept, so it is asked for before each first use.
void requireCrypto()
{
    if (OPENSSL_init_crypto(0, nullptr) != 1 || OSSL_LIB_CTX_get0_global_default() == nullptr)
        throw std::bad_alloc();
}

// The fixed cipher with a checked key, and the random generator the system seeds, fail to
// start only for want of memory, which OpenSSL 3 may report as anything (unsupported, invalid
// argument, internal error) or not at all.
[[noreturn]] void initFailed()
{
    ERR_clear_error();
    throw std::bad_alloc();
}

struct CtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};

} // namespace

void cryptRaw(const uint8_t* in, uint8_t* out, std::size_t length, const uint8_t* key, const uint8_t* iv)
{
    using Kind = AES256CTR::CryptoError::Kind;
    requireCrypto();
    std::unique_ptr<EVP_CIPHER_CTX, CtxDeleter> ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        throw std::bad_alloc();  // its only failure
    if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_ctr(), nullptr, key, iv) != 1)
        initFailed();
    std::size_t done = 0;
    while (done < length) {
        const int piece = static_cast<int>(std::min<std::size_t>(length - done, INT_MAX / 2));
        int moved = 0;
        if (EVP_EncryptUpdate(ctx.get(), out + done, &moved, in + done, piece) != 1 || moved != piece)
            throw AES256CTR::CryptoError(Kind::updateFailed, cryptoStatus(-1));
        done += static_cast<std::size_t>(piece);
    }
    uint8_t tail[AES256CTR::blockSize];
    int moved = 0;
    if (EVP_EncryptFinal_ex(ctx.get(), tail, &moved) != 1 || moved != 0)
        throw AES256CTR::CryptoError(Kind::finalFailed, cryptoStatus(-1));
}

CtrStream::CtrStream(const uint8_t* key, const uint8_t* iv) : m_ctx((requireCrypto(), EVP_CIPHER_CTX_new()))
{
    auto* ctx = static_cast<EVP_CIPHER_CTX*>(m_ctx);
    if (!ctx)
        throw std::bad_alloc();
    if (EVP_EncryptInit_ex(ctx, EVP_aes_256_ctr(), nullptr, key, iv) != 1) {
        EVP_CIPHER_CTX_free(ctx);
        initFailed();
    }
}

CtrStream::~CtrStream() { EVP_CIPHER_CTX_free(static_cast<EVP_CIPHER_CTX*>(m_ctx)); }

void CtrStream::apply(uint8_t* bytes, std::size_t length)
{
    auto* ctx = static_cast<EVP_CIPHER_CTX*>(m_ctx);
    std::size_t done = 0;
    while (done < length) {
        const int piece = static_cast<int>(std::min<std::size_t>(length - done, INT_MAX / 2));
        int moved = 0;
        if (EVP_EncryptUpdate(ctx, bytes + done, &moved, bytes + done, piece) != 1 || moved != piece)
            throw AES256CTR::CryptoError(AES256CTR::CryptoError::Kind::updateFailed, cryptoStatus(-1));
        done += static_cast<std::size_t>(piece);
    }
}

void cryptInPlace(uint8_t* bytes, std::size_t length, const uint8_t* iv)
{
    cryptRaw(bytes, bytes, length, ZFCPackageReader::legacyKey().data(), iv);
}

void randomBytes(uint8_t* out, std::size_t length)
{
    requireCrypto();
    if (RAND_bytes(out, static_cast<int>(length)) != 1)
        initFailed();
}

unsigned coreCount()
{
    cpu_set_t set;
    if (::sched_getaffinity(0, sizeof set, &set) == 0)
        return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
    return std::max(1u, std::thread::hardware_concurrency());
}

std::string newUuid()
{
    uint8_t b[16];
    randomBytes(b, sizeof b);
    b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
    b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return text;
}

namespace {

bool isWhitespace(char32_t c)
{
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Decodes the scalar starting at `i`; invalid bytes decode as U+FFFD of length 1.
char32_t decodeAt(std::string_view s, std::size_t i, std::size_t& length)
{
    const auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : -1;
    if (extra < 0 || i + static_cast<std::size_t>(extra) >= s.size() + (extra == 0 ? 1 : 0)) {
        length = 1;
        return extra == 0 ? c : 0xFFFD;
    }
    char32_t value = extra == 0 ? c : c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
        const auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) {
            length = 1;
            return 0xFFFD;
        }
        value = (value << 6) | (cc & 0x3F);
    }
    length = static_cast<std::size_t>(extra) + 1;
    return value;
}

} // namespace

std::string trimWhitespace(std::string_view text)
{
    std::size_t begin = 0;
    while (begin < text.size()) {
        std::size_t length = 1;
        if (!isWhitespace(decodeAt(text, begin, length)))
            break;
        begin += length;
    }
    std::size_t end = begin;
    std::size_t i = begin;
    while (i < text.size()) {
        std::size_t length = 1;
        const bool space = isWhitespace(decodeAt(text, i, length));
        i += length;
        if (!space)
            end = i;
    }
    return std::string(text.substr(begin, end - begin));
}

// ---- JSON records -------------------------------------------------------------------

namespace {

using nlohmann::json;

[[noreturn]] void invalid(const char* what) { throw std::invalid_argument(what); }

const json& required(const json& object, const char* key)
{
    const auto it = object.find(key);
    if (it == object.end())
        invalid(key);
    return *it;
}

std::string stringValue(const json& value)
{
    if (!value.is_string())
        invalid("string expected");
    return value.get<std::string>();
}

int64_t integerValue(const json& value)
{
    if (value.is_number_unsigned()) {
        const auto v = value.get<uint64_t>();
        if (v > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            invalid("integer out of range");
        return static_cast<int64_t>(v);
    }
    if (value.is_number_integer())
        return value.get<int64_t>();
    invalid("integer expected");
}

// Absent and null both mean "no value".
template <typename T, typename Read>
std::optional<T> optionalValue(const json& object, const char* key, Read read)
{
    const auto it = object.find(key);
    if (it == object.end() || it->is_null())
        return std::nullopt;
    return read(*it);
}

} // namespace

ZFCEntry entryFromJsonValue(const json& value)
{
    if (!value.is_object())
        invalid("entry object expected");
    ZFCEntry entry;
    entry.type = stringValue(required(value, "type"));
    entry.path = stringValue(required(value, "path"));
    entry.size = optionalValue<int64_t>(value, "size", integerValue);
    entry.position = optionalValue<int64_t>(value, "position", integerValue);
    entry.link = optionalValue<std::string>(value, "link", stringValue);
    entry.stored = optionalValue<int64_t>(value, "stored", integerValue);
    entry.cm = optionalValue<std::string>(value, "cm", stringValue);
    return entry;
}

ZFCPlugin pluginFromJsonValue(const json& value)
{
    if (!value.is_object())
        invalid("plug-in object expected");
    ZFCPlugin plugin;
    plugin.name = stringValue(required(value, "name"));
    plugin.type = stringValue(required(value, "type"));
    const json& items = required(value, "items");
    if (!items.is_array())
        invalid("items array expected");
    plugin.items.reserve(items.size());
    for (const json& item : items)
        plugin.items.push_back(entryFromJsonValue(item));
    plugin.size = integerValue(required(value, "size"));
    plugin.eSize = integerValue(required(value, "eSize"));
    plugin.position = integerValue(required(value, "position"));
    return plugin;
}

} // namespace kit
