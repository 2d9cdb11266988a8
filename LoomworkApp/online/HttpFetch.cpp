#include "online/HttpFetch.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

#include "online/RedirectChain.h"

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
    auto* chain = new RedirectChain(request, body, RedirectChain::Targets::sameOrigin,
                                    {timeoutMs, maxBytes}, &HttpFetch::manager());

    QPointer<QObject> guard(context);
    QObject::connect(chain, &RedirectChain::finished, chain,
                     [chain, guard, maxBytes, done = std::move(done)] {
                         chain->deleteLater();
                         if (!guard)
                             return;
                         HttpFetch::Response response;
                         // Below 200 the network or the proxy failed; from 200 up the server
                         // answered (4xx and 5xx too), and its body still counts.
                         QNetworkReply* reply = chain->reply();
                         const int error = reply->error();
                         const bool transportFailed = error > QNetworkReply::NoError
                             && error < QNetworkReply::ContentAccessDenied;
                         if (!chain->timedOut() && !chain->tooLarge() && !chain->refused() && !transportFailed
                             && chain->status()) {
                             response.status = *chain->status();
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
