#include "shell/AppDelegate.h"

#include <QApplication>
#include <QFileOpenEvent>
#include <QMainWindow>
#include <QScreen>
#include <QToolBar>

#include "engine/NotificationHub.h"
#include "shell/DropIntake.h"
#include "shell/ScrollbarTuning.h"
#include "shell/ToolbarModeStore.h"

AppDelegate::AppDelegate(QObject* parent) : QObject(parent)
{
    // Files opened from the desktop while we run (macOS sends them as events).
    qApp->installEventFilter(this);
}

void AppDelegate::didFinishLaunching(QMainWindow* window)
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

void AppDelegate::applyInitialWindowSize(QMainWindow* window)
{
    const QSize size = startingSize(window->size());
    if (size != window->size()) {
        window->resize(size);
        if (QScreen* screen = window->screen()) {
            QRect frame = window->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            window->move(frame.topLeft());
        }
    }
    window->setMinimumSize(kMinimumSize);
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
