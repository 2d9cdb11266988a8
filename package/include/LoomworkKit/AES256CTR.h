#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <span>
#include <string>
#include <vector>

// AES-256 in counter mode (the 16-byte IV is the initial counter block, incremented as a
// 128-bit big-endian number). Encrypting and decrypting are the same operation.
class AES256CTR
{
public:
    static constexpr std::size_t blockSize = 16;
    static constexpr std::size_t keySize = 32;

    // The cipher library's failure, with its status code.
    class CryptoError : public std::exception
    {
    public:
        enum class Kind {
            cryptorCreationFailed,
            updateFailed,
            finalFailed
        };
        CryptoError(Kind kind, int32_t status);
        Kind kind() const { return m_kind; }
        int32_t status() const { return m_status; }
        std::string errorDescription() const { return m_description; }
        const char* what() const noexcept override { return m_description.c_str(); }

    private:
        Kind m_kind;
        int32_t m_status;
        std::string m_description;
    };

    // Output has the input's length. Throws std::invalid_argument for a key that is not
    // 32 bytes or an IV that is not 16, CryptoError when the cipher fails.
    static std::vector<uint8_t> crypt(std::span<const uint8_t> input, std::span<const uint8_t> key,
                                      std::span<const uint8_t> iv);

    AES256CTR() = delete;
};
