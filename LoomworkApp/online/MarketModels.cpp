#include "online/MarketModels.h"

#include <cmath>

#include <QDateTime>
#include <QJsonValue>
#include <QLocale>
#include <QTimeZone>

#include "engine/core/JsonRead.h"

namespace {

// Reads one optional key into `out`; false when the key holds a value of the wrong type.
bool readOptional(const QJsonObject& object, const char* key, std::optional<QString>& out)
{
    return JsonRead::optionalString(object.value(QLatin1String(key)), out);
}

bool readOptional(const QJsonObject& object, const char* key, std::optional<qint64>& out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isUndefined() || value.isNull())
        return true;
    const auto number = JsonRead::wholeNumber(value);
    if (!number)
        return false;
    out = *number;
    return true;
}

bool readOptional(const QJsonObject& object, const char* key, std::optional<bool>& out)
{
    return JsonRead::optionalBool(object.value(QLatin1String(key)), out);
}

bool readRequired(const QJsonObject& object, const char* key, QString& out)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return false;
    out = value.toString();
    return true;
}

bool readRequired(const QJsonObject& object, const char* key, qint64& out)
{
    const auto number = JsonRead::wholeNumber(object.value(QLatin1String(key)));
    if (!number)
        return false;
    out = *number;
    return true;
}

template <typename T>
void write(QJsonObject& object, const char* key, const std::optional<T>& value)
{
    if (value)
        object.insert(QLatin1String(key), QJsonValue(*value));
}

QString trimmed(const std::optional<QString>& text)
{
    return text ? text->trimmed() : QString();
}

} // namespace

std::optional<MarketPlugin> MarketPlugin::fromJson(const QJsonObject& o)
{
    MarketPlugin p;
    const bool ok = readRequired(o, "pluginId", p.pluginId) && readRequired(o, "name", p.name)
        && readOptional(o, "subtitle", p.subtitle) && readOptional(o, "category", p.category)
        && readOptional(o, "version", p.version) && readOptional(o, "compat", p.compat)
        && readOptional(o, "language", p.language) && readOptional(o, "vendor", p.vendor)
        && readOptional(o, "desc", p.desc) && readOptional(o, "coverUrl", p.coverUrl)
        && readOptional(o, "bannerUrl", p.bannerUrl) && readOptional(o, "videoUrl", p.videoUrl)
        && readOptional(o, "fileSize", p.fileSize) && readOptional(o, "saleCount", p.saleCount)
        && readOptional(o, "downloadCount", p.downloadCount)
        && readOptional(o, "viewCount", p.viewCount) && readOptional(o, "featured", p.featured)
        && readOptional(o, "owned", p.owned) && readOptional(o, "favorited", p.favorited)
        && readOptional(o, "favoritedAt", p.favoritedAt) && readOptional(o, "price", p.price)
        && readOptional(o, "finalPrice", p.finalPrice);
    if (!ok)
        return std::nullopt;
    return p;
}

QJsonObject MarketPlugin::toJson() const
{
    QJsonObject o{{QStringLiteral("pluginId"), pluginId}, {QStringLiteral("name"), name}};
    write(o, "subtitle", subtitle);
    write(o, "category", category);
    write(o, "version", version);
    write(o, "compat", compat);
    write(o, "language", language);
    write(o, "vendor", vendor);
    write(o, "desc", desc);
    write(o, "coverUrl", coverUrl);
    write(o, "bannerUrl", bannerUrl);
    write(o, "videoUrl", videoUrl);
    write(o, "fileSize", fileSize);
    write(o, "saleCount", saleCount);
    write(o, "downloadCount", downloadCount);
    write(o, "viewCount", viewCount);
    write(o, "featured", featured);
    write(o, "owned", owned);
    write(o, "favorited", favorited);
    write(o, "favoritedAt", favoritedAt);
    write(o, "price", price);
    write(o, "finalPrice", finalPrice);
    return o;
}

