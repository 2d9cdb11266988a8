#include <gtest/gtest.h>

#include <dlfcn.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include "engine/core/WorkerThread.h"
#include "LoomworkKit/ZFCPackageReader.h"
#include "engine/operations/OperationsCenter.h"
#include "support/app/ChildTest.h"
#include "support/app/DeferredPanelPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// Memory runs out at one allocation, swept over a backup of one plug-in into a new package,
// from the save panel's answer to the backup's end: the backup ends, and what it says
// is what stands on disk (done: the package reads back; failed: there is no package), with no
// temporary left beside it. Each try runs in a child of its own, with the failing allocator
// preloaded.
namespace {

constexpr char kChildAt[] = "LOOMWORK_BACKUP_SWEEP_AT";

using Arm = void (*)();

void tryOnce()
{
    const QString category = PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect);
    PackageMaker::makeFolder(category, "Glow", {{"Glow.moef", "glow"}, {"Media/a.png", "a"}});
    Plugin glow;
    glow.name = "Glow";
    glow.type = ZFCPluginType::effect;
    glow.root = PluginRoot::user;
    glow.path = category + "/Glow";
    const QString out = TestEnv::root() + "/out";
    QDir().mkpath(out);
    const QString destination = out + "/backup.zfcp";
    DeferredPanelPresenter panel(false);
    const QList<QUrl> picked{QUrl::fromLocalFile(destination)};
    OperationsCenter::setRevealHandler([](const QString&) {});
    const auto arm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_arm"));
    const auto disarm = reinterpret_cast<Arm>(::dlsym(RTLD_DEFAULT, "loomwork_failmalloc_disarm"));
    ASSERT_TRUE(arm && disarm);

    bool ended = false;
    int calls = 0;
    {
        OperationsCenter center;
        // A backup before, unarmed: the libraries' one-time start-up is behind, as it is in an
        // application that has run a while.
        center.backup({glow}, BackupMode::single);
        ASSERT_TRUE(panel.pending);
        panel.pending({QUrl::fromLocalFile(TestEnv::root() + "/before.zfcp")});
        ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 20000));
        ASSERT_EQ(center.statusText(), QStringLiteral("备份完成"));
        panel.pending = {};
        // And no worker thread waits idle, as after a while: the backup needs a new one.
        WorkerThread::waitForAll();

        center.backup({glow}, BackupMode::single, std::nullopt, [&calls] { ++calls; });
        ASSERT_TRUE(panel.pending);
        arm();
        panel.pending(picked);
        ended = QTest::qWaitFor([&] { return !center.isBusy(); }, 20000);
        disarm();
        QCoreApplication::processEvents();
        ASSERT_TRUE(ended) << "still busy: " << center.statusText().toStdString();
        const bool done = center.statusText() == QStringLiteral("备份完成");
        const QString message = center.alertMessage().value_or(QString());
        if (done) {
            EXPECT_FALSE(center.alertTitle().has_value()) << message.toStdString();
            EXPECT_EQ(calls, 1);
            ASSERT_TRUE(QFile::exists(destination));
            const std::vector<ZFCPlugin> plugins = ZFCPackageReader(QFile::encodeName(destination).toStdString()).plugins();
            ASSERT_EQ(plugins.size(), 1u);
            EXPECT_EQ(plugins[0].name, "Glow");
        } else {
            EXPECT_EQ(center.alertTitle(), QStringLiteral("备份失败")) << center.statusText().toStdString();
            EXPECT_FALSE(message.isEmpty());
            EXPECT_FALSE(QFile::exists(destination)) << "reported failed, yet written: " << message.toStdString();
            EXPECT_EQ(calls, 0);
        }
    }
    EXPECT_EQ(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QFile::exists(destination) ? QStringList{"backup.zfcp"} : QStringList{});
}

} // namespace

TEST(BackupMemory, OneTryInAChild)
{
    if (qEnvironmentVariableIsEmpty(kChildAt))
        GTEST_SKIP() << "run by the sweep";
    tryOnce();
}

#ifdef LOOMWORK_FAILMALLOC_PATH
namespace {

// One try in a child with the failing allocator's `settings`; false when the child crashed.
bool runChild(const QTemporaryDir& dir, QList<QPair<QString, QString>> settings)
{
    const QString root = dir.path() + "/scene";
    QDir(root).removeRecursively();
    QDir().mkpath(root);
    settings += {{"LOOMWORK_TEST_ROOT", root},
                 {"LOOMWORK_FAILMALLOC_MARK", "call"},
                 {"LOOMWORK_FAILMALLOC_FIRED", dir.path() + "/fired"},
                 {kChildAt, "1"}};
    return runTestInChild("BackupMemory.OneTryInAChild", settings, LOOMWORK_FAILMALLOC_PATH);
}

} // namespace
#endif

TEST(BackupMemory, WhatIsReportedStandsOnDiskWhereverMemoryRunsOut)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    int tries = 0;
    int crashes = 0;
    for (long at = 1;; ++at) {
        SCOPED_TRACE(at);
        QFile::remove(dir.path() + "/fired");
        // Memory that runs out inside Qt's own containers, or in a thread Qt starts, ends the
        // process; a backup leaves only its temporaries then, which the next one removes.
        if (!runChild(dir, {{"LOOMWORK_FAILMALLOC_AT", QString::number(at)}}))
            ++crashes;
        if (HasFailure())
            break;
        ++tries;
        if (!QFile::exists(dir.path() + "/fired"))
            break; // past the backup's last allocation
    }
    EXPECT_GT(tries, 100) << "the sweep reached the backup";
    EXPECT_LT(crashes, tries / 4);
#endif
}

// The system cannot make a thread the backup needs, its own worker's or the packer's: the
// backup ends saying so, and writes nothing.
TEST(BackupMemory, ABackupWhoseThreadCannotBeMadeEnds)
{
#ifndef LOOMWORK_FAILMALLOC_PATH
    GTEST_SKIP() << "the failing allocator is not built here (sanitizers bring their own)";
#else
    QTemporaryDir dir;
    int tries = 0;
    for (long thread = 1;; ++thread) {
        SCOPED_TRACE(thread);
        QFile::remove(dir.path() + "/fired");
        EXPECT_TRUE(runChild(dir, {{"LOOMWORK_FAILMALLOC_THREAD", QString::number(thread)}}));
        if (HasFailure() || !QFile::exists(dir.path() + "/fired"))
            break;
        ++tries;
    }
    EXPECT_GT(tries, 1) << "the backup's worker and the packer's";
#endif
}
