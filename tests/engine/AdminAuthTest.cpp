#include <gtest/gtest.h>

#include <optional>

#include <stdio.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/core/FsPath.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
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

// The identity of the item at `path` now, as a caller records it when the user asks.
SafeFS::Identity identityOf(const QString& path)
{
    SafeFS::Identity identity;
    EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(path), identity), 0) << path.toStdString();
    return identity;
}

// A remove command as the tests compare it: the helper, the operation, the root, the folder and
// the item's name (the room and the identities are this run's own).
QStringList shape(const QStringList& command)
{
    EXPECT_TRUE(SafeFS::isHiddenForm(FsPath::toBytes(command.value(5)))) << command.join(" ").toStdString();
    return command.mid(0, 5);
}

QList<QStringList> shapes(const QList<QStringList>& commands)
{
    QList<QStringList> out;
    for (const QStringList& command : commands)
        out.append(shape(command));
    return out;
}

AdminAuth::Item itemAt(const QString& path)
{
    AdminAuth::Item item;
    item.folder = QFileInfo(path).path();
    item.name = QFileInfo(path).fileName();
    item.identity = {1, 2, 3};
    item.room = ".x.loomwork-removing-0000000000000000";
    item.roomIdentity = {4, 5, 6};
    return item;
}

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
    EXPECT_EQ(AdminAuth::appleScript("/opt/loomwork-admin remove " + AdminAuth::quote("/x/Plug's")),
              "do shell script \"/opt/loomwork-admin remove '/x/Plug'\\\\''s'\" with administrator privileges");
    EXPECT_EQ(AdminAuth::appleScript("echo \"a\\b\""),
              "do shell script \"echo \\\"a\\\\b\\\"\" with administrator privileges");
}

// Our helper by its absolute path, the library's root (links above it resolved), the folder
// inside it and the names and identities recorded, as separate arguments: no shell ever reads a
// path, and the helper acts on nothing but what was recorded.
TEST_F(AdminAuthTest, CommandsNameTheHelperTheRootAndWhatWasRecorded)
{
    const QString helper = AdminRunner::helperPath();
    EXPECT_TRUE(QFileInfo(helper).isAbsolute());
    EXPECT_TRUE(QFileInfo(helper).isExecutable()) << helper.toStdString();
    const QString root = TestEnv::systemLibrary();
    // The library does not exist yet: what is missing is taken as written.
    const QString real = QFileInfo(TestEnv::root()).canonicalFilePath() + "/SystemLibrary/Templates.localized";
    ASSERT_EQ(TestEnv::systemLibrary(), TestEnv::root() + "/SystemLibrary/Templates.localized");
    const QString uid = QString::number(::geteuid());
    AdminAuth::Item glow = itemAt(root + "/Effects.localized/Gl'ow $HOME");
    EXPECT_EQ(AdminAuth::removeCommand(glow),
              QStringList({helper, "remove", real, "Effects.localized", "Gl'ow $HOME", glow.room, "4:5:6", "1:2:3", uid}));
    glow.inRoom = true;
    glow.shownName = "Glow";
    EXPECT_EQ(AdminAuth::removeCommand(glow), QStringList({helper, "remove-in-room", real, "Effects.localized", glow.room,
                                                           "4:5:6", "Gl'ow $HOME", "1:2:3", "Glow", uid}));
    glow.inRoom = false;
    EXPECT_EQ(AdminAuth::createDirectoryCommand(root + "/Effects.localized"),
              QStringList({helper, "mkdir", real, "Effects.localized"}));
    EXPECT_EQ(AdminAuth::prepareRootCommand(root), QStringList({helper, "prepare-root", real}));
    EXPECT_EQ(AdminAuth::requestPermissionCommand(root), QStringList({helper, "permit", real}));
    EXPECT_EQ(AdminAuth::replaceCommand("/s", glow), QStringList({helper, "replace", real, "Effects.localized",
                                                                  "Gl'ow $HOME", "/s", glow.room, "4:5:6", "1:2:3", uid}));
    // The owner the user was told goes last, where one was: the helper leaves any other owner's.
    struct Told {
        bool inRoom;
        std::optional<uid_t> owner;
        QStringList expected;
    };
    const Told told[] = {
        {false, 4242u, {helper, "remove", real, "Effects.localized", "Gl'ow $HOME", glow.room, "4:5:6", "1:2:3", uid, "4242"}},
        {true, 0u, {helper, "remove-in-room", real, "Effects.localized", glow.room, "4:5:6", "Gl'ow $HOME", "1:2:3", "Glow", uid, "0"}},
        {false, std::nullopt, {helper, "remove", real, "Effects.localized", "Gl'ow $HOME", glow.room, "4:5:6", "1:2:3", uid}},
    };
    for (const Told& c : told) {
        AdminAuth::Item item = glow;
        item.inRoom = c.inRoom;
        item.shownName = "Glow";
        item.owner = c.owner;
        EXPECT_EQ(AdminAuth::removeCommand(item), c.expected);
    }
    AdminAuth::Item owned = glow;
    owned.owner = 4343u;
    EXPECT_EQ(AdminAuth::replaceCommand("/s", owned), QStringList({helper, "replace", real, "Effects.localized", "Gl'ow $HOME",
                                                                   "/s", glow.room, "4:5:6", "1:2:3", uid, "4343"}));
    EXPECT_TRUE(AdminAuth::removeCommand(itemAt("/elsewhere/x")).isEmpty());
    EXPECT_TRUE(AdminAuth::removeCommand(itemAt(root + "/x")).isEmpty()) << "never in the library's own folder";
    AdminAuth::Item roomless = itemAt(root + "/Effects.localized/x");
    roomless.room.clear();
    EXPECT_TRUE(AdminAuth::removeCommand(roomless).isEmpty()) << "never without a room";
}