QString MarketPlugin::compatText() const
{
    const QString text = trimmed(compat);
    return text.isEmpty() ? QStringLiteral("FCPX 10.3+") : text;
}

QString MarketPlugin::languageText() const
{
    return trimmed(language).toLower() == QLatin1String("en") ? QStringLiteral("英文")
                                                              : QStringLiteral("中文");
}

QString MarketPlugin::sizeText(std::optional<qint64> bytes)
{
    if (!bytes || *bytes < 1)
        return {};
    if (*bytes >= 1048576)
        return QString::asprintf("%.1f MB", double(*bytes) / 1048576.0);
    return QString::asprintf("%.0f KB", double(*bytes) / 1024.0);
}

QString MarketPlugin::sizeText() const
{
    return sizeText(fileSize);
}

std::optional<qint64> MarketPlugin::effectivePrice() const
{
    return finalPrice ? finalPrice : price;
}

std::optional<QString> MarketPlugin::originalPriceText() const
{
    if (!price && !finalPrice)
        return std::nullopt;
    const qint64 listPrice = price.value_or(0);
    const qint64 toPay = finalPrice ? *finalPrice : listPrice;
    if (listPrice > toPay)
        return money(listPrice);
    return std::nullopt;
}

QString MarketPlugin::money(qint64 cents)
{
    // Whole yuan are exact in integers; going through a double would round large amounts.
    if (cents % 100 == 0)
        return QStringLiteral("¥") + QString::number(cents / 100);
    return QString::asprintf("¥%.2f", double(cents) / 100.0);
}

std::optional<MarketPurchase> MarketPurchase::fromJson(const QJsonObject& o)
{
    MarketPurchase p;
    const bool ok = readRequired(o, "orderNo", p.orderNo) && readRequired(o, "pluginId", p.pluginId)
        && readRequired(o, "pluginName", p.pluginName) && readRequired(o, "amount", p.amount)
        && readOptional(o, "originalAmount", p.originalAmount)
        && readRequired(o, "payTime", p.payTime) && readOptional(o, "coverUrl", p.coverUrl)
        && readOptional(o, "version", p.version) && readOptional(o, "category", p.category)
        && readOptional(o, "fileSize", p.fileSize) && readOptional(o, "available", p.available);
    if (!ok)
        return std::nullopt;
    return p;
}

QJsonObject MarketPurchase::toJson() const
{
    QJsonObject o{{QStringLiteral("orderNo"), orderNo},
                  {QStringLiteral("pluginId"), pluginId},
                  {QStringLiteral("pluginName"), pluginName},
                  {QStringLiteral("amount"), amount},
                  {QStringLiteral("payTime"), payTime}};
    write(o, "originalAmount", originalAmount);
    write(o, "coverUrl", coverUrl);
    write(o, "version", version);
    write(o, "category", category);
    write(o, "fileSize", fileSize);
    write(o, "available", available);
    return o;
}

QString MarketPurchase::payTimeText() const
{
    if (payTime < 1)
        return QStringLiteral("—");
    const QDateTime when = QDateTime::fromSecsSinceEpoch(payTime, QTimeZone::systemTimeZone());
    if (!when.isValid())
        return QStringLiteral("—");
    return QLocale(QStringLiteral("zh_CN")).toString(when, QStringLiteral("yyyy-MM-dd HH:mm"));
}

QString MarketPurchase::sizeText() const
{
    return MarketPlugin::sizeText(fileSize);
}

QString MarketSorts::rawValue(MarketSort sort)
{
    switch (sort) {
    case MarketSort::latest:
        return QStringLiteral("new");
    case MarketSort::hotDownloads:
        return QStringLiteral("hots");
    case MarketSort::hotViews:
        return QStringLiteral("views");
    }
    return QStringLiteral("new");
}

QList<MarketSort> MarketSorts::allCases()
{
    return {MarketSort::latest, MarketSort::hotDownloads, MarketSort::hotViews};
}
