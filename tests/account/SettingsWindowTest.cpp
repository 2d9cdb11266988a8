// The settings window offscreen, in the running application against the stand-in: how it
// opens and keeps its tab, the account pane and the nickname sheet, sign-out, the library
// pane's authorization with a scripted administrator runner, and PNGs of every pane.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPushButton>
#include <QTest>

#include "engine/files/AdminAuth.h"
#include "engine/model/AppSettings.h"
#include "engine/library/AppState.h"
#include "engine/core/NotificationHub.h"
#include "online/AppVersion.h"
#include "online/LoginService.h"
#include "online/RemoteConfigService.h"
#include "online/ServerConfig.h"
#include "ui/Appearance.h"
#include "ui/Theme.h"
#include "account/AboutPane.h"
#include "account/AccountPane.h"
#include "account/AppearancePane.h"
#include "account/LibraryAuthModel.h"
#include "account/LibraryPane.h"
#include "account/LoginGateView.h"
#include "account/NicknameSheet.h"
#include "account/SettingsTabButton.h"
#include "account/SettingsView.h"
#include "account/SettingsWindowController.h"
#include "account/UpdateCheckModel.h"
#include "promo/UpdateSheet.h"
#include "window/LoomworkMain.h"
#include "window/RootView.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/StandinProcess.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

namespace {

constexpr const char* kMemberKey = "0123456789abcdefghijklmnopqrstuv";

QString screenshotDir()
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(dir);
    return QDir(dir).absolutePath();
}

bool showsText(QWidget* root, const QString& text)
{
    for (QLabel* label : root->findChildren<QLabel*>()) {
        if (label->isVisibleTo(root) && label->text() == text)
            return true;
    }
    return false;
}

class SettingsWindowTest : public ListFixtures::ListTest
{
protected:
    void SetUp() override
    {
        ListFixtures::ListTest::SetUp();
        AdminAuth::resetExplanation();
        m_standin = std::make_unique<StandinProcess>();
        m_standin->useAsServer();
        m_main = std::make_unique<LoomworkMain>();
        m_main->start({});
        ASSERT_TRUE(QTest::qWaitForWindowExposed(m_main->window()));
        RootView* root = m_main->rootView();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return root->login()->phase().kind == LoginService::Phase::Kind::waitingScan; }, 30000));
        m_standin->control("scan", {{"member", QJsonObject{{"memberKey", kMemberKey}, {"nickName", "剪辑师"}}}});
        ASSERT_TRUE(QTest::qWaitFor([&] { return root->isSignedIn(); }, 30000));
    }

    void TearDown() override
    {
        m_main.reset();
        m_standin.reset();
        ListFixtures::ListTest::TearDown();
    }

    QAction* settingsAction() const
    {
        for (QAction* menu : m_main->window()->menuBar()->actions()) {
            for (QAction* action : menu->menu()->actions()) {
                if (action->text() == "设置…")
                    return action;
            }
        }
        return nullptr;
    }

    static SettingsWindowController& controller() { return SettingsWindowController::shared(); }
    static SettingsView* view() { return controller().view(); }

    std::unique_ptr<StandinProcess> m_standin;
    std::unique_ptr<LoomworkMain> m_main;
};

} // namespace

TEST_F(SettingsWindowTest, OpensOnTheRequestedTabAndKeepsItAfterwards)
{
    QAction* menu = settingsAction();
    ASSERT_TRUE(menu);
#ifndef Q_OS_MACOS
    EXPECT_EQ(menu->shortcut().toString(QKeySequence::NativeText), "Ctrl+,");
#endif
    menu->trigger();
    ASSERT_TRUE(controller().window() && controller().window()->isVisible());
    QPointer<QWidget> window = controller().window();
    EXPECT_EQ(view()->currentPane(), view()->appearancePane());
    EXPECT_TRUE(view()->tabButton(SettingsTab::appearance)->isSelected());
    // The dark card turns the whole application dark at once, and is remembered.
    QTest::mouseClick(view()->appearancePane()->cards().at(AppearanceMode::dark), Qt::LeftButton);
    EXPECT_TRUE(Appearance::instance().isDark());
    EXPECT_EQ(AppSettings::appearance(), AppearanceMode::dark);

    // Closing only hides; the account request switches the tab.
    window->close();
    EXPECT_FALSE(window->isVisible());
    NotificationHub::instance().post(Notifications::openAccountRequested);
    ASSERT_EQ(controller().window(), window.data());
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(view()->currentPane(), view()->accountPane());

    // A later menu opening keeps it; a tab click switches at once.
    window->close();
    menu->trigger();
    EXPECT_EQ(view()->currentPane(), view()->accountPane());
    QTest::mouseClick(view()->tabButton(SettingsTab::about), Qt::LeftButton);
    EXPECT_EQ(view()->currentPane(), view()->aboutPane());
    // The tools page lies on the one web host that the toolbar and the sign-in gate name too.
    QStringList texts;
    for (const QPushButton* button : view()->aboutPane()->findChildren<QPushButton*>())
        texts << button->text();
    EXPECT_TRUE(texts.contains(ServerConfig::webHost() + "/ruded")) << texts.join(u'|').toStdString();

    // The sidebar's gear asks for the appearance tab.
    m_main->rootView()->openSettings(SettingsTab::appearance);
    EXPECT_EQ(view()->currentPane(), view()->appearancePane());
}

