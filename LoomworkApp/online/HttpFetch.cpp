#include "online/HttpFetch.h"

#include <memory>

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTimer>

namespace {

bool reachedServer(QNetworkReply* reply)
{
    // Errors below 200 are the network's and the proxy's; above, the server answered
    // (4xx, 5xx, protocol), and its body still counts.
    const int error = reply->error();
    if (error > QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied)
        return false;
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
}

} // namespace

QNetworkAccessManager& HttpFetch::manager()
{
    static QNetworkAccessManager* instance = [] {
        auto* created = new QNetworkAccessManager(QCoreApplication::instance());
        created->setAutoDeleteReplies(false);
        return created;
    }();
    return *instance;
}

void HttpFetch::fail(QObject* context, Done done)
{
    QMetaObject::invokeMethod(
        context, [done = std::move(done)] { done(std::nullopt); }, Qt::QueuedConnection);
}

namespace {

void exchange(QNetworkRequest request, const std::optional<QByteArray>& body, qint64 maxBytes,
              int timeoutMs, QObject* context, HttpFetch::DoneWithStatus done)
{
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    // The body may carry the session token: it never follows a redirect to another host.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    QNetworkAccessManager& manager = HttpFetch::manager();
    QNetworkReply* reply = body ? manager.post(request, *body) : manager.get(request);

    auto abandoned = std::make_shared<bool>(false);
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply, abandoned] {
        *abandoned = true;
        reply->abort();
    });
    timer->start(timeoutMs);

    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, abandoned, maxBytes](qint64 received, qint64 total) {
                         if (received > maxBytes || total > maxBytes) {
                             *abandoned = true;
                             reply->abort();
                         }
                     });

    QPointer<QObject> guard(context);
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, abandoned, guard, maxBytes, done = std::move(done)] {
                         reply->deleteLater();
                         if (!guard)
                             return;
                         HttpFetch::Response response;
                         if (!*abandoned && reachedServer(reply)) {
                             response.status =
                                 reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
                             QByteArray bytes = reply->read(maxBytes + 1);
                             if (bytes.size() <= maxBytes)
                                 response.body = std::move(bytes);
                         }
                         done(response);
                     });
}

} // namespace

void HttpFetch::send(QNetworkRequest request, const std::optional<QByteArray>& body,
                     int timeoutMs, QObject* context, Done done)
{
    exchange(std::move(request), body, maxReplyBytes, timeoutMs, context,
             [done = std::move(done)](const Response& response) { done(response.body); });
}

void HttpFetch::get(QNetworkRequest request, qint64 maxBytes, int timeoutMs, QObject* context,
                    DoneWithStatus done)
{
    exchange(std::move(request), std::nullopt, maxBytes, timeoutMs, context, std::move(done));
}
