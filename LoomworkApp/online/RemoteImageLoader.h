#pragma once

#include <QImage>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QUrl>

#include "online/RedirectChain.h"

// The application's one loader of remote pictures (avatars, promotion pictures): fetches one
// picture over http or https and decodes it off the GUI thread, scaled down to the size it
// is shown at. Nothing is written to disk. A new load() or the loader's destruction drops
// whatever the previous load would still have delivered.
class RemoteImageLoader : public QObject
{
    Q_OBJECT
public:
    // A larger body is not a picture the application shows: the download is stopped.
    static constexpr qint64 kMaxBytes = 32 * 1024 * 1024;

    struct Options
    {
        // Whole-transfer deadline, redirects included.
        int deadlineMs = 20000;
        // Decoded pictures larger than this are scaled down to fit (aspect kept); an
        // invalid size keeps the picture's own.
        QSize fitWithin;
        // Whether a body sent with an error status may still be the picture.
        bool anyStatus = false;
    };

    explicit RemoteImageLoader(QObject* parent = nullptr);
    ~RemoteImageLoader() override;

    // Starts loading `url`; anything but an http or https address fails at once (queued).
    void load(const QUrl& url);
    void load(const QUrl& url, const Options& options);
    void cancel();
    bool isLoading() const { return m_chain != nullptr || m_decoding; }

signals:
    // Exactly once per load() that was not cancelled: the decoded picture and its size before
    // any scaling, or a null image when the address, the transfer or the decoding failed.
    void finished(const QImage& image, const QSize& naturalSize);

private:
    void replyFinished(RedirectChain* chain, quint64 generation, const Options& options);
    void deliver(const QImage& image, const QSize& naturalSize, quint64 generation);

    QPointer<RedirectChain> m_chain;
    quint64 m_generation = 0;
    bool m_decoding = false;
};
