#include "ui/AvatarModel.h"

#include <cstdint>
#include <cstdlib>

#include <QTextBoundaryFinder>

#include "online/SafeLink.h"

AvatarModel::AvatarModel(const std::optional<QString>& nickName,
                         const std::optional<QString>& avatarUrl)
    : m_tintIndex(tintIndex(nickName))
{
    if (const auto first = initialOf(nickName)) {
        m_content = Content::initial;
        m_initial = *first;
    } else if (const auto url = pictureUrl(avatarUrl)) {
        m_content = Content::picture;
        m_pictureUrl = *url;
    }
}

QString AvatarModel::trimmedName(const std::optional<QString>& nickName)
{
    return nickName ? nickName->trimmed() : QString();
}

std::optional<QString> AvatarModel::initialOf(const std::optional<QString>& nickName)
{
    const QString name = trimmedName(nickName);
    if (name.isEmpty())
        return std::nullopt;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, name);
    const qsizetype end = finder.toNextBoundary();
    return name.left(end > 0 ? end : name.size());
}

int AvatarModel::tintIndex(const std::optional<QString>& nickName)
{
    std::int64_t sum = 0;
    for (const char32_t scalar : trimmedName(nickName).toUcs4())
        sum += scalar;
    return int(std::llabs(sum) % kTintCount);
}

std::optional<QUrl> AvatarModel::pictureUrl(const std::optional<QString>& avatarUrl)
{
    if (!avatarUrl)
        return std::nullopt;
    const QUrl url(*avatarUrl, QUrl::StrictMode);
    if (!SafeLink::isWebAddress(url))
        return std::nullopt;
    return url;
}
