// The main road end to end, offscreen, against the stand-in service: the application
// starts behind the login gate, a confirmed scan lets the user in, a dropped package and
// a stray text file lead to the skipped-file alert and then to the install sheet, and a
// confirmed rename installs the plug-ins into the user library.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QMainWindow>
#include <QMenuBar>
#include <QScreen>
#include <QSettings>
#include <QMimeData>
#include <QProgressBar>
#include <QTest>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QToolBar>

#include "engine/library/AppState.h"
#include "engine/model/InstallPlan.h"
#include "engine/core/InstanceGuard.h"
#include "engine/core/NotificationHub.h"
#include "engine/operations/OperationsCenter.h"
#include "online/LoginService.h"
#include "ui/AppAlert.h"
#include "ui/DimState.h"
#include "ui/Theme.h"
#include "account/LoginGateView.h"
#include "library/PluginListView.h"
#include "library/PluginTableView.h"
#include "account/SettingsWindowController.h"
#include "market/MarketWindowController.h"
#include "ui/DialogWindow.h"
#include "sheets/InstallSheet.h"
#include "sheets/InstallSheetModel.h"
#include "sheets/LocalizeSheet.h"
#include "sheets/VersionSheet.h"
#include "window/AppDelegate.h"
#include "window/DropTargetOverlay.h"
#include "window/LoomworkMain.h"
#include "window/PluginSheets.h"
#include "window/ProgressOverlay.h"
#include "window/RootView.h"
#include "support/app/HeldOperation.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinProcess.h"
#include "support/app/TestEnv.h"
#include "support/views/AppearanceCheck.h"
#include "support/views/ListFixtures.h"

namespace {

// The message an alert shows under its title.
QString alertMessage(const QMessageBox& box)
{
    const QLabel* label = AppAlert::messageLabel(box);
    return label && !label->isHidden() ? label->text() : QString();
}

bool hasPlugin(const AppState& state, const QString& name, PluginRoot root)
{
    for (const Plugin& plugin : state.plugins()) {
        if (plugin.name == name && plugin.root == root)
            return true;
    }
    return false;
}

class MainRoadTest : public ListFixtures::ListTest
{
protected:
    void SetUp() override
    {
        ListFixtures::ListTest::SetUp();
        m_standin = std::make_unique<StandinProcess>();
        m_standin->useAsServer();
        PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
        PluginFixtures::makeTemplatePlugin(PluginRoot::system, ZFCPluginType::transitions, "Slide");
        m_work = TestEnv::root() + "/work";
        QDir().mkpath(m_work);
    }

    void TearDown() override
    {
        m_main.reset();
        m_standin.reset();
        ListFixtures::ListTest::TearDown();
    }

    RootView* start(const QList<QUrl>& files = {}, InstanceGuard* instance = nullptr)
    {
        m_main = std::make_unique<LoomworkMain>();
        m_main->start(files, instance);
        EXPECT_TRUE(QTest::qWaitForWindowExposed(m_main->window()));
        return m_main->rootView();
    }

    void signIn(RootView* root)
    {
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return root->login()->phase().kind == LoginService::Phase::Kind::waitingScan; }, 30000));
        m_standin->control("scan", {{"member", QJsonObject{{"memberKey", "m1"}, {"nickName", "剪辑师"}}}});
        ASSERT_TRUE(QTest::qWaitFor([&] { return root->isSignedIn(); }, 30000));
    }

    static void drop(RootView* root, const QList<QUrl>& urls)
    {
        QMimeData mime;
        mime.setUrls(urls);
        const QPoint at = root->rect().center();
        QDragEnterEvent enter(at, Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(root, &enter);
        EXPECT_TRUE(root->dropOverlay()->isVisible());
        QDropEvent dropEvent(QPointF(at), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(root, &dropEvent);
        EXPECT_FALSE(root->dropOverlay()->isVisible());
    }

    std::unique_ptr<StandinProcess> m_standin;
    std::unique_ptr<LoomworkMain> m_main;
    QString m_work;
};

} // namespace

