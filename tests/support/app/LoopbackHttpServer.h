#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QRgb>
#include <QStringList>
#include <QTcpServer>
#include <QUrl>

// A tiny HTTP server on 127.0.0.1 (ephemeral port) that answers GET requests from a table
// of canned replies and records the paths it was asked for. One reply per connection.
class LoopbackHttpServer : public QObject
{
    Q_OBJECT
public:
    struct Reply
    {
        int status = 200;
        QByteArray contentType = "application/octet-stream";
        QByteArray body;
        // Extra header lines, e.g. "Location: http://...".
        QList<QByteArray> headers;
    };

    explicit LoopbackHttpServer(QObject* parent = nullptr);

    bool isListening() const { return m_server.isListening(); }
    // http://127.0.0.1:<port><path>
    QUrl url(const QString& path) const;
    void setReply(const QString& path, const Reply& reply);
    // Paths asked for so far, in order.
    const QStringList& requests() const { return m_requests; }
    // The same requests' heads: request line and header lines.
    const QList<QByteArray>& heads() const { return m_heads; }

    // A small PNG picture (`side` square, one colour).
    static QByteArray png(int side, QRgb color);

private:
    void serve(QTcpSocket* socket);

    QTcpServer m_server;
    QHash<QString, Reply> m_replies;
    QStringList m_requests;
    QList<QByteArray> m_heads;
};
