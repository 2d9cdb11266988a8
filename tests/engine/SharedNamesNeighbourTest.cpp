#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTest>

#include <SafeFS/HiddenName.h>
#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "engine/backup/PluginBackupError.h"
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

// The system library is open to every local user with no sticky bit: a neighbour may rename or
// exchange any name in a category folder, even of a plug-in he cannot delete. Here he exchanges
// every name of our hidden form with "Keep", the owner's own plug-in, over and over while
// Loomwork works. Whatever the timing, Keep keeps every file (under whatever name he left it),
// and what Loomwork reports is what is on disk.
namespace {

constexpr int kTries = 20;

class HiddenNameSwapper
{
public:
    explicit HiddenNameSwapper(const QString& category) : m_category(QFile::encodeName(category)) {}
    ~HiddenNameSwapper() { stop(); }

    void start()
    {
        m_stop = false;
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                const QStringList names = QDir(QString::fromUtf8(m_category)).entryList(
                    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
                for (const QString& name : names) {
                    if (SafeFS::isHiddenForm(FsPath::toBytes(name)))
                        ::renameat2(AT_FDCWD, (m_category + "/" + QFile::encodeName(name)).constData(), AT_FDCWD,
                                    (m_category + "/Keep").constData(), RENAME_EXCHANGE);
                }
                std::this_thread::yield();
            }
        });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    QByteArray m_category;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class SharedNamesNeighbourTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        m_alerts.setDefaultAnswer(true);
        m_category = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
        QDir().mkpath(m_category);
        ::chmod(QFile::encodeName(m_category).constData(), 0777);
    }
    void TearDown() override
    {
        WorkerThread::waitForAll();
        TestEnv::reset();
    }

    void makeKeep() { PackageMaker::makeFolder(m_category, "Keep", {{"keep.txt", "the owner's"}, {"Sub/k", "k"}}); }

    // Keep, whole, under whichever name in the category it was left at.
    void expectKeepWhole(int attempt)
    {
        int found = 0;
        for (const QString& name : QDir(m_category).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (PackageMaker::readTree(m_category + "/" + name)
                == QMap<QString, QByteArray>{{"keep.txt", "the owner's"}, {"Sub", "<dir>"}, {"Sub/k", "k"}})
                ++found;
        }
        EXPECT_EQ(found, 1) << "try " << attempt << ": Keep lost or changed";
    }

    Plugin glow() const
    {
        Plugin plugin;
        plugin.name = "Glow";
        plugin.path = m_category + "/Glow";
        plugin.type = ZFCPluginType::effect;
        plugin.root = PluginRoot::system;
        return plugin;
    }

    // What recovery leaves once the neighbour is gone: nothing of ours.
    void expectNothingLeft(int attempt)
    {
        AppJournal::recover();
        SafeFS::Journal journal;
        ASSERT_EQ(AppJournal::open(journal), 0);
        EXPECT_TRUE(journal.entries().empty()) << "try " << attempt;
        QDir(m_category).removeRecursively();
        QDir().mkpath(m_category);
        ::chmod(QFile::encodeName(m_category).constData(), 0777);
    }

    FakeAlertPresenter m_alerts;
    QString m_category;
};

} // namespace

TEST_F(SharedNamesNeighbourTest, AnInstallOverAPluginNeverDeletesWhatWasSwappedIn)
{
    const QString package = TestEnv::root() + "/glow.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Glow", {{"new.txt", "new"}}}}, TestEnv::root() + "/work");
    InstallPlan plan;
    plan.root = PluginRoot::system;
    HiddenNameSwapper neighbour(m_category);
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        makeKeep();
        PackageMaker::makeFolder(m_category, "Glow", {{"old.txt", "old"}});
        OperationsCenter center;
        neighbour.start();
        center.install({package}, plan);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        neighbour.stop();
        QCoreApplication::processEvents();
        expectKeepWhole(attempt);
        if (center.statusText() == "已安装 1 个插件") {
            EXPECT_EQ(PackageMaker::readTree(m_category + "/Glow"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
        }
        expectNothingLeft(attempt);
    }
}