TEST_F(MainRoadTest, SignInDropAndInstallWithARename)
{
    const QString package = m_work + "/A.ZFCP";
    PackageMaker::pack(package,
                       {{ZFCPluginType::effect, "Glow", {{"Glow.moef", PluginFixtures::templateBytes()}}},
                        {ZFCPluginType::subtitle, "Lower Third", {{"Lower Third.moti", PluginFixtures::templateBytes()}}}},
                       m_work + "/src");
    const QString text = m_work + "/b.txt";
    PluginFixtures::writeBytes(text, "notes");

    RootView* root = start();
    QToolBar* toolbar = m_main->window()->findChild<QToolBar*>();
    ASSERT_TRUE(toolbar);
    EXPECT_EQ(root->size(), QSize(1180, 780)) << "the window opens with its default content size";

    // Behind the gate: the interface is disabled and the toolbar hidden.
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->login()->phase().kind == LoginService::Phase::Kind::waitingScan; }, 30000));
    EXPECT_TRUE(root->gate()->isVisible());
    EXPECT_FALSE(root->mainInterface()->isEnabled());
    EXPECT_FALSE(toolbar->isVisible());
    ListFixtures::savePicture(*m_main->window(), "main-gate");
    {
        // Nothing is taken behind the gate.
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(package)});
        QDragEnterEvent enter(root->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(root, &enter);
        EXPECT_FALSE(enter.isAccepted());
        EXPECT_FALSE(root->dropOverlay()->isVisible());
    }

    signIn(root);
    EXPECT_TRUE(root->mainInterface()->isEnabled());
    EXPECT_TRUE(toolbar->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !root->gate()->isVisible(); }, 30000)) << "the gate fades out";
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return hasPlugin(*m_main->state(), "Glow", PluginRoot::user)
            && hasPlugin(*m_main->state(), "Slide", PluginRoot::system);
    }, 30000));

    // Every part of the interface leaves dropped files to the root view, the search field
    // included (it would take them as text).
    root->list()->openSearch();
    for (QWidget* widget : root->mainInterface()->findChildren<QWidget*>())
        EXPECT_FALSE(widget->acceptDrops()) << widget->metaObject()->className();
    root->list()->closeSearch();

    drop(root, {QUrl::fromLocalFile(package), QUrl::fromLocalFile(text)});
    ASSERT_TRUE(root->alert());
    EXPECT_EQ(root->alert()->text(), "已跳过 1 个文件");
    EXPECT_EQ(alertMessage(*root->alert()),
              "这些不是 .zfcp 插件备份，没有安装：\n\n· b.txt\n\n其余 1 个 .zfcp 文件会继续安装。");
    EXPECT_FALSE(root->installSheet()) << "the sheet waits for the alert";

    root->alert()->buttons().first()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() != nullptr; }, 30000));
    EXPECT_FALSE(root->ops()->alertTitle());
    InstallSheetModel& model = root->installSheet()->model();
    EXPECT_EQ(model.files(), QStringList{package});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isParsing(); }, 30000));
    EXPECT_EQ(model.totalPlugins(), 2);
    ASSERT_TRUE(model.hasHits());
    ListFixtures::settle(500);
    ListFixtures::savePicture(*root->installSheet(), "main-install-review");

    model.reviewConfirm();
    ASSERT_EQ(model.phase(), InstallSheetModel::Phase::conflict);
    model.choose(InstallSheetModel::Choice::rename);
    ListFixtures::settle(500);
    ListFixtures::savePicture(*root->installSheet(), "main-install-conflict");
    model.conflictConfirm();

    ASSERT_TRUE(QTest::qWaitFor([&] {
        return !root->ops()->isBusy() && hasPlugin(*m_main->state(), "Glow 2", PluginRoot::user)
            && hasPlugin(*m_main->state(), "Lower Third", PluginRoot::user);
    }, 30000));
    EXPECT_EQ(root->ops()->statusText(), "已安装 2 个插件（1 个已重命名）");
    EXPECT_TRUE(hasPlugin(*m_main->state(), "Glow", PluginRoot::user)) << "the old Glow stays";
    EXPECT_EQ(RootView::lastInstallRoot(), PluginRoot::user);
    ListFixtures::savePicture(*m_main->window(), "main-after-install");
}

