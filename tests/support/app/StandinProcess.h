#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// loomwork-standin as a child process on an ephemeral loopback port. The control calls
// are plain blocking HTTP, so they never run the Qt event loop under a test's feet.
class StandinProcess
{
public:
    explicit StandinProcess(const QStringList& arguments = {});
    ~StandinProcess();

    bool isRunning() const { return m_port > 0; }
    int port() const { return m_port; }
    QString baseUrl() const; // "http://127.0.0.1:PORT/"

    // Points the "serverBaseURL" setting at this server.
    void useAsServer() const;

    // POST /__test/<name> with a JSON body; the reply object (empty on failure).
    QJsonObject control(const QString& name, const QJsonObject& body = {}) const;
    QJsonObject getJson(const QString& path) const;
    // Scripts the next reply of `route` (see the stand-in's "/__test/script").
    void script(const QString& route, QJsonObject fields) const;
    // The logged requests to `path` (every path when empty).
    QJsonArray requests(const QString& path = {}) const;
    // The loginKey of the newest pending QR login, empty when none.
    QString newestLoginKey() const;

    void stop();

    // A loopback port with nothing listening on it.
    static int closedPort();
    // A blocking HTTP exchange with 127.0.0.1:port: the status code, or -1.
    static int httpExchange(int port, const QByteArray& method, const QByteArray& path,
                            const QByteArray& body, QByteArray* replyBody);

private:
    static constexpr int kStartMs = 60000;

    QProcess m_process;
    int m_port = 0;
};
