#include "engine/templates/CompatBundled.h"

#include <memory>

#include <openssl/evp.h>

#include <QJsonDocument>

#include "CompatBundledData.h"
#include "engine/templates/CompatBundledKey.h"

namespace {

constexpr int nonceBytes = 12;
constexpr int tagBytes = 16;

} // namespace

CompatTable CompatBundled::open(const QByteArray& sealedBase64)
{
    const auto decoded = QByteArray::fromBase64Encoding(sealedBase64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() < nonceBytes + tagBytes + 1)
        return {};
    const QByteArray& box = decoded.decoded;
    const auto* bytes = reinterpret_cast<const unsigned char*>(box.constData());
    const int cipherBytes = int(box.size()) - nonceBytes - tagBytes;
    const auto key = CompatBundledKey::key();

    std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                        &EVP_CIPHER_CTX_free);
    QByteArray plain(cipherBytes, Qt::Uninitialized);
    int length = 0;
    int tail = 0;
    QByteArray tag = box.right(tagBytes);
    const bool opened = ctx
        && EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, nonceBytes, nullptr) == 1
        && EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.data(), bytes) == 1
        && EVP_DecryptUpdate(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()), &length,
                             bytes + nonceBytes, cipherBytes) == 1
        && EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, tagBytes, tag.data()) == 1
        && EVP_DecryptFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(plain.data()) + length, &tail) == 1;
    if (!opened)
        return {};
    plain.truncate(length + tail);

    const QJsonDocument document = QJsonDocument::fromJson(plain);
    if (!document.isObject())
        return {};
    return CompatTable::fromJson(document.object()).value_or(CompatTable{});
}

const CompatTable& CompatBundled::table()
{
    static const CompatTable built = open(QByteArray(CompatBundledData::sealedBase64));
    return built;
}
