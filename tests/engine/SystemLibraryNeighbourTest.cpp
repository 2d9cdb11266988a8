#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTest>
#include <QUrl>

#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "engine/files/AdminAuth.h"
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/files/TemplateChange.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

// Another local user keeps swapping a category folder of the system library (open to
// everyone) with a link to somebody else's folder while Loomwork works there. Whatever the
// timing, nothing of that folder may be lost, changed or added to.
namespace {

constexpr int kTries = 40;

QByteArray bytes(const QString& path)
{
    return QFile::encodeName(path);
}

bool exchangeNames(const QString& a, const QString& b)
{
    return ::renameat2(AT_FDCWD, bytes(a).constData(), AT_FDCWD, bytes(b).constData(), RENAME_EXCHANGE) == 0;
}

bool isLink(const QString& path)
{
    struct stat st {};
    return ::lstat(bytes(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The neighbour: a link to `victim` beside `folder`, exchanged with it over and over in one
// step (no moment without either name) until stopped; stopping puts the real folder back.
class Neighbour
{
public:
    Neighbour(const QString& folder, const QString& victim)
        : m_folder(folder), m_link(QFileInfo(folder).path() + "/.neighbour-link")
    {
        PluginFixtures::makeSymlink(victim, m_link);
    }
    ~Neighbour()
    {
        stop();
        QFile::remove(m_link);
    }

    // Swaps once, leaving the link in the folder's place (or the folder back).
    void swap() { exchangeNames(m_folder, m_link); }

    // Returns once the neighbour is at it (it has swapped both ways).
    void start()
    {
        m_stop = false;
        m_swaps = 0;
        m_thread = std::thread([this] {
            while (!m_stop.load()) {
                swap();
                ++m_swaps;
            }
        });
        while (m_swaps.load() < 2)
            std::this_thread::yield();
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        if (isLink(m_folder))
            swap();
    }

private:
    QString m_folder;
    QString m_link;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_swaps{0};
    std::thread m_thread;
};

class SystemLibraryNeighbourTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        m_alerts.setDefaultAnswer(true);
        m_category = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
        m_victim = TestEnv::root() + "/victim";
        // The victim's own folder of the plug-in's name, and a folder of its own inside.
        PackageMaker::makeFolder(m_victim, "Docs", {{"keep.txt", "victim's"}, {"Sub/deep.txt", "deep"}});
        ::chmod(bytes(m_victim + "/Docs/Sub").constData(), 0750);
        ::chmod(bytes(m_victim).constData(), 0700);
        m_before = victimTree();
    }

    void TearDown() override
    {
        WorkerThread::waitForAll();
        QDir(m_victim).removeRecursively();
        TestEnv::reset();
    }

    Plugin docs() const
    {
        Plugin plugin;
        plugin.name = "Docs";
        plugin.path = m_category + "/Docs";
        plugin.type = ZFCPluginType::effect;
        plugin.root = PluginRoot::system;
        return plugin;
    }

    // The victim's folder itself included: a chmod through the link would reach it first.
    QMap<QString, QByteArray> victimTree() const
    {
        auto tree = PackageMaker::readTree(m_victim, true);
        // The folder's own mode, owner and time, looked at alone: the rest of the test root
        // (the journal) changes on its own.
        struct stat st {};
        if (::lstat(QFile::encodeName(m_victim).constData(), &st) == 0)
            tree.insert(".", QByteArray::number(st.st_mode, 8) + " " + QByteArray::number(st.st_uid) + " "
                                 + QByteArray::number(qint64(st.st_mtim.tv_sec)));
        return tree;
    }

    // A plug-in "Docs" and the victim's folder of the same shape, files of the same names on
    // both sides, so that a read through a link finds them.
    void makeTwinDocs()
    {
        QMap<QString, QByteArray> mine;
        QMap<QString, QByteArray> theirs;
        for (int i = 0; i < 30; ++i) {
            mine.insert(QString("Sub/f%1.txt").arg(i), "mine");
            theirs.insert(QString("Sub/f%1.txt").arg(i), "victim's");
        }
        PackageMaker::makeFolder(m_category, "Docs", mine);
        PackageMaker::makeFolder(m_victim, "Docs", theirs);
        m_before = victimTree();
    }

    void expectVictimIntact(int attempt)
    {
        const auto now = victimTree();
        if (now == m_before)
            return;
        QStringList lines;
        for (auto it = now.begin(); it != now.end(); ++it)
            lines << it.key() + ": " + QString::fromUtf8(it.value());
        ADD_FAILURE() << "try " << attempt << ", the victim's folder changed:\n" << lines.join("\n").toStdString();
    }

    FakeAlertPresenter m_alerts;
    RecordingAdminRunner m_runner;
    QString m_category;
    QString m_victim;
    QMap<QString, QByteArray> m_before;
};

} // namespace

TEST_F(SystemLibraryNeighbourTest, APlainDeleteNeverReachesThroughASwappedInLink)
{
    Neighbour neighbour(m_category, m_victim);
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        PackageMaker::makeFolder(m_category, "Docs", {{"planted.txt", "B's"}});
        OperationsCenter center;
        neighbour.start();
        center.remove({docs()});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        neighbour.stop();
        QCoreApplication::processEvents();
        expectVictimIntact(attempt);
        if (center.statusText() == "已删除 1 个插件") {
            EXPECT_FALSE(QFileInfo::exists(m_category + "/Docs")) << "reported deleted, must be gone";
        } else {
            EXPECT_TRUE(center.alertMessage().value_or("").contains("经过符号链接，未删除。"))
                << center.alertMessage().value_or("").toStdString();
        }
        QDir(m_category + "/Docs").removeRecursively();
    }
    EXPECT_TRUE(m_runner.commands().isEmpty()) << "a link is no case for the administrator";
    // Without a neighbour the same delete goes through.
    PackageMaker::makeFolder(m_category, "Docs", {{"planted.txt", "B's"}});
    OperationsCenter center;
    center.remove({docs()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
    EXPECT_FALSE(QFileInfo::exists(m_category + "/Docs"));
}

// The administrator's steps are checked before the password prompt; the neighbour has the
// whole prompt to swap. The helper runs for real here (as the test's user, root in CI).
TEST_F(SystemLibraryNeighbourTest, AdministratorStepsNeverReachThroughALinkSwappedInDuringThePrompt)
{
    Neighbour neighbour(m_category, m_victim);
    m_runner.setExecuteLocally(true);
    m_runner.setBeforeRun([&neighbour] { neighbour.swap(); });
    const QString source = TestEnv::root() + "/staged";
    PackageMaker::makeFolder(source, "Docs", {{"new.txt", "new"}});
    const QMap<QString, std::function<bool()>> steps{
        {"remove", [&] {
             SafeFS::Identity docs;
             (void)SafeFS::identityAt(AT_FDCWD, bytes(m_category + "/Docs").toStdString(), docs);
             return AdminAuth::adminRemove(m_category + "/Docs", docs);
         }},
        {"replace", [&] { return AdminAuth::adminReplace(source + "/Docs", m_category + "/Docs"); }},
        {"create", [&] { return AdminAuth::adminCreateDirectory(m_category + "/Docs/Sub/New"); }},
    };
    for (auto step = steps.begin(); step != steps.end(); ++step) {
        SCOPED_TRACE(step.key().toStdString());
        PackageMaker::makeFolder(m_category, "Docs", {{"planted.txt", "B's"}});
        EXPECT_FALSE(step.value()()) << "refused by the helper";
        neighbour.stop();
        expectVictimIntact(0);
        EXPECT_EQ(PackageMaker::readTree(m_category + "/Docs"), (QMap<QString, QByteArray>{{"planted.txt", "B's"}}));
    }
    EXPECT_EQ(m_runner.commands().size(), steps.size());
    QDir(source).removeRecursively();
}

// The authorisation opens the library to everyone: never what a link in it points to.
TEST_F(SystemLibraryNeighbourTest, OpeningTheLibraryNeverChangesWhatALinkPointsTo)
{
    Neighbour neighbour(m_category, m_victim);
    m_runner.setExecuteLocally(true);
    m_runner.setBeforeRun([&neighbour] { neighbour.swap(); });
    const QString root = TestEnv::systemLibrary();
    PackageMaker::makeFolder(root + "/Titles.localized", "Mine", {{"t.txt", "t"}});

    EXPECT_TRUE(AdminAuth::requestPermission(root));
    neighbour.stop();
    expectVictimIntact(0);
    EXPECT_EQ(QFileInfo(root + "/Titles.localized/Mine/t.txt").permissions() & QFile::WriteOther, QFile::WriteOther);

    (void)AdminAuth::prepareRoot(root); // fails or not: the category it would open is a link by then
    neighbour.stop();
    expectVictimIntact(0);
}

// Start-up recovery removes a staging folder a killed install left, as its journal entry
// names it: never one of a folder a link leads to, even one of the same name and identity
// check (the victim's is another item).
TEST_F(SystemLibraryNeighbourTest, RecoveryNeverReachesThroughASwappedInLink)
{
    const std::string id = "0123456789abcdef";
    const QString ours = ".Docs.loomwork-install-" + QString::fromStdString(id);
    PackageMaker::makeFolder(m_victim, ours, {{"x.txt", "victim's"}});
    m_before = victimTree();
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    const auto leaveEntry = [&] {
        PackageMaker::makeFolder(m_category, ours, {{"stale.txt", "stale"}});
        SafeFS::Identity identity;
        ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, bytes(m_category + "/" + ours).toStdString(), identity), 0);
        ASSERT_EQ(journal.write({.id = id, .kind = "install", .places = {AppJournal::placeOf(m_category)},
                                 .items = {{.path = ours.toStdString(), .target = {}, .identity = identity}}}),
                  0);
    };
    Neighbour neighbour(m_category, m_victim);
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        leaveEntry();
        neighbour.start();
        AppJournal::recover();
        neighbour.stop();
        expectVictimIntact(attempt);
    }
    leaveEntry();
    AppJournal::recover();
    EXPECT_EQ(PackageMaker::namesIn(m_category), QStringList{}) << "without a neighbour the leftover goes";
    EXPECT_TRUE(journal.entries().empty());
}

