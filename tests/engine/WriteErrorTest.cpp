#include <atomic>
#include <cerrno>
#include <functional>
#include <mutex>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <SafeFS/Durable.h>
#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/FsPath.h"
#include "engine/files/AdminAuth.h"
#include "engine/files/AppJournal.h"
#include "engine/files/FileOps.h"
#include "engine/files/JournalChange.h"
#include "engine/files/PluginLease.h"
#include "engine/files/TemplateChange.h"
#include "engine/files/TemplateEditError.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/MarketInstaller.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/operations/PluginModifier.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// A sync that reports a write error once a change's new state stands is part of its outcome:
// the change stays made, its journal entry stays (marked), and the user is told that the disk
// reported a write error, not that all went well. The next start tells once more, once, as it
// drops such an entry.
namespace {

constexpr ZFCPluginType effect{ZFCPluginType::effect};
const QString kWriteError = QStringLiteral("磁盘报告了写入错误");

std::vector<SafeFS::JournalEntry> journalEntries()
{
    SafeFS::Journal journal;
    EXPECT_EQ(AppJournal::open(journal), 0);
    return journal.entries();
}

// While it lives, every sync of a file system fails with EIO once `failNow` says so.
class FailingSyncs
{
public:
    explicit FailingSyncs(std::function<bool()> failNow)
    {
        m_previous = SafeFS::setSyncHookForTests([this, failNow = std::move(failNow)](int) {
            const bool fail = failNow && failNow();
            const std::lock_guard lock(m_mutex);
            ++(fail ? m_failed : m_passed);
            return fail ? EIO : 0;
        });
    }
    ~FailingSyncs() { SafeFS::setSyncHookForTests(m_previous); }
    int failed() const
    {
        const std::lock_guard lock(m_mutex);
        return m_failed;
    }
    int all() const
    {
        const std::lock_guard lock(m_mutex);
        return m_failed + m_passed;
    }

private:
    mutable std::mutex m_mutex;
    int m_failed = 0;
    int m_passed = 0;
    SafeFS::SyncHook m_previous;
};

struct Told
{
    int writeError = 0;
    QString message; // what the user reads, where the engine says it
};

class WriteErrorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        QDir().mkpath(work());
    }
    void TearDown() override
    {
        TemplateChange::waitForRemovals();
        WorkerThread::waitForAll();
        TestEnv::reset();
    }
    static QString work() { return TestEnv::root() + "/write-error"; }

    static Told throughCenter(const std::function<void(OperationsCenter&)>& start)
    {
        OperationsCenter center;
        start(center);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        QCoreApplication::processEvents();
        Told told;
        if (center.alertMessage())
            told.message = center.alertTitle().value_or(QString()) + "\n" + *center.alertMessage();
        return told;
    }
};

const QMap<QString, QByteArray> kOld{{"old.txt", "old"}};
const QMap<QString, QByteArray> kNew{{"a.txt", "new a"}};

// Each change the user can make, from the user's side: set up, run, and whether its new state
// stands.
struct Change
{
    const char* name;
    std::function<void()> setUp;
    std::function<Told()> run;
    std::function<bool()> stands;
    bool message;  // the engine composes the user's text (else the sheet does, from the errno)
    bool stages;   // it writes new data that a sync makes durable before it takes a name
};

