#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <mutex>
#include <vector>

#include <unistd.h>

#include <QDir>
#include <QFileInfo>

#include <SafeFS/DirHandle.h>
#include <SafeFS/Durable.h>
#include <SafeFS/HiddenName.h>
#include <SafeFS/Journal.h>
#include <SafeFS/Room.h>
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/AppPaths.h"
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PluginLease.h"
#include "engine/files/PluginRemoval.h"
#include "engine/files/TemplateChange.h"
#include "engine/files/AdminAuth.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/Installation.h"
#include "engine/operations/MarketInstaller.h"
#include "engine/operations/PluginModifier.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// A power cut keeps what each disk was given by its last sync and loses the rest. The library
// and the application's data folder (backups) count as two disks, as a library on an external
// disk is: a sync covers only the one its handle lies on. The journal's own writes are synced
// as they are made, so it holds at any moment what it held then.
namespace {

using Tree = QMap<QString, QByteArray>;

QString canonical(const QString& path)
{
    QDir().mkpath(path);
    return QFileInfo(path).canonicalFilePath();
}

int journalEntries()
{
    return int(QDir(AppJournal::folder()).entryList({"*.entry"}, QDir::Files | QDir::Hidden).size());
}

// The tree as the user sees it: our hidden rooms left out.
Tree visible(const Tree& tree)
{
    Tree out;
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (!("/" + it.key()).contains("/."))
            out.insert(it.key(), it.value());
    }
    return out;
}

Tree below(const Tree& tree, const QString& folder)
{
    Tree out;
    for (auto it = tree.begin(); it != tree.end(); ++it) {
        if (it.key().startsWith(folder + "/"))
            out.insert(it.key().mid(folder.size() + 1), it.value());
    }
    return out;
}

// Whether the bytes of every file of `files` are somewhere in `tree`: a copy of them, staged
// (under a name of the change's own) or backed up.
bool holdsCopy(const Tree& tree, const Tree& files)
{
    const QList<QByteArray> held = tree.values();
    for (const QByteArray& bytes : files) {
        if (bytes != "<dir>" && !held.contains(bytes))
            return false;
    }
    return true;
}

// Whether the entry records its change's new items as standing: committed, or (a single
// replace) the new item no longer named for its target and the old one only as surplus.
bool recordsDone(const SafeFS::JournalEntry& entry)
{
    using Role = SafeFS::JournalItem::Role;
    if (entry.state == SafeFS::JournalEntry::State::finish)
        return true;
    const auto& items = entry.items;
    return std::any_of(items.begin(), items.end(), [](const SafeFS::JournalItem& i) { return i.role == Role::made; })
        && std::none_of(items.begin(), items.end(), [](const SafeFS::JournalItem& i) {
               return i.role == Role::old || (i.role == Role::made && !i.target.empty());
           });
}

struct Sync
{
    bool library = false;
    Tree tree;       // what that disk holds once synced
    int entries = 0; // the journal's entries at the time
};

// Every sync the code asks for, in order, and when the operation reported.
class SyncLog
{
public:
    explicit SyncLog(const QString& library)
        : m_library(canonical(library)), m_backups(canonical(PluginBackupStore::root()))
    {
        m_initial = PackageMaker::readTree(m_library);
        m_previous = SafeFS::setSyncHookForTests([this](int fd) {
            record(fd);
            return 0;
        });
        m_previousWrite = JournalChange::setWriteHookForTests([this](const SafeFS::JournalEntry& entry) {
            const std::lock_guard lock(m_mutex);
            if (recordsDone(entry))
                m_doneAt.push_back(m_syncs.size());
        });
    }
    ~SyncLog()
    {
        SafeFS::setSyncHookForTests(m_previous);
        JournalChange::setWriteHookForTests(m_previousWrite);
    }
    // The number of syncs made before each journal write that recorded the change as done.
    const std::vector<std::size_t>& doneAt() const { return m_doneAt; }

    void reported()
    {
        const std::lock_guard lock(m_mutex);
        m_reportedAt = m_syncs.size();
    }
    const Tree& initial() const { return m_initial; }
    std::size_t reportedAt() const { return m_reportedAt; }
    const std::vector<Sync>& syncs() const { return m_syncs; }
    const QString& library() const { return m_library; }

    // What the library's disk holds after a cut just before sync `end`.
    const Tree& libraryBefore(std::size_t end) const
    {
        for (std::size_t i = end; i-- > 0;) {
            if (m_syncs[i].library)
                return m_syncs[i].tree;
        }
        return m_initial;
    }

private:
    void record(int fd)
    {
        char link[PATH_MAX] = {};
        const ssize_t length = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
        const QString path = length > 0 ? FsPath::fromBytes(std::string(link, std::size_t(length))) : QString();
        Sync sync;
        sync.library = path == m_library || path.startsWith(m_library + "/");
        sync.tree = PackageMaker::readTree(sync.library ? m_library : m_backups);
        sync.entries = journalEntries();
        const std::lock_guard lock(m_mutex);
        m_syncs.push_back(std::move(sync));
    }

