#include "LoomworkKit/AES256CTR.h"

#include <stdexcept>

#include "KitInternal.h"

namespace {

std::string describe(AES256CTR::CryptoError::Kind kind, int32_t status)
{
    using Kind = AES256CTR::CryptoError::Kind;
    const std::string code = std::to_string(status);
    switch (kind) {
    case Kind::cryptorCreationFailed:
        return "AES-CTR cryptor 创建失败（" + code + "）";
    case Kind::updateFailed:
        return "AES-CTR update 失败（" + code + "）";
    case Kind::finalFailed:
        return "AES-CTR final 失败（" + code + "）";
    }
    return {};
}

} // namespace

AES256CTR::CryptoError::CryptoError(Kind kind, int32_t status)
    : m_kind(kind), m_status(status), m_description(describe(kind, status))
{
}

std::vector<uint8_t> AES256CTR::crypt(std::span<const uint8_t> input, std::span<const uint8_t> key,
                                      std::span<const uint8_t> iv)
{
    if (key.size() != keySize || iv.size() != blockSize)
        throw std::invalid_argument("AES256CTR: key must be 32 bytes and IV 16 bytes");
    std::vector<uint8_t> output(input.size());
    kit::cryptRaw(input.data(), output.data(), input.size(), key.data(), iv.data());
    return output;
}