class WriteErrorChanges : public WriteErrorTest
{
protected:
    std::vector<Change> changes()
    {
        const auto templateOf = [this] { return m_plugin + "/Glow.motn"; };
        const auto translate = [this] {
            return PluginModifier::localize(BackupFixtures::pluginAt(m_plugin), {{"Title Color", "标题颜色"}});
        };
        return {
            {"install",
             [this] {
                 m_plugin = PackageMaker::makeFolder(PluginFixtures::categoryFolder(PluginRoot::user, effect), "Glow", kOld);
                 PackageMaker::pack(package(), {{effect, "Glow", kNew}}, work() + "/src");
             },
             [this] {
                 return throughCenter([&](OperationsCenter& center) { center.install({package()}, InstallPlan()); });
             },
             [this] { return QFileInfo::exists(m_plugin + "/a.txt"); }, true, true},
            {"market install",
             [this] { PackageMaker::writePackage(package(), {{"effect", "Glow"}}); },
             [this] {
                 FakeAlertPresenter presenter;
                 presenter.queueAnswers({true});
                 try {
                     const MarketInstallOutcome outcome = MarketInstaller::install(package(), "p1", "市场名");
                     return Told{outcome.writeError, outcome.notes.join("\n")};
                 } catch (...) {
                     return Told{0, MarketInstaller::describe(std::current_exception())};
                 }
             },
             [] { return QFileInfo::exists(PluginFixtures::categoryFolder(PluginRoot::system, effect) + "/Glow"); }, true, true},
            {"delete",
             [this] { m_plugin = PackageMaker::makeFolder(PluginFixtures::categoryFolder(PluginRoot::user, effect), "Glow", kOld); },
             [this] {
                 Plugin shown = BackupFixtures::pluginAt(m_plugin);
                 shown.type = effect;
                 return throughCenter([&](OperationsCenter& center) { center.remove({shown}); });
             },
             [this] { return !QFileInfo::exists(m_plugin); }, true, false},
            {"version rewrite",
             [this, templateOf] {
                 m_plugin = PluginFixtures::makeTemplatePlugin(PluginRoot::user, effect, "Glow");
                 m_before = PluginFixtures::readBytes(templateOf());
             },
             [this] {
                 try {
                     return Told{TemplateInspector::setVersion(m_plugin, "5.13", "5.6").writeError, {}};
                 } catch (const TemplateEditError& e) {
                     return Told{0, e.message()};
                 }
             },
             [this, templateOf] { return PluginFixtures::readBytes(templateOf()) != m_before; }, false, true},
            {"translation",
             [this, templateOf] {
                 m_plugin = PluginFixtures::makeTemplatePlugin(PluginRoot::user, effect, "Glow");
                 m_before = PluginFixtures::readBytes(templateOf());
             },
             [translate] {
                 try {
                     return Told{translate().summary.writeError, {}};
                 } catch (const TemplateEditError& e) {
                     return Told{0, e.message()};
                 } catch (const PluginBackupError& e) {
                     return Told{0, e.message()};
                 }
             },
             [this, templateOf] { return PluginFixtures::readBytes(templateOf()) != m_before; }, false, true},
            {"restore of the untranslated copy",
             [this, templateOf, translate] {
                 m_plugin = PluginFixtures::makeTemplatePlugin(PluginRoot::user, effect, "Glow");
                 m_before = PluginFixtures::readBytes(templateOf());
                 (void)translate();
                 (void)PluginLease::take(m_plugin); // its old contents gone before the restore
             },
             [this] {
                 QStringList notes;
                 try {
                     (void)PluginModifier::restoreOriginal(BackupFixtures::pluginAt(m_plugin), &notes);
                 } catch (const PluginBackupError& e) {
                     return Told{0, e.message()};
                 }
                 return Told{notes.join("\n").contains(kWriteError) ? EIO : 0, notes.join("\n")};
             },
             [this, templateOf] { return PluginFixtures::readBytes(templateOf()) == m_before; }, true, true},
        };
    }

    void prepare(const Change& c)
    {
        TestEnv::reset();
        AdminAuth::resetExplanation();
        QDir().mkpath(work());
        c.setUp();
        ASSERT_FALSE(c.stands());
    }

private:
    static QString package() { return work() + "/p.zfcp"; }
    QString m_plugin;
    QByteArray m_before; // the template as it was before the change
};

} // namespace

TEST_F(WriteErrorChanges, AChangeWhoseSyncFailsStandsKeepsItsEntryAndSaysSo)
{
    for (const bool failing : {false, true}) {
        for (const Change& c : changes()) {
            SCOPED_TRACE(std::string(c.name) + (failing ? ", the sync failing" : ", the sync passing"));
            prepare(c);
            Told told;
            int failed = 0;
            {
                FailingSyncs syncs([&] { return failing && c.stands(); });
                told = c.run();
                TemplateChange::waitForRemovals(); // the old contents go after the report
                failed = syncs.failed();
            }
            EXPECT_TRUE(c.stands()) << "the change was undone: " << told.message.toStdString();
            const auto entries = journalEntries();
            if (!failing) {
                EXPECT_EQ(told.writeError, 0);
                EXPECT_FALSE(told.message.contains(kWriteError)) << told.message.toStdString();
                EXPECT_TRUE(entries.empty());
                continue;
            }
            ASSERT_GT(failed, 0) << "no sync after the change stood";
            if (c.message)
                EXPECT_TRUE(told.message.contains(kWriteError) && told.message.contains("Glow")) << told.message.toStdString();
            else
                EXPECT_EQ(told.writeError, EIO);
            ASSERT_EQ(entries.size(), 1u) << "the entry went without a sync that succeeded";
            EXPECT_TRUE(entries.front().unsynced);
            // Told already: the next recovery in this run drops it without a word.
            FakeAlertPresenter alerts;
            AppJournal::recover();
            WorkerThread::waitForAll();
            EXPECT_TRUE(journalEntries().empty());
            EXPECT_TRUE(alerts.questions().isEmpty());
        }
    }
}