    QString m_library;
    QString m_backups;
    Tree m_initial;
    std::mutex m_mutex;
    std::vector<Sync> m_syncs;
    std::size_t m_reportedAt = 0;
    std::vector<std::size_t> m_doneAt;
    SafeFS::SyncHook m_previous;
    JournalChange::WriteHook m_previousWrite;
};

const QMap<QString, QByteArray> kOld{{"old.txt", "old"}};
const QMap<QString, QByteArray> kNew{{"a.txt", "new a"}, {"sub/b.txt", "new b"}};

QString effects(const QString& library)
{
    return library + "/Effects.localized";
}

// A room of a change killed before its first exchange, recorded in the journal as such.
void leaveKilledChange(const QString& folder)
{
    SafeFS::JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "swap";
    entry.places.push_back(AppJournal::placeOf(folder));
    const std::string name = SafeFS::hiddenName("Glow", "install", entry.id);
    DirHandle::Fd parent;
    ASSERT_EQ(DirHandle::openRoot(FsPath::toBytes(folder), parent), 0);
    SafeFS::Room room;
    ASSERT_EQ(room.make(parent.get(), name), 0);
    entry.items.push_back({SafeFS::JournalItem::Role::room, 0, name, {}, room.identity()});
    PluginFixtures::writeBytes(folder + "/" + FsPath::fromBytes(name) + "/Glow/a.txt", "staged");
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    ASSERT_EQ(journal.write(entry), 0);
}

} // namespace

