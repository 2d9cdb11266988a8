#include "support/app/LoopbackHttpServer.h"

#include <QBuffer>
#include <QImage>
#include <QTcpSocket>

LoopbackHttpServer::LoopbackHttpServer(QObject* parent) : QObject(parent)
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection())
            serve(socket);
    });
}

QUrl LoopbackHttpServer::url(const QString& path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
}

void LoopbackHttpServer::setReply(const QString& path, const Reply& reply)
{
    m_replies.insert(path, reply);
}

QByteArray LoopbackHttpServer::png(int side, QRgb color)
{
    QImage image(side, side, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void LoopbackHttpServer::serve(QTcpSocket* socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto* received = new QByteArray;
    connect(socket, &QObject::destroyed, [received] { delete received; });
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, received] {
        received->append(socket->readAll());
        const qsizetype end = received->indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QList<QByteArray> requestLine = received->left(received->indexOf("\r\n")).split(' ');
        const QString path = requestLine.size() > 1 ? QString::fromLatin1(requestLine[1]) : QString();
        m_requests.append(path);
        m_heads.append(received->left(end));
        const Reply reply = m_replies.value(path, Reply{404, "text/plain", "not found", {}});
        QByteArray response = "HTTP/1.1 " + QByteArray::number(reply.status) + " X\r\n";
        response += "Content-Type: " + reply.contentType + "\r\n";
        response += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        for (const QByteArray& header : reply.headers)
            response += header + "\r\n";
        response += "Connection: close\r\n\r\n";
        response += reply.body;
        socket->write(response);
        socket->disconnectFromHost();
    });
}
