#include "online/PromoImageCache.h"

#include <QCoreApplication>
#include <QUrl>

#include "online/RemoteImageLoader.h"

PromoImageCache::PromoImageCache(QObject* parent) : QObject(parent) {}

PromoImageCache& PromoImageCache::shared()
{
    static PromoImageCache* instance = new PromoImageCache(QCoreApplication::instance());
    return *instance;
}

std::optional<PromoImage> PromoImageCache::held(const QString& url) const
{
    const auto found = m_images.constFind(url);
    if (found == m_images.constEnd())
        return std::nullopt;
    return *found;
}

void PromoImageCache::load(const QString& url, QObject* context, Done done)
{
    QPointer<QObject> guard(context);
    if (const auto picture = held(url)) {
        QMetaObject::invokeMethod(
            this,
            [guard, done = std::move(done), picture = *picture] {
                if (guard)
                    done(picture);
            },
            Qt::QueuedConnection);
        return;
    }
    auto task = m_tasks.find(url);
    if (task != m_tasks.end()) {
        task->waiters.append({guard, std::move(done)});
        return;
    }

    auto* loader = new RemoteImageLoader(this);
    m_tasks.insert(url, Task{loader, {{guard, std::move(done)}}});
    connect(loader, &RemoteImageLoader::finished, this,
            [this, url](const QImage& image, const QSize& size) {
                fetched(url, PromoImage{image, size});
            });
    RemoteImageLoader::Options options;
    options.deadlineMs = kDeadlineMs;
    options.fitWithin = QSize(kMaxDecodedSide, kMaxDecodedSide);
    options.anyStatus = true; // a picture is a picture, whatever status came with it
    // A text that is no URL fails inside the loader, asynchronously, like any failure.
    loader->load(QUrl(url, QUrl::StrictMode), options);
}

void PromoImageCache::fetched(const QString& url, const PromoImage& picture)
{
    const Task task = m_tasks.take(url);
    if (task.loader)
        task.loader->deleteLater();
    const bool usable = !picture.isNull() && picture.size.width() >= 1 && picture.size.height() >= 1;
    if (usable)
        m_images.insert(url, picture);
    for (const Waiter& waiter : task.waiters) {
        if (waiter.context)
            waiter.done(usable ? picture : PromoImage());
    }
}