TEST_F(AdminAuthTest, ExplanationIsShownOncePerRunAfterAgreement)
{
    FakeAlertPresenter alerts;
    RecordingAdminRunner runner;
    alerts.queueAnswers({false, true});

    const QString folder = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    for (const char* name : {"a", "b", "c", "d"})
        QDir().mkpath(folder + "/" + name);
    const auto remove = [&](const char* name) {
        return AdminAuth::adminRemove(folder + "/" + name, identityOf(folder + "/" + name));
    };
    EXPECT_FALSE(remove("a"));
    EXPECT_TRUE(runner.commands().isEmpty()) << "declined: nothing may run";
    EXPECT_TRUE(remove("b"));
    EXPECT_TRUE(remove("c"));

    ASSERT_EQ(alerts.questions().size(), 2);
    EXPECT_EQ(alerts.questions()[0].title, "需要管理员授权");
    EXPECT_EQ(alerts.questions()[0].primary, "继续");
    EXPECT_EQ(shapes(runner.commands()), shapes({AdminAuth::removeCommand(itemAt(folder + "/b")),
                                                 AdminAuth::removeCommand(itemAt(folder + "/c"))}));
    // Each system's own window: polkit asks for the user's password, macOS's names osascript.
    EXPECT_FALSE(alerts.questions()[0].message.contains("osascript"));
    EXPECT_TRUE(alerts.questions()[0].message.contains("身份验证窗口"));
    // Linux has no /Library: the folder in use is named.
    const QString root = TestEnv::systemLibrary();
    EXPECT_TRUE(alerts.questions()[0].message.contains("系统FCPX插件目录（" + root + "）"))
        << alerts.questions()[0].message.toStdString();
    EXPECT_FALSE(alerts.questions()[0].message.contains("/Library/…"));
    AdminAuth::resetExplanation();
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner mac(AdminRunner::Flavor::macOS);
    EXPECT_TRUE(remove("d"));
    EXPECT_TRUE(alerts.questions().last().message.endsWith(
        "系统弹窗标题显示为「osascript」属于正常现象，输入开机密码点「好」即可；授权一次后一般不再询问。"));
}

