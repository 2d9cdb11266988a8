#pragma once

#include <functional>
#include <optional>

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QString>

class RemoteImageLoader;

// A promotion picture: decoded no larger than it can be shown, with its own size.
struct PromoImage
{
    QImage image;
    QSize size; // the picture's natural size; layouts are computed from it

    bool isNull() const { return image.isNull(); }
};

// The one in-memory store of promotion pictures shared by the advertising bar, the carousel
// and its dialog. An address (the exact string) is fetched at most once while it succeeds;
// callers asking during a fetch wait for that fetch; a held picture is handed back at once.
// Failures leave no trace. GUI thread only; lives until the application ends.
class PromoImageCache : public QObject
{
    Q_OBJECT
public:
    // Larger pictures are decoded scaled down to this (the largest any promotion view draws
    // them, at two device pixels a point); their natural size is kept for layouts.
    static constexpr int kMaxDecodedSide = 2048;
    static constexpr int kDeadlineMs = 60000;

    using Done = std::function<void(const PromoImage& picture)>;

    static PromoImageCache& shared();

    // Calls `done` on the GUI thread (never inside this call, never once `context` is gone)
    // with the picture, or a null one when the address is not a URL, the fetch fails or the
    // body is not a picture.
    void load(const QString& url, QObject* context, Done done);
    // The picture already held for `url`, without loading.
    std::optional<PromoImage> held(const QString& url) const;
    bool isFetching(const QString& url) const { return m_tasks.contains(url); }

private:
    struct Waiter
    {
        QPointer<QObject> context;
        Done done;
    };
    struct Task
    {
        RemoteImageLoader* loader = nullptr;
        QList<Waiter> waiters;
    };

    explicit PromoImageCache(QObject* parent);
    void fetched(const QString& url, const PromoImage& picture);

    QHash<QString, PromoImage> m_images;
    QHash<QString, Task> m_tasks;
};
