#pragma once

#include <optional>

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include "online/PromoCard.h"

// The remote configuration document: one optional field per key, strings kept exactly as
// received. Decoding is lenient per key (a missing, null or mistyped value leaves its field
// absent); only a top-level value that is not an object fails. The derived values are what
// the views read.
struct RemoteConfig
{
    // A document larger than this is not a configuration: the fetch drops it.
    static constexpr qint64 kMaxBytes = 1024 * 1024;

    std::optional<bool> adShow;
    std::optional<QString> adUrl;
    std::optional<QString> adText;
    std::optional<QString> adSubText;
    std::optional<QString> adBadge;
    std::optional<QString> adLink;
    std::optional<QString> adImage;
    std::optional<bool> adOverlay;
    std::optional<QString> adAlign;
    std::optional<QString> adBadgeSide;
    std::optional<double> adOverlayOpacity;
    std::optional<QString> qrcodeUrl;
    std::optional<QString> minVersion;
    std::optional<QString> notice;
    std::optional<QString> noticeTitle;
    std::optional<QString> noticeId;
    std::optional<QString> updateUrl;
    std::optional<QList<PromoCard>> sidebarCards;
    std::optional<QString> latestVersion;
    std::optional<QString> changelog;
    std::optional<QString> downloadUrl;
    std::optional<bool> forceUpdate;

    static std::optional<RemoteConfig> fromJson(const QJsonValue& value);
    // Parses `bytes` as JSON first; nothing for bytes that are not JSON or not an object.
    static std::optional<RemoteConfig> decode(const QByteArray& bytes);
    // Present fields only, under the same keys.
    QJsonObject toJson() const;

    std::optional<QString> adHeading() const;
    std::optional<QString> adSubheading() const;
    std::optional<QString> adBadgeText() const;
    std::optional<QString> adIconURL() const;
    std::optional<QString> adOpenLink() const;
    bool adImageOnly() const;
    // "left", "center" or "right".
    QString adAlignKey() const;
    bool adBadgeOnLeft() const;
    std::optional<QString> noticeText() const;
    QString noticeHeading() const;
    std::optional<QString> updateLink() const;
    std::optional<QString> latestVersionText() const;
    QStringList changelogLines() const;
    QList<PromoCard> displayCards() const;

    bool operator==(const RemoteConfig&) const = default;
};