TEST_F(SettingsWindowTest, AccountPaneNicknameSheetAndSignOut)
{
    m_main->rootView()->openSettings(SettingsTab::account);
    AccountPane* pane = view()->accountPane();
    EXPECT_EQ(pane->nameLabel()->text(), "剪辑师");
    EXPECT_EQ(pane->idLabel()->text(), "ID：0123456789abcd…");

    QTest::mouseClick(pane->nicknameButton(), Qt::LeftButton);
    NicknameSheet* sheet = pane->nicknameSheet();
    ASSERT_TRUE(sheet);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    sheet->field()->clear();
    QTest::keyClicks(sheet->field(), "abcdefghijklmnopq");
    EXPECT_EQ(sheet->field()->text(), "abcdefghijklmnop");
    EXPECT_EQ(sheet->counter()->text(), "16/16");
    sheet->field()->setText("<b>x</b>");
    emit sheet->field()->textEdited(sheet->field()->text());
    EXPECT_EQ(sheet->previewName()->textFormat(), Qt::PlainText);
    EXPECT_EQ(sheet->previewName()->text(), "<b>x</b>");

    // Sign-out with the sheet open: the sheet and the window go, the gate says why.
    QPointer<NicknameSheet> guard(sheet);
    QTest::mouseClick(pane->signOutButton(), Qt::LeftButton);
    EXPECT_FALSE(controller().window()->isVisible());
    EXPECT_TRUE(QTest::qWaitFor([&] { return !guard || !guard->isVisible(); }, 30000));
    LoginGateView* gate = m_main->rootView()->gate();
    EXPECT_TRUE(QTest::qWaitFor([&] { return gate->isVisible() && showsText(gate, "已退出登录"); }, 30000));
}

TEST_F(SettingsWindowTest, AuthorizingTheSystemLibrary)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    QDir(TestEnv::systemLibrary()).removeRecursively();

    m_main->rootView()->openSettings(SettingsTab::library);
    LibraryPane* pane = view()->libraryPane();
    QPushButton* button = pane->authorizeButton();
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isVisibleTo(pane); }, 30000));
    EXPECT_EQ(pane->statusLabel(PluginRoot::system)->text(), "未授权");
    EXPECT_EQ(button->text(), "完成授权");
    EXPECT_EQ(ListFixtures::shownToolTip(pane->locationLabel(PluginRoot::system)->toolTip()),
              TestEnv::systemLibrary());

    runner.queueOutcome({true, 1, {}, "Request dismissed"});
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(button->text(), "授权中…");
    EXPECT_FALSE(button->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return button->isEnabled(); }, 30000));
    EXPECT_EQ(pane->authErrorLabel()->text(), LibraryAuthModel::authFailedText);
    EXPECT_TRUE(pane->authErrorLabel()->isVisibleTo(pane));

    runner.setExecuteLocally(true);
    QTest::mouseClick(button, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !button->isVisibleTo(pane); }, 30000));
    EXPECT_FALSE(pane->authErrorLabel()->isVisibleTo(pane));
    // The rescan finds the new library.
    EXPECT_TRUE(m_main->state()->isScanning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_main->state()->isScanning(); }, 30000));
    EXPECT_EQ(pane->statusLabel(PluginRoot::system)->text(), "正常");
    EXPECT_EQ(ListFixtures::shownToolTip(pane->statusRow(PluginRoot::system)->toolTip()), "目录可读可写");
}