TEST_F(MainRoadTest, PackageOpenedAtStartOpensTheSheetAfterSignIn)
{
    const QString package = m_work + "/Pack.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::generator, "Backdrop", {{"Backdrop.motn", PluginFixtures::templateBytes()}}}},
                       m_work + "/src");
    RootView* root = start({QUrl::fromLocalFile(package), QUrl::fromLocalFile(m_work + "/x.txt")});
    QTest::qWait(300);
    EXPECT_FALSE(root->installSheet()) << "no sheet while signed out";

    signIn(root);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() != nullptr; }, 30000));
    EXPECT_EQ(root->installSheet()->model().files(), QStringList{package});

    // A second opened package while the sheet is open replaces it with a fresh one.
    InstallSheet* first = root->installSheet();
    NotificationHub::instance().post(Notifications::zfcpFilesOpened,
                                     {{"urls", QVariantList{QUrl::fromLocalFile(m_work + "/Other.zfcp")}}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() && root->installSheet() != first; }, 30000));
    EXPECT_EQ(root->installSheet()->model().files(), QStringList{m_work + "/Other.zfcp"});

    // Notifications without a usable list of packages leave the open sheet alone.
    InstallSheet* current = root->installSheet();
    const QVariantMap unusable[] = {
        {},
        {{"files", QVariantList{QUrl::fromLocalFile(m_work + "/Third.zfcp")}}},
        {{"urls", QVariantList{}}},
        {{"urls", QVariantList{QUrl::fromLocalFile(m_work + "/notes.txt")}}},
    };
    for (const QVariantMap& info : unusable)
        NotificationHub::instance().post(Notifications::zfcpFilesOpened, info);
    QTest::qWait(100);
    EXPECT_EQ(root->installSheet(), current);
    EXPECT_EQ(root->installSheet()->model().files(), QStringList{m_work + "/Other.zfcp"});
}

TEST_F(MainRoadTest, DropOfOnlyOtherFilesNamesThemAndInstallsNothing)
{
    RootView* root = start();
    signIn(root);

    // A dragged link is not a file: the window does not offer to take it.
    QMimeData link;
    link.setUrls({QUrl("https://example.com/A.zfcp")});
    QDragEnterEvent enter(root->rect().center(), Qt::CopyAction, &link, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(root, &enter);
    EXPECT_FALSE(enter.isAccepted());
    EXPECT_FALSE(root->dropOverlay()->isVisible());

    QList<QUrl> urls;
    for (int i = 1; i <= 6; ++i)
        urls.append(QUrl::fromLocalFile(QString("%1/%2.txt").arg(m_work).arg(i)));
    drop(root, urls);
    ASSERT_TRUE(root->alert());
    EXPECT_EQ(root->alert()->text(), "这些文件不能安装");
    EXPECT_TRUE(alertMessage(*root->alert()).contains("…另有 2 个文件"));
    root->alert()->buttons().first()->click();
    QTest::qWait(200);
    EXPECT_FALSE(root->installSheet());
    EXPECT_FALSE(root->ops()->alertTitle());
    EXPECT_TRUE(root->ops()->alertMessage()) << "the message stays until the next writer replaces it";
}

TEST_F(MainRoadTest, RunnerAlertShowsItsTextsAsTheyAre)
{
    RootView* root = start();
    OperationsCenter* ops = root->ops();

    ops->setAlertMessage(QString("只有消息"));
    QTest::qWait(50);
    EXPECT_FALSE(root->alert()) << "a message alone shows no alert";

    // The runner sets the title first; the message follows while the alert is up. Names
    // and server texts in either are never read as markup.
    ops->setAlertMessage(std::nullopt);
    const QString hostile = "<b>Glow</b> <a href=\"https://example.com\">link</a>\n第二行";
    const struct {
        const char* label;
        std::optional<QString> title;
        std::optional<QString> message;
        QString shownTitle;
        QString shownMessage;
    } steps[] = {
        {"title first", QString("安装失败 <i>x</i>"), std::nullopt, "安装失败 <i>x</i>", ""},
        {"message after", QString("安装失败 <i>x</i>"), hostile, "安装失败 <i>x</i>", hostile},
        {"message emptied", QString("安装失败"), QString(), "安装失败", ""},
        {"message again", QString("安装失败"), hostile, "安装失败", hostile},
        {"empty title", QString(), hostile, "提示", hostile},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.label);
        ops->setAlertTitle(step.title);
        ops->setAlertMessage(step.message);
        ASSERT_TRUE(root->alert());
        EXPECT_EQ(root->alert()->text(), step.shownTitle);
        EXPECT_EQ(alertMessage(*root->alert()), step.shownMessage);
        EXPECT_EQ(root->alert()->textFormat(), Qt::PlainText);
        EXPECT_EQ(AppAlert::messageLabel(*root->alert())->textFormat(), Qt::PlainText);
    }

    // "好" clears only the title; a title set at once after that gets an alert of its own.
    root->alert()->buttons().first()->click();
    EXPECT_FALSE(ops->alertTitle());
    EXPECT_EQ(ops->alertMessage(), hostile);
    ops->setAlertTitle(QString("删除失败"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->alert() && root->alert()->isVisible(); }, 30000));
    EXPECT_EQ(root->alert()->text(), "删除失败");
    EXPECT_EQ(ops->alertTitle(), "删除失败") << "the old alert's end does not take the new title with it";
}

