#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include "engine/AdminAuth.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

namespace {

class AdminAuthTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
    }
};

// What /bin/sh makes of a quoted word: the word must come back unchanged.
QString shellEcho(const QString& word)
{
    QProcess sh;
    sh.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QStringLiteral("printf %s ") + word});
    sh.waitForFinished();
    return QString::fromUtf8(sh.readAllStandardOutput());
}

} // namespace

TEST_F(AdminAuthTest, QuotingKeepsEveryPathOneLiteralWord)
{
    const QStringList paths{
        QStringLiteral("/Library/Plug's"),
        QStringLiteral("/tmp/a \"b\" c"),
        QStringLiteral("/tmp/back\\slash"),
        QStringLiteral("/tmp/$(touch pwned)`id`$HOME"),
        QStringLiteral("/tmp/new\nline"),
        QStringLiteral("/tmp/'''"),
    };
    for (const QString& path : paths) {
        SCOPED_TRACE(path.toStdString());
        EXPECT_EQ(shellEcho(AdminAuth::quote(path)), path);
    }
    EXPECT_EQ(AdminAuth::quote("/a'b"), "'/a'\\''b'");
}

TEST_F(AdminAuthTest, AppleScriptEscapesBackslashesThenQuotes)
{
    EXPECT_EQ(AdminAuth::appleScript(AdminAuth::removeCommand("/x/Plug's")),
              "do shell script \"rm -rf '/x/Plug'\\\\''s'\" with administrator privileges");
    EXPECT_EQ(AdminAuth::appleScript("echo \"a\\b\""),
              "do shell script \"echo \\\"a\\\\b\\\"\" with administrator privileges");
}

TEST_F(AdminAuthTest, CommandsAreBuiltAsTheLibraryExpects)
{
    EXPECT_EQ(AdminAuth::createDirectoryCommand("/L/Effects.localized"),
              "mkdir -p '/L/Effects.localized' && chmod -R 777 '/L/Effects.localized'");
    EXPECT_EQ(AdminAuth::prepareRootCommand("/L"),
              "mkdir -p '/L' && mkdir -p '/L/Effects.localized' && mkdir -p '/L/Titles.localized'"
              " && mkdir -p '/L/Generators.localized' && mkdir -p '/L/Transitions.localized'"
              " && chmod -R 777 '/L'");
    EXPECT_EQ(AdminAuth::replaceCommand("/s", "/d", AdminRunner::Flavor::macOS),
              "rm -rf '/d' && ditto '/s' '/d'");
    EXPECT_EQ(AdminAuth::replaceCommand("/s", "/d", AdminRunner::Flavor::linux),
              "rm -rf '/d' && cp -a '/s' '/d'");
}

TEST_F(AdminAuthTest, ExplanationIsShownOncePerRunAfterAgreement)
{
    FakeAlertPresenter alerts;
    RecordingAdminRunner runner;
    alerts.queueAnswers({false, true});

    EXPECT_FALSE(AdminAuth::adminRemove("/x/a"));
    EXPECT_TRUE(runner.commands().isEmpty()) << "declined: nothing may run";
    EXPECT_TRUE(AdminAuth::adminRemove("/x/b"));
    EXPECT_TRUE(AdminAuth::adminRemove("/x/c"));

    ASSERT_EQ(alerts.questions().size(), 2);
    EXPECT_EQ(alerts.questions()[0].title, "需要管理员授权");
    EXPECT_EQ(alerts.questions()[0].primary, "继续");
    EXPECT_EQ(runner.commands(), QStringList({"rm -rf '/x/b'", "rm -rf '/x/c'"}));
}

TEST_F(AdminAuthTest, RequestPermissionCoversOnlyExistingFolders)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    const QString root = TestEnv::systemLibrary();

    EXPECT_FALSE(AdminAuth::requestPermission(root)) << "nothing exists: no command";
    EXPECT_TRUE(runner.commands().isEmpty());

    QDir().mkpath(root);
    EXPECT_TRUE(AdminAuth::requestPermission(root));
    QDir().mkpath(root + "/Titles.localized");
    EXPECT_TRUE(AdminAuth::requestPermission(root));
    EXPECT_EQ(runner.commands(),
              QStringList({"chmod -R 777 " + AdminAuth::quote(root),
                           "chmod -R 777 " + AdminAuth::quote(root) + " && chmod -R 777 "
                               + AdminAuth::quote(root + "/Titles.localized")}));
}

TEST_F(AdminAuthTest, FailedOrUnstartableRunnerIsFalse)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.queueOutcome({false, -1, "no such program", {}});
    runner.queueOutcome({true, 1, {}, "User canceled."});
    EXPECT_FALSE(AdminAuth::prepareRoot("/nowhere/L"));
    EXPECT_FALSE(AdminAuth::adminCreateDirectory("/nowhere/L"));
    EXPECT_TRUE(AdminAuth::adminCreateDirectory("/nowhere/L"));
}

TEST_F(AdminAuthTest, PrepareRootAndReplaceDoWhatTheyBuild)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    const QString root = TestEnv::systemLibrary();

    ASSERT_TRUE(AdminAuth::prepareRoot(root));
    EXPECT_EQ(runner.commands().size(), 1) << "one administrator run";
    for (const char* category : {"Effects.localized", "Titles.localized", "Generators.localized",
                                 "Transitions.localized"})
        EXPECT_TRUE(QFileInfo(root + "/" + category).isDir()) << category;

    const QString source = TestEnv::root() + "/staged it's";
    QDir().mkpath(source + "/Media");
    QFile f(source + "/Media/a.txt");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("new");
    f.close();
    const QString destination = root + "/Effects.localized/Glow";
    QDir().mkpath(destination + "/old");
    ASSERT_TRUE(AdminAuth::adminReplace(source, destination));
    EXPECT_FALSE(QFileInfo::exists(destination + "/old"));
    EXPECT_TRUE(QFileInfo::exists(destination + "/Media/a.txt"));
}

TEST_F(AdminAuthTest, IsWritableLeavesNothingBehind)
{
    EXPECT_FALSE(AdminAuth::isWritable(TestEnv::root() + "/missing"));
    const QString folder = TestEnv::root() + "/w";
    QDir().mkpath(folder);
    EXPECT_TRUE(AdminAuth::isWritable(folder));
    EXPECT_TRUE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}
