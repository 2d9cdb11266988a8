#include <gtest/gtest.h>

#include <dlfcn.h>

#include <new>

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/files/AppJournal.h"
#include "engine/files/TemplateChange.h"
#include "engine/operations/PluginModifier.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/ChildTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// Memory runs out at one allocation, swept over a translation (with its backup and the prune
// after it), over a version rewrite of a system plug-in and over the restore of its original
// after a translation: what the call reports is what
// stands on disk, and once recovery has run every template is wholly old or wholly new, with
// no backup left without its meta.json and nothing of ours left. Each try runs in a child of
// its own, with the failing allocator preloaded.
namespace {

constexpr char kChildAt[] = "LOOMWORK_TEMPLATE_SWEEP_AT";
constexpr char kChildChange[] = "LOOMWORK_TEMPLATE_SWEEP_CHANGE";
constexpr char kChildAfterCrash[] = "LOOMWORK_TEMPLATE_SWEEP_AFTER_CRASH";

const QStringList kTemplates{"A.motn", "Scenes/B.motn", "Scenes/C.moti"};

using Arm = void (*)();

enum class Change { translation, rewrite, restore };
const char* const kChangeNames[] = {"translation", "rewrite", "restore"};

QString glowFolder()
{
    return PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect) + "/Glow";
}

QByteArray oldTemplate()
{
    PluginFixtures::TemplateOptions options;
    options.approxBytes = 2048;
    return PluginFixtures::templateBytes(options);
}

// How many templates hold the change's mark; each of the others must hold the old text. A
// restore's mark is the translation it undoes.
int changedTemplates(Change change)
{
    const QByteArray mark = change == Change::rewrite ? "version=\"5.13\"" : "name=\"字体\"";
    int count = 0;
    for (const QString& name : kTemplates) {
        const QByteArray bytes = PluginFixtures::readBytes(glowFolder() + "/" + name);
        if (bytes.contains(mark))
            ++count;
        else
            EXPECT_EQ(bytes, oldTemplate()) << name.toStdString();
    }
    return count;
}

// Every backup folder has its meta.json, but for what a removal cut short left under a hidden
// name, which the next prune removes.
void expectNoHalfBackup()
{
    for (const QString& name : BackupFixtures::backupFolderNames()) {
        if (name.startsWith('.'))
            EXPECT_TRUE(name.endsWith(".discarded")) << name.toStdString();
        else
            EXPECT_TRUE(QFile::exists(PluginBackupStore::root() + "/" + name + "/meta.json")) << name.toStdString();
    }
}

