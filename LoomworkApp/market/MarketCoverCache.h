#pragma once

#include <QCache>
#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QSet>
#include <QSize>
#include <QUrl>

// The market's cover and banner pictures: fetched through the application's remote-image
// loader, scaled off the GUI thread to the size they are drawn at, and kept in a cache
// bounded in bytes. A few loads run at once; the rest wait their turn. A picture that
// failed is not asked for again until the cache is cleared.
class MarketCoverCache : public QObject
{
    Q_OBJECT
public:
    static constexpr qint64 kMaxBytes = 64 * 1024 * 1024;
    static constexpr int kMaxConcurrent = 6;

    static MarketCoverCache& shared();

    // The picture of `url` scaled to fill `pixels` (aspect kept, the caller clips), or a null
    // image while it loads, when it failed, or for an invalid address. A null answer for a
    // valid address starts the load; imageReady follows it.
    QImage image(const QUrl& url, QSize pixels);
    bool failed(const QUrl& url, QSize pixels) const;
    void clear();

    int pendingCount() const { return int(m_waiting.size()) + m_running; }

signals:
    void imageReady(const QUrl& url);

private:
    struct Key
    {
        QUrl url;
        QSize bucket;
        bool operator==(const Key&) const = default;
    };
    friend size_t qHash(const Key& key, size_t seed) { return qHashMulti(seed, key.url, key.bucket.width(), key.bucket.height()); }

    explicit MarketCoverCache(QObject* parent = nullptr);
    static Key keyFor(const QUrl& url, QSize pixels);
    void pump();
    void finish(const Key& key, const QImage& scaled);

    QCache<Key, QImage> m_images;
    QSet<Key> m_failed;
    QSet<Key> m_inFlight;
    QList<Key> m_waiting;
    int m_running = 0;
};