// A link above the library is resolved once: the command runs on the real path.
TEST_F(AdminAuthTest, ALinkAboveTheLibraryIsResolvedBeforeAnyCommand)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/real/lib/Effects.localized/Glow");
    QDir().mkpath(dir.path() + "/real/lib/Effects.localized/Glow 2");
    ASSERT_TRUE(QFile::link(dir.path() + "/real", dir.path() + "/link"));
    const QString real = QFileInfo(dir.path() + "/real").canonicalFilePath() + "/lib/Effects.localized";
    const QByteArray saved = qgetenv("LOOMWORK_SYSTEM_LIBRARY");
    qputenv("LOOMWORK_SYSTEM_LIBRARY", QFile::encodeName(dir.path() + "/link/lib"));
    EXPECT_TRUE(AdminAuth::adminRemove(dir.path() + "/link/lib/Effects.localized/Glow", identityOf(real + "/Glow")));
    EXPECT_TRUE(AdminAuth::adminRemove(real + "/Glow 2", identityOf(real + "/Glow 2")));
    EXPECT_EQ(AdminAuth::writeRefusal(real + "/Glow"), QString());
    QDir(real + "/Glow").removeRecursively();
    ASSERT_TRUE(QFile::link(dir.path(), real + "/Glow"));
    EXPECT_NE(AdminAuth::writeRefusal(dir.path() + "/link/lib/Effects.localized/Glow/x"), QString());
    const QList<QStringList> expected{shape(AdminAuth::removeCommand(itemAt(real + "/Glow"))),
                                      shape(AdminAuth::removeCommand(itemAt(real + "/Glow 2")))};
    qputenv("LOOMWORK_SYSTEM_LIBRARY", saved);
    EXPECT_EQ(shapes(runner.commands()), expected);
    EXPECT_EQ(expected[0].value(2), QFileInfo(dir.path() + "/real").canonicalFilePath() + "/lib");
}

TEST_F(AdminAuthTest, RequestPermissionOpensTheWholeExistingLibrary)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    const QString root = TestEnv::systemLibrary();

    EXPECT_FALSE(AdminAuth::requestPermission(root)) << "nothing exists: no command";
    EXPECT_TRUE(runner.commands().isEmpty());

    PluginFixtures::writeBytes(root + "/Titles.localized/Glow/a.txt", "a");
    QFile::setPermissions(root + "/Titles.localized/Glow/a.txt", QFile::ReadOwner);
    EXPECT_TRUE(AdminAuth::requestPermission(root));
    EXPECT_EQ(runner.commands(), QList<QStringList>{AdminAuth::requestPermissionCommand(root)});
    for (const QString& path : {root, root + "/Titles.localized", root + "/Titles.localized/Glow/a.txt"}) {
        struct stat st {};
        ASSERT_EQ(::lstat(QFile::encodeName(path).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0777u) << path.toStdString();
    }
}

TEST_F(AdminAuthTest, FailedOrUnstartableRunnerIsFalse)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.queueOutcome({false, -1, "no such program", {}});
    runner.queueOutcome({true, 1, {}, "User canceled."});
    const QString root = TestEnv::systemLibrary();
    EXPECT_FALSE(AdminAuth::prepareRoot(root));
    EXPECT_EQ(AdminAuth::lastFailure(), AdminAuth::Failure::notLaunched) << "no way to ask, told apart";
    EXPECT_FALSE(AdminAuth::adminCreateDirectory(root + "/L"));
    EXPECT_EQ(AdminAuth::lastFailure(), AdminAuth::Failure::failed);
    EXPECT_TRUE(AdminAuth::adminCreateDirectory(root + "/L"));
    EXPECT_EQ(AdminAuth::lastFailure(), AdminAuth::Failure::none);
}