void expectNothingOfOursLeft()
{
    QStringList hidden;
    QDirIterator it(glowFolder(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        if (it.fileName().startsWith('.'))
            hidden.append(it.filePath());
    }
    EXPECT_TRUE(hidden.isEmpty()) << hidden.join(", ").toStdString();
    EXPECT_TRUE(QDir(AppJournal::folder()).entryList(QDir::Files).isEmpty()) << "nothing left for good";
}

void makeScene()
{
    for (const QString& name : kTemplates)
        PluginFixtures::writeBytes(glowFolder() + "/" + name, oldTemplate());
    // Another plug-in with more backups than are kept, so that the prune has work.
    for (int i = 0; i < 4; ++i)
        BackupFixtures::writeBackup(QString("other-%1").arg(i), TestEnv::root() + "/Other", "备份",
                                    QDateTime::currentDateTimeUtc().addSecs(-i));
}

// One try, in the child: the outcome and the disk must agree, before recovery and after.
void tryOnce(Change change)
{
    makeScene();
    const int whole = int(kTemplates.size());
    if (change == Change::restore) {
        const Plugin before = BackupFixtures::pluginAt(glowFolder(), PluginRoot::system);
        ASSERT_EQ(PluginModifier::localize(before, {{"Font", "字体"}}).summary.filesChanged, whole);
        TemplateChange::waitForRemovals();
    }
    // What each outcome leaves: done, and not done.
    const int done = change == Change::restore ? 0 : whole;
    const int undone = whole - done;
    FakeAlertPresenter alerts;
    const auto arm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_arm"));
    const auto disarm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm"));
    ASSERT_TRUE(arm && disarm);
    const Plugin plugin = BackupFixtures::pluginAt(glowFolder(), PluginRoot::system);

    bool ok = false;
    QString message;
    arm();
    try {
        if (change == Change::rewrite)
            ok = TemplateInspector::setVersion(glowFolder(), "5.13", "5.6").filesChanged == kTemplates.size();
        else if (change == Change::translation)
            ok = PluginModifier::localize(plugin, {{"Font", "字体"}}).summary.filesChanged == kTemplates.size();
        else
            ok = PluginModifier::restoreOriginal(plugin) == 1;
    } catch (const TemplateEditError& e) {
        disarm();
        message = e.message();
    } catch (const PluginBackupError& e) {
        disarm();
        message = e.message();
    } catch (const std::bad_alloc&) {
        disarm();
        message = "内存不足";
    }
    disarm();
    TemplateChange::waitForRemovals();
    if (!ok) {
        EXPECT_TRUE(message.contains("内存不足")) << "said as what it is: " << message.toStdString();
    }

    // Said unchanged (or not said how far it got, before any step): wholly old. Said recorded:
    // the next recovery makes it whole.
    const bool recorded = message.contains("已记录") || message.contains("下次启动");
    if (ok) {
        EXPECT_EQ(changedTemplates(change), done) << "reported done";
    } else if (!recorded) {
        EXPECT_EQ(changedTemplates(change), undone) << message.toStdString();
    }
    expectNoHalfBackup();
    AppJournal::recover();
    const int after = changedTemplates(change);
    if (ok) {
        EXPECT_EQ(after, done);
    } else if (!recorded) {
        EXPECT_EQ(after, undone) << message.toStdString();
    } else {
        EXPECT_TRUE(after == 0 || after == whole) << after << " " << message.toStdString();
    }
    expectNothingOfOursLeft();
    PluginBackupStore::prune(3);
    EXPECT_TRUE(BackupFixtures::backupFolderNames().filter(QRegularExpression("^\\.")).isEmpty());
}

// Memory that runs out inside Qt's own containers ends the process: the next start's recovery
// leaves the templates wholly old or wholly new, and nothing of ours.
void afterCrash(Change change)
{
    AppJournal::recover();
    const int after = changedTemplates(change);
    EXPECT_TRUE(after == 0 || after == kTemplates.size()) << after;
    expectNothingOfOursLeft();
}


} // namespace

TEST(TemplateMemory, OneTryInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildAt))
        GTEST_SKIP() << "run by the sweep";
    const auto change = Change(qEnvironmentVariableIntValue(kChildChange));
    if (!qEnvironmentVariableIsEmpty(kChildAfterCrash))
        afterCrash(change);
    else
        tryOnce(change);
}

TEST(TemplateMemory, WhatIsReportedStandsOnDiskWhereverMemoryRunsOut)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    for (const Change change : {Change::translation, Change::rewrite, Change::restore}) {
        SCOPED_TRACE(kChangeNames[int(change)]);
        // Every few allocations of the call, to its last (every one with
        // LOOMWORK_MEMORY_SWEEP_FULL set).
        const long stride = qEnvironmentVariableIsSet("LOOMWORK_MEMORY_SWEEP_FULL") || change == Change::rewrite ? 1
            : change == Change::restore                                                                           ? 3
                                                                                                                  : 17;
        const int tries = sweepAllocations(dir.path(), stride, [&](long at, const QString& root, const QString& fired) {
            QList<QPair<QString, QString>> settings{{"LOOMWORK_TEST_ROOT", root},
                                                    {"LOOMWORK_FAILMALLOC_MARK", "call"},
                                                    {"LOOMWORK_FAILMALLOC_AT", QString::number(at)},
                                                    {"LOOMWORK_FAILMALLOC_FIRED", fired},
                                                    {kChildAt, QString::number(at)},
                                                    {kChildChange, QString::number(int(change))}};
            if (!runTestInChild("TemplateMemory.OneTryInAChild", settings, LOOMWORK_FAILMALLOC_PATH)) {
                settings.append(qMakePair(QString(kChildAfterCrash), QStringLiteral("1")));
                EXPECT_TRUE(runTestInChild("TemplateMemory.OneTryInAChild", settings, {}));
            }
        });
        EXPECT_GT(tries, 50) << "the sweep reached the call";
    }
#endif
}
