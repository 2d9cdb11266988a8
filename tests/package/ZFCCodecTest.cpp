#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LoomworkKit/AES256CTR.h"
#include "LoomworkKit/ZFCDeflater.h"
#include "LoomworkKit/ZFCFileHandle.h"
#include "LoomworkKit/ZFCInflater.h"
#include "LoomworkKit/ZFCodec.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "LoomworkKit/ZFCPacker.h"
#include "support/kit/PackageCraft.h"
#include "support/kit/TempDir.h"

namespace {

std::vector<uint8_t> hex(const std::string& text)
{
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

std::vector<uint8_t> bytes(const std::string& s) { return {s.begin(), s.end()}; }

} // namespace

TEST(AES256CTR, MatchesTheStandardCounterModeVectors)
{
    // NIST SP 800-38A, F.5.5 CTR-AES256.Encrypt.
    const auto key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const auto iv = hex("f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff");
    const auto plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                           "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const auto cipher = hex("601ec313775789a5b7a7f504bbf3d228f443e3ca4d62b59aca84e990cacaf5c5"
                            "2b0930daa23de94ce87017ba2d84988ddfc9c58db67aada613c2dd08457941a6");
    EXPECT_EQ(AES256CTR::crypt(plain, key, iv), cipher);
    EXPECT_EQ(AES256CTR::crypt(cipher, key, iv), plain);
    EXPECT_TRUE(AES256CTR::crypt({}, key, iv).empty());
}

TEST(AES256CTR, TheWholeCounterBlockCarries)
{
    const auto key = hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
    const std::vector<uint8_t> allOnes(16, 0xFF), zero(16, 0x00);
    const std::vector<uint8_t> plain(32, 0x5A);
    const auto both = AES256CTR::crypt(plain, key, allOnes);
    const auto second = AES256CTR::crypt(std::vector<uint8_t>(16, 0x5A), key, zero);
    EXPECT_TRUE(std::equal(second.begin(), second.end(), both.begin() + 16));
    EXPECT_THROW(AES256CTR::crypt(plain, std::vector<uint8_t>(31), zero), std::invalid_argument);
}

TEST(SealedBuffer, CarriesAFreshIvAndOpensAgain)
{
    const auto plain = bytes("hello, package");
    const auto a = ZFCPacker::encryptBuffer(plain);
    const auto b = ZFCPacker::encryptBuffer(plain);
    ASSERT_EQ(a.size(), plain.size() + 16);
    EXPECT_FALSE(std::equal(a.begin(), a.begin() + 16, b.begin()));
    EXPECT_EQ(ZFCPackageReader::decryptBuffer(a), plain);
    EXPECT_EQ(ZFCPackageReader::decryptBuffer(std::vector<uint8_t>(17)).size(), 1u);
    try {
        ZFCPackageReader::decryptBuffer(std::vector<uint8_t>(16));
        FAIL() << "16 bytes opened";
    } catch (const ZFCPackageError& e) {
        EXPECT_EQ(e.kind(), ZFCPackageError::Kind::metadataCorrupted);
    }
}

TEST(ZFCodec, JudgesWhetherCompressingPays)
{
    std::mt19937_64 rng(3);
    const std::vector<uint8_t> zeros(1024 * 1024, 0);
    const auto random = bytes(craft::randomBytes(1024 * 1024, rng));
    EXPECT_TRUE(ZFCodec::isWorthCompressing(zeros, 0.94));
    EXPECT_FALSE(ZFCodec::isWorthCompressing(random, 0.94));
    EXPECT_FALSE(ZFCodec::isWorthCompressing({}, 0.94));
    EXPECT_LT(*ZFCodec::compressedSize(zeros), 2000u);
}

TEST(ZFCDeflater, RoundTripsThroughTheInflater)
{
    TempDir dir;
    std::mt19937_64 rng(11);
    const std::string input = craft::compressibleText(300000, rng);
    {
        ZFCFileHandle out = ZFCFileHandle::createForWriting(dir / "deflated");
        auto deflater = ZFCDeflater::create(6, 9, out);
        ASSERT_TRUE(deflater);
        deflater->append(bytes(input.substr(0, 100000)));
        deflater->append(bytes(input.substr(100000)));
        deflater->finish();
        EXPECT_FALSE(deflater->inited());
        EXPECT_EQ(deflater->written(), static_cast<int64_t>(readFile(dir / "deflated").size()));
        EXPECT_LT(deflater->written(), 300000 / 2);
    }
    const std::string deflated = readFile(dir / "deflated");
    ZFCFileHandle out = ZFCFileHandle::createForWriting(dir / "inflated");
    auto inflater = ZFCInflater::create(out);
    ASSERT_TRUE(inflater);
    // Fed in odd pieces, with bytes after the stream's end that must be dropped.
    const std::string feed = deflated + "trailing garbage";
    for (std::size_t at = 0; at < feed.size(); at += 777)
        inflater->append(bytes(feed.substr(at, 777)));
    EXPECT_TRUE(inflater->reachedEnd());
    out.close();
    EXPECT_TRUE(readFile(dir / "inflated") == input);
    EXPECT_FALSE(ZFCDeflater::create(42, 9, out));
}

TEST(ZFCInflater, TruncatedStreamWaitsAndInvalidStreamFails)
{
    TempDir dir;
    std::mt19937_64 rng(5);
    const std::string input = craft::compressibleText(50000, rng);
    {
        ZFCFileHandle out = ZFCFileHandle::createForWriting(dir / "deflated");
        auto deflater = ZFCDeflater::create(6, 9, out);
        deflater->append(bytes(input));
        deflater->finish();
    }
    const std::string deflated = readFile(dir / "deflated");
    {
        ZFCFileHandle out = ZFCFileHandle::createForWriting(dir / "short");
        auto inflater = ZFCInflater::create(out);
        EXPECT_NO_THROW(inflater->append(bytes(deflated.substr(0, deflated.size() / 2))));
        EXPECT_FALSE(inflater->reachedEnd());
    }
    ZFCFileHandle out = ZFCFileHandle::createForWriting(dir / "bad");
    auto inflater = ZFCInflater::create(out);
    try {
        inflater->append(std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF});
        FAIL() << "invalid deflate data accepted";
    } catch (const ZFCPackageError& e) {
        EXPECT_EQ(e.kind(), ZFCPackageError::Kind::inflateFailed);
        EXPECT_EQ(e.subject(), "-3");
    }
}
