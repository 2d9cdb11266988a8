#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <mutex>
#include <optional>

#include <QDir>
#include <QRegularExpression>

#include <SafeFS/Durable.h>
#include <SafeFS/Journal.h>
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PluginFolderSwap.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/Installation.h"
#include "engine/operations/MarketInstaller.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// A change of many plug-ins writes its journal entry a fixed number of times and syncs a fixed
// number of times, whatever its plug-ins; the entry's bytes grow with them, never with their
// square. What fails for the change as a whole is told as the whole's.
namespace {

QString effects(PluginRoot::Value root)
{
    return PluginFixtures::categoryFolder(PluginRoot(root), ZFCPluginType::effect);
}

QStringList names(int count)
{
    QStringList out;
    for (int i = 1; i <= count; ++i)
        out.append(QStringLiteral("Plug %1").arg(i));
    return out;
}

int journalEntries()
{
    return int(QDir(AppJournal::folder()).entryList({"*.entry"}, QDir::Files | QDir::Hidden).size());
}

QStringList hiddenIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter(QRegularExpression("^\\."));
}

// Counts every journal write (and its bytes) and every sync of a whole file system while it
// lives; `failSync` answers each sync in turn (from 1), 0 letting it through.
class Counter
{
public:
    explicit Counter(std::function<int(int call)> failSync = {}) : m_failSync(std::move(failSync))
    {
        m_previousWrite = JournalChange::setWriteHookForTests([this](const SafeFS::JournalEntry& entry) {
            const std::lock_guard lock(m_mutex);
            ++writes;
            bytes += SafeFS::formatEntry(entry).size();
        });
        m_previousSync = SafeFS::setSyncHookForTests([this](int) {
            const std::lock_guard lock(m_mutex);
            ++syncs;
            return m_failSync ? m_failSync(syncs) : 0;
        });
    }
    ~Counter()
    {
        JournalChange::setWriteHookForTests(m_previousWrite);
        SafeFS::setSyncHookForTests(m_previousSync);
    }

    int writes = 0;
    std::size_t bytes = 0;
    int syncs = 0;

private:
    std::mutex m_mutex;
    std::function<int(int)> m_failSync;
    JournalChange::WriteHook m_previousWrite;
    SafeFS::SyncHook m_previousSync;
};

Installation::Outcome install(const QString& package)
{
    const QStringList files{package};
    const InstallPlan plan;
    auto readers = Installation::openPackages(files);
    return Installation(files, plan, {}, {}).run(readers);
}

// The package of `count` effects named by names(), each holding one small file.
QString packageOf(int count)
{
    const QString work = TestEnv::root() + "/swap-journal";
    const QString package = work + QStringLiteral("/p%1.zfcp").arg(count);
    QList<PackageMaker::Source> sources;
    for (const QString& name : names(count))
        sources.append({ZFCPluginType::effect, name, {{"new.txt", "new " + name.toUtf8()}}});
    PackageMaker::pack(package, sources, work + QStringLiteral("/src%1").arg(count));
    return package;
}

} // namespace

