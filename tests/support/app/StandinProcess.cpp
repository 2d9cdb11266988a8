#include "support/app/StandinProcess.h"

#include <arpa/inet.h>
#include <csignal>
#include <sys/prctl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QSettings>
#include <QUrl>

StandinProcess::StandinProcess(const QStringList& arguments)
{
#ifdef LOOMWORK_STANDIN_PATH
    m_process.setProgram(QStringLiteral(LOOMWORK_STANDIN_PATH));
    m_process.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + arguments);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    // The server goes with the test process, even when that one crashes.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    m_process.start();
    // A loaded machine may take its time; a stand-in that does not come is a failure.
    QDeadlineTimer deadline(kStartMs);
    QByteArray line;
    if (m_process.waitForStarted(int(deadline.remainingTime()))) {
        while (!line.contains('\n') && m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
            line += m_process.readAllStandardOutput();
    }
    const QUrl url(QString::fromUtf8(line.trimmed()));
    if (url.isValid() && url.port() > 0) {
        m_port = url.port();
        return;
    }
    ADD_FAILURE() << "the stand-in did not start within " << kStartMs / 1000 << " s: "
                  << m_process.errorString().toStdString() << "; it printed \"" << line.toStdString() << '"';
    stop();
#endif
}

StandinProcess::~StandinProcess()
{
    stop();
}

void StandinProcess::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        // It removes its temporary files first; killed, it would leave them.
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    m_port = 0;
}

QString StandinProcess::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1/").arg(m_port);
}

void StandinProcess::useAsServer() const
{
    QSettings().setValue(QStringLiteral("serverBaseURL"), baseUrl());
}

QJsonObject StandinProcess::control(const QString& name, const QJsonObject& body) const
{
    QByteArray reply;
    httpExchange(m_port, "POST", "/__test/" + name.toUtf8(),
                 QJsonDocument(body).toJson(QJsonDocument::Compact), &reply);
    return QJsonDocument::fromJson(reply).object();
}

QJsonObject StandinProcess::getJson(const QString& path) const
{
    QByteArray reply;
    httpExchange(m_port, "GET", path.toUtf8(), {}, &reply);
    return QJsonDocument::fromJson(reply).object();
}

void StandinProcess::script(const QString& route, QJsonObject fields) const
{
    fields.insert(QStringLiteral("route"), route);
    control(QStringLiteral("script"), fields);
}

QJsonArray StandinProcess::requests(const QString& path) const
{
    QJsonArray matching;
    for (const auto& entry : getJson(QStringLiteral("/__test/log")).value("requests").toArray()) {
        if (path.isEmpty() || entry.toObject().value("path").toString() == path)
            matching.append(entry);
    }
    return matching;
}

QString StandinProcess::newestLoginKey() const
{
    QString key;
    qint64 newest = -1;
    for (const auto& entry : getJson(QStringLiteral("/__test/state")).value("pending").toArray()) {
        const auto login = entry.toObject();
        if (login.value("serial").toInteger() > newest) {
            newest = login.value("serial").toInteger();
            key = login.value("loginKey").toString();
        }
    }
    return key;
}

int StandinProcess::closedPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
        && ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    ::close(fd);
    return port;
}

int StandinProcess::httpExchange(int port, const QByteArray& method, const QByteArray& path,
                                 const QByteArray& body, QByteArray* replyBody)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(quint16(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    QByteArray request = method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        + "Connection: close\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
    for (qsizetype sent = 0; sent < request.size();) {
        const ssize_t n = ::write(fd, request.constData() + sent, size_t(request.size() - sent));
        if (n <= 0)
            break;
        sent += n;
    }
    QByteArray response;
    char buffer[65536];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        response.append(buffer, n);
    ::close(fd);
    const qsizetype split = response.indexOf("\r\n\r\n");
    if (split < 0)
        return -1;
    if (replyBody)
        *replyBody = response.mid(split + 4);
    const QList<QByteArray> statusLine = response.left(response.indexOf("\r\n")).split(' ');
    return statusLine.size() >= 2 ? statusLine[1].toInt() : -1;
}
