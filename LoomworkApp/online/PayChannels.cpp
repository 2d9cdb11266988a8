#include "online/PayChannels.h"

#include <memory>

#include <qrencode.h>

#include <QJsonValue>

#include "engine/core/JsonRead.h"

std::optional<PayChannelInfo> PayChannelInfo::fromJson(const QJsonObject& object)
{
    const QJsonValue key = object.value(QLatin1String("key"));
    const QJsonValue name = object.value(QLatin1String("name"));
    if (!key.isString() || !name.isString())
        return std::nullopt;
    PayChannelInfo info;
    info.key = key.toString();
    info.name = name.toString();
    if (!JsonRead::optionalString(object.value(QLatin1String("symbol")), info.symbol)
        || !JsonRead::optionalBool(object.value(QLatin1String("disabled")), info.disabled)
        || !JsonRead::optionalBool(object.value(QLatin1String("mock")), info.mock))
        return std::nullopt;
    return info;
}

QJsonObject PayChannelInfo::toJson() const
{
    QJsonObject object{{QStringLiteral("key"), key}, {QStringLiteral("name"), name}};
    if (symbol)
        object.insert(QStringLiteral("symbol"), *symbol);
    if (disabled)
        object.insert(QStringLiteral("disabled"), *disabled);
    if (mock)
        object.insert(QStringLiteral("mock"), *mock);
    return object;
}

QList<PayChannelInfo> PaymentService::readChannels(const V2API::Reply& reply)
{
    if (!reply || V2API::integerStatus(*reply) != 0)
        return {};
    return V2API::decode<QList<PayChannelInfo>>(reply->value(QLatin1String("channels")))
        .value_or(QList<PayChannelInfo>());
}

void PaymentService::channels(QObject* context, std::function<void(const QList<PayChannelInfo>&)> done)
{
    V2API::post(QStringLiteral("/v2/pay/channels"), {}, channelsTimeout, context,
                [done = std::move(done)](const V2API::Reply& reply) { done(readChannels(reply)); });
}

QList<PayChannelInfo> PaymentService::available(const QList<PayChannelInfo>& channels)
{
    QList<PayChannelInfo> offered;
    for (const PayChannelInfo& channel : channels) {
        if (channel.isAvailable())
            offered.append(channel);
    }
    return offered;
}

QImage PaymentService::qrImage(const QString& text, int size)
{
    if (text.isEmpty() || size < 1)
        return {};
    const QByteArray bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeData(int(bytes.size()), reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code || code->width < 1)
        return {};

    constexpr int margin = 1;
    const int modules = code->width + 2 * margin;
    QImage image(size, size, QImage::Format_Grayscale8);
    image.fill(255);
    // Each pixel takes the module under its centre: the scale may be fractional.
    for (int y = 0; y < size; ++y) {
        uchar* line = image.scanLine(y);
        const int my = int((y + 0.5) * modules / size) - margin;
        for (int x = 0; x < size; ++x) {
            const int mx = int((x + 0.5) * modules / size) - margin;
            if (mx >= 0 && my >= 0 && mx < code->width && my < code->width
                && (code->data[my * code->width + mx] & 1))
                line[x] = 0;
        }
    }
    return image;
}
