#include "online/SafeLink.h"

#include <QDesktopServices>

#include "online/OnlineText.h"

namespace {

SafeLink::Opener& opener()
{
    static SafeLink::Opener instance = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return instance;
}

// What may be handed to the desktop. A mail program takes "attach=", "body=" and other
// fields from the query, so a server's mail link keeps only its recipients.
std::optional<QUrl> handedOver(const QUrl& url)
{
    if (SafeLink::isWebAddress(url))
        return url;
    if (!url.isValid() || url.scheme().compare(QLatin1String("mailto"), Qt::CaseInsensitive) != 0)
        return std::nullopt;
    const QUrl mail = url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment);
    const QString recipients = mail.path(QUrl::FullyDecoded);
    if (recipients.trimmed().isEmpty() || recipients.contains(QLatin1Char('?')))
        return std::nullopt;
    return mail;
}

} // namespace

bool SafeLink::isAllowed(const QUrl& url)
{
    return handedOver(url).has_value();
}

bool SafeLink::isWebAddress(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.host().isEmpty()
        && (scheme == QLatin1String("http") || scheme == QLatin1String("https"));
}

std::optional<QUrl> SafeLink::url(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    const QString trimmed = OnlineText::trimmed(*text);
    if (trimmed.isEmpty())
        return std::nullopt;
    return handedOver(QUrl(trimmed, QUrl::StrictMode));
}

void SafeLink::open(const std::optional<QUrl>& url)
{
    const std::optional<QUrl> safe = url ? handedOver(*url) : std::nullopt;
    if (safe && opener())
        opener()(*safe);
}

SafeLink::Opener SafeLink::setOpener(Opener replacement)
{
    Opener previous = std::move(opener());
    opener() = std::move(replacement);
    return previous;
}
