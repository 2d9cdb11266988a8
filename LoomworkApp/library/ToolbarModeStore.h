#pragma once

#include <functional>
#include <optional>

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include "engine/model/AppSettings.h"

class QMainWindow;
class QToolBar;

// Keeps the main toolbar in the user's preferred display mode ("toolbarDisplayMode").
// A mode change on the toolbar is accepted only within 120 s after a right click (the
// toolbar's context menu); any other change is reverted on the next event-loop turn.
class ToolbarModeStore : public QObject
{
    Q_OBJECT
public:
    enum class Mode {
        systemDefault,
        iconAndLabel,
        iconOnly,
        labelOnly
    };
    Q_ENUM(Mode)

    static ToolbarModeStore& shared();
    explicit ToolbarModeStore(QObject* parent = nullptr);

    // The mode in force (published).
    Mode displayMode() const { return m_displayMode; }
    // The user's preference; iconAndLabel when unset or unreadable.
    Mode preferred() const;

    static std::optional<Mode> decode(const QString& stored);
    static QString encode(Mode mode);
    static Qt::ToolButtonStyle toolButtonStyle(Mode mode);
    static Mode fromToolButtonStyle(Qt::ToolButtonStyle style);

    void setWindow(QMainWindow* window);
    // A mode observed on the toolbar.
    void report(Mode mode);
    // Puts the preferred mode on the toolbar and publishes it.
    void enforcePreferred();
    // Watches right clicks anywhere in the application (once).
    void installClickMonitorIfNeeded();
    // Watches `toolbar` and reports every change of its mode.
    void watch(QToolBar* toolbar);
    // Gives `toolbar` the context menu that chooses its mode (the platform's toolbar has
    // none of its own here).
    void installModeMenu(QToolBar* toolbar);

    // Tests replace the clock.
    using Clock = std::function<QDateTime()>;
    void setClock(Clock clock);

    static inline const QString settingsKey = AppSettings::toolbarDisplayModeKey;
    static constexpr qint64 kAcceptWindowMs = 120 * 1000;

signals:
    void displayModeChanged(ToolbarModeStore::Mode mode);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void onToolButtonStyleChanged(Qt::ToolButtonStyle style);

private:
    void publish(Mode mode);
    QToolBar* toolbar() const;

    Mode m_displayMode = Mode::iconAndLabel;
    QPointer<QMainWindow> m_window;
    QDateTime m_contextClickAt;
    bool m_awaitingMenuChoice = false;
    bool m_clickMonitor = false;
    Clock m_clock;
};