TEST(SwapJournal, AGroupWritesAndSyncsAsOftenForThirtyPlugInsAsForThree)
{
    struct Case
    {
        const char* name;
        PluginRoot::Value root;
        bool oldOnes; // each plug-in replaces one of its name
        std::function<bool(int count)> run;
    };
    const Case cases[] = {
        {"install into an empty library", PluginRoot::user, false, [](int count) { return install(packageOf(count)).ok; }},
        {"install over old plug-ins", PluginRoot::user, true, [](int count) { return install(packageOf(count)).ok; }},
        {"market install over old plug-ins", PluginRoot::system, true,
         [](int count) {
             QList<PackageMaker::PackagedPlugin> plugins;
             for (const QString& name : names(count))
                 plugins.append({"effect", name});
             const QString package = TestEnv::root() + QStringLiteral("/market/m%1.zfcp").arg(count);
             PackageMaker::writePackage(package, plugins);
             FakeAlertPresenter presenter;
             presenter.queueAnswers({true});
             return MarketInstaller::install(package, "p1", "市场名").count == count;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int writes[2] = {};
        int syncs[2] = {};
        std::size_t bytes[2] = {};
        const int counts[2] = {3, 30};
        for (int k = 0; k < 2; ++k) {
            TestEnv::reset();
            const QString folder = effects(c.root);
            QDir().mkpath(folder);
            if (c.oldOnes) {
                for (const QString& name : names(counts[k]))
                    PackageMaker::makeFolder(folder, name, {{"old.txt", "old"}});
            }
            {
                Counter counter;
                ASSERT_TRUE(c.run(counts[k])) << counts[k];
                writes[k] = counter.writes;
                syncs[k] = counter.syncs;
                bytes[k] = counter.bytes;
            }
            // Each plug-in stands new, nothing of ours is left.
            for (const QString& name : names(counts[k]))
                EXPECT_FALSE(PackageMaker::readTree(folder + "/" + name).contains("old.txt")) << name.toStdString();
            EXPECT_EQ(PackageMaker::namesIn(folder).size(), counts[k]);
            EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
            EXPECT_EQ(journalEntries(), 0);
        }
        EXPECT_EQ(writes[0], writes[1]) << "journal writes grow with the plug-ins";
        EXPECT_EQ(syncs[0], syncs[1]) << "syncs grow with the plug-ins";
        // Rooms named, rooms made, items named, committed.
        EXPECT_LE(writes[1], 4);
        EXPECT_GT(bytes[0], 0u);
        // Ten times the plug-ins: about ten times the bytes, far from a hundred.
        EXPECT_LE(bytes[1], 14 * bytes[0]) << bytes[0] << " then " << bytes[1];
    }
}

// A step of the install as a whole fails: the staged copies' one sync, or a journal write
// that names all plug-ins. Nothing changes, and the message blames no plug-in of the three.
TEST(SwapJournal, AFailureOfTheWholeGroupBlamesNoPlugIn)
{
    class FailingJournal final : public FileOps
    {
    public:
        explicit FailingJournal(int at) : m_at(at), m_previous(setCurrent(this)) {}
        ~FailingJournal() override { setCurrent(m_previous); }
        int stepFault(Step step, const QString&) override
        {
            return step == Step::writeJournal && ++m_writes == m_at ? EROFS : 0;
        }

    private:
        int m_at;
        int m_writes = 0;
        FileOps* m_previous;
    };
    const struct
    {
        const char* name;
        int failSyncAt;    // 0: none
        int failWriteAt;   // 0: none
        const char* says;
    } cases[] = {
        {"the staged copies' sync", 1, 0, "未能写入磁盘"},
        {"the write naming the rooms", 0, 1, "无法写入操作记录"},
        {"the write of the rooms made", 0, 2, "无法写入操作记录"},
        {"the write naming every item", 0, 3, "无法写入操作记录"},
        {"the write of the commit point", 0, 4, "无法写入操作记录"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        const QString folder = effects(PluginRoot::user);
        for (const QString& name : names(3))
            PackageMaker::makeFolder(folder, name, {{"old.txt", "old"}});
        const QString package = packageOf(3);
        Installation::Outcome outcome;
        {
            Counter counter([&](int call) { return call == c.failSyncAt ? EIO : 0; });
            std::optional<FailingJournal> journal;
            if (c.failWriteAt)
                journal.emplace(c.failWriteAt);
            outcome = install(package);
        }
        EXPECT_FALSE(outcome.ok);
        EXPECT_TRUE(outcome.text.contains(c.says)) << outcome.text.toStdString();
        EXPECT_TRUE(outcome.text.contains("插件没有改动")) << outcome.text.toStdString();
        EXPECT_FALSE(outcome.text.contains("个失败")) << outcome.text.toStdString();
        for (const QString& name : names(3))
            EXPECT_EQ(PackageMaker::readTree(folder + "/" + name), (QMap<QString, QByteArray>{{"old.txt", "old"}}));
        EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
        EXPECT_EQ(journalEntries(), 0);
    }
}

// The library's sync past the exchanges fails (an I/O error): the plug-ins stand, the user is
// told the disk reported a write error, and the entry stays until a later recovery.
TEST(SwapJournal, AFailedSyncAfterTheExchangesIsToldAndKeepsTheEntry)
{
    const struct
    {
        const char* name;
        int count;
        bool oldOnes;
    } cases[] = {
        {"one new plug-in", 1, false},
        {"three replacing old ones", 3, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        const QString folder = effects(PluginRoot::user);
        QDir().mkpath(folder);
        if (c.oldOnes) {
            for (const QString& name : names(c.count))
                PackageMaker::makeFolder(folder, name, {{"old.txt", "old"}});
        }
        const QString package = packageOf(c.count);
        Installation::Outcome outcome;
        {
            // The first sync is the staged copies', the second the library's past the exchanges.
            Counter counter([](int call) { return call == 2 ? EIO : 0; });
            outcome = install(package);
        }
        EXPECT_TRUE(outcome.ok) << outcome.text.toStdString();
        EXPECT_TRUE(outcome.notes.join("\n").contains("磁盘报告了写入错误")) << outcome.notes.join("\n").toStdString();
        EXPECT_EQ(journalEntries(), 1) << "the entry stays for recovery";
        AppJournal::recover();
        EXPECT_EQ(journalEntries(), 0);
        for (const QString& name : names(c.count))
            EXPECT_EQ(PackageMaker::readTree(folder + "/" + name),
                      (QMap<QString, QByteArray>{{"new.txt", "new " + name.toUtf8()}}));
        EXPECT_TRUE(hiddenIn(folder).isEmpty()) << hiddenIn(folder).join(", ").toStdString();
    }
}
