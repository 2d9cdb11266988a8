#pragma once

#include <optional>

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QUrl>

class QNetworkReply;

// One HTTP request whose redirects are followed here, each hop a fresh request, instead of by
// QNetworkAccessManager: Qt 6.4 ends chains of two or more hops over a kept-alive connection
// with a false status (100, or a redirect's), and emits signals of a reply after its end.
// Only the final answer's signals are handed on; every reply is cut off from this object when
// it ends, so no handler ever runs on a finished reply. finished() comes exactly once, also
// after abort() and after a limit stopped it. Lives on the GUI thread; destroying it aborts
// what is still running.
class RedirectChain : public QObject
{
    Q_OBJECT
public:
    // Where a redirect may lead (always http or https, with a host).
    enum class Targets {
        sameOrigin,   // same scheme, host and port: the request may carry the session token
        noDowngrade,  // any host, but never from https down to http
    };
    static constexpr int maxRedirects = 10;

    struct Limits
    {
        int deadlineMs = 0;    // the whole chain, every hop included; 0: none
        qint64 maxBytes = -1;  // the final answer's body, announced or received; -1: none
    };

    // Sends `request` at once: a GET, or a POST of `body` (a 301, 302 or 303 goes on as a GET
    // without it, as browsers do).
    RedirectChain(const QNetworkRequest& request, const std::optional<QByteArray>& body,
                  Targets targets, const Limits& limits, QObject* parent);
    ~RedirectChain() override;

    // The reply being answered; after finished(), the last one (owned by this object).
    QNetworkReply* reply() const;
    // The final answer's HTTP status; none when no status, or only an interim 1xx one, came.
    std::optional<int> status() const;
    // The chain stopped at a redirect it may not follow (too many, or to a refused address).
    bool refused() const { return m_refused; }
    // A limit stopped the chain (its reply then reads as aborted).
    bool timedOut() const { return m_timedOut; }
    bool tooLarge() const { return m_tooLarge; }
    void abort();

    static bool allowed(Targets targets, const QUrl& from, const QUrl& to);

signals:
    void metaDataChanged();
    void readyRead();
    void downloadProgress(qint64 received, qint64 total);
    void finished();

private:
    void send(const QNetworkRequest& request);
    // Where the current reply redirects to (possibly an invalid address); none when it does not.
    std::optional<QUrl> redirectTarget() const;
    void onReplyFinished();

    QPointer<QNetworkReply> m_reply;
    QNetworkRequest m_request;
    Targets m_targets;
    std::optional<QByteArray> m_body;
    qint64 m_maxBytes = -1;
    int m_redirects = 0;
    bool m_refused = false;
    bool m_timedOut = false;
    bool m_tooLarge = false;
    bool m_aborted = false;
    bool m_finished = false;
};
