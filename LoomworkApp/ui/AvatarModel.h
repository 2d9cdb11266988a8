#pragma once

#include <optional>

#include <QString>
#include <QUrl>

// What a user's round picture shows, worked out from the member's two fields alone.
// A usable nickname wins over the picture: its first character on a colour of the name.
// Only without one is the picture address used, and only when it is http or https.
class AvatarModel
{
public:
    enum class Content {
        initial,
        picture,
        placeholder
    };

    // Number of colours a name can get; see tintIndex().
    static constexpr int kTintCount = 5;

    AvatarModel(const std::optional<QString>& nickName, const std::optional<QString>& avatarUrl);

    Content content() const { return m_content; }
    const QString& initial() const { return m_initial; }
    int tintIndex() const { return m_tintIndex; }
    // Set only when content() is picture.
    const QUrl& pictureUrl() const { return m_pictureUrl; }

    // The nickname trimmed of white space and newlines; "" for none.
    static QString trimmedName(const std::optional<QString>& nickName);
    // The first grapheme cluster of the trimmed name (a composed emoji stays whole).
    static std::optional<QString> initialOf(const std::optional<QString>& nickName);
    // |sum of the trimmed name's code points| mod 5: the same on every screen and run.
    static int tintIndex(const std::optional<QString>& nickName);
    // The address as a URL when it is a well-formed http or https address with a host.
    static std::optional<QUrl> pictureUrl(const std::optional<QString>& avatarUrl);

    // Sizes of the drawn initial and of the placeholder symbol for a frame of `size`.
    static qreal initialPointSize(qreal size) { return size * 0.44; }
    static qreal symbolPointSize(qreal size) { return size * 0.42; }

private:
    Content m_content = Content::placeholder;
    QString m_initial;
    int m_tintIndex = 0;
    QUrl m_pictureUrl;
};
