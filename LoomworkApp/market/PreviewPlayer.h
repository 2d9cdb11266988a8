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
    // The picture to show now; null before the first frame.
    virtual QImage frame() const = 0;

signals:
    void positionChanged(double seconds);
    void durationChanged(double seconds);
    void playedToEnd();
    void frameChanged();
};
