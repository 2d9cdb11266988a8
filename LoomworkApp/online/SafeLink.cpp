#include "online/SafeLink.h"

#include <QDesktopServices>

#include "online/OnlineText.h"

namespace {

SafeLink::Opener& opener()
{
    static SafeLink::Opener instance = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return instance;
}

} // namespace

const QSet<QString>& SafeLink::allowedSchemes()
{
    static const QSet<QString> schemes = {QStringLiteral("http"), QStringLiteral("https"),
                                          QStringLiteral("mailto")};
    return schemes;
}

bool SafeLink::isAllowed(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !scheme.isEmpty() && allowedSchemes().contains(scheme);
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
    const QUrl parsed(trimmed, QUrl::StrictMode);
    if (!parsed.isValid() || !isAllowed(parsed))
        return std::nullopt;
    return parsed;
}

void SafeLink::open(const std::optional<QUrl>& url)
{
    if (!url || !isAllowed(*url))
        return;
    if (opener())
        opener()(*url);
}

SafeLink::Opener SafeLink::setOpener(Opener replacement)
{
    Opener previous = std::move(opener());
    opener() = std::move(replacement);
    return previous;
}
