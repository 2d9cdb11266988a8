#include "online/BiliVideo.h"

#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QRegularExpression>
#include <QStringList>
#include <QUrlQuery>

#include "online/HttpFetch.h"
#include "online/RedirectChain.h"
#include "online/SafeLink.h"

namespace BiliVideo {
namespace {

Site g_site;

constexpr int redirectTimeoutMs = 8000;
// The body of a short link's target is never read; stop once this much has arrived.
constexpr qint64 maxDiscardedBytes = 256 * 1024;

std::optional<QString> firstMatch(const QString& text, const QString& pattern, int group)
{
    const QRegularExpression re(pattern);
    if (!re.isValid())
        return std::nullopt;
    const QRegularExpressionMatch match = re.match(text);
    if (!match.hasMatch() || group > match.lastCapturedIndex() || match.capturedStart(group) < 0)
        return std::nullopt;
    return match.captured(group);
}

QString trimQuotesAndSpaces(const QString& text)
{
    auto strip = [](QChar c) { return c == u'"' || c == u'\'' || c == u' '; };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && strip(text[begin]))
        ++begin;
    while (end > begin && strip(text[end - 1]))
        --end;
    return text.mid(begin, end - begin);
}

QUrl siteUrl(const QString& host, const QString& path)
{
    QUrl url;
    url.setScheme(g_site.scheme);
    url.setHost(host);
    url.setPort(g_site.port);
    url.setPath(path);
    return url;
}

QString videoPagePrefix()
{
    return siteUrl(g_site.videoPageHost, QStringLiteral("/video/")).toString();
}

void post(QObject* context, Done done, std::optional<QUrl> result)
{
    QMetaObject::invokeMethod(
        context, [done = std::move(done), result = std::move(result)] { done(result); },
        Qt::QueuedConnection);
}

// Where the address finally leads; nothing when the request fails or leads nowhere else.
void followRedirects(const QUrl& start, QObject* context, std::function<void(std::optional<QUrl>)> done)
{
    QNetworkRequest request(start);
    request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(userAgent));
    auto* chain = new RedirectChain(request, std::nullopt, RedirectChain::Targets::noDowngrade,
                                    {redirectTimeoutMs}, &HttpFetch::manager());
    QPointer<QObject> guard(context);
    auto finished = std::make_shared<bool>(false);
    auto finish = [chain, guard, start, finished, done = std::move(done)](bool transportOk) {
        if (*finished)
            return;
        *finished = true;
        std::optional<QUrl> result;
        const QUrl url = chain->reply()->url();
        if (transportOk && !chain->refused() && chain->status() && url.isValid() && url != start)
            result = url;
        chain->deleteLater();
        if (guard)
            done(result);
    };
    QObject::connect(chain, &RedirectChain::downloadProgress, chain, [chain, finish](qint64 received, qint64) {
        // The final response has started to arrive: its address is all that is needed.
        if (received > maxDiscardedBytes && chain->reply()->error() == QNetworkReply::NoError)
            finish(true);
    });
    QObject::connect(chain, &RedirectChain::finished, chain, [chain, finish] {
        finish(chain->reply()->error() == QNetworkReply::NoError);
    });
}

} // namespace

const Site& site() { return g_site; }
void setSite(const Site& site) { g_site = site; }

bool hostWithin(const QString& host, const QString& domain)
{
    const QString h = host.toLower();
    const QString d = domain.toLower();
    return !d.isEmpty() && (h == d || h.endsWith(u'.' + d));
}

bool allowsNavigation(const QUrl& url, Starter starter)
{
    if (url.isEmpty())
        return true;
    if (!SafeLink::isWebAddress(url)) {
        static const QStringList engineSchemes{
            QStringLiteral("about"), QStringLiteral("blob"), QStringLiteral("data")};
        return url.isValid() && url.host().isEmpty() && engineSchemes.contains(url.scheme().toLower());
    }
    const QString host = url.host();
    return starter == Starter::page || hostWithin(host, g_site.mainDomain)
        || hostWithin(host, g_site.shortHost) || hostWithin(host, g_site.mediaHost);
}

std::optional<QString> cleaned(const std::optional<QString>& text)
{
    if (!text)
        return std::nullopt;
    QString s = text->trimmed();
    if (s.isEmpty())
        return std::nullopt;
    if (s.contains(u'<') || s.toLower().contains(QStringLiteral("iframe"))) {
        const auto attribute = firstMatch(s, QStringLiteral("(?i)src\\s*=\\s*[\"'][^\"']+[\"']"), 0);
        if (attribute) {
            const auto quoted = firstMatch(*attribute, QStringLiteral("[\"'][^\"']+[\"']"), 0);
            if (quoted && quoted->size() >= 3)
                s = quoted->mid(1, quoted->size() - 2);
        }
    }
    s.replace(QStringLiteral("&amp;"), QStringLiteral("&"));
    return trimQuotesAndSpaces(s);
}

