#include "online/SafeLink.h"

#include <QDesktopServices>

#include "online/OnlineText.h"

namespace {

SafeLink::Opener& opener()
{
    static SafeLink::Opener instance = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    return instance;
}

// One recipient: a local part and a domain. A leading "-" would reach the mail program as an
// option, a control character (an encoded line break) would start a header of its own.
bool isMailAddress(const QString& recipient)
{
    const qsizetype at = recipient.lastIndexOf(QLatin1Char('@'));
    if (at <= 0 || at == recipient.size() - 1 || recipient.startsWith(QLatin1Char('-')))
        return false;
    for (const QChar c : recipient) {
        if (c.isSpace() || c.category() == QChar::Other_Control || c.category() == QChar::Other_Format
            || QStringView(u"<>()[]\\,;:\"?").contains(c))
            return false;
    }
    const QString domain = recipient.mid(at + 1);
    if (recipient.left(at).contains(QLatin1Char('@')))
        return false;
    for (const QString& label : domain.split(QLatin1Char('.'))) {
        if (label.isEmpty() || label.startsWith(QLatin1Char('-')) || label.endsWith(QLatin1Char('-')))
            return false;
        for (const QChar c : label) {
            if (!c.isLetterOrNumber() && c != QLatin1Char('-'))
                return false;
        }
    }
    return true;
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
    if (recipients.isEmpty())
        return std::nullopt;
    for (const QString& recipient : recipients.split(QLatin1Char(','))) {
        if (!isMailAddress(recipient))
            return std::nullopt;
    }
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
