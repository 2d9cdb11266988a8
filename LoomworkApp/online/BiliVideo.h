#pragma once

#include <functional>
#include <optional>

#include <QString>
#include <QUrl>

class QObject;

// Recognises links to the public video site (page addresses, bare ids, short links, pasted
// iframe snippets) and turns them into the address of the site's embeddable player page.
namespace BiliVideo {

// The site's hosts by role. Defaults are the public site; tests point them at the stand-in.
struct Site {
    QString mainDomain = QStringLiteral("bilibili.com");
    QString videoPageHost = QStringLiteral("www.bilibili.com");
    QString playerHost = QStringLiteral("player.bilibili.com");
    QString shortHost = QStringLiteral("b23.tv");
    QString shortHostExact = QStringLiteral("bili2233.cn");
    QString mediaHost = QStringLiteral("bilivideo.com");
    QString scheme = QStringLiteral("https");
    int port = -1;
};

const Site& site();
void setSite(const Site& site);

// Sent when following short links and by the embedded player.
inline constexpr char userAgent[] =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) "
    "Version/17.0 Safari/605.1.15";

struct Part {
    QString id;
    bool isAid = false;
    int page = 1;
};

bool isBiliLink(const std::optional<QString>& text);

// Pure steps, exposed for tests.
std::optional<QString> cleaned(const std::optional<QString>& text);
std::optional<QUrl> normalizedUrl(const std::optional<QString>& text);
bool isShortLink(const QUrl& url);
std::optional<Part> parse(const QUrl& url);
int pageNumber(const QUrl& url);
std::optional<QUrl> embed(const Part& part);

// True when `host` (lower-cased) equals `domain` or lies under it.
bool hostWithin(const QString& host, const QString& domain);

// Who started a navigation in the embedded player.
enum class Starter {
    page, // redirects, scripts and frame loads
    user, // link clicks, form submissions, back and forward, reloads, typed addresses
};

// The embedded player's navigation policy, main frame or not: no address, or an address
// without a host that the web engine shows itself (about:, blob:, data:); http or https to
// the site's domain, its short-link host or its media host, or a host under one of them;
// http or https to any other host only when the page starts the navigation. No other
// scheme: the engine would hand it to the desktop.
bool allowsNavigation(const QUrl& url, Starter starter);

// The player page for what the text names. Short links are followed (GET, 8 s, at most 10
// http/https hops) off the GUI thread; `done` runs on the GUI thread, never once `context`
// is gone. Texts that need no network answer asynchronously too.
using Done = std::function<void(const std::optional<QUrl>& page)>;
void embedUrl(const std::optional<QString>& text, QObject* context, Done done);

} // namespace BiliVideo
