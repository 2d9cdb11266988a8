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

void HttpFetch::send(QNetworkRequest request, const std::optional<QByteArray>& body,
                     int timeoutMs, QObject* context, Done done)
{
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    QNetworkReply* reply = body ? manager().post(request, *body) : manager().get(request);

    auto abandoned = std::make_shared<bool>(false);
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply, abandoned] {
        *abandoned = true;
        reply->abort();
    });
    timer->start(timeoutMs);

    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, abandoned](qint64 received, qint64 total) {
                         if (received > maxReplyBytes || total > maxReplyBytes) {
                             *abandoned = true;
                             reply->abort();
                         }
                     });

    QPointer<QObject> guard(context);
    QObject::connect(reply, &QNetworkReply::finished, reply,
                     [reply, abandoned, guard, done = std::move(done)] {
                         reply->deleteLater();
                         if (!guard)
                             return;
                         std::optional<QByteArray> result;
                         if (!*abandoned && reachedServer(reply)) {
                             QByteArray bytes = reply->read(maxReplyBytes + 1);
                             if (bytes.size() <= maxReplyBytes)
                                 result = std::move(bytes);
                         }
                         done(result);
                     });
}