TEST_F(SettingsWindowTest, ScreenshotsOfEveryPaneAndTheNicknameSheet)
{
    FakeAlertPresenter alerts;
    RecordingAdminRunner runner;
    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        ListFixtures::setAppearance(mode);
        for (const SettingsTab tab : SettingsTab::allCases()) {
            m_main->rootView()->openSettings(tab);
            QWidget* window = controller().window();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
            QTest::qWait(tab == SettingsTab::library ? 300 : 50);
            const QString path = QStringLiteral("%1/settings-%2-%3.png").arg(screenshotDir(), tab.rawValue(), mode);
            EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
        }
        // Every tab's symbol is in the brand colour, selected or not.
        for (const SettingsTab tab : SettingsTab::allCases()) {
            const QImage button = view()->tabButton(tab)->grab().toImage();
            int brand = 0;
            for (int y = 0; y < SettingsTabButton::kPadY + SettingsTabButton::kSymbolHeight; ++y)
                for (int x = 0; x < button.width(); ++x)
                    brand += button.pixelColor(x, y).rgb() == Theme::accent().rgb();
            EXPECT_GT(brand, 20) << tab.rawValue().toStdString();
        }
        m_main->rootView()->openSettings(SettingsTab::account);
        view()->accountPane()->showNicknameSheet();
        NicknameSheet* sheet = view()->accountPane()->nicknameSheet();
        ASSERT_TRUE(sheet && QTest::qWaitForWindowExposed(sheet));
        sheet->field()->setText(QString::fromUtf8("阿林"));
        emit sheet->field()->textEdited(sheet->field()->text());
        QTest::qWait(50);
        EXPECT_TRUE(sheet->grab().save(QStringLiteral("%1/nickname-sheet-%2.png").arg(screenshotDir(), mode)));
        sheet->reject();
        controller().window()->close();
    }
    ListFixtures::setAppearance("light");
}

TEST_F(SettingsWindowTest, UpdateCheckReportsItsOutcome)
{
    m_main->rootView()->openSettings(SettingsTab::about);
    AboutPane* pane = view()->aboutPane();
    RemoteConfigService::Timing fast;
    fast.retryWaitsMs = {10, 10};
    fast.requestTimeoutMs = 20000;
    pane->updateCheck()->remote()->setTiming(fast);
    const auto check = [&] {
        QTest::mouseClick(pane->checkButton(), Qt::LeftButton);
        EXPECT_EQ(pane->hintLabel()->text(), UpdateCheckModel::checkingText);
        EXPECT_TRUE(QTest::qWaitFor([&] { return pane->updateCheck()->hint() != QString(UpdateCheckModel::checkingText); }, 30000));
        return pane->hintLabel()->isVisibleTo(pane) ? pane->hintLabel()->text() : QString();
    };
    const auto setLatest = [&](const QString& version) {
        m_standin->control("config", {{"path", "/v2/config.json"}, {"mode", "default"},
                                      {"document", QJsonObject{{"latestVersion", version}}}});
    };

    setLatest(AppVersion::current());
    EXPECT_EQ(check(), "已是最新版本（" + AppVersion::display() + "）");

    const QString server = AppSettings::value(ServerConfig::settingsKey).toString();
    AppSettings::setValue(ServerConfig::settingsKey, QStringLiteral("http://127.0.0.1:%1/").arg(StandinProcess::closedPort()));
    EXPECT_EQ(check(), UpdateCheckModel::failedText);
    AppSettings::setValue(ServerConfig::settingsKey, server);

    // A newer version opens the update sheet instead, once however often the check is asked
    // for while it runs (the button waits meanwhile); postponing there snoozes it.
    setLatest("999.0");
    QTest::mouseClick(pane->checkButton(), Qt::LeftButton);
    EXPECT_FALSE(pane->checkButton()->isEnabled());
    pane->updateCheck()->check();
    EXPECT_TRUE(QTest::qWaitFor([&] { return pane->checkButton()->isEnabled(); }, 30000));
    EXPECT_FALSE(pane->hintLabel()->isVisibleTo(pane));
    ASSERT_EQ(controller().window()->findChildren<UpdateSheet*>().size(), 1);
    UpdateSheet* sheet = controller().window()->findChild<UpdateSheet*>();
    EXPECT_EQ(sheet->alert().version, "999.0");
    QTest::mouseClick(sheet->laterButton(), Qt::LeftButton);
    EXPECT_EQ(pane->updateCheck()->remote()->snoozedVersion(), "999.0");
}