TEST_F(SharedNamesNeighbourTest, ARestoreNeverDeletesWhatWasSwappedIn)
{
    const auto backup = BackupFixtures::writeBackup("r", m_category + "/Glow", "汉化", QDateTime::currentDateTimeUtc());
    HiddenNameSwapper neighbour(m_category);
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        makeKeep();
        PackageMaker::makeFolder(m_category, "Glow", {{"old.txt", "old"}});
        neighbour.start();
        bool restored = true;
        try {
            PluginBackupStore::restore(backup, glow());
        } catch (const PluginBackupError&) {
            restored = false;
        }
        neighbour.stop();
        expectKeepWhole(attempt);
        if (restored) {
            EXPECT_EQ(PackageMaker::readTree(m_category + "/Glow"), (QMap<QString, QByteArray>{{"content.txt", "r"}}));
        }
        expectNothingLeft(attempt);
    }
}

// The delete, by us and (where we may not move the plug-in) by the administrator's helper run
// for real: Keep is never taken for the plug-in.
TEST_F(SharedNamesNeighbourTest, ADeleteNeverDeletesWhatWasSwappedIn)
{
    RecordingAdminRunner runner;
    runner.setExecuteLocally(true);
    HiddenNameSwapper neighbour(m_category);
    for (const bool administrator : {false, true}) {
        SCOPED_TRACE(administrator ? "administrator" : "ourselves");
        for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
            makeKeep();
            PackageMaker::makeFolder(m_category, "Glow", {{"old.txt", "old"}});
            FaultyFileOps files;
            if (administrator)
                files.failOn(FaultyFileOps::Op::rename, "/Glow\n", EACCES);
            OperationsCenter center;
            neighbour.start();
            center.remove({glow()});
            ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
            neighbour.stop();
            QCoreApplication::processEvents();
            expectKeepWhole(attempt);
            if (center.statusText() == "已删除 1 个插件") {
                EXPECT_FALSE(QFileInfo::exists(m_category + "/Glow")) << "reported deleted, must be gone";
            }
            expectNothingLeft(attempt);
        }
    }
}

// A third user's folder moved into the plug-in being deleted (his top folder open to all, as
// the library's authorisation leaves it, a folder of his own inside): left where he can find
// it, named, and the delete is not reported done.
TEST_F(SharedNamesNeighbourTest, ADeleteLeavesAnotherUsersFolderInsideAndNamesIt)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a folder to another user";
    PackageMaker::makeFolder(m_category, "Glow", {{"old.txt", "old"}, {"Theirs/Own/t.txt", "theirs"}});
    for (const char* folder : {"/Glow/Theirs", "/Glow/Theirs/Own"})
        ASSERT_EQ(::chown(QFile::encodeName(m_category + folder).constData(), 4242, 4242), 0);
    ::chmod(QFile::encodeName(m_category + "/Glow/Theirs").constData(), 0777);
    OperationsCenter center;
    center.remove({glow()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
    QCoreApplication::processEvents();
    EXPECT_EQ(center.statusText(), "已删除 0 个插件");
    const QString message = center.alertMessage().value_or("");
    EXPECT_TRUE(message.contains("其他用户的文件未删除：" + m_category + "/Glow/Theirs")) << message.toStdString();
    // What was done is said, not blamed on rights or a busy file.
    EXPECT_TRUE(message.contains("「Glow」里能删除的文件已删除")) << message.toStdString();
    EXPECT_FALSE(message.contains("权限或文件占用")) << message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(m_category + "/Glow"),
              (QMap<QString, QByteArray>{{"Theirs", "<dir>"}, {"Theirs/Own", "<dir>"}, {"Theirs/Own/t.txt", "theirs"}}));
    expectNothingLeft(0);
}