TEST(AppDelegateSizing, SmallWindowsGrowToTheDefaultContentAndAllKeepTheMinimum)
{
    const struct {
        const char* label;
        QSize restored;
        bool grows;
    } cases[] = {
        {"900 by 700", {900, 700}, true},
        {"1200 by 640", {1200, 640}, true},
        {"1200 by 800", {1200, 800}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QMainWindow window;
        auto* content = new QWidget;
        window.setCentralWidget(content);
        window.menuBar()->addMenu("插件");
        window.addToolBar("工具栏")->addAction("刷新");
        window.resize(c.restored);
        window.move(37, 41);
        AppDelegate delegate;
        delegate.finishStartUp(&window);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        if (c.grows) {
            EXPECT_EQ(content->size(), QSize(1180, 780)) << "the content, not the frame, gets the default size";
            const QPoint centre = window.screen()->availableGeometry().center();
            // Within the decorations that the platform adds once the window is shown.
            EXPECT_LE((window.frameGeometry().center() - centre).manhattanLength(), 8);
        } else {
            EXPECT_EQ(window.size(), c.restored);
            EXPECT_EQ(window.pos(), QPoint(37, 41));
        }
        EXPECT_EQ(window.windowTitle(), "Loomwork");
        window.resize(400, 300);
        QTest::qWait(20);
        EXPECT_GE(content->width(), 1000);
        EXPECT_GE(content->height(), 660) << "menu bar and toolbar do not eat into the minimum";
    }
}

TEST_F(MainRoadTest, SigningOutWithTheSheetUpKeepsItsFilesForTheNextSignIn)
{
    const QString package = m_work + "/Pack.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::generator, "Backdrop", {{"Backdrop.motn", PluginFixtures::templateBytes()}}}},
                       m_work + "/src");
    RootView* root = start();
    signIn(root);
    NotificationHub::instance().post(Notifications::zfcpFilesOpened, {{"urls", QVariantList{QUrl::fromLocalFile(package)}}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() != nullptr; }, 30000));
    QPointer<InstallSheet> first = root->installSheet();

    root->login()->forceLogout(QString("登录已过期，请重新扫码"));
    EXPECT_FALSE(root->isSignedIn());
    ASSERT_TRUE(QTest::qWaitFor([&] { return first.isNull(); }, 30000)) << "no sheet behind the gate";
    EXPECT_FALSE(root->installSheet());
    EXPECT_TRUE(root->installQueue().hasPending()) << "the files are not dropped";

    root->login()->requestQrcode();
    signIn(root);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() != nullptr; }, 30000));
    EXPECT_EQ(root->installSheet()->model().files(), QStringList{package});
}