// A sync that fails before the new data takes a name (the staged copy's) stops the change: the
// old state stays, nothing is called done, and nothing is said of a change that stands.
TEST_F(WriteErrorChanges, AStagedSyncThatFailsStopsTheChange)
{
    for (const Change& c : changes()) {
        if (!c.stages)
            continue;
        SCOPED_TRACE(c.name);
        prepare(c);
        Told told;
        {
            FailingSyncs syncs([] { return true; });
            told = c.run();
            TemplateChange::waitForRemovals();
            EXPECT_GT(syncs.failed(), 0);
        }
        EXPECT_FALSE(c.stands()) << "changed though its staged data never reached the disk";
        EXPECT_EQ(told.writeError, 0);
        EXPECT_FALSE(told.message.isEmpty()) << "stopped without a word";
        EXPECT_FALSE(told.message.contains(kWriteError)) << told.message.toStdString();
        // What is left is recovery's to undo, without a word of a change that stands.
        FakeAlertPresenter alerts;
        AppJournal::recover();
        WorkerThread::waitForAll();
        EXPECT_TRUE(journalEntries().empty());
        for (const FakeAlertPresenter::Question& question : alerts.questions())
            EXPECT_FALSE(question.message.contains(kWriteError)) << question.message.toStdString();
    }
}

