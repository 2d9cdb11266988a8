#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include "engine/core/WorkerThread.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/files/PluginRemoval.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

// The plug-ins of one delete are one journal change: its writes and syncs are as many for
// thirty plug-ins as for three, and a kill anywhere leaves each plug-in whole at its name or
// gone once recovery has run, never half, and nothing of ours behind.
namespace {

struct Place
{
    PluginRoot root;
    ZFCPluginType type;
};

QString folderOf(const Place& place)
{
    return PluginFixtures::categoryFolder(place.root, place.type);
}

QMap<QString, QByteArray> filesOf(const QString& name)
{
    return {{name + ".moef", name.toUtf8()}, {"Media/a.png", "a"}, {"Media/Deep/b.png", "b"}, {"Scenes/c.motn", "c"}};
}

// `count` plug-ins spread over `places` in turn, as the list shows them.
QList<Plugin> makePlugins(int count, const std::vector<Place>& places)
{
    QList<Plugin> plugins;
    for (int i = 0; i < count; ++i) {
        const Place& place = places[std::size_t(i) % places.size()];
        const QString name = "P" + QString::number(i);
        plugins.append(BackupFixtures::pluginAt(PackageMaker::makeFolder(folderOf(place), name, filesOf(name)), place.root));
    }
    return plugins;
}

QStringList hiddenIn(const std::vector<Place>& places)
{
    QStringList hidden;
    for (const Place& place : places)
        hidden += PackageMaker::namesIn(folderOf(place)).filter(QRegularExpression("^\\."));
    return hidden;
}

QStringList journalEntries()
{
    return QDir(AppJournal::folder()).entryList(QDir::Files);
}

// Counts every sync of a file system while it lives.
class CountingSyncs
{
public:
    CountingSyncs()
    {
        m_previous = SafeFS::setSyncHookForTests([this](int) {
            ++syncs;
            return 0;
        });
    }
    ~CountingSyncs() { SafeFS::setSyncHookForTests(m_previous); }
    std::atomic<int> syncs{0};

private:
    SafeFS::SyncHook m_previous;
};

// Fails the `failAt`-th write of a journal entry with `error`, passing every other step.
class RefusingJournal : public FileOps
{
public:
    RefusingJournal(int failAt, int error) : m_failAt(failAt), m_error(error), m_previous(FileOps::setCurrent(this)) {}
    ~RefusingJournal() override { FileOps::setCurrent(m_previous); }
    int stepFault(Step step, const QString& paths) override
    {
        if (step == Step::writeJournal && ++m_writes == m_failAt)
            return m_error;
        return FileOps::stepFault(step, paths);
    }

private:
    const int m_failAt;
    const int m_error;
    std::atomic<int> m_writes{0};
    FileOps* m_previous;
};

// Kills this process as the emptying takes its `g_killAt`-th step.
int g_killAt = 0;
int g_emptyingSteps = 0;
void killAtEmptyingStep(int, const char*)
{
    if (++g_emptyingSteps == g_killAt)
        ::kill(::getpid(), SIGKILL);
}

class DeleteGroupTest : public ::testing::Test
{
protected:
    void SetUp() override { TestEnv::reset(); }
    void TearDown() override
    {
        WorkerThread::waitForAll();
        TestEnv::reset();
    }
};

} // namespace

