#include "online/RemoteConfig.h"

#include <array>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include "online/OnlineText.h"

namespace {

std::optional<QString> readString(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<bool> readBool(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isBool())
        return std::nullopt;
    return value.toBool();
}

// A number, or a string that reads in full as one (no blanks, no trailing characters),
// whatever the system's locale says about decimal points.
std::optional<double> readNumberOrText(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (value.isDouble())
        return value.toDouble();
    if (!value.isString())
        return std::nullopt;
    const QString text = value.toString();
    if (text.isEmpty() || text.front().isSpace() || text.back().isSpace())
        return std::nullopt;
    bool ok = false;
    const double number = text.toDouble(&ok); // QString::toDouble always uses the C locale
    if (!ok)
        return std::nullopt;
    return number;
}

std::optional<QList<PromoCard>> readCards(const QJsonObject& object)
{
    const QJsonValue value = object.value(QLatin1String("sidebarCards"));
    if (!value.isArray())
        return std::nullopt;
    QList<PromoCard> cards;
    for (const QJsonValue& element : value.toArray()) {
        if (!element.isObject())
            return std::nullopt;
        cards.append(PromoCard::fromJson(element.toObject()));
    }
    return cards;
}

void put(QJsonObject& object, const char* key, const std::optional<QString>& value)
{
    if (value)
        object.insert(QLatin1String(key), *value);
}

void put(QJsonObject& object, const char* key, const std::optional<bool>& value)
{
    if (value)
        object.insert(QLatin1String(key), *value);
}

} // namespace

std::optional<RemoteConfig> RemoteConfig::fromJson(const QJsonValue& value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    RemoteConfig c;
    c.adShow = readBool(o, "adShow");
    c.adUrl = readString(o, "adUrl");
    c.adText = readString(o, "adText");
    c.adSubText = readString(o, "adSubText");
    c.adBadge = readString(o, "adBadge");
    c.adLink = readString(o, "adLink");
    c.adImage = readString(o, "adImage");
    c.adOverlay = readBool(o, "adOverlay");
    c.adAlign = readString(o, "adAlign");
    c.adBadgeSide = readString(o, "adBadgeSide");
    c.adOverlayOpacity = readNumberOrText(o, "adOverlayOpacity");
    c.qrcodeUrl = readString(o, "qrcodeUrl");
    c.minVersion = readString(o, "minVersion");
    c.notice = readString(o, "notice");
    c.noticeTitle = readString(o, "noticeTitle");
    c.noticeId = readString(o, "noticeId");
    c.updateUrl = readString(o, "updateUrl");
    c.sidebarCards = readCards(o);
    c.latestVersion = readString(o, "latestVersion");
    c.changelog = readString(o, "changelog");
    c.downloadUrl = readString(o, "downloadUrl");
    c.forceUpdate = readBool(o, "forceUpdate");
    return c;
}

std::optional<RemoteConfig> RemoteConfig::decode(const QByteArray& bytes)
{
    if (bytes.size() > kMaxBytes)
        return std::nullopt;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return fromJson(document.object());
}

QJsonObject RemoteConfig::toJson() const
{
    QJsonObject o;
    put(o, "adShow", adShow);
    put(o, "adUrl", adUrl);
    put(o, "adText", adText);
    put(o, "adSubText", adSubText);
    put(o, "adBadge", adBadge);
    put(o, "adLink", adLink);
    put(o, "adImage", adImage);
    put(o, "adOverlay", adOverlay);
    put(o, "adAlign", adAlign);
    put(o, "adBadgeSide", adBadgeSide);
    if (adOverlayOpacity)
        o.insert(QLatin1String("adOverlayOpacity"), *adOverlayOpacity);
    put(o, "qrcodeUrl", qrcodeUrl);
    put(o, "minVersion", minVersion);
    put(o, "notice", notice);
    put(o, "noticeTitle", noticeTitle);
    put(o, "noticeId", noticeId);
    put(o, "updateUrl", updateUrl);
    if (sidebarCards) {
        QJsonArray cards;
        for (const PromoCard& card : *sidebarCards)
            cards.append(card.toJson());
        o.insert(QLatin1String("sidebarCards"), cards);
    }
    put(o, "latestVersion", latestVersion);
    put(o, "changelog", changelog);
    put(o, "downloadUrl", downloadUrl);
    put(o, "forceUpdate", forceUpdate);
    return o;
}