// The library is open to everyone, so any folder in it may be a link planted by another user.
TEST_F(AdminAuthTest, CommandsRunOnlyInsideTheLibraryAndThroughNoLink)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    const QString root = TestEnv::systemLibrary();
    QTemporaryDir elsewhere;
    QDir().mkpath(root + "/Titles.localized/Glow");
    ASSERT_TRUE(QFile::link(elsewhere.path(), root + "/Effects.localized"));
    ASSERT_TRUE(QFile::link(elsewhere.path(), root + "/Titles.localized/Alias"));
    const QString outside = QStringLiteral("路径不在系统插件库内：");
    const std::pair<QString, QString> cases[] = {
        {root + "/Titles.localized/Glow", {}},
        // The helper removes a link as a link: only the folders on the way may not be links.
        {root + "/Titles.localized/Alias", {}},
        {root + "/Titles.localized/Alias/Inner", "路径经过符号链接：" + root + "/Titles.localized/Alias"},
        {root + "/Effects.localized/Glow", "路径经过符号链接：" + root + "/Effects.localized"},
        {root + "/Titles.localized/../../x", outside + root + "/Titles.localized/../.."},
        {root + "-other/x", outside + root + "-other"},
    };
    for (const auto& [path, refusal] : cases) {
        SCOPED_TRACE(path.toStdString());
        const qsizetype before = runner.commands().size();
        EXPECT_EQ(AdminAuth::adminRemove(path, {7, 8, 9}), refusal.isEmpty());
        EXPECT_EQ(runner.commands().size() - before, refusal.isEmpty() ? 1 : 0);
        if (!refusal.isEmpty()) {
            EXPECT_EQ(alerts.questions().last().title, "已拒绝管理员操作");
            EXPECT_EQ(alerts.questions().last().message.section('\n', 0, 0), refusal);
        }
    }

    QDir(root).removeRecursively();
    ASSERT_TRUE(QFile::link(elsewhere.path(), root));
    EXPECT_FALSE(AdminAuth::prepareRoot(root)) << "not even the library's own chmod through a link";
    EXPECT_FALSE(AdminAuth::requestPermission(root));
    EXPECT_EQ(runner.commands().size(), 2);
}

TEST_F(AdminAuthTest, PkexecIsNeverLookedUpThroughPath)
{
    QTemporaryDir bin;
    PluginFixtures::writeBytes(bin.path() + "/pkexec", "#!/bin/sh\ntouch \"$0.ran\"\n");
    QFile::setPermissions(bin.path() + "/pkexec", QFile::ReadOwner | QFile::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()) + ":" + path);
    const auto outcome = ProcessAdminRunner().run({"/bin/true"}, true);
    qputenv("PATH", path);
    EXPECT_FALSE(QFileInfo::exists(bin.path() + "/pkexec.ran"));
    if (!QFileInfo::exists("/usr/bin/pkexec") && !QFileInfo::exists("/bin/pkexec")) {
        EXPECT_FALSE(outcome.launched) << "no pkexec: a launch failure, not a refusal";
    }
}

