#pragma once

#include <QImage>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

// Fetches one avatar picture over http or https and decodes it off the GUI thread. The
// picture is kept by the caller only; nothing is written to disk. A new load() or the
// loader's destruction drops whatever the previous load would still have delivered.
class AvatarImageLoader : public QObject
{
    Q_OBJECT
public:
    // A picture larger than this is not an avatar; the download is stopped.
    static constexpr qint64 kMaxBytes = 8 * 1024 * 1024;
    static constexpr int kTimeoutMs = 20000;

    explicit AvatarImageLoader(QObject* parent = nullptr);
    ~AvatarImageLoader() override;

    // Starts loading `url`; anything but an http or https address fails at once (queued).
    void load(const QUrl& url);
    void cancel();
    bool isLoading() const { return m_reply != nullptr || m_decoding; }

signals:
    // Exactly once per load() that was not cancelled: the decoded picture, or a null
    // image when the address, the transfer or the decoding failed.
    void finished(const QImage& image);

private:
    void replyFinished(QNetworkReply* reply, quint64 generation);
    void deliver(const QImage& image, quint64 generation);

    QPointer<QNetworkReply> m_reply;
    quint64 m_generation = 0;
    bool m_decoding = false;
};
