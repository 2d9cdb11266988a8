#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>

#include <chrono>
#include <filesystem>
#include <new>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "LoomworkKit/ZFCLeftovers.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/BackupFixtures.h"
#include "support/app/ChildTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// Memory runs out at one allocation, swept over steps that run where nothing may escape them
// (the start's recovery, a sweep of a pack's temporaries), over the listing of backups, and
// over the GUI's calls that start a delete or a backup: no step ends the process or throws to
// its caller, what each says is what stands, and what it left undone is done the next time.
// Each try runs in a child of its own, with the failing allocator preloaded.
namespace {

constexpr char kChildStep[] = "LOOMWORK_STEP_SWEEP_STEP";
constexpr char kChildAfterCrash[] = "LOOMWORK_STEP_SWEEP_AFTER_CRASH";

enum class Step { startUpRecovery, packTemporaries, backupListing, removeCall, backupCall };
const char* const kStepNames[] = {"start-up recovery", "stale pack temporaries", "backup listing",
                                  "the delete's call", "the backup's call"};

using Arm = void (*)();

const QMap<QString, QByteArray> kGlow{{"Glow.moef", "glow"}, {"a.png", "a"}};

QString effects(PluginRoot root = PluginRoot::user)
{
    return PluginFixtures::categoryFolder(root, ZFCPluginType::effect);
}

QStringList journalEntries()
{
    return QDir(AppJournal::folder()).entryList(QDir::Files);
}

QStringList hiddenIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).filter(QRegularExpression("^\\."));
}

struct Armed
{
    Arm arm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_arm"));
    Arm disarm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm"));
};

// An install killed after staging, before any exchange: the start puts the library back.
void startUpRecovery(const Armed& failing)
{
    const QString category = effects(PluginRoot::system);
    PackageMaker::makeFolder(category, "Glow", kGlow);
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    SafeFS::JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "install";
    entry.places = {AppJournal::placeOf(category)};
    const std::string staged = ".Glow.loomwork-incoming-" + entry.id;
    PackageMaker::makeFolder(category, QString::fromStdString(staged), {{"new.txt", "new"}});
    SafeFS::Identity made;
    ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(category) + "/" + staged, made), 0);
    entry.items.push_back({SafeFS::JournalItem::Role::made, 0, staged, "Glow", made});
    ASSERT_EQ(journal.write(entry), 0);

    FakeAlertPresenter alerts;
    failing.arm();
    AppJournal::recoverAtStartUp();
    failing.disarm();
    WorkerThread::waitForAll();
    for (const FakeAlertPresenter::Question& question : alerts.questions())
        EXPECT_TRUE(question.message.contains(QRegularExpression("[\\x{4e00}-\\x{9fff}]"))) << question.message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(category + "/Glow"), kGlow);
    // What it did not finish, the next start does.
    AppJournal::recoverAtStartUp();
    WorkerThread::waitForAll();
    EXPECT_EQ(hiddenIn(category), QStringList());
    EXPECT_EQ(journalEntries(), QStringList());
    EXPECT_EQ(PackageMaker::readTree(category + "/Glow"), kGlow);
}

void packTemporaries(const Armed& failing)
{
    const QString out = TestEnv::root() + "/out";
    const QStringList stale{".zfcp-0123ABCD-0123-4567-89AB-0123456789AB.data",
                            ".zfcp-0123ABCD-0123-4567-89AB-0123456789AB.part"};
    for (const QString& name : stale)
        PluginFixtures::writeBytes(out + "/" + name, "partial");
    PluginFixtures::writeBytes(out + "/keep.zfcp", "the user's");
    const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
    const std::filesystem::path folder(FsPath::toBytes(out));
    failing.arm();
    const std::size_t removed = ZFCLeftovers::removeStalePackTemporaries(folder, later);
    failing.disarm();
    EXPECT_LE(removed, std::size_t(stale.size()));
    EXPECT_EQ(hiddenIn(out).size(), stale.size() - qsizetype(removed));
    ZFCLeftovers::removeStalePackTemporaries(folder, later);
    EXPECT_EQ(hiddenIn(out), QStringList());
    EXPECT_TRUE(QFile::exists(out + "/keep.zfcp"));
}