TEST_F(SystemLibraryNeighbourTest, ARestoreNeverReachesThroughASwappedInLink)
{
    const auto backup = BackupFixtures::writeBackup("r", m_category + "/Docs", "汉化", QDateTime::currentDateTimeUtc());
    const QMap<QString, QByteArray> planted{{"planted.txt", "B's"}};
    const QMap<QString, QByteArray> restored{{"content.txt", "r"}};
    Neighbour neighbour(m_category, m_victim);
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        PackageMaker::makeFolder(m_category, "Docs", planted);
        neighbour.start();
        bool succeeded = true;
        try {
            PluginBackupStore::restore(backup, BackupFixtures::pluginAt(m_category + "/Docs", PluginRoot::system));
        } catch (const PluginBackupError& error) {
            succeeded = false;
            EXPECT_TRUE(error.message().contains("符号链接")) << error.message().toStdString();
        }
        neighbour.stop();
        expectVictimIntact(attempt);
        EXPECT_EQ(PackageMaker::readTree(m_category + "/Docs"), succeeded ? restored : planted) << "try " << attempt;
        QDir(m_category + "/Docs").removeRecursively();
    }
    // A library that looked unwritable for a moment may be opened to everyone; nothing else
    // is handed to the administrator.
    for (const QStringList& command : m_runner.commands())
        EXPECT_EQ(command.value(1), "permit") << command.join(" ").toStdString();
}

