#include "market/QtPreviewPlayer.h"

#include <QAudioOutput>
#include <QAudioDevice>
#include <QMediaDevices>
#include <QMediaPlayer>
#include <QVideoFrame>
#include <QVideoSink>

QtPreviewPlayer::QtPreviewPlayer(QObject* parent)
    : PreviewPlayer(parent)
    , m_player(new QMediaPlayer(this))
    , m_audio(new QAudioOutput(this))
    , m_sink(new QVideoSink(this))
{
    // Without any sound device an audio output keeps the pipeline from ever starting: the
    // picture still plays, silently.
    if (!QMediaDevices::audioOutputs().isEmpty())
        m_player->setAudioOutput(m_audio);
    m_player->setVideoSink(m_sink);
    connect(m_sink, &QVideoSink::videoFrameChanged, this, [this](const QVideoFrame& frame) {
        m_frame = frame.toImage();
        emit frameChanged();
    });
    // Qt Multimedia reports milliseconds; the panel thinks in seconds.
    connect(m_player, &QMediaPlayer::positionChanged, this, [this](qint64 ms) { emit positionChanged(ms / 1000.0); });
    connect(m_player, &QMediaPlayer::durationChanged, this, [this](qint64 ms) { emit durationChanged(ms / 1000.0); });
    connect(m_player, &QMediaPlayer::mediaStatusChanged, this, [this](QMediaPlayer::MediaStatus status) {
        if (status == QMediaPlayer::EndOfMedia)
            emit playedToEnd();
        else if (status == QMediaPlayer::InvalidMedia)
            emit failed();
    });
    connect(m_player, &QMediaPlayer::errorOccurred, this, [this](QMediaPlayer::Error error) {
        if (error != QMediaPlayer::NoError)
            emit failed();
    });
}

QtPreviewPlayer::~QtPreviewPlayer()
{
    m_player->stop();
}

void QtPreviewPlayer::setSource(const QUrl& url)
{
    // Only network addresses: the panel resolves links through the service's address check,
    // and a local path or pipeline text must never reach the media backend.
    const QString scheme = url.scheme().toLower();
    if (scheme != QStringLiteral("http") && scheme != QStringLiteral("https")) {
        QMetaObject::invokeMethod(this, &PreviewPlayer::failed, Qt::QueuedConnection);
        return;
    }
    m_player->setSource(url);
}

void QtPreviewPlayer::play() { m_player->play(); }
void QtPreviewPlayer::pause() { m_player->pause(); }
void QtPreviewPlayer::seek(double seconds) { m_player->setPosition(qint64(seconds * 1000)); }
void QtPreviewPlayer::setMuted(bool muted) { m_audio->setMuted(muted); }

bool QtPreviewPlayer::playWithoutSound()
{
    if (!m_player->audioOutput())
        return false;
    m_player->stop();
    m_player->setAudioOutput(nullptr);
    m_player->play();
    return true;
}

QString QtPreviewPlayer::errorText() const
{
    return m_player->error() == QMediaPlayer::NoError ? QString() : m_player->errorString();
}