// The owner the user was told reaches the helper, which leaves an item of another owner; the
// user hears which plug-in, whose it is now and whose he was told, and the failure is its own.
TEST_F(AdminAuthTest, AnItemOfAnotherOwnerThanTheOneToldIsLeftAndNamed)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give the plug-in to another user";
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    const QString effects = TestEnv::systemLibrary() + "/Effects.localized";
    struct Case {
        const char* name;
        bool replace;
        std::optional<uid_t> told;
        bool done;
    };
    const Case cases[] = {
        {"remove, told another owner", false, 4242u, false},
        {"remove, told its owner", false, 4343u, true},
        {"remove, told nothing", false, std::nullopt, true},
        {"replace, told another owner", true, 4242u, false},
        {"replace, told its owner", true, 4343u, true},
    };
    const QString source = PackageMaker::makeFolder(TestEnv::root() + "/staged", "Glow", {{"new.txt", "new"}});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        QDir(effects + "/Glow").removeRecursively();
        PackageMaker::makeFolder(effects, "Glow", {{"old.txt", "old"}});
        ASSERT_EQ(::chown(QFile::encodeName(effects + "/Glow").constData(), 4343, 4343), 0);
        const SafeFS::Identity glow = identityOf(effects + "/Glow");
        bool done = false;
        if (c.replace) {
            done = AdminAuth::adminReplace(source, effects + "/Glow", glow, c.told);
        } else {
            AdminAuth::Item item = itemAt(effects + "/Glow");
            item.identity = glow;
            item.room.clear();
            item.owner = c.told;
            done = AdminAuth::adminRemove(item);
        }
        EXPECT_EQ(done, c.done);
        const QString expected = c.done ? QString()
            : "「Glow」现在属于用户「UID 4343」，不是确认时告知的「UID 4242」，管理员没有删除或替换它：" + effects + "/Glow";
        EXPECT_EQ(AdminAuth::lastNotes().join('\n'), expected);
        EXPECT_EQ(AdminAuth::lastFailure(), c.done ? AdminAuth::Failure::none : AdminAuth::Failure::notTheOwner);
        if (!c.done)
            EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), (QMap<QString, QByteArray>{{"old.txt", "old"}}));
        else if (c.replace)
            EXPECT_EQ(PackageMaker::readTree(effects + "/Glow"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
        else
            EXPECT_FALSE(QFileInfo::exists(effects + "/Glow"));
        EXPECT_EQ(PackageMaker::namesIn(effects), c.done && !c.replace ? QStringList() : QStringList{"Glow"});
    }
    QDir(TestEnv::root() + "/staged").removeRecursively();
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

// The helper moves the item (or makes its copy) into a room of ours that our journal names,
// with the item, before it runs; a helper stopped halfway leaves it there, and recovery puts it
// right by what was recorded: the removal finished, the replace's copy gone or, once in place,
// the replace finished.
TEST_F(AdminAuthTest, WhatAStoppedHelperLeftIsPutRightByTheJournal)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    const QString category = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    PluginFixtures::writeBytes(category + "/Glow/a.txt", "a");
    PluginFixtures::writeBytes(category + "/Keep/a.txt", "a");
    // The room the entry names, as the command gives it.
    const auto roomOf = [&](int command) { return runner.commands().value(command).value(command == 0 ? 5 : 6); };
    // The helper's first step, then it is stopped: the item in the room.
    runner.setBeforeRun([&] { QDir().rename(category + "/Glow", category + "/" + roomOf(0) + "/Glow"); });
    runner.queueOutcome({true, -1, {}, {}});
    AdminAuth::Item glow;
    glow.folder = category;
    glow.name = "Glow";
    glow.identity = identityOf(category + "/Glow");
    EXPECT_FALSE(AdminAuth::adminRemove(glow));
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList({roomOf(0), "Keep"}));
    // Where it really is now, not the name it was asked for.
    const QString note = AdminAuth::leftoverNote(glow);
    EXPECT_TRUE(note.contains("留在：" + category + "/" + roomOf(0) + "/Glow")) << note.toStdString();
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList({"Keep"}));

    // A replace's copy stopped halfway goes, and the old item stays.
    runner.setBeforeRun([&] { PluginFixtures::writeBytes(category + "/" + roomOf(1) + "/incoming/half.txt", "half"); });
    runner.queueOutcome({true, -1, {}, {}});
    EXPECT_FALSE(AdminAuth::adminReplace(TestEnv::root() + "/source", category + "/Keep"));
    EXPECT_TRUE(QFileInfo::exists(category + "/" + roomOf(1) + "/incoming/half.txt"));
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList({"Keep"}));
    EXPECT_TRUE(QFileInfo::exists(category + "/Keep/a.txt"));
    EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());

    // Stopped after its exchange: the whole copy stands, the replace is done, and what is left
    // of the old copy is the journal's to remove.
    runner.setBeforeRun([&] {
        const QString incoming = category + "/" + roomOf(2) + "/incoming";
        PluginFixtures::writeBytes(incoming + "/new.txt", "new");
        ASSERT_EQ(::renameat2(AT_FDCWD, QFile::encodeName(incoming).constData(), AT_FDCWD,
                              QFile::encodeName(category + "/Keep").constData(), RENAME_EXCHANGE), 0);
    });
    runner.queueOutcome({true, -1, {}, {}});
    EXPECT_TRUE(AdminAuth::adminReplace(TestEnv::root() + "/source", category + "/Keep"));
    EXPECT_TRUE(AdminAuth::lastNotes().join("").contains("下次启动时会再请求授权")) << AdminAuth::lastNotes().join("").toStdString();
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList({"Keep"}));
    EXPECT_EQ(PackageMaker::readTree(category + "/Keep"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
    EXPECT_TRUE(QDir(AppJournal::folder()).isEmpty());
}

// A name is bytes: one that is not UTF-8 reaches the helper whole, as hexadecimal.
TEST_F(AdminAuthTest, NamesThatAreNotUtf8ReachTheHelperByteForByte)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    const QString category = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    const QString odd = category + "/" + FsPath::fromBytes("Gl\xffow");
    const QString near = category + "/" + FsPath::fromBytes("Gl\xef\xbf\xbdow"); // what UTF-8 would make of it
    ASSERT_EQ(::mkdir(FsPath::toNative(odd).c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(FsPath::toNative(near).c_str(), 0755), 0);
    EXPECT_TRUE(AdminAuth::adminRemove(odd, identityOf(odd)));
    EXPECT_EQ(runner.commands().value(0).value(1), "--hex");
    EXPECT_FALSE(FileOps::current().exists(odd));
    EXPECT_TRUE(FileOps::current().exists(near));
    EXPECT_TRUE(AdminAuth::adminRemove(near, identityOf(near)));
    EXPECT_EQ(runner.commands().value(1).value(1), "remove") << "UTF-8 names go as they are";
    EXPECT_FALSE(FileOps::current().exists(near));
}

TEST_F(AdminAuthTest, IsWritableLeavesNothingBehind)
{
    EXPECT_FALSE(AdminAuth::isWritable(TestEnv::root() + "/missing"));
    const QString folder = TestEnv::root() + "/w";
    QDir().mkpath(folder);
    EXPECT_TRUE(AdminAuth::isWritable(folder));
    EXPECT_TRUE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

// The administrator's step goes from the journal only once the library's disk has it: a sync
// that fails keeps its entry (for the next recovery, which then drops it once a sync
// succeeds); one that succeeds lets it go.
TEST_F(AdminAuthTest, AnAdministratorsEntryGoesOnlyAfterTheLibrarysSync)
{
    FakeAlertPresenter alerts;
    alerts.setDefaultAnswer(true);
    RecordingAdminRunner runner;
    const QString category = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    const struct {
        const char* why;
        int syncError;
        qsizetype entries;
    } cases[] = {{"the sync succeeds", 0, 0}, {"the disk reports a write error", EIO, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        PluginFixtures::writeBytes(category + "/Glow/a.txt", "a");
        // The helper's work: the plug-in moved into the room and removed there.
        runner.setBeforeRun([&] { QDir(category + "/Glow").removeRecursively(); });
        int syncs = 0;
        const SafeFS::SyncHook previous = SafeFS::setSyncHookForTests([&](int) {
            ++syncs;
            return c.syncError;
        });
        const bool removed = AdminAuth::adminRemove(category + "/Glow", identityOf(category + "/Glow"));
        SafeFS::setSyncHookForTests(previous);
        EXPECT_TRUE(removed);
        EXPECT_GT(syncs, 0);
        EXPECT_EQ(QDir(AppJournal::folder()).entryList({"*.entry"}, QDir::Files).size(), c.entries);
        EXPECT_EQ(PackageMaker::namesIn(category), QStringList());
        AppJournal::recover();
        // Whatever recovery hands to the pool (an offer to the administrator) uses this test's
        // fakes: done before they go.
        WorkerThread::waitForAll();
        EXPECT_TRUE(QDir(AppJournal::folder()).entryList({"*.entry"}, QDir::Files).isEmpty());
    }
}