TEST_F(SystemLibraryNeighbourTest, AnInstallNeverReachesThroughASwappedInLink)
{
    const QString package = TestEnv::root() + "/docs.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Docs", {{"new.txt", "new"}}}}, TestEnv::root() + "/work");
    QDir().mkpath(TestEnv::systemLibrary());
    Neighbour neighbour(m_category, m_victim);
    InstallPlan plan;
    plan.root = PluginRoot::system;
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        PackageMaker::makeFolder(m_category, "Docs", {{"old.txt", "old"}});
        OperationsCenter center;
        neighbour.start();
        center.install({package}, plan);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        neighbour.stop();
        QCoreApplication::processEvents();
        expectVictimIntact(attempt);
        const auto docs = PackageMaker::readTree(m_category + "/Docs");
        EXPECT_TRUE(docs == (QMap<QString, QByteArray>{{"old.txt", "old"}})
                    || docs == (QMap<QString, QByteArray>{{"new.txt", "new"}}))
            << "try " << attempt << ": " << QStringList(docs.keys()).join(", ").toStdString();
        QDir(m_category).removeRecursively();
        QDir().mkpath(m_category);
    }
    QDir(TestEnv::root() + "/work").removeRecursively();
    QFile::remove(package);
}

// A backup (made before every translation) reads the plug-in through handles too: a folder
// inside it swapped for a link never brings the victim's files into the backup, from where a
// restore would put them in the shared library.
TEST_F(SystemLibraryNeighbourTest, ABackupNeverReadsThroughASwappedInLink)
{
    makeTwinDocs();
    Neighbour neighbour(m_category + "/Docs/Sub", m_victim + "/Docs/Sub");
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        neighbour.start();
        std::optional<PluginBackup> made;
        try {
            made = PluginBackupStore::createBackup(BackupFixtures::pluginAt(m_category + "/Docs", PluginRoot::system),
                                                   "汉化", 0);
        } catch (const PluginBackupError&) {
            // Refused when the walk met the link: nothing to check.
        }
        neighbour.stop();
        if (!made)
            continue;
        const auto copied = PackageMaker::readTree(PluginBackupStore::payloadCopy(*made).value_or(QString()));
        EXPECT_FALSE(copied.values().contains("victim's")) << "try " << attempt << ": the victim's files were read";
        QDir(made->directory).removeRecursively();
    }
}

