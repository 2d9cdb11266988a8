#include "online/AvatarImageLoader.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThreadPool>

#include "online/HttpFetch.h"

namespace {

bool isWebScheme(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QImage decode(const QByteArray& bytes)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    // QImageReader's allocation limit refuses pictures whose pixels would not fit.
    QImage image = reader.read();
    return image;
}

} // namespace

AvatarImageLoader::AvatarImageLoader(QObject* parent) : QObject(parent) {}

AvatarImageLoader::~AvatarImageLoader()
{
    cancel();
}

void AvatarImageLoader::cancel()
{
    ++m_generation;
    m_decoding = false;
    if (QNetworkReply* reply = m_reply) {
        m_reply = nullptr;
        reply->disconnect(this);
        reply->abort();
        reply->deleteLater();
    }
}

void AvatarImageLoader::load(const QUrl& url)
{
    cancel();
    const quint64 generation = m_generation;
    if (!url.isValid() || url.host().isEmpty() || !isWebScheme(url)) {
        QMetaObject::invokeMethod(
            this, [this, generation] { deliver(QImage(), generation); }, Qt::QueuedConnection);
        return;
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::UserVerifiedRedirectPolicy);
    request.setTransferTimeout(kTimeoutMs);
    QNetworkReply* reply = HttpFetch::manager().get(request);
    m_reply = reply;

    // Redirects stay on http(s) and never go from https down to http.
    connect(reply, &QNetworkReply::redirected, this, [reply, url](const QUrl& target) {
        const bool downgrade = url.scheme().toLower() == QLatin1String("https")
                               && target.scheme().toLower() != QLatin1String("https");
        if (isWebScheme(target) && !target.host().isEmpty() && !downgrade)
            emit reply->redirectAllowed();
        else
            reply->abort();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > kMaxBytes || total > kMaxBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this,
            [this, reply, generation] { replyFinished(reply, generation); });
}

void AvatarImageLoader::replyFinished(QNetworkReply* reply, quint64 generation)
{
    reply->deleteLater();
    if (generation != m_generation)
        return;
    m_reply = nullptr;
    if (reply->error() != QNetworkReply::NoError) {
        deliver(QImage(), generation);
        return;
    }
    const QByteArray bytes = reply->readAll();
    if (bytes.isEmpty() || bytes.size() > kMaxBytes) {
        deliver(QImage(), generation);
        return;
    }

    m_decoding = true;
    QPointer<AvatarImageLoader> self(this);
    QThreadPool::globalInstance()->start([self, bytes, generation] {
        const QImage image = decode(bytes);
        // Back on the GUI thread, where the guard may be read; a gone loader drops it.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, image, generation] {
                if (self)
                    self->deliver(image, generation);
            },
            Qt::QueuedConnection);
    });
}

void AvatarImageLoader::deliver(const QImage& image, quint64 generation)
{
    if (generation != m_generation)
        return;
    m_decoding = false;
    emit finished(image);
}