std::optional<QUrl> normalizedUrl(const std::optional<QString>& text)
{
    const auto clean = cleaned(text);
    if (!clean || clean->isEmpty())
        return std::nullopt;
    const QString lower = clean->toLower();
    QString full;
    if (lower.startsWith(QStringLiteral("http://")) || lower.startsWith(QStringLiteral("https://")))
        full = *clean;
    else if (clean->startsWith(QStringLiteral("BV")) || lower.startsWith(QStringLiteral("av")))
        full = videoPagePrefix() + *clean;
    else if (clean->startsWith(QStringLiteral("//")))
        full = QStringLiteral("https:") + *clean;
    else
        full = QStringLiteral("https://") + *clean;
    const QUrl url(full, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

bool isBiliLink(const std::optional<QString>& text)
{
    const auto url = normalizedUrl(text);
    if (!url)
        return false;
    const QString host = url->host().toLower();
    if (host.isEmpty())
        return false;
    return host == g_site.shortHostExact.toLower() || hostWithin(host, g_site.mainDomain)
        || hostWithin(host, g_site.shortHost);
}

bool isShortLink(const QUrl& url)
{
    const QString host = url.host().toLower();
    if (host.isEmpty())
        return false;
    return hostWithin(host, g_site.shortHost) || host == g_site.shortHostExact.toLower();
}

int pageNumber(const QUrl& url)
{
    const QUrlQuery query(url);
    for (const auto& [name, value] : query.queryItems(QUrl::FullyDecoded)) {
        if (name.toLower() != QStringLiteral("p"))
            continue;
        static const QRegularExpression whole(QStringLiteral("^[+-]?[0-9]+$"));
        if (value.isEmpty() || !whole.match(value).hasMatch())
            return 1;
        bool ok = false;
        const qlonglong n = value.toLongLong(&ok);
        if (!ok)
            return n < 0 || value.startsWith(u'-') ? 1 : std::numeric_limits<int>::max();
        return int(std::clamp<qlonglong>(n, 1, std::numeric_limits<int>::max()));
    }
    return 1;
}

std::optional<Part> parse(const QUrl& url)
{
    const QString text = url.toString(QUrl::FullyEncoded);
    const int page = pageNumber(url);
    if (auto bv = firstMatch(text, QStringLiteral("BV[0-9A-Za-z]{10}"), 0))
        return Part{*bv, false, page};
    if (auto av = firstMatch(text, QStringLiteral("(?i)(?:^|[/?&=])av(\\d{1,12})"), 1))
        return Part{*av, true, page};
    if (auto aid = firstMatch(text, QStringLiteral("(?i)(?:^|[/?&=])aid=(\\d{1,12})"), 1))
        return Part{*aid, true, page};
    return std::nullopt;
}

std::optional<QUrl> embed(const Part& part)
{
    QUrl url = siteUrl(g_site.playerHost, QStringLiteral("/player.html"));
    if (!url.isValid())
        return std::nullopt;
    QUrlQuery query;
    query.addQueryItem(part.isAid ? QStringLiteral("aid") : QStringLiteral("bvid"), part.id);
    query.addQueryItem(QStringLiteral("page"), QString::number(std::max(part.page, 1)));
    query.addQueryItem(QStringLiteral("high_quality"), QStringLiteral("1"));
    query.addQueryItem(QStringLiteral("danmaku"), QStringLiteral("0"));
    query.addQueryItem(QStringLiteral("autoplay"), QStringLiteral("1"));
    query.addQueryItem(QStringLiteral("t"), QStringLiteral("0"));
    url.setQuery(query);
    return url;
}

void embedUrl(const std::optional<QString>& text, QObject* context, Done done)
{
    const auto url = normalizedUrl(text);
    if (!url) {
        post(context, std::move(done), std::nullopt);
        return;
    }
    if (const auto part = parse(*url)) {
        post(context, std::move(done), embed(*part));
        return;
    }
    if (!isShortLink(*url)) {
        post(context, std::move(done), std::nullopt);
        return;
    }
    followRedirects(*url, context, [done = std::move(done)](std::optional<QUrl> target) {
        std::optional<QUrl> page;
        if (target) {
            if (const auto part = parse(*target))
                page = embed(*part);
        }
        done(page);
    });
}

} // namespace BiliVideo