// A .zfcp backup reads the plug-in through handles too: neither a folder inside it nor the
// plug-in itself, swapped for a link to the victim's after the check, is ever read through.
TEST_F(SystemLibraryNeighbourTest, APackageBackupNeverReadsThroughASwappedInLink)
{
    makeTwinDocs();
    const QString out = TestEnv::root() + "/out";
    for (const QString& swapped : {QString("/Docs/Sub"), QString("/Docs")}) {
        SCOPED_TRACE(swapped.toStdString());
        Neighbour neighbour(m_category + swapped, m_victim + swapped);
        for (int attempt = 0; attempt < kTries / 2 && !HasFailure(); ++attempt) {
            FakeAlertPresenter presenter;
            presenter.queuePick({QUrl::fromLocalFile(out + "/docs.zfcp")});
            QDir().mkpath(out);
            OperationsCenter center;
            neighbour.start();
            center.backup({BackupFixtures::pluginAt(m_category + "/Docs", PluginRoot::system)}, BackupMode::single,
                          std::nullopt, [] {});
            ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
            neighbour.stop();
            // A refusal names the plug-in's folder, not the handle it was read through.
            EXPECT_FALSE(center.alertMessage().value_or(QString()).contains("/proc/self/fd")) << "try " << attempt;
            if (QFile::exists(out + "/docs.zfcp")) {
                ZFCPackageReader(FsPath::toNative(out + "/docs.zfcp")).extractAll(FsPath::toNative(out + "/x"));
                EXPECT_FALSE(PackageMaker::readTree(out + "/x").values().contains("victim's")) << "try " << attempt;
            }
            QDir(out).removeRecursively();
        }
    }
    expectVictimIntact(0);
}

