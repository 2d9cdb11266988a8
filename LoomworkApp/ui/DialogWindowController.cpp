#include "ui/DialogWindowController.h"

#include <cmath>

#include <QApplication>
#include <QLayout>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "ui/AppWindows.h"
#include "ui/DialogPlacement.h"
#include "ui/DialogWindow.h"
#include "ui/DimState.h"
#include "ui/WindowChrome.h"

DialogWindowController& DialogWindowController::shared()
{
    static DialogWindowController* controller = new DialogWindowController;
    return *controller;
}

DialogWindow* DialogWindowController::window(const QString& id) const
{
    return m_windows.value(id);
}

QSize DialogWindowController::limited(QSize size, std::optional<QSize> max)
{
    if (!max)
        return size;
    return {std::min(size.width(), max->width()), std::min(size.height(), max->height())};
}

DialogWindow* DialogWindowController::show(const QString& id, QWidget* content,
                                           const Options& options)
{
    if (DialogWindow* open = m_windows.value(id)) {
        delete content;
        open->raise();
        open->activateWindow();
        return open;
    }

    auto* window = new DialogWindow;
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setObjectName(id);
    window->setWindowTitle(options.title);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    if (content)
        layout->addWidget(content);
    WindowChrome::apply(window, id, options.compactChrome);

    const QSize size = limited(options.size, options.maxContentSize);
    if (options.resizable) {
        if (options.minSize)
            window->setMinimumSize(*options.minSize);
        if (options.maxContentSize)
            window->setMaximumSize(*options.maxContentSize);
        window->resize(size);
    } else {
        window->setFixedSize(size);
    }
    if (options.modal)
        window->setWindowModality(Qt::ApplicationModal);

    connect(window, &DialogWindow::aboutToClose, this, &DialogWindowController::windowWillClose);
    m_windows.insert(id, window);
    if (options.onClose)
        m_onCloseHandlers.insert(id, options.onClose);

    place(window);
    if (options.followsHost) {
        if (QWidget* host = hostWindow(window))
            window->followHost(host);
    }
    if (options.dimHost) {
        m_dimIds.insert(id);
        DimState::shared().setActive(true);
    }

    window->show();
    window->raise();
    window->activateWindow();

    QPointer<DialogWindow> guard(window);
    const QSize contentSize = options.size;
    const bool fit = options.fitContentHeight;
    const auto max = options.maxContentSize;
    QTimer::singleShot(0, this, [this, guard, id, contentSize, fit, max] {
        if (!guard || !guard->isVisible())
            return;
        if (fit)
            resize(id, contentSize, true, max);
        else
            place(guard);
    });
    return window;
}

void DialogWindowController::resize(const QString& id, QSize size, bool fitContentHeight,
                                    std::optional<QSize> maxContentSize)
{
    DialogWindow* window = m_windows.value(id);
    if (!window)
        return;
    auto* content = window->layout() && window->layout()->count() > 0
                        ? window->layout()->itemAt(0)->widget()
                        : nullptr;
    if (fitContentHeight && content)
        size = fittingSize(content, size.width(), size.height());
    size = limited(size, maxContentSize);
    if (window->minimumSize() == window->maximumSize())
        window->setFixedSize(size);
    else
        window->resize(size);
    place(window);
    QPointer<DialogWindow> guard(window);
    QTimer::singleShot(0, this, [guard] {
        if (guard && guard->isVisible())
            place(guard);
    });
}

void DialogWindowController::windowWillClose(DialogWindow* window)
{
    const QString id = window->objectName();
    if (id.isEmpty())
        return;
    window->followHost(nullptr);
    if (m_windows.value(id) == window)
        m_windows.remove(id);
    if (m_dimIds.remove(id))
        DimState::shared().setActive(!m_dimIds.isEmpty());
    if (auto handler = m_onCloseHandlers.take(id))
        handler();
}

QWidget* DialogWindowController::hostWindow(QWidget* excluding)
{
    const AppWindows windows = AppWindows::snapshot();
    return windows.at(DialogPlacement::dialogHost(windows.facts, windows.key, windows.main,
                                                  windows.indexOf(excluding)));
}

void DialogWindowController::place(QWidget* window)
{
    const AppWindows windows = AppWindows::snapshot();
    QWidget* host = windows.at(DialogPlacement::placementHost(
        windows.facts, windows.key, windows.main, windows.indexOf(window)));
    const QSize size = window->frameGeometry().size();
    QScreen* screen = host ? host->screen() : QGuiApplication::primaryScreen();
    std::optional<QRect> available;
    if (screen)
        available = screen->availableGeometry();
    if (!host) {
        if (available)
            window->move(available->center() - QPoint(size.width() / 2, size.height() / 2));
        return;
    }
    const QPoint origin = DialogPlacement::placedOrigin(size, host->frameGeometry(), available);
    window->move(origin);
}

QSize DialogWindowController::fittingSize(QWidget* content, int width, int minHeight)
{
    const int m = std::max(minHeight, kMinFittingHeight);
    content->resize(width, m);
    if (QLayout* layout = content->layout())
        layout->activate();
    const int f = content->hasHeightForWidth() ? content->heightForWidth(width)
                                               : content->sizeHint().height();
    if (f >= kMinFittingHeight)
        return {width, f};
    return {width, m};
}
