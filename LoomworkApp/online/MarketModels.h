#pragma once

#include <optional>
#include <variant>

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

// What the server says about market plug-ins, purchases, orders and downloads, with the
// texts derived from them. Decoding is strict: a required key missing, or any present key
// of the wrong JSON type (a fraction or a number beyond 64 bits for an integer), fails
// the record; null counts as absent.

struct MarketPlugin
{
    QString pluginId;
    QString name;
    std::optional<QString> subtitle;
    std::optional<QString> category;
    std::optional<QString> version;
    std::optional<QString> compat;
    std::optional<QString> language;
    std::optional<QString> vendor;
    std::optional<QString> desc;
    std::optional<QString> coverUrl;
    std::optional<QString> bannerUrl;
    std::optional<QString> videoUrl;
    std::optional<qint64> fileSize;
    std::optional<qint64> saleCount;
    std::optional<qint64> downloadCount;
    std::optional<qint64> viewCount;
    std::optional<bool> featured;
    std::optional<bool> owned;
    std::optional<bool> favorited;
    std::optional<qint64> favoritedAt;
    std::optional<qint64> price;
    std::optional<qint64> finalPrice;

    bool operator==(const MarketPlugin&) const = default;

    static std::optional<MarketPlugin> fromJson(const QJsonObject& object);
    QJsonObject toJson() const; // absent values are left out

    QString compatText() const;
    QString languageText() const;
    QString sizeText() const;
    std::optional<QString> originalPriceText() const;
    // finalPrice, else price.
    std::optional<qint64> effectivePrice() const;

    // Cents as yuan: "¥20", "¥19.90".
    static QString money(qint64 cents);
    // "" below 1 byte, "%.0f KB" below 1 MiB, "%.1f MB" from there on.
    static QString sizeText(std::optional<qint64> bytes);
};

struct MarketPurchase
{
    QString orderNo;
    QString pluginId;
    QString pluginName;
    qint64 amount = 0;
    std::optional<qint64> originalAmount;
    qint64 payTime = 0; // seconds since 1970
    std::optional<QString> coverUrl;
    std::optional<QString> version;
    std::optional<QString> category;
    std::optional<qint64> fileSize;
    std::optional<bool> available;

    bool operator==(const MarketPurchase&) const = default;

    static std::optional<MarketPurchase> fromJson(const QJsonObject& object);
    QJsonObject toJson() const;

    // "—" below 1, else "yyyy-MM-dd HH:mm" in the local time zone.
    QString payTimeText() const;
    QString sizeText() const;
};

struct MarketListPayload
{
    QList<MarketPlugin> plugins;
    QStringList categories;
    qint64 total = 0;
    bool enabled = true;

    bool operator==(const MarketListPayload&) const = default;
};

struct MarketOrder
{
    QString orderNo;
    qint64 amount = 0;
    std::optional<qint64> originalAmount;
    QString qrPayload; // never empty
    QString channel;
    qint64 expireSeconds = 900;
    bool isMock = false;
    QString pluginName;

    bool operator==(const MarketOrder&) const = default;
};

struct MarketRisk
{
    QString level = QStringLiteral("ok");
    QStringList reasons;
    QString tip;

    bool operator==(const MarketRisk&) const = default;
};

// The outcome of a buy request.
struct MarketBuyResult
{
    enum class Kind {
        order,
        failure,
        free,
        owned
    };
    Kind kind = Kind::failure;
    MarketOrder order;  // kind order
    QString message;    // kind failure

    static MarketBuyResult makeOrder(MarketOrder order) { return {Kind::order, std::move(order), {}}; }
    static MarketBuyResult failure(QString message) { return {Kind::failure, {}, std::move(message)}; }
    static MarketBuyResult makeFree() { return {Kind::free, {}, {}}; }
    static MarketBuyResult makeOwned() { return {Kind::owned, {}, {}}; }

    bool operator==(const MarketBuyResult&) const = default;
};

// The outcome of a download request: a ticket, a failure or "buy it first".
struct MarketDownloadResult
{
    enum class Kind {
        ok,
        failure,
        needBuy
    };
    Kind kind = Kind::failure;
    QString url;      // ok
    QString fileName; // ok
    qint64 fileSize = 0;
    MarketRisk risk;
    QString message;  // failure

    static MarketDownloadResult ticket(QString url, QString fileName, qint64 fileSize, MarketRisk risk)
    {
        return {Kind::ok, std::move(url), std::move(fileName), fileSize, std::move(risk), {}};
    }
    static MarketDownloadResult failure(QString message) { return {Kind::failure, {}, {}, 0, {}, std::move(message)}; }
    static MarketDownloadResult makeNeedBuy() { return {Kind::needBuy, {}, {}, 0, {}, {}}; }

    bool operator==(const MarketDownloadResult&) const = default;
};

// The state of a payment order.
struct MarketPayStatus
{
    enum class Kind {
        pending,
        closed,
        failed,
        paid
    };
    Kind kind = Kind::failed;
    qint64 secondsLeft = 0; // pending
    QString message;        // closed, failed

    static MarketPayStatus pending(qint64 secondsLeft) { return {Kind::pending, secondsLeft, {}}; }
    static MarketPayStatus closed(QString message) { return {Kind::closed, 0, std::move(message)}; }
    static MarketPayStatus failed(QString message) { return {Kind::failed, 0, std::move(message)}; }
    static MarketPayStatus makePaid() { return {Kind::paid, 0, {}}; }

    bool operator==(const MarketPayStatus&) const = default;
};

// The shop list's order; the raw value is sent as "sort".
enum class MarketSort {
    latest,
    hotDownloads,
    hotViews
};

namespace MarketSorts {
QString rawValue(MarketSort sort); // "new", "hots", "views"
QList<MarketSort> allCases();
} // namespace MarketSorts
