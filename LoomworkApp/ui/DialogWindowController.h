#pragma once

#include <functional>
#include <optional>

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QSize>
#include <QString>

class DialogWindow;
class QWidget;

// Auxiliary windows keyed by a dialog id: one window per id, placed over the main window
// inside the screen's available area, optionally modal and dimming the main window.
class DialogWindowController : public QObject
{
    Q_OBJECT
public:
    struct Options {
        QString title;
        QSize size;                       // content size
        std::optional<QSize> minSize;
        bool resizable = false;
        bool fitContentHeight = false;
        std::optional<QSize> maxContentSize;
        bool modal = false;
        bool dimHost = false;
        bool fullSizeContent = false;
        bool compactChrome = true;
        bool followsHost = false;
        std::function<void()> onClose;
    };

    static constexpr int kMinFittingHeight = 120;

    static DialogWindowController& shared();

    // GUI thread. Shows `content` (ownership taken) in a new window for `id`, or brings the
    // open window for `id` to the front (then `content` is deleted).
    DialogWindow* show(const QString& id, QWidget* content, const Options& options);
    // Resizes the open window for `id`; nothing when none is open.
    void resize(const QString& id, QSize size, bool fitContentHeight,
                std::optional<QSize> maxContentSize = std::nullopt);
    DialogWindow* window(const QString& id) const;

    // The window dialogs are placed over, or null.
    static QWidget* hostWindow(QWidget* excluding = nullptr);
    // Moves `window` over the host, inside the available screen area.
    static void place(QWidget* window);
    // The content size that fits `content` at `width`: its height for that width when
    // at least 120, else the larger of `minHeight` and 120.
    static QSize fittingSize(QWidget* content, int width, int minHeight);

private:
    DialogWindowController() = default;
    void windowWillClose(DialogWindow* window);
    static QSize limited(QSize size, std::optional<QSize> max);

    QHash<QString, QPointer<DialogWindow>> m_windows;
    QHash<QString, std::function<void()>> m_onCloseHandlers;
    QSet<QString> m_dimIds;
};
