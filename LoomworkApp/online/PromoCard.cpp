#include "online/PromoCard.h"

#include <array>

#include "online/OnlineText.h"

namespace {

std::optional<QString> cardString(const QJsonObject& object, const char* key)
{
    const QJsonValue value = object.value(QLatin1String(key));
    if (!value.isString())
        return std::nullopt;
    return OnlineText::nonEmptyTrimmed(value.toString());
}

void put(QJsonObject& object, const char* key, const std::optional<QString>& value)
{
    if (value)
        object.insert(QLatin1String(key), *value);
}

} // namespace

PromoCard PromoCard::fromJson(const QJsonObject& object)
{
    PromoCard card;
    card.id = cardString(object, "id");
    card.title = cardString(object, "title").value_or(QString());
    card.subtitle = cardString(object, "subtitle");
    card.button = cardString(object, "button");
    card.image = cardString(object, "image");
    card.link = cardString(object, "link");
    card.url = cardString(object, "url");
    card.badge = cardString(object, "badge");
    card.tint = cardString(object, "tint");
    return card;
}

QJsonObject PromoCard::toJson() const
{
    QJsonObject object;
    put(object, "id", id);
    object.insert(QLatin1String("title"), title);
    put(object, "subtitle", subtitle);
    put(object, "button", button);
    put(object, "image", image);
    put(object, "link", link);
    put(object, "url", url);
    put(object, "badge", badge);
    put(object, "tint", tint);
    return object;
}

PromoCard::Accent PromoCard::accent() const
{
    const QString key = tint.value_or(QStringLiteral("brand")).toLower();
    if (key == QLatin1String("purple"))
        return Accent::purple;
    if (key == QLatin1String("orange"))
        return Accent::orange;
    if (key == QLatin1String("green"))
        return Accent::green;
    if (key == QLatin1String("teal"))
        return Accent::teal;
    if (key == QLatin1String("red"))
        return Accent::red;
    return Accent::brand;
}

bool PromoCard::isImageLike(const std::optional<QString>& address)
{
    if (!address)
        return false;
    const QString lower = address->toLower();
    static const std::array<QLatin1String, 6> extensions = {
        QLatin1String(".jpg"), QLatin1String(".jpeg"), QLatin1String(".png"),
        QLatin1String(".webp"), QLatin1String(".gif"), QLatin1String(".svg")};
    for (const QLatin1String& extension : extensions) {
        if (lower.endsWith(extension))
            return true;
    }
    return lower.contains(QLatin1String("/qrcode"));
}

std::optional<QString> PromoCard::imageAddress() const
{
    if (image)
        return image;
    if (isImageLike(url))
        return url;
    return std::nullopt;
}

std::optional<QString> PromoCard::linkAddress() const
{
    if (link)
        return link;
    if (url && !isImageLike(url))
        return url;
    return std::nullopt;
}
