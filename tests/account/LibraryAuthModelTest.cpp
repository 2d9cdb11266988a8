#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include "engine/files/AdminAuth.h"
#include "engine/library/AppState.h"
#include "account/LibraryAuthModel.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

namespace {

using Dot = LibraryAuthModel::Status::Dot;

class LibraryAuthModelTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        m_alerts.setDefaultAnswer(true);
    }

    // Waits for the worker's answer to come back to the GUI thread.
    static void settle(const LibraryAuthModel& model)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isAuthorizing(); }, 30000));
    }

    FakeAlertPresenter m_alerts;
    RecordingAdminRunner m_runner;
};

} // namespace

TEST_F(LibraryAuthModelTest, MissingSystemLibraryIsAuthorizedOnAWorkerThenRescanned)
{
    AppState state;
    LibraryAuthModel model(&state);
    EXPECT_EQ(model.status(PluginRoot::system).text, "正常") << "writable until checked";
    model.refreshSystemWritable();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.systemWritable(); }, 30000));
    auto system = model.status(PluginRoot::system);
    EXPECT_EQ(system.dot, Dot::red);
    EXPECT_EQ(system.text, "未授权");
    EXPECT_EQ(system.buttonText, "完成授权");
    EXPECT_TRUE(system.buttonEnabled);
    // polkit asks for the user's own password: no "boot password" outside macOS.
    EXPECT_FALSE(system.tooltip.contains("开机密码")) << system.tooltip.toStdString();
    EXPECT_FALSE(model.status(PluginRoot::user).offersAuthorization);

    // The user cancels the prompt.
    m_runner.queueOutcome({true, 1, {}, "User canceled."});
    model.authorizeSystem();
    system = model.status(PluginRoot::system);
    EXPECT_EQ(system.buttonText, "授权中…");
    EXPECT_FALSE(system.buttonEnabled);
    model.authorizeSystem(); // a second click while the prompt is open
    settle(model);
    EXPECT_EQ(m_runner.commands().size(), 1);
    EXPECT_EQ(model.authError(), QString(LibraryAuthModel::authFailedText));
    EXPECT_EQ(model.status(PluginRoot::system).buttonText, "完成授权");
    EXPECT_FALSE(state.isScanning());

    // The next attempt creates the library, clears the line and rescans.
    m_runner.setExecuteLocally(true);
    model.authorizeSystem();
    EXPECT_EQ(model.authError(), std::nullopt);
    settle(model);
    EXPECT_TRUE(QDir(TestEnv::systemLibrary()).exists());
    EXPECT_TRUE(model.systemWritable());
    EXPECT_EQ(model.status(PluginRoot::system).text, "正常");
    EXPECT_EQ(model.status(PluginRoot::system).tooltip, "目录可读可写");
    EXPECT_TRUE(state.isScanning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !state.isScanning(); }, 30000));
}

// Without pkexec nobody could have refused: the pane says the system cannot ask at all.
TEST_F(LibraryAuthModelTest, ARunnerThatCannotStartIsToldApartFromARefusal)
{
    LibraryAuthModel model(nullptr);
    m_runner.queueOutcome({false, -1, "execve: No such file or directory", {}});
    model.authorizeSystem();
    settle(model);
    EXPECT_EQ(model.authError(), QString("系统没有可用的管理员身份验证工具（pkexec），无法获得管理员授权。"));
    EXPECT_EQ(m_runner.commands().size(), 1);

    m_runner.queueOutcome({true, 126, {}, "Not authorized"});
    model.authorizeSystem();
    settle(model);
    EXPECT_EQ(model.authError(), QString(LibraryAuthModel::authFailedText));
}

// Linux has no /Library: the system library is named by the folder in use.
TEST_F(LibraryAuthModelTest, TheSystemLibraryIsNamedByTheFolderInUse)
{
    EXPECT_EQ(LibraryAuthModel::locationText(PluginRoot::system), TestEnv::systemLibrary());
    EXPECT_EQ(LibraryAuthModel::locationText(PluginRoot::user), "~/Movies/…");
    RecordingAdminRunner mac(AdminRunner::Flavor::macOS);
    // Shortened as on a Mac, but of the folder in use.
    EXPECT_EQ(LibraryAuthModel::locationText(PluginRoot::system), "/" + TestEnv::systemLibrary().section('/', 1, 1) + "/…");
}

TEST_F(LibraryAuthModelTest, ScanErrorShowsUnavailableWithTheErrorAsTooltip)
{
    // A missing user library fails its scan.
    AppState state;
    LibraryAuthModel model(&state);
    state.refresh();
    ASSERT_TRUE(QTest::qWaitFor([&] { return state.scanErrors().contains(PluginRoot::user); }, 30000));
    const auto user = model.status(PluginRoot::user);
    const QString error = state.scanErrors().value(PluginRoot::user);
    EXPECT_EQ(user.dot, Dot::orange);
    EXPECT_EQ(user.text, "不可用（" + error + "）");
    EXPECT_EQ(user.tooltip, error);
}