TEST_F(DeleteGroupTest, ADeleteWritesAndSyncsItsEntryAsOftenForThirtyPlugInsAsForThree)
{
    struct Count
    {
        int writes = 0;
        int syncs = 0;
    };
    const auto removeMany = [](int count, const std::vector<Place>& places) {
        TestEnv::reset();
        const QList<Plugin> plugins = makePlugins(count, places);
        Count counted;
        {
            CountingFileOps files;
            CountingSyncs syncs;
            OperationsCenter center;
            center.remove(plugins);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 60000));
            QCoreApplication::processEvents();
            EXPECT_EQ(center.statusText(), "已删除 " + QString::number(count) + " 个插件")
                << center.alertMessage().value_or("").toStdString();
            counted.writes = files.writes;
            counted.syncs = syncs.syncs;
        }
        for (const Plugin& plugin : plugins)
            EXPECT_FALSE(QFileInfo::exists(plugin.path)) << plugin.path.toStdString();
        EXPECT_TRUE(journalEntries().isEmpty()) << journalEntries().join(", ").toStdString();
        EXPECT_TRUE(hiddenIn(places).isEmpty()) << hiddenIn(places).join(", ").toStdString();
        return counted;
    };
    struct Case
    {
        const char* name;
        std::vector<Place> places;
    };
    const Case cases[] = {
        {"one folder of the user's library", {{PluginRoot::user, ZFCPluginType::effect}}},
        {"folders of both libraries",
         {{PluginRoot::user, ZFCPluginType::effect},
          {PluginRoot::user, ZFCPluginType::subtitle},
          {PluginRoot::system, ZFCPluginType::generator}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Count three = removeMany(3, c.places);
        const Count thirty = removeMany(30, c.places);
        EXPECT_GT(three.writes, 0);
        EXPECT_GT(three.syncs, 0);
        EXPECT_EQ(thirty.writes, three.writes);
        EXPECT_EQ(thirty.syncs, three.syncs);
        EXPECT_LE(thirty.writes, 2) << "the rooms named, then made with the plug-ins in them";
    }
}

// A child deletes three plug-ins as one change and is killed as its n-th file step starts
// (a journal write, a room made, a move), or at the n-th step of emptying the rooms, for
// every n. Before recovery each plug-in is whole
// at its name or out of the library; after it, whole or gone, and nothing of ours is left. A
// plug-in whose move is refused stays whole and takes nothing of the others back.
TEST_F(DeleteGroupTest, AKillAnywhereLeavesEachPlugInWholeOrGoneAfterRecovery)
{
    struct Case
    {
        const char* name;
        std::vector<Place> places;
        const char* refused; // the plug-in whose move fails, or none
    };
    const Case cases[] = {
        {"one folder", {{PluginRoot::user, ZFCPluginType::effect}}, nullptr},
        {"two libraries", {{PluginRoot::user, ZFCPluginType::effect}, {PluginRoot::system, ZFCPluginType::effect}}, nullptr},
        {"the second refused", {{PluginRoot::user, ZFCPluginType::effect}}, "P1"},
    };
    for (const Case& c : cases) {
      for (const bool emptying : {false, true}) {
        bool finished = false;
        int steps = 0;
        for (int step = 1; step < 80 && !finished; ++step) {
            SCOPED_TRACE(std::string(c.name) + (emptying ? ", killed at emptying step " : ", killed at file step ")
                         + std::to_string(step));
            TestEnv::reset();
            const QList<Plugin> plugins = makePlugins(3, c.places);
            QMap<QString, QMap<QString, QByteArray>> whole;
            for (const Plugin& plugin : plugins)
                whole[plugin.name] = PackageMaker::readTree(plugin.path);
            const pid_t child = ::fork();
            if (child == 0) {
                FaultyFileOps files;
                if (c.refused)
                    files.failOn(FaultyFileOps::Op::rename, QStringLiteral("/") + c.refused + "\n", EIO);
                if (emptying) {
                    g_killAt = step;
                    DirHandle::setStepHookForTests(killAtEmptyingStep);
                } else {
                    files.killAtCall(step);
                }
                int removed = 0;
                {
                    PluginRemovalGroup group;
                    for (const Plugin& plugin : plugins)
                        group.add(plugin.path, plugin.identity, {});
                    const std::vector<int> ready = group.prepare();
                    for (std::size_t i = 0; i < group.size(); ++i)
                        removed += i < ready.size() && ready[i] == 0 && group.at(i).moveOut() == 0;
                    (void)group.close();
                }
                ::_exit(removed == (c.refused ? 2 : 3) ? 0 : 1);
            }
            int status = 0;
            ASSERT_EQ(::waitpid(child, &status, 0), child);
            finished = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            ASSERT_TRUE(finished || (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) << status;
            steps = step;

            const auto wholeOrGone = [&](const char* when) {
                for (const Plugin& plugin : plugins) {
                    if (QFileInfo::exists(plugin.path))
                        EXPECT_EQ(PackageMaker::readTree(plugin.path), whole[plugin.name]) << when << ": " << plugin.name.toStdString();
                }
            };
            wholeOrGone("before recovery");
            AppJournal::recover();
            wholeOrGone("after recovery");
            EXPECT_TRUE(journalEntries().isEmpty()) << journalEntries().join(", ").toStdString();
            EXPECT_TRUE(hiddenIn(c.places).isEmpty()) << hiddenIn(c.places).join(", ").toStdString();
            if (finished) {
                for (const Plugin& plugin : plugins)
                    EXPECT_EQ(QFileInfo::exists(plugin.path), c.refused && plugin.name == c.refused) << plugin.name.toStdString();
            }
        }
        EXPECT_TRUE(finished) << c.name;
        // Two writes, three rooms and the moves were kill points; so was each emptied item.
        EXPECT_GE(steps, emptying ? 12 : 8) << c.name;
      }
    }
}

// A write of the delete's entry that fails stops every plug-in of it before its move: each
// stands whole, the user is told once why, and neither a room nor the entry is left.
TEST_F(DeleteGroupTest, ARefusedJournalWriteLeavesEveryPlugInWholeAndIsToldOnce)
{
    struct Case
    {
        const char* name;
        int failAt;
        int error;
    };
    const Case cases[] = {
        {"the rooms could not be named", 1, ENOSPC},
        {"the rooms made could not be recorded", 2, EIO},
    };
    const std::vector<Place> places{{PluginRoot::user, ZFCPluginType::effect}, {PluginRoot::system, ZFCPluginType::effect}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        const QList<Plugin> plugins = makePlugins(3, places);
        QMap<QString, QMap<QString, QByteArray>> whole;
        for (const Plugin& plugin : plugins)
            whole[plugin.name] = PackageMaker::readTree(plugin.path);
        QString status;
        QString alert;
        {
            RefusingJournal files(c.failAt, c.error);
            OperationsCenter center;
            center.remove(plugins);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 60000));
            QCoreApplication::processEvents();
            status = center.statusText();
            alert = center.alertMessage().value_or("");
        }
        EXPECT_EQ(status, "已删除 0 个插件");
        EXPECT_EQ(alert.count("无法写入操作记录"), 1) << alert.toStdString();
        EXPECT_TRUE(alert.contains("插件没有删除。")) << alert.toStdString();
        for (const Plugin& plugin : plugins)
            EXPECT_EQ(PackageMaker::readTree(plugin.path), whole[plugin.name]) << plugin.name.toStdString();
        EXPECT_TRUE(journalEntries().isEmpty()) << journalEntries().join(", ").toStdString();
        EXPECT_TRUE(hiddenIn(places).isEmpty()) << hiddenIn(places).join(", ").toStdString();
    }
}

