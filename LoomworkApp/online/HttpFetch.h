#pragma once

#include <functional>
#include <optional>

#include <QByteArray>
#include <QNetworkRequest>

class QNetworkAccessManager;
class QObject;

// One HTTP exchange for the service clients. The body of every response is handed back,
// whatever its status (the callers read the envelope, not the status); a transport
// failure, the time-out, a body above the limit or a redirect away from the origin (or past
// the tenth) gives nothing. Call on the GUI thread; `done` runs there, and never once
// `context` is gone.
namespace HttpFetch {

// A reply larger than this is not one the service sends: it is dropped unread.
inline constexpr qint64 maxReplyBytes = 8 * 1024 * 1024;

using Done = std::function<void(const std::optional<QByteArray>& body)>;

// `body` absent sends a GET, present a POST with that body.
void send(QNetworkRequest request, const std::optional<QByteArray>& body, int timeoutMs,
          QObject* context, Done done);

// A GET whose answer also carries the HTTP status (0 when none was read), with its own
// body limit.
struct Response
{
    std::optional<QByteArray> body;
    int status = 0;
};
using DoneWithStatus = std::function<void(const Response& response)>;
void get(QNetworkRequest request, qint64 maxBytes, int timeoutMs, QObject* context,
         DoneWithStatus done);

// Gives nothing, asynchronously, as a failed exchange would.
void fail(QObject* context, Done done);

QNetworkAccessManager& manager();

} // namespace HttpFetch
