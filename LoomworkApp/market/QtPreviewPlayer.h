#pragma once

#include <QImage>

#include "market/PreviewPlayer.h"

class QAudioOutput;
class QMediaPlayer;
class QVideoSink;

// The preview player on Qt Multimedia. Frames arrive through a video sink and are handed
// to the panel as images, so the panel paints them under its own overlays.
class QtPreviewPlayer : public PreviewPlayer {
    Q_OBJECT
public:
    explicit QtPreviewPlayer(QObject* parent = nullptr);
    ~QtPreviewPlayer() override;

    void setSource(const QUrl& url) override;
    void play() override;
    void pause() override;
    void seek(double seconds) override;
    void setMuted(bool muted) override;
    bool playWithoutSound() override;

    QImage frame() const override { return m_frame; }
    // What the media backend reported last; empty while nothing failed.
    QString errorText() const;

private:
    QMediaPlayer* m_player;
    QAudioOutput* m_audio;
    QVideoSink* m_sink;
    QImage m_frame;
};