std::optional<QString> RemoteConfig::adHeading() const
{
    return OnlineText::nonEmptyTrimmed(adText);
}

std::optional<QString> RemoteConfig::adSubheading() const
{
    return OnlineText::nonEmptyTrimmed(adSubText);
}

std::optional<QString> RemoteConfig::adBadgeText() const
{
    return OnlineText::nonEmptyTrimmed(adBadge);
}

std::optional<QString> RemoteConfig::adIconURL() const
{
    return OnlineText::nonEmptyTrimmed(adImage);
}

std::optional<QString> RemoteConfig::adOpenLink() const
{
    if (auto link = OnlineText::nonEmptyTrimmed(adLink))
        return link;
    return OnlineText::nonEmptyTrimmed(adUrl);
}

bool RemoteConfig::adImageOnly() const
{
    return adShow == true && adOverlay == true && adIconURL().has_value()
        && !adHeading().has_value();
}

QString RemoteConfig::adAlignKey() const
{
    const QString key = OnlineText::blankTrimmed(adAlign.value_or(QStringLiteral("left"))).toLower();
    if (key == QLatin1String("center") || key == QLatin1String("middle")
        || key == QStringLiteral("居中"))
        return QStringLiteral("center");
    if (key == QLatin1String("right") || key == QStringLiteral("靠右"))
        return QStringLiteral("right");
    return QStringLiteral("left");
}

bool RemoteConfig::adBadgeOnLeft() const
{
    return OnlineText::blankTrimmed(adBadgeSide.value_or(QStringLiteral("right"))).toLower()
        == QLatin1String("left");
}

std::optional<QString> RemoteConfig::noticeText() const
{
    return OnlineText::nonEmptyTrimmed(notice);
}

QString RemoteConfig::noticeHeading() const
{
    return OnlineText::nonEmptyTrimmed(noticeTitle).value_or(QStringLiteral("公告"));
}

std::optional<QString> RemoteConfig::updateLink() const
{
    if (auto link = OnlineText::nonEmptyTrimmed(downloadUrl))
        return link;
    return OnlineText::nonEmptyTrimmed(updateUrl);
}

std::optional<QString> RemoteConfig::latestVersionText() const
{
    return OnlineText::nonEmptyTrimmed(latestVersion);
}

QStringList RemoteConfig::changelogLines() const
{
    static const std::array<QString, 6> bullets = {
        QStringLiteral("- "), QStringLiteral("• "), QStringLiteral("* "),
        QStringLiteral("· "), QStringLiteral("– "), QStringLiteral("— ")};
    QStringList lines;
    for (const QString& piece : OnlineText::splitLines(changelog.value_or(QString()))) {
        QString line = OnlineText::blankTrimmed(piece);
        for (const QString& bullet : bullets) {
            if (line.startsWith(bullet)) {
                line = OnlineText::blankTrimmed(line.mid(bullet.size()));
                break;
            }
        }
        if (!line.isEmpty())
            lines.append(line);
    }
    return lines;
}

QList<PromoCard> RemoteConfig::displayCards() const
{
    if (sidebarCards && !sidebarCards->isEmpty()) {
        QList<PromoCard> shown;
        for (const PromoCard& card : *sidebarCards) {
            if (!card.title.isEmpty())
                shown.append(card);
        }
        return shown;
    }
    // A blank address is no address: it would give a card with a picture that never loads.
    const std::optional<QString> qrcode = OnlineText::nonEmptyTrimmed(qrcodeUrl);
    if (!qrcode)
        return {};
    PromoCard follow;
    follow.id = QStringLiteral("follow");
    follow.title = QStringLiteral("关注公众号");
    follow.subtitle = QStringLiteral("扫码关注 Loomwork，获取插件更新");
    follow.button = QStringLiteral("查看二维码");
    follow.image = qrcode;
    follow.tint = QStringLiteral("brand");
    return {follow};
}