// The plug-in itself swapped for a link to the victim's folder after the check, as a
// translation's backup runs: the copy reads through the library's handles, so what it finds
// is the plug-in or a link it refuses, and a refused backup leaves nothing behind.
TEST_F(SystemLibraryNeighbourTest, ABackupOfAPluginSwappedForALinkRefusesAndCopiesNothing)
{
    PackageMaker::makeFolder(m_category, "Docs", {{"planted.txt", "B's"}, {"Sub/own.txt", "B's"}});
    const auto mine = PackageMaker::readTree(m_category + "/Docs");
    Neighbour neighbour(m_category + "/Docs", m_victim + "/Docs");
    int made = 0;
    for (int attempt = 0; attempt < kTries && !HasFailure(); ++attempt) {
        neighbour.start();
        try {
            const PluginBackup backup = PluginBackupStore::createBackup(docs(), "汉化", 0);
            neighbour.stop();
            ++made;
            const auto copy = PluginBackupStore::payloadCopy(backup);
            ASSERT_TRUE(copy) << "try " << attempt << ": no folder copied";
            EXPECT_EQ(PackageMaker::readTree(*copy), mine) << "try " << attempt;
        } catch (const PluginBackupError& error) {
            neighbour.stop();
            EXPECT_TRUE(error.message().contains("路径经过符号链接：")) << error.message().toStdString();
        }
        expectVictimIntact(attempt);
        EXPECT_EQ(BackupFixtures::backupFolderNames().size(), made) << "try " << attempt;
    }
    QDir(PluginBackupStore::root()).removeRecursively();
}

// A template swapped for a link to the victim's file at the moment it is opened: the file
// is opened without following a link, so the victim's text never reaches the plug-in.
TEST_F(SystemLibraryNeighbourTest, ATemplateSwappedForALinkIsNeverReadThrough)
{
    PluginFixtures::TemplateOptions secret;
    secret.publishedNames = {"Victim Secret"};
    PluginFixtures::writeBytes(m_victim + "/secret.motn", PluginFixtures::templateBytes(secret));
    m_before = victimTree();
    PluginFixtures::TemplateOptions own;
    own.approxBytes = 2048;
    const QByteArray template_ = PluginFixtures::templateBytes(own);
    // Each try lasts a moment: many of them, so that some open the file while the link stands.
    for (int attempt = 0; attempt < 5 * kTries && !HasFailure(); ++attempt) {
        QDir(m_category + "/Docs").removeRecursively();
        PluginFixtures::writeBytes(m_category + "/Docs/A.motn", template_);
        Neighbour neighbour(m_category + "/Docs/A.motn", m_victim + "/secret.motn");
        neighbour.start();
        try {
            TemplateInspector::setVersion(m_category + "/Docs", "5.13", "5.6");
        } catch (const TemplateEditError& error) {
            // Met as a link, or as an item other than the template read: at its name before it
            // is staged, or brought out by the exchange, which puts it back.
            EXPECT_TRUE(error.message().contains("路径经过符号链接：")
                        || error.message().contains("「Docs」在列表显示后已被改动或替换")
                        || error.message().contains("在修改时被换成了别的项目"))
                << error.message().toStdString();
        }
        neighbour.stop();
        // The old contents go on a worker after the call: looked at once they are gone.
        TemplateChange::waitForRemovals();
        expectVictimIntact(attempt);
        const auto docs = PackageMaker::readTree(m_category + "/Docs");
        for (auto it = docs.begin(); it != docs.end(); ++it)
            EXPECT_FALSE(it.value().contains("Victim Secret")) << "try " << attempt << ": " << it.key().toStdString();
    }
    QDir(m_category + "/Docs").removeRecursively();
}
