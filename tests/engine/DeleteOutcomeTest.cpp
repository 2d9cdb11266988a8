#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>

#include <SafeFS/Identity.h>
#include "engine/core/WorkerThread.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/FsPath.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

// What a delete says is what stands on disk: a plug-in that left the library counts as
// deleted, with where its remains wait when they could not all go; one still standing does
// not; and a journal entry goes as soon as nothing it names is left.
namespace {

constexpr ZFCPluginType effect{ZFCPluginType::effect};

class DeleteOutcomeTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        m_alerts.setDefaultAnswer(true);
        m_category = PluginFixtures::categoryFolder(PluginRoot::system, effect);
        QDir().mkpath(m_category);
        ::chmod(QFile::encodeName(m_category).constData(), 0777);
    }
    void TearDown() override
    {
        WorkerThread::waitForAll();
        TestEnv::reset();
    }

    Plugin glow() const
    {
        Plugin plugin;
        plugin.name = "Glow";
        plugin.type = effect;
        plugin.root = PluginRoot::system;
        plugin.path = m_category + "/Glow";
        EXPECT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(plugin.path), plugin.identity), 0);
        return plugin;
    }

    struct Said {
        QString status;
        QString alert;
    };
    Said remove(const Plugin& plugin)
    {
        OperationsCenter center;
        center.remove({plugin});
        EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        QCoreApplication::processEvents();
        return {center.statusText(), center.alertMessage().value_or("")};
    }

    QStringList journalEntries() const { return QDir(AppJournal::folder()).entryList(QDir::Files); }
    QStringList hidden() const
    {
        return PackageMaker::namesIn(m_category).filter(QRegularExpression("^\\."));
    }

    FakeAlertPresenter m_alerts;
    QString m_category;
};

} // namespace

// Root's helper removes a plug-in we may not move ourselves: its journal entry goes with the
// delete, not at the next start.
TEST_F(DeleteOutcomeTest, AnAdministratorsDeleteSettlesItsEntryAtOnce)
{
    PackageMaker::makeFolder(m_category, "Glow", {{"a.txt", "a"}});
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    Said said;
    {
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::rename, "/Glow\n", EACCES); // we may not give it another parent
        said = remove(glow());
    }
    ASSERT_EQ(runner.commands().size(), 1);
    EXPECT_EQ(said.status, "已删除 1 个插件") << said.alert.toStdString();
    EXPECT_FALSE(QFileInfo::exists(m_category + "/Glow"));
    EXPECT_TRUE(journalEntries().isEmpty()) << journalEntries().join(", ").toStdString();
    EXPECT_TRUE(hidden().isEmpty()) << hidden().join(", ").toStdString();
}

// Root's helper acts on the recorded identity while a neighbour renames or exchanges the
// plug-in's name just before it runs: the count is decided by where that identity is, never
// by the helper's answer alone or by what the name holds.
TEST_F(DeleteOutcomeTest, AnAdministratorsDeleteCountsOnlyThePlugInThatWent)
{
    struct Case {
        const char* name;
        const char* movedTo; // where the neighbour renames "Glow" (exchanging with "Zed")
        const char* status;
    };
    const Case cases[] = {
        {"exchanged with another plug-in: the helper finds it is not the recorded item", "Zed", "已删除 0 个插件"},
        {"renamed away: the helper finds nothing at the name and answers 0", "Moved", "已删除 0 个插件"},
        // No name in its folder holds it now: only the handle held on it knows it still stands.
        {"moved into another folder: the helper finds nothing at the name", "Sub/Glow", "已删除 0 个插件"},
        {"left alone", nullptr, "已删除 1 个插件"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PackageMaker::makeFolder(m_category, "Glow", {{"a.txt", "ours"}});
        PackageMaker::makeFolder(m_category, "Zed", {{"z.txt", "theirs"}});
        QDir().mkpath(m_category + "/Sub");
        const Plugin plugin = glow();
        RecordingAdminRunner runner;
        runner.setExecuteLocally(true);
        const QString to = c.movedTo ? m_category + "/" + c.movedTo : QString();
        runner.setBeforeRun([&] {
            ASSERT_EQ(to.isEmpty() ? 0
                                   : ::renameat2(AT_FDCWD, QFile::encodeName(plugin.path).constData(), AT_FDCWD,
                                                 QFile::encodeName(to).constData(), to.endsWith("Zed") ? RENAME_EXCHANGE : 0),
                      0);
        });
        Said said;
        {
            FaultyFileOps files;
            files.failOn(FaultyFileOps::Op::rename, "/Glow\n", EACCES);
            said = remove(plugin);
        }
        EXPECT_EQ(said.status, c.status) << said.alert.toStdString();
        // The helper's refusal says why: no guess at rights or a busy file then.
        EXPECT_EQ(said.alert.contains("已被换成别的项目，未删除"), to.endsWith("Zed")) << said.alert.toStdString();
        EXPECT_EQ(said.alert.contains("权限或文件占用"), !to.isEmpty() && !to.endsWith("Zed")) << said.alert.toStdString();
        EXPECT_EQ(PackageMaker::readTree(to.isEmpty() ? plugin.path : to),
                  (QMap<QString, QByteArray>(c.movedTo ? QMap<QString, QByteArray>{{"a.txt", "ours"}} : QMap<QString, QByteArray>{})));
        EXPECT_TRUE(hidden().isEmpty()) << hidden().join(", ").toStdString();
        for (const QString& name : PackageMaker::namesIn(m_category))
            QDir(m_category + "/" + name).removeRecursively();
    }
}

// The helper moved the plug-in into our room and died: it left the library, so it counts as
// deleted; settling the entry at once takes what we may remove of it (here, as root, all).
TEST_F(DeleteOutcomeTest, AHelperThatDiedAfterTheMoveStillCountsTheDelete)
{
    PackageMaker::makeFolder(m_category, "Glow", {{"a.txt", "a"}});
    RecordingAdminRunner runner;
    runner.setBeforeRun([this] {
        const QStringList rooms = hidden().filter("loomwork-removing");
        ASSERT_EQ(rooms.size(), 1);
        ASSERT_TRUE(QDir().rename(m_category + "/Glow", m_category + "/" + rooms.first() + "/Glow"));
    });
    AdminRunner::Outcome died;
    died.launched = true;
    died.exitStatus = -1;
    runner.queueOutcome(died);
    Said said;
    {
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::rename, "/Glow\n", EACCES);
        said = remove(glow());
    }
    EXPECT_EQ(said.status, "已删除 1 个插件") << said.alert.toStdString();
    EXPECT_FALSE(said.alert.contains("权限或文件占用")) << said.alert.toStdString();
    EXPECT_FALSE(QFileInfo::exists(m_category + "/Glow"));
    EXPECT_TRUE(hidden().isEmpty()) << hidden().join(", ").toStdString();
    EXPECT_TRUE(journalEntries().isEmpty());
}

