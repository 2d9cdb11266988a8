#pragma once

#include <optional>

#include <QJsonObject>
#include <QString>

// One promotion card of the sidebar carousel. Every field is trimmed when decoded and an
// empty one counts as absent; a card without a title has the title "" and is not shown.
struct PromoCard
{
    // The card's colour by purpose; the views map it to the theme.
    enum class Accent {
        brand,
        purple,
        orange,
        green,
        teal,
        red
    };

    std::optional<QString> id;
    QString title;
    std::optional<QString> subtitle;
    std::optional<QString> button;
    std::optional<QString> image;
    std::optional<QString> link;
    std::optional<QString> url;
    std::optional<QString> badge;
    std::optional<QString> tint;

    // Never fails: each key counts only when it holds a string.
    static PromoCard fromJson(const QJsonObject& object);
    // Present fields only; the title always.
    QJsonObject toJson() const;

    Accent accent() const;
    // Whether the address names a picture: a picture extension at its very end (any case)
    // or "/qrcode" anywhere.
    static bool isImageLike(const std::optional<QString>& address);
    // `image`, else `url` when it names a picture.
    std::optional<QString> imageAddress() const;
    // `link`, else `url` when it does not name a picture.
    std::optional<QString> linkAddress() const;

    bool operator==(const PromoCard&) const = default;
};
