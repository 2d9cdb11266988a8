#pragma once

#include <functional>
#include <optional>

#include <QImage>
#include <QJsonObject>
#include <QList>
#include <QString>

#include "online/V2API.h"

class QObject;

// One payment channel the pay card may offer.
struct PayChannelInfo
{
    QString key; // sent as a buy request's "channel"; the channel's identity
    QString name;
    std::optional<QString> symbol;
    std::optional<bool> disabled;
    std::optional<bool> mock;

    bool operator==(const PayChannelInfo&) const = default;

    // "key" and "name" are required; the others may be absent or null, a wrong type fails.
    static std::optional<PayChannelInfo> fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    bool isAvailable() const { return disabled != true; }
};

namespace PaymentService {

inline constexpr double channelsTimeout = 12;

// POST /v2/pay/channels with {}; the channels in the server's order, an empty list on any
// failure (no reply, a status other than 0, one element that does not decode).
void channels(QObject* context, std::function<void(const QList<PayChannelInfo>&)> done);
QList<PayChannelInfo> readChannels(const V2API::Reply& reply);
// The offered ones, in order.
QList<PayChannelInfo> available(const QList<PayChannelInfo>& channels);

// The text's UTF-8 bytes as a QR code (level M, one module of quiet zone) of `size` by
// `size` pixels, modules scaled without smoothing. A null image for an empty text, a
// size below 1 or a text the code cannot hold.
QImage qrImage(const QString& text, int size);

} // namespace PaymentService