// Emptying fails after the plug-in went into the room (a tree deeper than any walk goes): it
// left the library and is said to be deleted, with where its remains wait, never blamed on
// rights or a busy file.
TEST_F(DeleteOutcomeTest, AnEmptyingThatStopsAfterTheMoveSaysWhereTheRestWaits)
{
    QString deep = "Glow";
    for (int level = 0; level < 140; ++level)
        deep += "/d";
    PackageMaker::makeFolder(m_category, deep, {{"f", "deep"}});
    const Said said = remove(glow());
    EXPECT_EQ(said.status, "已删除 1 个插件") << said.alert.toStdString();
    EXPECT_TRUE(said.alert.contains("「Glow」已移出插件库，但有文件未能删除")) << said.alert.toStdString();
    EXPECT_FALSE(said.alert.contains("权限或文件占用")) << said.alert.toStdString();
    EXPECT_FALSE(QFileInfo::exists(m_category + "/Glow"));
    EXPECT_FALSE(journalEntries().isEmpty()) << "kept, and told, until it can be put right";
    for (const QString& room : hidden())
        QDir(m_category + "/" + room).removeRecursively();
}

// An install over a plug-in we may not remove ourselves, whose removal by the administrator
// fails: installed, and the message says where the old copy waits.
TEST_F(DeleteOutcomeTest, AnOldCopyTheAdministratorDidNotRemoveIsSaid)
{
    PackageMaker::makeFolder(m_category, "Glow", {{"old.txt", "old"}});
    const QString package = TestEnv::root() + "/glow.zfcp";
    PackageMaker::pack(package, {{effect, "Glow", {{"new.txt", "new"}}}}, TestEnv::root() + "/work");
    RecordingAdminRunner runner;
    AdminRunner::Outcome failed;
    failed.launched = true;
    failed.exitStatus = 1;
    runner.queueOutcome(failed);
    InstallPlan plan;
    plan.root = PluginRoot::system;
    OperationsCenter center;
    {
        FaultyFileOps files;
        files.failOn(FaultyFileOps::Op::removeTree, ".loomwork-install-", EACCES);
        center.install({package}, plan);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        QCoreApplication::processEvents();
    }
    EXPECT_EQ(center.statusText(), "已安装 1 个插件");
    const QString alert = center.alertMessage().value_or("");
    EXPECT_TRUE(alert.contains("「Glow」的旧版本未能删除（管理员操作没有完成），留在：" + m_category + "/."))
        << alert.toStdString();
    const QStringList rooms = hidden();
    ASSERT_EQ(rooms.size(), 1);
    EXPECT_TRUE(alert.contains(rooms.first() + "/Glow")) << "where it really is";
    EXPECT_EQ(PackageMaker::readTree(m_category + "/" + rooms.first() + "/Glow"), (QMap<QString, QByteArray>{{"old.txt", "old"}}));
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Glow"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
}

// A restore over a plug-in that holds a third user's folder: restored, the folder left with
// what holds it under a free name, and the restore says where.
TEST_F(DeleteOutcomeTest, ARestoreSaysWhatItLeftOfTheOldPlugIn)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    PackageMaker::makeFolder(m_category, "Glow", {{"old.txt", "old"}, {"zsub/t.txt", "theirs"}});
    ASSERT_EQ(::chown(QFile::encodeName(m_category + "/Glow/zsub").constData(), 4242, 4242), 0);
    ASSERT_EQ(::chown(QFile::encodeName(m_category + "/Glow/zsub/t.txt").constData(), 4242, 4242), 0);
    const PluginBackup backup = BackupFixtures::writeBackup("20260101-Glow-BBBB", m_category + "/Glow", "汉化前备份",
                                                            QDateTime::currentDateTimeUtc());
    const QStringList notes = PluginBackupStore::restore(backup, glow());
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Glow"), (QMap<QString, QByteArray>{{"content.txt", "20260101-Glow-BBBB"}}));
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Glow 2/zsub"), (QMap<QString, QByteArray>{{"t.txt", "theirs"}}));
    EXPECT_TRUE(notes.join("\n").contains("其他用户的文件未删除：" + m_category + "/Glow 2/zsub")) << notes.join("\n").toStdString();
}