TEST(PowerCut, AReportedChangeSurvivesACutAndLeavesNothingForGood)
{
    const QString work = TestEnv::root() + "/power-cut";
    const QString package = work + "/p.zfcp";
    const QHash<QString, QString> map{{"Title Color", "标题颜色"}};
    QString plugin; // the plug-in the case works on
    struct Case
    {
        const char* name;
        QString (*library)();
        std::function<void()> setUp;
        std::function<bool()> run;
        QString target;   // inside the library
        bool stages;      // writes new data that an exchange then commits
        bool backs = false; // relies on a backup made first
        bool swaps = false; // replaces the plug-in's folder by an exchange
    };
    const Case cases[] = {
        {"install of two plug-ins over one", TestEnv::userLibrary,
         [&] {
             PackageMaker::makeFolder(effects(TestEnv::userLibrary()), "Glow", kOld);
             PackageMaker::pack(package, {{ZFCPluginType::effect, "Glow", kNew}, {ZFCPluginType::effect, "Spark", kNew}},
                                work + "/src");
         },
         [&] {
             const QStringList files{package};
             const InstallPlan plan;
             auto readers = Installation::openPackages(files);
             return Installation(files, plan, {}, {}).run(readers).ok;
         },
         "Effects.localized/Glow", true, false, true},
        {"market install", TestEnv::systemLibrary,
         [&] {
             PackageMaker::makeFolder(effects(TestEnv::systemLibrary()), "Glow", kOld);
             PackageMaker::writePackage(package, {{"effect", "Glow"}, {"effect", "Spark"}});
         },
         [&] {
             FakeAlertPresenter presenter;
             presenter.queueAnswers({true});
             return MarketInstaller::install(package, "p1", "市场名").count == 2;
         },
         "Effects.localized/Glow", true, false, true},
        {"translation", TestEnv::userLibrary,
         [&] { plugin = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow"); },
         [&] { return PluginModifier::localize(BackupFixtures::pluginAt(plugin), map).summary.filesChanged == 1; },
         "Effects.localized/Glow", true, true},
        {"restore of a translated plug-in", TestEnv::userLibrary,
         [&] {
             plugin = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
             (void)PluginModifier::localize(BackupFixtures::pluginAt(plugin), map);
             (void)PluginLease::take(plugin); // its old contents gone before the restore
         },
         [&] { return PluginModifier::restoreOriginal(BackupFixtures::pluginAt(plugin)) == 1; },
         "Effects.localized/Glow", true, false, true},
        {"delete", TestEnv::userLibrary,
         [&] { plugin = PackageMaker::makeFolder(effects(TestEnv::userLibrary()), "Glow", kOld); },
         [&] { return PluginRemoval(plugin).run() == 0; },
         "Effects.localized/Glow", false},
        {"recovery of a killed change", TestEnv::userLibrary,
         [&] {
             PackageMaker::makeFolder(effects(TestEnv::userLibrary()), "Glow", kOld);
             leaveKilledChange(effects(TestEnv::userLibrary()));
         },
         [&] {
             AppJournal::recover();
             return true;
         },
         "Effects.localized/Glow", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        AdminAuth::resetExplanation();
        QDir().mkpath(work);
        c.setUp();
        SyncLog log(c.library());
        ASSERT_TRUE(c.run());
        log.reported();
        TemplateChange::waitForRemovals(); // the old contents' removal goes on after the report
        const Tree after = PackageMaker::readTree(log.library());
        const auto& syncs = log.syncs();
        ASSERT_NE(after, log.initial()) << "the operation changed nothing";

        // A cut at any time after the report leaves what was reported.
        EXPECT_EQ(visible(log.libraryBefore(log.reportedAt())), visible(after));
        // The journal's entry went only after the library's disk had all it covers: a cut
        // leaves no hidden room that no entry names.
        EXPECT_EQ(log.libraryBefore(syncs.size()), after);
        EXPECT_EQ(journalEntries(), 0);
        std::size_t last = syncs.size();
        while (last > 0 && !syncs[last - 1].library)
            --last;
        ASSERT_GT(last, 0u) << "the library was never synced";
        EXPECT_GT(syncs[last - 1].entries, 0) << "the entry went before the library's last sync";

        // The entry records the exchange only once the library's disk has it (the journal may
        // be on another disk): a cut between the two must not leave the entry ahead.
        if (c.swaps) {
            ASSERT_FALSE(log.doneAt().empty()) << "no write recorded the change as done";
            for (const std::size_t at : log.doneAt())
                EXPECT_EQ(visible(below(log.libraryBefore(at), c.target)), visible(below(after, c.target)))
                    << "recorded as done after " << at << " syncs, before the library had it";
        }
        if (!c.stages)
            continue;
        // Before the first exchange, one sync of the library's disk holds the staged copy.
        const Tree oldTarget = visible(below(log.initial(), c.target));
        std::size_t changedAt = 0;
        int stagingSyncs = 0;
        while (changedAt < syncs.size()
               && (!syncs[changedAt].library || visible(below(syncs[changedAt].tree, c.target)) == oldTarget)) {
            stagingSyncs += syncs[changedAt].library ? 1 : 0;
            ++changedAt;
        }
        EXPECT_EQ(stagingSyncs, 1);
        EXPECT_TRUE(holdsCopy(log.libraryBefore(changedAt), below(after, c.target)))
            << "the staged copy was not on disk before it took the plug-in's name";
        if (c.backs) {
            bool backedUp = false;
            for (std::size_t i = 0; i < changedAt; ++i)
                backedUp = backedUp || (!syncs[i].library && holdsCopy(syncs[i].tree, oldTarget));
            EXPECT_TRUE(backedUp) << "the backup was not on disk before the templates changed";
        }
    }
}

// The staged copies of an install are synced at once, before any exchange; when the disk
// reports a write error there, no one plug-in is to blame: the message names the library's
// folder and says nothing was changed, never the last plug-in of the group.
TEST(PowerCut, AFailedStagedSyncOfAGroupBlamesNoPlugIn)
{
    const QString work = TestEnv::root() + "/power-cut";
    const QString package = work + "/p.zfcp";
    const struct {
        const char* why;
        int syncError;
        bool ok;
    } cases[] = {{"the disk syncs", 0, true}, {"the disk reports a write error", EIO, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.why);
        TestEnv::reset();
        QDir().mkpath(work);
        const QString folder = effects(TestEnv::userLibrary());
        PackageMaker::makeFolder(folder, "Glow", kOld);
        PackageMaker::pack(package,
                           {{ZFCPluginType::effect, "Glow", kNew}, {ZFCPluginType::effect, "Spark", kNew},
                            {ZFCPluginType::effect, "Third", kNew}},
                           work + "/src");
        const SafeFS::SyncHook previous = SafeFS::setSyncHookForTests([&](int) { return c.syncError; });
        const QStringList files{package};
        auto readers = Installation::openPackages(files);
        const Installation::Outcome outcome = Installation(files, InstallPlan(), {}, {}).run(readers);
        SafeFS::setSyncHookForTests(previous);
        EXPECT_EQ(outcome.ok, c.ok) << outcome.text.toStdString();
        const auto glow = PackageMaker::readTree(folder + "/Glow");
        EXPECT_EQ(c.ok ? glow.value("a.txt") : glow.value("old.txt"), c.ok ? "new a" : "old");
        EXPECT_EQ(glow.contains("old.txt"), !c.ok);
        if (!c.ok) {
            EXPECT_TRUE(outcome.text.contains("未能写入磁盘（磁盘读写错误）：" + folder)) << outcome.text.toStdString();
            EXPECT_TRUE(outcome.text.contains("插件没有改动")) << outcome.text.toStdString();
            EXPECT_FALSE(outcome.text.contains("Third")) << outcome.text.toStdString();
            EXPECT_FALSE(outcome.text.contains("第 ")) << outcome.text.toStdString();
            EXPECT_FALSE(QFileInfo::exists(folder + "/Third"));
        }
        AppJournal::recover();
        EXPECT_EQ(journalEntries(), 0);
    }
}
