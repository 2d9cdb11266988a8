#include "online/V2API.h"

#include <algorithm>
#include <cmath>

#include <QJsonDocument>
#include <QNetworkRequest>

#include "online/HttpFetch.h"
#include "online/ServerConfig.h"
#include "online/TokenStore.h"

V2API::Reply V2API::parseObject(const QByteArray& body)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

std::optional<qint64> V2API::integerStatus(const QJsonObject& reply)
{
    const QJsonValue status = reply.value(QLatin1String("status"));
    if (!status.isDouble())
        return std::nullopt;
    const double value = status.toDouble();
    if (!std::isfinite(value) || std::trunc(value) != value || std::fabs(value) > 9.0e15)
        return std::nullopt;
    return qint64(value);
}

void V2API::postTo(const QUrl& url, const QJsonObject& body, int timeoutMs, QObject* context,
                   Done done)
{
    const auto finish = [done = std::move(done)](const std::optional<QByteArray>& bytes) {
        done(bytes ? parseObject(*bytes) : std::nullopt);
    };
    if (!url.isValid() || url.isRelative()) {
        HttpFetch::fail(context, finish);
        return;
    }
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    HttpFetch::send(request, QJsonDocument(body).toJson(QJsonDocument::Compact), timeoutMs,
                    context, finish);
}

void V2API::post(const QString& path, const QJsonObject& body, double timeoutSeconds,
                 QObject* context, Done done)
{
    QJsonObject complete = body;
    if (!complete.contains(QLatin1String("token"))) {
        if (const auto token = TokenStore::read())
            complete.insert(QLatin1String("token"), *token);
    }
    const int timeoutMs = int(std::clamp(timeoutSeconds * 1000.0, 1.0, 3.6e6));
    postTo(ServerConfig::url(path), complete, timeoutMs, context, std::move(done));
}
