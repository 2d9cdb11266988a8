#include "online/RemoteImageLoader.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImageReader>
#include <QNetworkReply>
#include <QNetworkRequest>

#include "online/SafeLink.h"
#include "engine/core/WorkerThread.h"

namespace {

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
    if (RedirectChain* chain = m_chain) {
        m_chain = nullptr;
        chain->disconnect(this);
        chain->deleteLater();
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
    if (!SafeLink::isWebAddress(url)) {
        QMetaObject::invokeMethod(
            this, [this, generation] { deliver(QImage(), QSize(), generation); },
            Qt::QueuedConnection);
        return;
    }

    // Redirects stay on http(s) and never go from https down to http.
    auto* chain = new RedirectChain(QNetworkRequest(url), std::nullopt,
                                    RedirectChain::Targets::noDowngrade,
                                    {options.deadlineMs, kMaxBytes}, this);
    m_chain = chain;
    connect(chain, &RedirectChain::finished, this, [this, chain, generation, options] {
        replyFinished(chain, generation, options);
    });
}

void RemoteImageLoader::replyFinished(RedirectChain* chain, quint64 generation,
                                      const Options& options)
{
    chain->deleteLater();
    if (generation != m_generation)
        return;
    m_chain = nullptr;
    QNetworkReply* reply = chain->reply();
    const bool answered = chain->status().has_value() && !chain->refused();
    const int error = reply->error();
    // Errors from 200 up are the server's own answer (an error status with a body).
    const bool serverStatusOnly = options.anyStatus && answered
        && error >= QNetworkReply::ContentAccessDenied
        && error != QNetworkReply::ContentReSendError;
    if (!answered || (error != QNetworkReply::NoError && !serverStatusOnly)) {
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
    const bool started = WorkerThread::start([self, bytes, generation, fitWithin] {
        Decoded decoded;
        try {
            decoded = decode(bytes, fitWithin);
        } catch (...) {
            decoded = Decoded(); // memory ran out: no picture, as for one that cannot be read
        }
        // Back on the GUI thread, where the guard may be read; a gone loader drops it.
        try {
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [self, decoded, generation] {
                    if (self)
                        self->deliver(decoded.image, decoded.naturalSize, generation);
                },
                Qt::QueuedConnection);
        } catch (...) {
        }
    });
    // Without a thread the picture fails now rather than never.
    if (!started)
        deliver(QImage(), QSize(), generation);
}

void RemoteImageLoader::deliver(const QImage& image, const QSize& naturalSize, quint64 generation)
{
    if (generation != m_generation)
        return;
    m_decoding = false;
    emit finished(image, image.isNull() ? QSize() : naturalSize);
}
