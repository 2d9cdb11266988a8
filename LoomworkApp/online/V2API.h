#pragma once

#include <functional>
#include <optional>

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUrl>

class QObject;

namespace JsonDecode {

// How one payload value becomes a model: a model type supplies
// `static std::optional<T> fromJson(const QJsonObject&)`; lists and strings are built in.
template <typename T>
struct Decoder
{
    static std::optional<T> from(const QJsonValue& value)
    {
        if (!value.isObject())
            return std::nullopt;
        return T::fromJson(value.toObject());
    }
};

template <>
struct Decoder<QString>
{
    static std::optional<QString> from(const QJsonValue& value)
    {
        if (!value.isString())
            return std::nullopt;
        return value.toString();
    }
};

template <typename T>
struct Decoder<QList<T>>
{
    static std::optional<QList<T>> from(const QJsonValue& value)
    {
        if (!value.isArray())
            return std::nullopt;
        QList<T> list;
        for (const QJsonValue& element : value.toArray()) {
            auto decoded = Decoder<T>::from(element);
            if (!decoded)
                return std::nullopt;
            list.append(std::move(*decoded));
        }
        return list;
    }
};

} // namespace JsonDecode

// The client of the service's JSON API: POSTs a JSON object to a path under the base
// address (ServerConfig::url) and hands back the reply object. The saved session token is
// added under "token" unless the body has that key. The HTTP status is not looked at;
// every failure (bad address, transport, time-out, a body that is not a JSON object)
// gives nothing. Reading "status" and "info" is the caller's task.
namespace V2API {

using Reply = std::optional<QJsonObject>;
using Done = std::function<void(const Reply& reply)>;

// Call on the GUI thread; `done` runs there later, never once `context` is gone.
void post(const QString& path, const QJsonObject& body, double timeoutSeconds,
          QObject* context, Done done);

// POSTs `body` as it stands to `url`; an invalid or relative address fails, queued.
void postTo(const QUrl& url, const QJsonObject& body, int timeoutMs, QObject* context, Done done);

// The reply object of a body, if it is one.
Reply parseObject(const QByteArray& body);

// One payload value as a model; nothing for an absent value, a single string, number,
// Boolean or null, or anything that does not decode.
template <typename T>
std::optional<T> decode(const QJsonValue& value)
{
    if (!value.isObject() && !value.isArray())
        return std::nullopt;
    return JsonDecode::Decoder<T>::from(value);
}

// "status" when it is a whole JSON number (so "0" as text is not a status).
std::optional<qint64> integerStatus(const QJsonObject& reply);

} // namespace V2API
