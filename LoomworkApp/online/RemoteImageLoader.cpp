#include "online/RemoteImageLoader.h"

#include <memory>

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QThreadPool>
#include <QTimer>

#include "online/HttpFetch.h"

namespace {

bool isWebScheme(const QUrl& url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

struct Decoded
{
    QImage image;
    QSize naturalSize;
};

Decoded decode(const QByteArray& bytes, const QSize& fitWithin)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    Decoded decoded;
    QSize natural = reader.size();
    if (reader.transformation() & QImageIOHandler::TransformationRotate90)
        natural.transpose();
    if (fitWithin.isValid() && natural.isValid()
        && (natural.width() > fitWithin.width() || natural.height() > fitWithin.height())) {
        QSize scaled = natural.scaled(fitWithin, Qt::KeepAspectRatio);
        if (reader.transformation() & QImageIOHandler::TransformationRotate90)
            scaled.transpose();
        reader.setScaledSize(scaled.expandedTo(QSize(1, 1)));
    }
    // QImageReader's allocation limit refuses pictures whose pixels would not fit.
    decoded.image = reader.read();
    decoded.naturalSize = natural.isValid() ? natural : decoded.image.size();
    return decoded;
}

} // namespace

RemoteImageLoader::RemoteImageLoader(QObject* parent) : QObject(parent) {}

RemoteImageLoader::~RemoteImageLoader()
{
    cancel();
}

void RemoteImageLoader::cancel()
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

void RemoteImageLoader::load(const QUrl& url)
{
    load(url, Options());
}

void RemoteImageLoader::load(const QUrl& url, const Options& options)
{
    cancel();
    const quint64 generation = m_generation;
    if (!url.isValid() || url.host().isEmpty() || !isWebScheme(url)) {
        QMetaObject::invokeMethod(
            this, [this, generation] { deliver(QImage(), QSize(), generation); },
            Qt::QueuedConnection);
        return;
    }

    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    QNetworkReply* reply = HttpFetch::manager().get(request);
    m_reply = reply;

    auto* deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    connect(deadline, &QTimer::timeout, reply, &QNetworkReply::abort);
    deadline->start(options.deadlineMs);

    // Redirects stay on http(s), never go from https down to http (Qt's policy), and end
    // after kMaxRedirects hops.
    auto hops = std::make_shared<int>(0);
    connect(reply, &QNetworkReply::redirected, this, [reply, hops](const QUrl& target) {
        if (++*hops > kMaxRedirects || !isWebScheme(target) || target.host().isEmpty())
            reply->abort();
    });
    connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64 total) {
        if (received > kMaxBytes || total > kMaxBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [this, reply, generation, options] {
        replyFinished(reply, generation, options);
    });
}

void RemoteImageLoader::replyFinished(QNetworkReply* reply, quint64 generation,
                                      const Options& options)
{
    reply->deleteLater();
    if (generation != m_generation)
        return;
    m_reply = nullptr;
    const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const int error = reply->error();
    // Errors from 200 up are the server's own answer (an error status with a body).
    const bool serverStatusOnly = options.anyStatus && answered
        && error >= QNetworkReply::ContentAccessDenied
        && error != QNetworkReply::ContentReSendError;
    if (error != QNetworkReply::NoError && !serverStatusOnly) {
        deliver(QImage(), QSize(), generation);
        return;
    }
    const QByteArray bytes = reply->read(kMaxBytes + 1);
    if (bytes.isEmpty() || bytes.size() > kMaxBytes) {
        deliver(QImage(), QSize(), generation);
        return;
    }

    m_decoding = true;
    QPointer<RemoteImageLoader> self(this);
    const QSize fitWithin = options.fitWithin;
    QThreadPool::globalInstance()->start([self, bytes, generation, fitWithin] {
        const Decoded decoded = decode(bytes, fitWithin);
        // Back on the GUI thread, where the guard may be read; a gone loader drops it.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, decoded, generation] {
                if (self)
                    self->deliver(decoded.image, decoded.naturalSize, generation);
            },
            Qt::QueuedConnection);
    });
}

void RemoteImageLoader::deliver(const QImage& image, const QSize& naturalSize, quint64 generation)
{
    if (generation != m_generation)
        return;
    m_decoding = false;
    emit finished(image, image.isNull() ? QSize() : naturalSize);
}