TEST_F(MainRoadTest, FilesHandedOverByALaterLaunchReachTheRunningWindow)
{
    const QString package = m_work + "/Handed.ZFCP";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Haze", {{"Haze.moef", PluginFixtures::templateBytes()}}}},
                       m_work + "/src");
    InstanceGuard instance;
    ASSERT_EQ(instance.claim({}), InstanceGuard::Claim::instance);
    RootView* root = start({}, &instance);
    signIn(root);
    m_main->window()->showMaximized();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_main->window()->isMaximized(); }, 30000));

    // What a second "loomwork Handed.ZFCP notes.txt" does before it quits.
    InstanceGuard later;
    ASSERT_EQ(later.claim({QUrl::fromLocalFile(package), QUrl::fromLocalFile(m_work + "/notes.txt")}),
              InstanceGuard::Claim::handedOver);
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() != nullptr; }, 30000));
    EXPECT_EQ(root->installSheet()->model().files(), QStringList{package}) << "only the package is kept";
    EXPECT_TRUE(m_main->window()->isMaximized()) << "brought forward without being restored";
}

TEST_F(MainRoadTest, TheInstallSheetStartsOnTheRememberedLibraryAndRemembersTheChoice)
{
    const QString package = m_work + "/Slide.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::transitions, "Slide", {{"Slide.motr", PluginFixtures::templateBytes()}}}},
                       m_work + "/src");
    QSettings().setValue(RootView::lastInstallRootKey, "System");
    RootView* root = start();
    signIn(root);
    const auto open = [&] {
        InstallSheet* before = root->installSheet();
        NotificationHub::instance().post(Notifications::zfcpFilesOpened, {{"urls", QVariantList{QUrl::fromLocalFile(package)}}});
        EXPECT_TRUE(QTest::qWaitFor([&] { return root->installSheet() && root->installSheet() != before; }, 30000));
        return root->installSheet() ? &root->installSheet()->model() : nullptr;
    };

    InstallSheetModel* model = open();
    ASSERT_TRUE(model);
    EXPECT_EQ(model->targetRoot(), PluginRoot::user) << "anything but \"system\" starts on the user library";
    model->setTargetRoot(PluginRoot::system);
    EXPECT_EQ(QSettings().value(RootView::lastInstallRootKey).toString(), "system") << "stored at once";
    model->cancel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !root->installSheet(); }, 30000));

    // The clash with the system library's Slide moves the install to the user library: the
    // confirmed plan's root is what is remembered.
    model = open();
    ASSERT_TRUE(model);
    EXPECT_EQ(model->targetRoot(), PluginRoot::system);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model->isParsing(); }, 30000));
    ASSERT_TRUE(model->hasHits());
    model->reviewConfirm();
    model->choose(InstallSheetModel::Choice::moveToUser);
    model->conflictConfirm();
    EXPECT_EQ(QSettings().value(RootView::lastInstallRootKey).toString(), "user");
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return !root->ops()->isBusy() && hasPlugin(*m_main->state(), "Slide", PluginRoot::user);
    }, 30000));
}

TEST_F(MainRoadTest, MenuCommandsAndTheirShortcuts)
{
    RootView* root = start();
    signIn(root);
    ASSERT_TRUE(QTest::qWaitFor([&] { return hasPlugin(*m_main->state(), "Glow", PluginRoot::user); }, 30000));

    QMenu* plugins = nullptr;
    for (QAction* menu : m_main->window()->menuBar()->actions()) {
        EXPECT_NE(menu->text(), "文件") << "there is nothing to make new";
        if (menu->text() == "插件")
            plugins = menu->menu();
    }
    ASSERT_TRUE(plugins);
    QStringList items;
    QAction* refresh = nullptr;
    QAction* library = nullptr;
    QAction* market = nullptr;
    for (QAction* action : plugins->actions()) {
        items.append(action->isSeparator() ? "—" : action->text());
        if (action->text() == "刷新列表")
            refresh = action;
        if (action->text() == "打开用户插件库")
            library = action;
        if (action->text() == "插件市场…")
            market = action;
    }
    EXPECT_EQ(items, QStringList({"刷新列表", "插件市场…", "—", "打开用户插件库"}));
    ASSERT_TRUE(refresh && library && market);
    EXPECT_EQ(market->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_M));
    // Signed in, the market command opens the market window.
    market->trigger();
    ASSERT_TRUE(MarketWindowController::shared().window());
    EXPECT_TRUE(MarketWindowController::shared().window()->isVisible());
    MarketWindowController::shared().window()->close();
    EXPECT_EQ(refresh->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));
    EXPECT_EQ(library->shortcut(), QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_O));
