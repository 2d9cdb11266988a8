#include "online/RedirectChain.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include "online/HttpFetch.h"
#include "online/SafeLink.h"

RedirectChain::RedirectChain(const QNetworkRequest& request, const std::optional<QByteArray>& body,
                             Targets targets, const Limits& limits, QObject* parent)
    : QObject(parent), m_targets(targets), m_body(body), m_maxBytes(limits.maxBytes)
{
    if (limits.deadlineMs > 0) {
        QTimer::singleShot(limits.deadlineMs, this, [this] {
            m_timedOut = !m_finished;
            abort();
        });
    }
    send(request);
}

RedirectChain::~RedirectChain()
{
    if (m_reply) {
        m_reply->disconnect(this);
        if (!m_reply->isFinished())
            m_reply->abort();
        m_reply->deleteLater();
    }
}

bool RedirectChain::allowed(Targets targets, const QUrl& from, const QUrl& to)
{
    const QString scheme = to.scheme().toLower();
    if (!SafeLink::isWebAddress(to))
        return false;
    const QString fromScheme = from.scheme().toLower();
    switch (targets) {
    case Targets::sameOrigin: {
        const int defaultPort = scheme == QLatin1String("https") ? 443 : 80;
        return scheme == fromScheme && to.host().compare(from.host(), Qt::CaseInsensitive) == 0
            && to.port(defaultPort) == from.port(defaultPort);
    }
    case Targets::noDowngrade:
        return !(fromScheme == QLatin1String("https") && scheme == QLatin1String("http"));
    }
    return false;
}

void RedirectChain::send(const QNetworkRequest& request)
{
    m_request = request;
    m_request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                           QNetworkRequest::ManualRedirectPolicy);
    QNetworkAccessManager& manager = HttpFetch::manager();
    QNetworkReply* reply = m_body ? manager.post(m_request, *m_body) : manager.get(m_request);
    m_reply = reply;
    // A redirect's own headers, body and progress are nobody else's business.
    connect(reply, &QNetworkReply::metaDataChanged, this, [this] {
        if (!redirectTarget())
            emit metaDataChanged();
    });
    connect(reply, &QNetworkReply::readyRead, this, [this] {
        if (redirectTarget())
            m_reply->skip(m_reply->bytesAvailable());
        else
            emit readyRead();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64 total) {
        if (redirectTarget())
            return;
        if (m_maxBytes >= 0 && (received > m_maxBytes || total > m_maxBytes)) {
            m_tooLarge = true;
            abort();
            return;
        }
        emit downloadProgress(received, total);
    });
    connect(reply, &QNetworkReply::finished, this, &RedirectChain::onReplyFinished);
}

std::optional<QUrl> RedirectChain::redirectTarget() const
{
    switch (m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()) {
    case 301:
    case 302:
    case 303:
    case 307:
    case 308:
        break;
    default:
        return std::nullopt;
    }
    const QByteArray location = m_reply->rawHeader("Location");
    if (location.isEmpty())
        return std::nullopt;
    return m_reply->url().resolved(QUrl(QString::fromUtf8(location)));
}

QNetworkReply* RedirectChain::reply() const
{
    return m_reply;
}

std::optional<int> RedirectChain::status() const
{
    const QVariant status =
        m_reply ? m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute) : QVariant();
    if (!status.isValid() || status.toInt() < 200)
        return std::nullopt;
    return status.toInt();
}

void RedirectChain::abort()
{
    m_aborted = true;
    if (m_reply && !m_finished)
        m_reply->abort();
}

void RedirectChain::onReplyFinished()
{
    QNetworkReply* reply = m_reply;
    reply->disconnect(this);
    const std::optional<QUrl> next = redirectTarget();
    if (!m_aborted && reply->error() == QNetworkReply::NoError && next) {
        if (++m_redirects > maxRedirects || !allowed(m_targets, reply->url(), *next)) {
            m_refused = true;
        } else {
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status != 307 && status != 308)
                m_body.reset();
            QNetworkRequest request = m_request;
            request.setUrl(*next);
            reply->deleteLater();
            send(request);
            return;
        }
    }
    m_finished = true;
    emit finished();
}
