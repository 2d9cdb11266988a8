#pragma once

#include <functional>

#include <QList>
#include <QString>
#include <QStringList>
#include <QUrl>

// The questions and file panels the engine needs from the user. The engine only sees
// this interface; the shell installs the widget implementation at start-up and tests
// install a scripted fake. Without one installed, every question answers false and
// every panel picks nothing, so headless code never blocks.
class AlertPresenter
{
public:
    enum class Style {
        warning,
        informational,
        critical
    };

    // An open or save panel, described without widgets.
    struct Panel {
        enum class Kind {
            open,
            save
        };
        Kind kind = Kind::open;
        QString title;
        QString message;
        QString prompt;          // the confirm button's text; empty keeps the default
        QString nameFieldValue;  // save panels: the proposed file name
        QString directory;       // where the panel starts; empty keeps the default
        QStringList nameFilters; // open panels: e.g. "Loomwork 插件备份 (*.zfcp *.ZFCP)"
        bool canChooseFiles = true;
        bool canChooseDirectories = false;
        bool allowsMultipleSelection = false;
        bool canCreateDirectories = true;
    };

    using PickHandler = std::function<void(const QList<QUrl>& urls)>;

    virtual ~AlertPresenter();

    // A two-button question; true when the user chose `primary`. Callable from any
    // thread: a worker is blocked until the answer. At quit pending questions answer false.
    // An empty `secondary` makes it a notice with the one button.
    virtual bool confirm(const QString& title, const QString& message, Style style,
                         const QString& primary, const QString& secondary) = 0;

    // Shows a panel. `onPick` runs on the GUI thread, only when the user confirmed, with
    // the picked URLs (an open panel's in its order, a save panel's one URL). From a
    // worker the call returns at once.
    virtual void presentPanel(const Panel& panel, PickHandler onPick) = 0;

    // The presenter in force; never null (a silent one until something is installed).
    static AlertPresenter& current();
    // Installs `presenter` (not owned; null restores the silent one). Returns the previous.
    static AlertPresenter* setCurrent(AlertPresenter* presenter);
};