// Plug-ins we may not move go to the administrator's helper, each in its turn, while the
// others of the delete are moved by us: every one is deleted, and settling the entry after
// the helper's steps leaves neither a room nor the entry.
TEST_F(DeleteGroupTest, PlugInsForTheAdministratorAreDeletedBesideTheOthers)
{
    struct Case
    {
        const char* name;
        QStringList refused; // whose moves fail as for another user's folder
    };
    const Case cases[] = {
        {"the first", {"P0"}},
        {"the first and the last", {"P0", "P2"}},
        {"all of them", {"P0", "P1", "P2"}},
    };
    const std::vector<Place> places{{PluginRoot::system, ZFCPluginType::effect}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(true);
        const QList<Plugin> plugins = makePlugins(3, places);
        RecordingAdminRunner runner;
        runner.setExecuteLocally(true);
        QString status;
        QString alert;
        {
            FaultyFileOps files;
            for (const QString& name : c.refused)
                files.failOn(FaultyFileOps::Op::rename, "/" + name + "\n", EACCES);
            OperationsCenter center;
            center.remove(plugins);
            EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 60000));
            QCoreApplication::processEvents();
            status = center.statusText();
            alert = center.alertMessage().value_or("");
        }
        EXPECT_EQ(runner.commands().size(), c.refused.size());
        EXPECT_EQ(status, "已删除 3 个插件") << alert.toStdString();
        for (const Plugin& plugin : plugins)
            EXPECT_FALSE(QFileInfo::exists(plugin.path)) << plugin.name.toStdString();
        EXPECT_TRUE(journalEntries().isEmpty()) << journalEntries().join(", ").toStdString();
        EXPECT_TRUE(hiddenIn(places).isEmpty()) << hiddenIn(places).join(", ").toStdString();
    }
}