// A listing that runs out of memory says so; it never lists too few (a restore would then call
// a whole backup incomplete).
void backupListing(const Armed& failing)
{
    const Plugin glow = BackupFixtures::pluginAt(PackageMaker::makeFolder(effects(), "Glow", kGlow));
    const PluginBackup made = PluginBackupStore::createBackup(glow, "插件汉化（原文备份）", 1);
    QList<PluginBackup> listed;
    std::optional<QString> copy;
    bool threw = false;
    failing.arm();
    try {
        listed = PluginBackupStore::backups(glow);
        if (!listed.isEmpty())
            copy = PluginBackupStore::payloadCopy(listed.first());
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    failing.disarm();
    if (!threw) {
        ASSERT_EQ(listed.size(), 1);
        EXPECT_EQ(listed.first().id, made.id);
        ASSERT_TRUE(copy.has_value());
        EXPECT_EQ(PackageMaker::readTree(*copy), kGlow);
    }
}

// The GUI's call itself: it returns, the operation ends, and what it says stands on disk.
void guiCall(const Armed& failing, bool remove)
{
    const Plugin glow = BackupFixtures::pluginAt(PackageMaker::makeFolder(effects(), "Glow", kGlow));
    const QString destination = TestEnv::root() + "/out/backup.zfcp";
    QDir().mkpath(TestEnv::root() + "/out");
    FakeAlertPresenter alerts;
    OperationsCenter::setRevealHandler([](const QString&) {});
    OperationsCenter center;
    if (!remove)
        alerts.queuePick({QUrl::fromLocalFile(destination)});
    const QList<Plugin> plugins{glow};
    failing.arm();
    try {
        if (remove)
            center.remove(plugins);
        else
            center.backup(plugins, BackupMode::single);
    } catch (...) {
        failing.disarm();
        ADD_FAILURE() << "thrown to the GUI";
        return;
    }
    failing.disarm();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 20000)) << center.statusText().toStdString();
    QCoreApplication::processEvents();
    const QString said = center.statusText() + " / " + center.alertMessage().value_or(QString());
    const bool done = center.statusText() == (remove ? "已删除 1 个插件" : "备份完成");
    if (!done) {
        EXPECT_TRUE(center.alertTitle().has_value()) << said.toStdString();
        EXPECT_TRUE(center.alertMessage().value_or(QString()).contains(QRegularExpression("[\\x{4e00}-\\x{9fff}]")))
            << said.toStdString();
    }
    // Memory is the only thing that fails here: nothing is blamed on rights or a busy file.
    EXPECT_FALSE(said.contains("权限或文件占用")) << said.toStdString();
    if (remove) {
        EXPECT_EQ(QFileInfo::exists(glow.path), !done) << said.toStdString();
        if (!done) {
            EXPECT_EQ(PackageMaker::readTree(glow.path), kGlow) << said.toStdString();
        }
        // Said to wait for the next start only when it does, recorded.
        if (said.contains("下次启动时会再试")) {
            EXPECT_FALSE(journalEntries().isEmpty()) << said.toStdString();
            EXPECT_FALSE(hiddenIn(effects()).isEmpty()) << said.toStdString();
        }
        AppJournal::recover();
        EXPECT_EQ(QFileInfo::exists(glow.path), !done) << said.toStdString();
        EXPECT_EQ(hiddenIn(effects()), QStringList());
    } else {
        EXPECT_EQ(QFile::exists(destination), done) << said.toStdString();
        EXPECT_EQ(PackageMaker::readTree(glow.path), kGlow);
    }
}

// A try that ended by a signal: the next start's recovery leaves every plug-in whole or gone,
// and nothing of ours.
void afterCrash()
{
    AppJournal::recover();
    for (const QString& category : {effects(), effects(PluginRoot::system)}) {
        if (QFileInfo::exists(category + "/Glow")) {
            EXPECT_EQ(PackageMaker::readTree(category + "/Glow"), kGlow);
        }
        EXPECT_EQ(hiddenIn(category), QStringList());
    }
    EXPECT_EQ(journalEntries(), QStringList());
}

} // namespace

TEST(StepMemory, OneTryInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildStep))
        GTEST_SKIP() << "run by the sweep";
    if (!qEnvironmentVariableIsEmpty(kChildAfterCrash)) {
        afterCrash();
        return;
    }
    const Armed failing;
    ASSERT_TRUE(failing.arm && failing.disarm);
    switch (Step(qEnvironmentVariableIntValue(kChildStep))) {
    case Step::startUpRecovery: startUpRecovery(failing); break;
    case Step::packTemporaries: packTemporaries(failing); break;
    case Step::backupListing: backupListing(failing); break;
    case Step::removeCall: guiCall(failing, true); break;
    case Step::backupCall: guiCall(failing, false); break;
    }
}

TEST(StepMemory, NothingEndsTheProcessOrThrowsToItsCallerAndWhatIsSaidStands)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    struct Case
    {
        Step step;
        int atLeast;    // allocations the step makes, at the least
        bool inQtsOwn;  // it emits signals: memory may run out in Qt's own containers
    };
    const Case cases[] = {
        {Step::startUpRecovery, 20, false}, {Step::packTemporaries, 0, false}, {Step::backupListing, 10, false},
        {Step::removeCall, 5, true},        {Step::backupCall, 5, true},
    };
    QTemporaryDir dir;
    const long stride = qEnvironmentVariableIsSet("LOOMWORK_MEMORY_SWEEP_FULL") ? 1 : 2;
    for (const Case& c : cases) {
        SCOPED_TRACE(kStepNames[int(c.step)]);
        int crashes = 0;
        const long every = c.step == Step::packTemporaries ? 1 : stride;
        const int tries = sweepAllocations(dir.path(), every, [&](long at, const QString& root, const QString& fired) {
            QList<QPair<QString, QString>> settings{{"LOOMWORK_TEST_ROOT", root},
                                                    {"LOOMWORK_FAILMALLOC_MARK", "call"},
                                                    {"LOOMWORK_FAILMALLOC_AT", QString::number(at)},
                                                    {"LOOMWORK_FAILMALLOC_FIRED", fired},
                                                    {kChildStep, QString::number(int(c.step))}};
            if (runTestInChild("StepMemory.OneTryInAChild", settings, LOOMWORK_FAILMALLOC_PATH))
                return;
            // Qt's own containers end the process when memory runs out in them (the
            // standard library's and ours throw): never in a step that is ours alone.
            EXPECT_TRUE(c.inQtsOwn) << "ended by a signal";
            ++crashes;
            settings.append(qMakePair(QString(kChildAfterCrash), QStringLiteral("1")));
            EXPECT_TRUE(runTestInChild("StepMemory.OneTryInAChild", settings, {}));
        });
        EXPECT_GT(tries * every, c.atLeast) << "the sweep reached the step";
        EXPECT_LT(crashes, tries / 3 + 1) << "most tries end without a signal";
    }
#endif
}
