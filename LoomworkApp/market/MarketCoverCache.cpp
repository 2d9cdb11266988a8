#include "market/MarketCoverCache.h"

#include "engine/core/Delivery.h"
#include "engine/core/WorkerThread.h"
#include "online/RemoteImageLoader.h"
#include "online/SafeLink.h"

namespace {

// Sizes are rounded up to a few steps so that one picture serves neighbouring sizes.
constexpr int kDecodeMargin = 4;

int bucketOf(int pixels)
{
    int step = 64;
    while (step < pixels && step < 4096)
        step *= 2;
    return step;
}

} // namespace

MarketCoverCache& MarketCoverCache::shared()
{
    // Lives as long as the process: its loads are never torn down with the application object.
    static auto* cache = new MarketCoverCache;
    return *cache;
}

MarketCoverCache::MarketCoverCache(QObject* parent) : QObject(parent)
{
    m_images.setMaxCost(kMaxBytes);
}

MarketCoverCache::Key MarketCoverCache::keyFor(const QUrl& url, QSize pixels)
{
    return Key{url, QSize(bucketOf(pixels.width()), bucketOf(pixels.height()))};
}

QImage MarketCoverCache::image(const QUrl& url, QSize pixels)
{
    if (!SafeLink::isWebAddress(url) || pixels.isEmpty())
        return {};
    const Key key = keyFor(url, pixels);
    if (const QImage* hit = m_images.object(key))
        return *hit;
    if (m_failed.contains(key) || m_inFlight.contains(key))
        return {};
    m_inFlight.insert(key);
    m_waiting.append(key);
    pump();
    return {};
}

bool MarketCoverCache::failed(const QUrl& url, QSize pixels) const
{
    if (!SafeLink::isWebAddress(url))
        return true;
    return m_failed.contains(keyFor(url, pixels));
}

void MarketCoverCache::clear()
{
    m_images.clear();
    m_failed.clear();
}

void MarketCoverCache::pump()
{
    while (m_running < kMaxConcurrent && !m_waiting.isEmpty()) {
        // Newest first: what was asked for last is what is on screen now.
        const Key key = m_waiting.takeLast();
        ++m_running;
        auto* loader = new RemoteImageLoader(this);
        connect(loader, &RemoteImageLoader::finished, this, [this, loader, key](const QImage& image) {
            loader->deleteLater();
            if (image.isNull()) {
                finish(key, {});
                return;
            }
            Delivery<MarketCoverCache> deliver(this);
            const bool started = WorkerThread::start([deliver, key, image] {
                QImage scaled;
                try {
                    scaled = image.scaled(key.bucket, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation)
                                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
                } catch (...) {
                    scaled = QImage();
                }
                try {
                    deliver([key, scaled](MarketCoverCache& cache) { cache.finish(key, scaled); });
                } catch (...) {
                }
            });
            // A cover that gets no thread fails now: it would hold its place in the queue for good.
            if (!started)
                finish(key, {});
        });
        // Decoded no larger than a few times the drawn size: a huge cover never lands whole
        // in memory; the final cut to the drawn size happens above, off the GUI thread.
        RemoteImageLoader::Options options;
        options.fitWithin = key.bucket * kDecodeMargin;
        loader->load(key.url, options);
    }
}

void MarketCoverCache::finish(const Key& key, const QImage& scaled)
{
    --m_running;
    m_inFlight.remove(key);
    if (scaled.isNull()) {
        if (m_failed.size() > 4096)
            m_failed.clear();
        m_failed.insert(key);
    } else {
        m_images.insert(key, new QImage(scaled), qMax<qsizetype>(1, scaled.sizeInBytes()));
    }
    emit imageReady(key.url);
    pump();
}
