#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>
#include <QUrl>

class QMainWindow;

// Finishes start-up around the main window: the thin scroll bar, the window's starting
// and minimum size, its title and toolbar mode; and turns package files the system asks
// us to open into the zfcpFilesOpened notification.
class AppDelegate : public QObject
{
    Q_OBJECT
public:
    static constexpr QSize kDefaultSize{1180, 780};
    static constexpr QSize kMinimumSize{1000, 660};

    explicit AppDelegate(QObject* parent = nullptr);

    // Runs once the main window exists.
    void finishStartUp(QMainWindow* window);
    // Keeps the package files (extension "zfcp" in any case) and posts them; nothing is
    // posted when none remains.
    static void openFiles(const QList<QUrl>& urls);
    // The size a window of `current` size starts with: a smaller one than the minimum
    // grows to the default content size (and is then centred), a larger one keeps its size.
    static QSize startingSize(const QSize& current);
    // Sizes `window` so that its content (the central widget) is `size`.
    static void setContentSize(QMainWindow* window, const QSize& size);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void applyInitialWindowSize(QMainWindow* window);
    void applyToolbarMode(QMainWindow* window);

    QPointer<QMainWindow> m_window;
};
