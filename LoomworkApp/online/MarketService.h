#pragma once

#include <functional>
#include <optional>

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUrl>

#include "online/MarketModels.h"
#include "online/V2API.h"

class QObject;

// The market's side of the service: one POST per operation through V2API, each reply
// turned into the market's records. Nothing raises or shows anything: every failure ends
// in an empty or absent value or a result carrying the text for the user. Call on the GUI
// thread; `done` runs there later, and never once `context` is gone.
namespace MarketService {

inline constexpr double readTimeout = 12;
inline constexpr double buyTimeout = 20;
inline constexpr double statusTimeout = 10;
inline constexpr double downloadTimeout = 20;

void list(const QString& keyword, const QString& category, MarketSort sort, int page, int pageSize,
          QObject* context, std::function<void(const MarketListPayload&)> done);
void featured(QObject* context, std::function<void(const QList<MarketPlugin>&)> done);
void detail(const QString& pluginId, QObject* context,
            std::function<void(const std::optional<MarketPlugin>&)> done);
void favorites(QObject* context, std::function<void(const QList<MarketPlugin>&)> done);
// The favourite state the server now holds; nothing when it did not answer.
void setFavorite(const QString& pluginId, bool favorited, QObject* context,
                 std::function<void(std::optional<bool>)> done);
void orders(QObject* context, std::function<void(const QList<MarketPurchase>&)> done);
void buy(const QString& pluginId, const QString& channel, QObject* context,
         std::function<void(const MarketBuyResult&)> done);
void status(const QString& orderNo, QObject* context,
            std::function<void(const MarketPayStatus&)> done);
void download(const QString& pluginId, QObject* context,
              std::function<void(const MarketDownloadResult&)> done);

// A media link of a record as an address: absolute http/https links as they are, links
// starting with "/" on the server's base, other scheme-less links as relative URLs.
// Nothing for an absent or blank link, one that does not parse, or any other scheme.
std::optional<QUrl> absoluteURL(const std::optional<QString>& link);

// This installation's identifier: created once (upper-case UUID), then the same forever.
QString deviceId();

// The request bodies and reply readers behind the operations.
QJsonObject listBody(const QString& keyword, const QString& category, MarketSort sort, int page,
                     int pageSize);
MarketListPayload readList(const V2API::Reply& reply);
QList<MarketPlugin> readPlugins(const V2API::Reply& reply);
std::optional<MarketPlugin> readDetail(const V2API::Reply& reply);
std::optional<bool> readFavorite(const V2API::Reply& reply, bool requested);
QList<MarketPurchase> readOrders(const V2API::Reply& reply);
MarketBuyResult readBuy(const V2API::Reply& reply, const QString& requestedChannel);
MarketPayStatus readStatus(const V2API::Reply& reply);
MarketDownloadResult readDownload(const V2API::Reply& reply);

} // namespace MarketService