// The next start syncs through handles of its own, which cannot see an earlier write-back
// error: an entry marked so is told once, as it is dropped after a sync that succeeded; while
// that sync fails it stays, untold.
TEST_F(WriteErrorTest, TheNextStartTellsOnceOfAChangeTheDiskMayNotHave)
{
    const QString folder = PluginFixtures::categoryFolder(PluginRoot::user, effect);
    struct Case
    {
        const char* name;
        bool unsynced;
        bool toldInThisRun; // by the change itself
        bool recoveryFailsFirst;
        int alerts;
    };
    const Case cases[] = {
        {"an entry whose sync failed", true, false, false, 1},
        {"the same while the disk still fails", true, false, true, 1},
        {"one its change told of already", true, true, false, 0},
        {"an entry without the mark", false, false, false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestEnv::reset();
        QDir().mkpath(folder);
        SafeFS::JournalEntry entry;
        entry.id = SafeFS::newJournalId();
        entry.kind = "template";
        entry.state = SafeFS::JournalEntry::State::finish;
        entry.places.push_back(AppJournal::placeOf(folder));
        entry.unsynced = c.unsynced;
        {
            SafeFS::Journal journal;
            ASSERT_EQ(AppJournal::open(journal), 0);
            ASSERT_EQ(journal.write(entry), 0);
        }
        if (c.toldInThisRun)
            AppJournal::toldUnsynced(entry.id);
        FakeAlertPresenter alerts;
        if (c.recoveryFailsFirst) {
            FailingSyncs syncs([] { return true; });
            AppJournal::recover(AppJournal::When::startUp);
            WorkerThread::waitForAll();
            EXPECT_GT(syncs.failed(), 0);
            EXPECT_EQ(journalEntries().size(), 1u) << "dropped after a failed sync";
            EXPECT_TRUE(alerts.questions().isEmpty());
        }
        AppJournal::recover(AppJournal::When::startUp);
        WorkerThread::waitForAll();
        EXPECT_TRUE(journalEntries().empty());
        AppJournal::recover(AppJournal::When::startUp);
        WorkerThread::waitForAll();
        const auto questions = alerts.questions();
        ASSERT_EQ(questions.size(), c.alerts);
        if (c.alerts) {
            EXPECT_TRUE(questions.front().message.contains(kWriteError)) << questions.front().message.toStdString();
            EXPECT_TRUE(questions.front().message.contains(folder)) << questions.front().message.toStdString();
        }
    }
}

// A rewrite writes its journal entry and syncs a number of times that does not grow with its
// templates, nor with the folders they lie in: 3 or 30 templates, some of them the user's links
// to templates in other folders (1 or 10 of them), cost the same.
TEST_F(WriteErrorTest, ARewriteWritesItsEntryAndSyncsAsOftenForThirtyTemplatesAsForThree)
{
    struct Count
    {
        int writes = 0;
        int syncs = 0;
    };
    const QString outside = TestEnv::root() + "/Outside-rewrite";
    // `templates` across three folders of the plug-in; every third one a link into one of
    // `elsewhere` folders outside it.
    const auto rewrite = [&](int templates, int elsewhere) {
        TestEnv::reset();
        QDir(outside).removeRecursively();
        const QString plugin = PluginFixtures::makePlugin(PluginRoot::user, effect, "Many");
        PluginFixtures::TemplateOptions options;
        options.approxBytes = 1024;
        const QStringList folders{"", "Scenes/", "Scenes/Deep/"};
        for (int i = 0; i < templates; ++i) {
            const QString name = folders[i % 3] + "T" + QString::number(i) + ".motn";
            if (elsewhere > 0 && i % 3 == 0) {
                const QString target = outside + "/" + QString::number(i / 3 % elsewhere) + "/T" + QString::number(i) + ".motn";
                PluginFixtures::writeBytes(target, PluginFixtures::templateBytes(options));
                PluginFixtures::makeSymlink(target, plugin + "/" + name);
            } else {
                PluginFixtures::writeBytes(plugin + "/" + name, PluginFixtures::templateBytes(options));
            }
        }
        Count count;
        CountingFileOps files;
        FailingSyncs syncs({});
        const int changed = TemplateInspector::setVersion(plugin, "5.13", "5.6").filesChanged;
        TemplateChange::waitForRemovals();
        EXPECT_EQ(changed, templates);
        EXPECT_TRUE(journalEntries().empty());
        count.writes = files.writes;
        count.syncs = syncs.all();
        return count;
    };
    struct Case
    {
        const char* name;
        int elsewhere[2]; // folders outside the plug-in, for 3 and for 30 templates
    };
    const Case cases[] = {
        {"all inside the plug-in", {0, 0}},
        {"links into more folders outside as the templates grow", {1, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Count three = rewrite(3, c.elsewhere[0]);
        const Count thirty = rewrite(30, c.elsewhere[1]);
        EXPECT_GT(three.writes, 0);
        EXPECT_GT(three.syncs, 0);
        EXPECT_EQ(thirty.writes, three.writes);
        EXPECT_EQ(thirty.syncs, three.syncs);
        EXPECT_LE(thirty.writes, 3) << "the rooms named, their identities, the commit";
        // Rewritten where they point, and no room left there.
        for (int folder = 0; folder < c.elsewhere[1]; ++folder) {
            const QString at = outside + "/" + QString::number(folder);
            EXPECT_EQ(QDir(at).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size(), 1) << at.toStdString();
            EXPECT_TRUE(PluginFixtures::readBytes(at + "/T" + QString::number(folder * 3) + ".motn").contains("5.13"));
        }
    }
    QDir(outside).removeRecursively();
}

// A change syncs through the handle it took on its place's file system when it added the
// place, before it wrote anything: a handle opened at the sync would not see a write-back error
// of what it wrote. The folder is replaced meanwhile, so that the two handles differ.
TEST_F(WriteErrorTest, AChangeSyncsThroughTheHandleItTookBeforeWriting)
{
    const QString folder = PluginFixtures::categoryFolder(PluginRoot::user, effect);
    struct stat early {};
    ASSERT_EQ(::stat(FsPath::toBytes(folder).c_str(), &early), 0);
    std::vector<ino_t> synced;
    const SafeFS::SyncHook previous = SafeFS::setSyncHookForTests([&](int fd) {
        struct stat st {};
        EXPECT_EQ(::fstat(fd, &st), 0);
        synced.push_back(st.st_ino);
        return 0;
    });
    {
        JournalChange change("test");
        (void)change.place(AppJournal::placeOf(folder));
        ASSERT_EQ(change.write(), 0);
        ASSERT_TRUE(QDir().rename(folder, folder + "-moved"));
        ASSERT_TRUE(QDir().mkpath(folder));
        EXPECT_EQ(change.sync(), 0);
        EXPECT_EQ(change.close(), 0);
    }
    SafeFS::setSyncHookForTests(previous);
    ASSERT_EQ(synced.size(), 2u) << "one sync for the change going on, one at its end";
    EXPECT_EQ(synced[0], early.st_ino);
    EXPECT_EQ(synced[1], early.st_ino);
    EXPECT_TRUE(journalEntries().empty());
    QDir(folder + "-moved").removeRecursively();
}