#ifndef Q_OS_MACOS
    // The platform's own modifier names.
    EXPECT_EQ(refresh->shortcut().toString(QKeySequence::NativeText), "Ctrl+R");
    EXPECT_EQ(library->shortcut().toString(QKeySequence::NativeText), "Ctrl+Shift+O");
#endif

    // The refresh key rescans: a plug-in added behind the application's back shows up.
    PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::generator, "Fresh");
    m_main->window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_main->window()));
    QTest::keyClick(m_main->window(), Qt::Key_R, Qt::ControlModifier);
    EXPECT_TRUE(QTest::qWaitFor([&] { return hasPlugin(*m_main->state(), "Fresh", PluginRoot::user); }, 30000));

    // So does a market install's pluginsDidChange.
    PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Bought");
    NotificationHub::instance().post(Notifications::pluginsDidChange);
    EXPECT_TRUE(QTest::qWaitFor([&] { return hasPlugin(*m_main->state(), "Bought", PluginRoot::user); }, 30000));
}

TEST(AppDelegateOpenFiles, OnlyPackagesArePostedAndNothingWhenNoneRemains)
{
    const struct {
        const char* label;
        QStringList opened;
        QStringList posted; // empty: nothing posted
    } cases[] = {
        {"package and text", {"/in/A.ZFCP", "/in/b.txt"}, {"/in/A.ZFCP"}},
        {"text only", {"/in/b.txt"}, {}},
        {"two packages in order", {"/in/z.zfcp", "/in/a.Zfcp"}, {"/in/z.zfcp", "/in/a.Zfcp"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        QList<QVariantMap> posts;
        auto connection = QObject::connect(&NotificationHub::instance(), &NotificationHub::posted,
                                           [&](const QString& name, const QVariantMap& info) {
                                               if (name == Notifications::zfcpFilesOpened)
                                                   posts.append(info);
                                           });
        QList<QUrl> urls;
        for (const QString& path : c.opened)
            urls.append(QUrl::fromLocalFile(path));
        AppDelegate::openFiles(urls);
        QObject::disconnect(connection);
        if (c.posted.isEmpty()) {
            EXPECT_TRUE(posts.isEmpty());
            continue;
        }
        ASSERT_EQ(posts.size(), 1);
        EXPECT_EQ(posts.first().keys(), QStringList{"urls"});
        QStringList got;
        for (const QVariant& url : posts.first().value("urls").toList())
            got.append(url.toUrl().toLocalFile());
        EXPECT_EQ(got, c.posted);
    }
}

TEST_F(MainRoadTest, TheDimOfAnOpenDialogLiesOverTheWholeWindowAndTheDropCardIsOpaque)
{
    RootView* root = start();
    signIn(root);
    QMainWindow* window = m_main->window();
    auto* dim = window->findChild<QWidget*>("dimLayer");
    auto* progress = window->findChild<ProgressOverlay*>();
    ASSERT_TRUE(dim && progress);
    const auto stackIndex = [&](QObject* child) { return window->children().indexOf(child); };
    ASSERT_TRUE(QTest::qWaitFor([&] { return !root->gate()->isVisible(); }, 30000)) << "the gate fades out";

    DimState::shared().setActive(true);
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(m_work + "/A.zfcp")});
    QDragEnterEvent enter(root->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(root, &enter); // raises the drop target
    EXPECT_TRUE(dim->isVisible());
    EXPECT_TRUE(dim->testAttribute(Qt::WA_TransparentForMouseEvents)) << "clicks pass through";
    for (QWidget* veil : {dim, static_cast<QWidget*>(root->dropOverlay())})
        EXPECT_EQ(veil->geometry(), window->rect()) << "the toolbar included";
    EXPECT_GT(stackIndex(dim), stackIndex(root->dropOverlay()));
    EXPECT_GT(stackIndex(dim), stackIndex(progress));
    DimState::shared().setActive(false);
    // The drop card's ground hides what lies under it.
    QWidget* card = root->dropOverlay()->findChild<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    ASSERT_TRUE(card);
    const QPoint ground = card->mapTo(window, QPoint(12, card->height() / 2));
    for (const char* mode : {"dark", "light"}) {
        ListFixtures::setAppearance(mode);
        EXPECT_EQ(window->grab().toImage().pixelColor(ground).rgb(), Theme::floatingBg().rgb()) << mode;
        ListFixtures::savePicture(*window, QString("main-drop-target-") + mode);
    }
    QDragLeaveEvent leave;
    QApplication::sendEvent(root, &leave);
    EXPECT_FALSE(dim->isVisible());
}

TEST_F(MainRoadTest, TheBusyVeilCoversTheWholeWindowAndNothingUnderItTakesInput)
{
    for (int i = 0; i < 10; ++i) // long names run under the card
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, QString("插件的名字很长很长很长很长很长很长 %1").arg(i));
    RootView* root = start();
    signIn(root);
    QMainWindow* window = m_main->window();
    auto* overlay = window->findChild<ProgressOverlay*>();
    QToolBar* toolbar = window->findChild<QToolBar*>();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_main->state()->plugins().size() == 12; }, 30000));
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    const QPoint inToolbar = toolbar->mapTo(window, QPoint(toolbar->width() / 2, 3));
    const int toolbarBefore = qGray(window->grab().toImage().pixel(inToolbar));

    HeldOperation held(*root->ops());
    ASSERT_TRUE(QTest::qWaitFor([&] { return overlay->isVisible() && !overlay->graphicsEffect(); }, 30000)); // faded in
    EXPECT_EQ(overlay->geometry(), window->rect());
    EXPECT_LT(qGray(window->grab().toImage().pixel(inToolbar)), toolbarBefore - 20) << "the toolbar is dimmed";
    QWidget* card = overlay->bar()->parentWidget();
    const QPoint ground = card->mapTo(window, QPoint(10, card->height() / 2));
    for (const char* mode : {"dark", "light"}) {
        ListFixtures::setAppearance(mode);
        EXPECT_EQ(window->grab().toImage().pixelColor(ground).rgb(), Theme::floatingBg().rgb()) << mode << ": opaque";
        ListFixtures::savePicture(*window, QString("main-busy-") + mode);
    }

    // No click, key or shortcut reaches the window under the veil.
    for (QWidget* under : std::initializer_list<QWidget*>{window->menuBar(), toolbar}) {
        QWidget* hit = window->childAt(under->mapTo(window, under->rect().center()));
        EXPECT_TRUE(hit == overlay || overlay->isAncestorOf(hit)) << under->metaObject()->className();
    }
    QSignalSpy scans(m_main->state(), &AppState::isScanningChanged);
    for (const QKeySequence& keys : {QKeySequence(QKeySequence::Find), QKeySequence(Qt::CTRL | Qt::Key_R), QKeySequence(Qt::Key_Tab)})
        QTest::keySequence(window->focusWidget(), keys);
    EXPECT_FALSE(root->list()->isSearchOpen());
    EXPECT_EQ(scans.count(), 0);
    EXPECT_EQ(window->focusWidget(), overlay);
}

