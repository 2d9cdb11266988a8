#include "window/AppDelegate.h"

#include <QApplication>
#include <QFileOpenEvent>
#include <QLayout>
#include <QMainWindow>
#include <QScreen>
#include <QToolBar>

#include "engine/core/NotificationHub.h"
#include "ui/ScrollbarTuning.h"
#include "library/ToolbarModeStore.h"
#include "window/DropIntake.h"

AppDelegate::AppDelegate(QObject* parent) : QObject(parent)
{
    // Files opened from the desktop while we run (macOS sends them as events).
    qApp->installEventFilter(this);
}

void AppDelegate::finishStartUp(QMainWindow* window)
{
    m_window = window;
    ScrollbarTuning::install();
    applyInitialWindowSize(window);
    applyToolbarMode(window);
}

QSize AppDelegate::startingSize(const QSize& current)
{
    if (current.width() < kMinimumSize.width() || current.height() < kMinimumSize.height())
        return kDefaultSize;
    return current;
}

void AppDelegate::setContentSize(QMainWindow* window, const QSize& size)
{
    QWidget* content = window->centralWidget();
    if (!content) {
        window->resize(size);
        return;
    }
    // The menu bar and a shown toolbar sit around the content; lay them out now to know
    // how much room they take (the window may not be shown yet).
    if (QLayout* layout = window->layout()) {
        layout->invalidate();
        layout->activate();
    }
    window->resize(size + window->size() - content->size());
}

void AppDelegate::applyInitialWindowSize(QMainWindow* window)
{
    // The minimum is the content's: menu bar and toolbar come on top of it.
    if (QWidget* content = window->centralWidget())
        content->setMinimumSize(kMinimumSize);
    else
        window->setMinimumSize(kMinimumSize);
    if (startingSize(window->size()) != window->size()) {
        setContentSize(window, kDefaultSize);
        if (QScreen* screen = window->screen()) {
            QRect frame = window->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            window->move(frame.topLeft());
        }
    }
    window->setWindowTitle(QStringLiteral("Loomwork"));
}

void AppDelegate::applyToolbarMode(QMainWindow* window)
{
    ToolbarModeStore& store = ToolbarModeStore::shared();
    store.setWindow(window);
    store.installClickMonitorIfNeeded();
    if (auto* toolbar = window->findChild<QToolBar*>()) {
        store.installModeMenu(toolbar);
        store.watch(toolbar);
    }
    store.enforcePreferred();
}

void AppDelegate::openFiles(const QList<QUrl>& urls)
{
    const QList<QUrl> packages = DropIntake::packageFiles(urls);
    if (packages.isEmpty())
        return;
    QVariantList list;
    for (const QUrl& url : packages)
        list.append(url);
    NotificationHub::instance().post(Notifications::zfcpFilesOpened, {{QStringLiteral("urls"), list}});
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FileOpen && watched == qApp) {
        const auto* open = static_cast<QFileOpenEvent*>(event);
        openFiles({open->url().isValid() ? open->url() : QUrl::fromLocalFile(open->file())});
        return true;
    }
    return QObject::eventFilter(watched, event);
}
