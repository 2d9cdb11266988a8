#include "window/LoomworkMain.h"

#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCryptographicHash>
#include <QDesktopServices>
#include <QLibraryInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMainWindow>
#include <QMenuBar>
#include <QStandardPaths>
#include <QTimer>
#include <QToolBar>
#include <QTranslator>

#include "engine/AppState.h"
#include "engine/NotificationHub.h"
#include "engine/Plugin.h"
#include "ui/Appearance.h"
#include "window/AppDelegate.h"
#include "window/RootView.h"

namespace {

constexpr int kForwardTimeoutMs = 1500;
constexpr qint64 kMaxForwardBytes = 1024 * 1024;

} // namespace

// One per user and data folder, so that a process with its own HOME (tests) never meets
// the user's running Loomwork.
QString LoomworkMain::instanceName()
{
    const QByteArray data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation).toUtf8();
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha1).toHex().left(12);
    return QStringLiteral("loomwork-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

LoomworkMain::LoomworkMain() : m_state(new AppState(this)), m_delegate(new AppDelegate(this))
{
    connect(m_state, &AppState::appearanceChanged, this, [] { Appearance::instance().apply(); });
}

LoomworkMain::~LoomworkMain()
{
    delete m_window;
}

bool LoomworkMain::forwardToRunningInstance(const QList<QUrl>& files)
{
    QLocalSocket socket;
    socket.connectToServer(instanceName());
    if (!socket.waitForConnected(kForwardTimeoutMs))
        return false;
    QByteArray payload;
    for (const QUrl& url : files)
        payload += url.toEncoded() + '\n';
    payload += '\n'; // an empty line ends the list; no file just raises the window
    socket.write(payload);
    if (!socket.waitForBytesWritten(kForwardTimeoutMs))
        return false;
    socket.disconnectFromServer();
    return true;
}

void LoomworkMain::start(const QList<QUrl>& files)
{
    m_window = new QMainWindow;
    m_window->setObjectName(QStringLiteral("main"));
    m_window->setWindowTitle(QStringLiteral("Loomwork"));
    m_window->setUnifiedTitleAndToolBarOnMac(true);

    auto* toolbar = new QToolBar(QStringLiteral("工具栏"), m_window);
    toolbar->setObjectName(QStringLiteral("mainToolbar"));
    toolbar->setMovable(false);
    toolbar->setFloatable(false);
    m_window->addToolBar(Qt::TopToolBarArea, toolbar);

    m_root = new RootView(m_state, m_window);
    m_window->setCentralWidget(m_root);
    m_root->setToolbar(toolbar);
    buildMenus();
    AppDelegate::setContentSize(m_window, AppDelegate::kDefaultSize);

    m_delegate->finishStartUp(m_window);
    m_window->show();
    listenForOtherInstances();
    if (!files.isEmpty())
        QTimer::singleShot(0, this, [files] { AppDelegate::openFiles(files); });
}

void LoomworkMain::buildMenus()
{
    QMenuBar* bar = m_window->menuBar();
    // TODO: "设置…" joins this menu with the settings window.
    QMenu* app = bar->addMenu(QStringLiteral("Loomwork"));
    QAction* quit = app->addAction(QStringLiteral("退出 Loomwork"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    QMenu* plugins = bar->addMenu(QStringLiteral("插件"));
    QAction* refresh = plugins->addAction(QStringLiteral("刷新列表"));
    refresh->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    connect(refresh, &QAction::triggered, m_state, &AppState::refresh);
    QAction* market = plugins->addAction(QStringLiteral("插件市场…"));
    market->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M));
    connect(market, &QAction::triggered, this,
            [] { NotificationHub::instance().post(Notifications::openMarketRequested); });
    plugins->addSeparator();
    QAction* openLibrary = plugins->addAction(QStringLiteral("打开用户插件库"));
    openLibrary->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
    connect(openLibrary, &QAction::triggered, this, [] {
        QDesktopServices::openUrl(QUrl::fromLocalFile(PluginRoot(PluginRoot::user).path() + QLatin1Char('/')));
    });
}

void LoomworkMain::listenForOtherInstances()
{
    // Another Loomwork started at the same moment may own the name by now: leave it be
    // (listening would silently take the name over).
    {
        QLocalSocket probe;
        probe.connectToServer(instanceName());
        if (probe.waitForConnected(kForwardTimeoutMs)) {
            probe.abort();
            return;
        }
    }
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(instanceName())) {
        // A socket left by a process that died: take it over.
        QLocalServer::removeServer(instanceName());
        if (!m_server->listen(instanceName()))
            return;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, socket, [this, socket] {
                if (socket->bytesAvailable() > kMaxForwardBytes) {
                    socket->abort();
                    return;
                }
                const QByteArray all = socket->peek(socket->bytesAvailable());
                if (!all.endsWith("\n\n") && all != "\n")
                    return; // wait for the end of the list
                socket->readAll();
                QList<QUrl> urls;
                for (const QByteArray& line : all.split('\n')) {
                    const QUrl url = QUrl::fromEncoded(line);
                    if (!line.isEmpty() && url.isLocalFile())
                        urls.append(url);
                }
                // Brought forward as it was: a maximised or full-screen window stays so.
                m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
                m_window->show();
                m_window->raise();
                m_window->activateWindow();
                AppDelegate::openFiles(urls);
            });
        }
    });
}

void LoomworkMain::installQtTranslations()
{
    // Once per process: the translators live as long as the application.
    static bool installed = false;
    if (installed || !QCoreApplication::instance())
        return;
    installed = true;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(QCoreApplication::instance());
    if (translator->load(QStringLiteral("qtbase_zh_CN"), folder))
        QCoreApplication::installTranslator(translator);
    else
        delete translator;
}