TEST_F(MainRoadTest, ARequestWaitingForAFailedInstallComesAfterItsAlert)
{
    const QString package = m_work + "/Next.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Haze", {{"Haze.moef", PluginFixtures::templateBytes()}}}},
                       m_work + "/src");
    const QString damaged = m_work + "/Damaged.zfcp";
    PluginFixtures::writeBytes(damaged, "not a package");
    RootView* root = start();
    signIn(root);

    root->ops()->install({damaged}, InstallPlan{});
    ASSERT_TRUE(root->ops()->isBusy());
    NotificationHub::instance().post(Notifications::zfcpFilesOpened, {{"urls", QVariantList{QUrl::fromLocalFile(package)}}});
    EXPECT_FALSE(root->installSheet()) << "held while the install runs";

    ASSERT_TRUE(QTest::qWaitFor([&] { return !root->ops()->isBusy() && root->alert(); }, 30000));
    EXPECT_EQ(root->alert()->text(), "安装失败");
    EXPECT_FALSE(root->installSheet()) << "not beside the failure's alert";

    root->alert()->buttons().first()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->installSheet() != nullptr; }, 30000));
    EXPECT_EQ(root->installSheet()->model().files(), QStringList{package});
}

namespace {

TEST_F(MainRoadTest, TheRowButtonsAndTheContextMenuOpenTheTemplateSheets)
{
    RootView* root = start();
    ASSERT_NO_FATAL_FAILURE(signIn(root));
    PluginListView* list = root->list();
    AppState* state = m_main->state();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state->isScanning() && list->model()->rowCount() == 2; }, 30000));
    PluginTableView* table = list->tableView();
    const int row = list->model()->index(0, 0).data(PluginListModel::PluginRole).value<Plugin>().name == "Glow" ? 0 : 1;
    QTest::mouseMove(table->viewport(), table->visualRect(list->model()->index(row, 0)).center());
    const auto version = table->actionRect(row, PluginRow::version);
    const auto localize = table->actionRect(row, PluginRow::localize);
    ASSERT_TRUE(version && localize);

    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, version->center());
    PluginSheets* sheets = root->sheets();
    ASSERT_TRUE(sheets->versionSheet());
    EXPECT_EQ(sheets->versionSheet()->model().plugin().name, QStringLiteral("Glow"));
    sheets->versionSheet()->dismiss();
    ListFixtures::settle();
    QTest::mouseMove(table->viewport(), table->visualRect(list->model()->index(row, 0)).center());
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, localize->center());
    ASSERT_TRUE(sheets->localizeSheet());
    sheets->localizeSheet()->dismiss();

    std::unique_ptr<QMenu> menu(list->makeContextMenu(ListFixtures::find(*state, "Glow")));
    QStringList enabled;
    for (QAction* action : menu->actions()) {
        if (action->isEnabled() && !action->isSeparator())
            enabled << action->text();
    }
    EXPECT_EQ(enabled, QStringList({"快速备份…", "版本升降…", "插件汉化…", "删除"}));
}

} // namespace

