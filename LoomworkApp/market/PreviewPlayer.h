#pragma once

#include <QImage>
#include <QObject>
#include <QUrl>

// What the media panel needs of a video player. The real one wraps Qt Multimedia; tests
// drive the panel's state machine with a fake.
class PreviewPlayer : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~PreviewPlayer() override = default;

    virtual void setSource(const QUrl& url) = 0;
    virtual void play() = 0;
    virtual void pause() = 0;
    virtual void seek(double seconds) = 0;
    virtual void setMuted(bool muted) = 0;
    // Goes on without any sound output, from the start; false when it had none to give up.
    virtual bool playWithoutSound() { return false; }
    // The picture to show now; null before the first frame.
    virtual QImage frame() const = 0;

signals:
    void positionChanged(double seconds);
    void durationChanged(double seconds);
    void playedToEnd();
    void frameChanged();
    // The source cannot be played here (no decoder, unreachable, not a video).
    void failed();
};
