#include "window/LoomworkMain.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QLibraryInfo>
#include <QMainWindow>
#include <QMenuBar>
#include <QTimer>
#include <QToolBar>
#include <QTranslator>

#include <QFileInfo>

#include "engine/core/AlertPresenter.h"
#include "engine/library/AppState.h"
#include "engine/core/InstanceGuard.h"
#include "engine/core/NotificationHub.h"
#include "engine/files/PluginLease.h"
#include "engine/model/Plugin.h"
#include "engine/operations/OperationsCenter.h"
#include "online/ServerConfig.h"
#include "ui/Appearance.h"
#include "ui/WidgetAlertPresenter.h"
#include "promo/UpdateSheet.h"
#include "window/AppDelegate.h"
#include "window/RootView.h"
#include "window/WebEngineSetUp.h"

namespace {

struct Arguments
{
    QString serverBaseURL;
    QList<QUrl> files;
};

// "-serverBaseURL URL" sets the server for this run (as the platform's argument domain
// does); every other argument is a file to open.
Arguments parseArguments(const QStringList& arguments)
{
    Arguments parsed;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments[i];
        if (arg == QLatin1String("-serverBaseURL") && i + 1 < arguments.size()) {
            parsed.serverBaseURL = arguments[++i];
        } else if (arg.startsWith(QLatin1String("file:"))) {
            parsed.files.append(QUrl(arg));
        } else if (!arg.startsWith(u'-')) {
            parsed.files.append(QUrl::fromLocalFile(QFileInfo(arg).absoluteFilePath()));
        }
    }
    return parsed;
}

} // namespace

int LoomworkMain::run(int& argc, char** argv)
{
    WebEngineSetUp::beforeApplication();
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Loomwork"));
    QApplication::setApplicationName(QStringLiteral("Loomwork"));
    QApplication::setApplicationDisplayName(QStringLiteral("Loomwork"));
    QApplication::setDesktopFileName(QStringLiteral("loomwork"));
    QApplication::setQuitOnLastWindowClosed(true);

    const Arguments arguments = parseArguments(QApplication::arguments());
    // Decided before anything else runs: a second Loomwork on the same library would have
    // its own busy flag.
    InstanceGuard instance;
    switch (instance.claim(arguments.files)) {
    case InstanceGuard::Claim::instance:
        break;
    case InstanceGuard::Claim::handedOver:
        return 0;
    case InstanceGuard::Claim::unreachable:
        qWarning("Loomwork 已在运行，但这次打开的文件无法交给它，请在已打开的 Loomwork 中再打开一次。");
        return 1;
    }
    if (!arguments.serverBaseURL.isEmpty())
        ServerConfig::setArgumentValue(arguments.serverBaseURL);

    installQtTranslations();
    Appearance::install(app);
    AlertPresenter::setCurrent(&WidgetAlertPresenter::instance());
    OperationsCenter::setBeepHandler([] { QApplication::beep(); });

    LoomworkMain loomwork;
    loomwork.start(arguments.files, &instance);
    int status = QApplication::exec();
    // Changes' old contents go after their calls return: done before another instance may
    // start and recover them. Meanwhile a launch is still served, and brings the window back.
    while (instance.serveWhile([] { return PluginLease::removalsPending(); }))
        status = QApplication::exec();
    PluginLease::waitForRemovals();
    AlertPresenter::setCurrent(nullptr);
    return status;
}

LoomworkMain::LoomworkMain() : m_state(new AppState(this)), m_delegate(new AppDelegate(this))
{
    connect(m_state, &AppState::appearanceChanged, this, [] { Appearance::instance().apply(); });
}

LoomworkMain::~LoomworkMain()
{
    delete m_window;
}

void LoomworkMain::start(const QList<QUrl>& files, InstanceGuard* instance)
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
    if (instance)
        connect(instance, &InstanceGuard::filesHandedOver, this, &LoomworkMain::openHandedOver);
    if (!files.isEmpty())
        QTimer::singleShot(0, this, [files] { AppDelegate::openFiles(files); });
}

void LoomworkMain::buildMenus()
{
    QMenuBar* bar = m_window->menuBar();
    QMenu* app = bar->addMenu(QStringLiteral("Loomwork"));
    QAction* settings = app->addAction(QStringLiteral("设置…"));
    // Ctrl+, here, ⌘, on macOS.
    settings->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Comma));
    settings->setMenuRole(QAction::PreferencesRole);
    // The application's commands: they answer in its every window (market, settings, dialogs),
    // as the one menu bar of macOS does.
    settings->setShortcutContext(Qt::ApplicationShortcut);
    connect(settings, &QAction::triggered, this,
            [] { NotificationHub::instance().post(Notifications::openSettingsRequested); });
    app->addSeparator();
    QAction* quit = app->addAction(QStringLiteral("退出 Loomwork"));
    // The platform's quit key, else Ctrl+Q (some platforms' key tables have none).
    const QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    quit->setShortcut(quitKeys.isEmpty() ? QKeySequence(Qt::CTRL | Qt::Key_Q) : quitKeys.first());
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcutContext(Qt::ApplicationShortcut);
    connect(quit, &QAction::triggered, qApp, &UpdateSheet::quitApplication);

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

void LoomworkMain::openHandedOver(const QList<QUrl>& files)
{
    // Brought forward as it was: a maximised or full-screen window stays so.
    m_window->setWindowState(m_window->windowState() & ~Qt::WindowMinimized);
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
    AppDelegate::openFiles(files);
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