// The signed-in window with both libraries listed, switched from one appearance to the
// other, looks as it would have started in the new one.
TEST_F(MainRoadTest, TheSignedInWindowFollowsAChangeOfAppearance)
{
    signIn(start());
    m_main.reset();
    LoomworkMain* main = nullptr;
    const auto make = [&main] {
        main = new LoomworkMain;
        main->start({});
        return std::shared_ptr<QWidget>(main->window(), [main](QWidget*) { delete main; });
    };
    const auto ready = [&main](QWidget*) {
        return main->rootView()->isSignedIn() && !main->rootView()->gate()->isVisible() && !main->state()->isScanning()
            && main->state()->plugins().size() == 2;
    };
    EXPECT_TRUE(AppearanceCheck::follows(make, "light", "dark", QStringLiteral("main-window"), ready));
    EXPECT_TRUE(AppearanceCheck::follows(make, "dark", "light", QStringLiteral("main-window"), ready));
}

// The application's menu commands answer in every window of it, not only in the main one:
// the settings shortcut in the market window, quitting in the settings window.
TEST_F(MainRoadTest, SettingsAndQuitShortcutsWorkInEveryWindow)
{
    RootView* root = start();
    signIn(root);
    QAction* quit = nullptr;
    for (QAction* action : m_main->window()->menuBar()->findChildren<QAction*>())
        if (action->text() == QStringLiteral("退出 Loomwork"))
            quit = action;
    ASSERT_TRUE(quit);
    QSignalSpy quits(quit, &QAction::triggered);

    if (DialogWindow* earlier = SettingsWindowController::shared().window())
        earlier->hide();
    NotificationHub::instance().post(Notifications::openMarketRequested);
    DialogWindow* market = MarketWindowController::shared().window();
    ASSERT_TRUE(market);
    ASSERT_TRUE(QTest::qWaitForWindowActive(market));
    QTest::keyClick(market, Qt::Key_Comma, Qt::ControlModifier);
    DialogWindow* settings = SettingsWindowController::shared().window();
    ASSERT_TRUE(settings && settings->isVisible()) << "Ctrl+, in the market window opens the settings";
    ASSERT_TRUE(QTest::qWaitForWindowActive(settings));

    QTest::keyClick(settings, Qt::Key_Q, Qt::ControlModifier);
    EXPECT_EQ(quits.count(), 1) << "Ctrl+Q in the settings window quits";
    EXPECT_FALSE(m_main->window()->isVisible());
    EXPECT_FALSE(market->isVisible());
    EXPECT_FALSE(settings->isVisible());
}
