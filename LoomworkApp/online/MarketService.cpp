#include "online/MarketService.h"

#include <QJsonArray>
#include <QMutex>
#include <QUuid>

#include "engine/model/AppSettings.h"
#include "engine/core/JsonRead.h"
#include "online/ServerConfig.h"

namespace {

bool succeeded(const V2API::Reply& reply)
{
    return reply && V2API::integerStatus(*reply) == 0;
}

std::optional<QString> infoText(const QJsonObject& reply)
{
    const QJsonValue info = reply.value(QLatin1String("info"));
    return info.isString() ? std::optional<QString>(info.toString()) : std::nullopt;
}

std::optional<qint64> integer(const QJsonObject& object, const char* key)
{
    return JsonRead::wholeNumber(object.value(QLatin1String(key)));
}

std::optional<QString> string(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

QList<MarketPlugin> pluginsOf(const QJsonObject& reply)
{
    return V2API::decode<QList<MarketPlugin>>(reply.value(QLatin1String("plugins"))).value_or(QList<MarketPlugin>());
}

// Trims blanks and tabs only: a line break stays and makes the link fail to parse.
QString trimBlanks(const QString& text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

template <typename T>
void post(const QString& path, const QJsonObject& body, double timeout, QObject* context,
          std::function<T(const V2API::Reply&)> read, std::function<void(const T&)> done)
{
    V2API::post(path, body, timeout, context,
                [read = std::move(read), done = std::move(done)](const V2API::Reply& reply) {
                    done(read(reply));
                });
}

QMutex g_deviceIdLock;

} // namespace

QJsonObject MarketService::listBody(const QString& keyword, const QString& category,
                                    MarketSort sort, int page, int pageSize)
{
    QJsonObject body{{QStringLiteral("page"), page},
                     {QStringLiteral("pageSize"), pageSize},
                     {QStringLiteral("sort"), MarketSorts::rawValue(sort)}};
    if (!keyword.isEmpty())
        body.insert(QStringLiteral("keyword"), keyword);
    if (!category.isEmpty())
        body.insert(QStringLiteral("category"), category);
    return body;
}

MarketListPayload MarketService::readList(const V2API::Reply& reply)
{
    MarketListPayload payload;
    if (!succeeded(reply))
        return payload;
    payload.plugins = pluginsOf(*reply);
    payload.categories = V2API::decode<QList<QString>>(reply->value(QLatin1String("categories"))).value_or(QStringList());
    payload.total = integer(*reply, "total").value_or(0);
    const QJsonValue enabled = reply->value(QLatin1String("enabled"));
    payload.enabled = enabled.isBool() ? enabled.toBool() : true;
    return payload;
}

QList<MarketPlugin> MarketService::readPlugins(const V2API::Reply& reply)
{
    return succeeded(reply) ? pluginsOf(*reply) : QList<MarketPlugin>();
}

std::optional<MarketPlugin> MarketService::readDetail(const V2API::Reply& reply)
{
    if (!succeeded(reply))
        return std::nullopt;
    return V2API::decode<MarketPlugin>(reply->value(QLatin1String("plugin")));
}

std::optional<bool> MarketService::readFavorite(const V2API::Reply& reply, bool requested)
{
    if (!succeeded(reply))
        return std::nullopt;
    const QJsonValue favorited = reply->value(QLatin1String("favorited"));
    return favorited.isBool() ? favorited.toBool() : requested;
}

QList<MarketPurchase> MarketService::readOrders(const V2API::Reply& reply)
{
    if (!succeeded(reply))
        return {};
    return V2API::decode<QList<MarketPurchase>>(reply->value(QLatin1String("orders"))).value_or(QList<MarketPurchase>());
}

MarketBuyResult MarketService::readBuy(const V2API::Reply& reply, const QString& requestedChannel)
{
    if (!reply)
        return MarketBuyResult::failure(QStringLiteral("网络异常，请检查网络后重试"));
    const auto status = V2API::integerStatus(*reply);
    if (!status)
        return MarketBuyResult::failure(QStringLiteral("服务器返回异常"));
    switch (*status) {
    case 0: {
        if (reply->value(QLatin1String("free")).toBool(false))
            return MarketBuyResult::makeFree();
        const auto orderNo = string(*reply, "orderNo");
        const auto qrPayload = string(*reply, "qrPayload");
        if (!orderNo || !qrPayload || qrPayload->isEmpty())
            return MarketBuyResult::failure(QStringLiteral("没有拿到支付二维码，请稍后重试"));
        MarketOrder order;
        order.orderNo = *orderNo;
        order.qrPayload = *qrPayload;
        order.amount = integer(*reply, "amount").value_or(0);
        order.originalAmount = integer(*reply, "originalAmount");
        order.channel = string(*reply, "channel").value_or(requestedChannel);
        order.expireSeconds = integer(*reply, "expireSeconds").value_or(900);
        const QJsonValue mock = reply->value(QLatin1String("mock"));
        order.isMock = mock.isBool() && mock.toBool();
        order.pluginName = string(reply->value(QLatin1String("plugin")).toObject(), "name")
                               .value_or(QStringLiteral("插件"));
        return MarketBuyResult::makeOrder(std::move(order));
    }
    case 2:
        if (infoText(*reply).value_or(QString()).contains(QStringLiteral("市场")))
            return MarketBuyResult::failure(QStringLiteral("插件市场暂未开放"));
        return MarketBuyResult::failure(QStringLiteral("在线支付暂未开通，请联系客服购买"));
    case 4:
        return MarketBuyResult::makeOwned();
    default:
        return MarketBuyResult::failure(infoText(*reply).value_or(QStringLiteral("下单失败")));
    }
}

MarketPayStatus MarketService::readStatus(const V2API::Reply& reply)
{
    if (!reply)
        return MarketPayStatus::failed(QStringLiteral("网络异常"));
    const auto status = V2API::integerStatus(*reply);
    if (!status)
        return MarketPayStatus::failed(QStringLiteral("服务器返回异常"));
    switch (*status) {
    case 0:
        return MarketPayStatus::makePaid();
    case 1:
        return MarketPayStatus::closed(infoText(*reply).value_or(QStringLiteral("订单已关闭")));
    case 2:
        return MarketPayStatus::pending(integer(*reply, "secondsLeft").value_or(0));
    default:
        return MarketPayStatus::failed(infoText(*reply).value_or(QStringLiteral("查询失败")));
    }
}

MarketDownloadResult MarketService::readDownload(const V2API::Reply& reply)
{
    if (!reply)
        return MarketDownloadResult::failure(QStringLiteral("网络异常，请检查网络后重试"));
    const auto status = V2API::integerStatus(*reply);
    if (!status)
        return MarketDownloadResult::failure(QStringLiteral("服务器返回异常"));
    const auto url = string(*reply, "url");
    if (*status == 0 && url && !url->isEmpty()) {
        MarketRisk risk;
        const QJsonValue riskValue = reply->value(QLatin1String("risk"));
        if (riskValue.isObject()) {
            const QJsonObject object = riskValue.toObject();
            risk.level = string(object, "level").value_or(QStringLiteral("ok"));
            risk.reasons = V2API::decode<QList<QString>>(object.value(QLatin1String("reasons"))).value_or(QStringList());
            risk.tip = string(object, "tip").value_or(QString());
        }
        return MarketDownloadResult::ticket(*url, string(*reply, "fileName").value_or(QStringLiteral("plugin.zip")),
                                            integer(*reply, "fileSize").value_or(0), std::move(risk));
    }
    if (*status == 2)
        return MarketDownloadResult::makeNeedBuy();
    return MarketDownloadResult::failure(infoText(*reply).value_or(QStringLiteral("下载失败，请稍后重试")));
}

void MarketService::list(const QString& keyword, const QString& category, MarketSort sort, int page,
                         int pageSize, QObject* context, std::function<void(const MarketListPayload&)> done)
{
    post<MarketListPayload>(QStringLiteral("/v2/market/list"), listBody(keyword, category, sort, page, pageSize),
                            readTimeout, context, readList, std::move(done));
}

void MarketService::featured(QObject* context, std::function<void(const QList<MarketPlugin>&)> done)
{
    post<QList<MarketPlugin>>(QStringLiteral("/v2/market/featured"), {{QStringLiteral("limit"), 8}},
                              readTimeout, context, readPlugins, std::move(done));
}

void MarketService::detail(const QString& pluginId, QObject* context,
                           std::function<void(const std::optional<MarketPlugin>&)> done)
{
    post<std::optional<MarketPlugin>>(QStringLiteral("/v2/market/detail"), {{QStringLiteral("pluginId"), pluginId}},
                                      readTimeout, context, readDetail, std::move(done));
}

void MarketService::favorites(QObject* context, std::function<void(const QList<MarketPlugin>&)> done)
{
    post<QList<MarketPlugin>>(QStringLiteral("/v2/market/favorites"), {{QStringLiteral("limit"), 200}},
                              readTimeout, context, readPlugins, std::move(done));
}

void MarketService::setFavorite(const QString& pluginId, bool favorited, QObject* context,
                                std::function<void(std::optional<bool>)> done)
{
    post<std::optional<bool>>(
        QStringLiteral("/v2/market/favorite"),
        {{QStringLiteral("pluginId"), pluginId}, {QStringLiteral("favorite"), favorited}}, readTimeout, context,
        [favorited](const V2API::Reply& reply) { return readFavorite(reply, favorited); },
        [done = std::move(done)](const std::optional<bool>& value) { done(value); });
}

void MarketService::orders(QObject* context, std::function<void(const QList<MarketPurchase>&)> done)
{
    post<QList<MarketPurchase>>(QStringLiteral("/v2/market/orders"), {{QStringLiteral("limit"), 100}},
                                readTimeout, context, readOrders, std::move(done));
}

void MarketService::buy(const QString& pluginId, const QString& channel, QObject* context,
                        std::function<void(const MarketBuyResult&)> done)
{
    post<MarketBuyResult>(
        QStringLiteral("/v2/market/buy"),
        {{QStringLiteral("pluginId"), pluginId}, {QStringLiteral("channel"), channel}}, buyTimeout, context,
        [channel](const V2API::Reply& reply) { return readBuy(reply, channel); }, std::move(done));
}

void MarketService::status(const QString& orderNo, QObject* context,
                           std::function<void(const MarketPayStatus&)> done)
{
    post<MarketPayStatus>(QStringLiteral("/v2/market/status"), {{QStringLiteral("orderNo"), orderNo}},
                          statusTimeout, context, readStatus, std::move(done));
}

void MarketService::download(const QString& pluginId, QObject* context,
                             std::function<void(const MarketDownloadResult&)> done)
{
    post<MarketDownloadResult>(
        QStringLiteral("/v2/market/download"),
        {{QStringLiteral("pluginId"), pluginId}, {QStringLiteral("deviceId"), deviceId()}}, downloadTimeout,
        context, readDownload, std::move(done));
}

std::optional<QUrl> MarketService::absoluteURL(const std::optional<QString>& link)
{
    if (!link)
        return std::nullopt;
    const QString text = trimBlanks(*link);
    if (text.isEmpty())
        return std::nullopt;
    QUrl url;
    if (text.startsWith(QLatin1String("/")))
        url = ServerConfig::url(text); // "//host" too: it stays a path on the server
    else
        url = QUrl(text, QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    // Only the web's schemes reach a loader: file:, ftp:, data: and the like are refused.
    const QString scheme = url.scheme().toLower();
    if (!scheme.isEmpty() && scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    if (!scheme.isEmpty() && url.host().isEmpty())
        return std::nullopt;
    return url;
}

QString MarketService::deviceId()
{
    QMutexLocker lock(&g_deviceIdLock);
    const QString stored = AppSettings::marketDeviceId();
    if (!stored.isEmpty())
        return stored;
    const QString created = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    AppSettings::setMarketDeviceId(created);
    return created;
}
