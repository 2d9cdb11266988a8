#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QThreadPool>

#include <SafeFS/Journal.h>
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/StartUp.h"
#include "support/app/TestEnv.h"

using namespace PluginFixtures;

// Start-up puts right only what the application's own journal names. A name of our hidden
// forms, a record or a staged file in a library proves nothing: anyone who may write there
// can give one.
//
// A neighbour who may not delete the owner's plug-ins in the system library renames them to
// our hidden forms (a staging folder, an old copy beside its plug-in, one whose plug-in is
// gone). A rewrite's record of the old form, planted in a plug-in of the user's library, names
// a file outside it: by climbing with "..", by its absolute path, through a link in the
// plug-in; beside that file lies a staged file of the old form. The owner's next start, in a
// new process, moves nothing.
TEST(StartUpRecovery, OurHiddenFormsAndPlantedRecordsMoveNothing)
{
    if (StartUp::isChild()) {
        StartUp::run();
        return;
    }
    for (const QString& folder : {categoryFolder(PluginRoot::system, ZFCPluginType::effect),
                                  categoryFolder(PluginRoot::user, ZFCPluginType::effect)}) {
        PackageMaker::makeFolder(folder, ".Good.loomwork-install-0123456789abcdef", {{"Good.motn", "good"}});
        PackageMaker::makeFolder(folder, ".Blur.loomwork-replaced-0123456789abcdef", {{"Blur.motn", "old blur"}});
        PackageMaker::makeFolder(folder, "Blur", {{"Blur.motn", "blur"}});
        PackageMaker::makeFolder(folder, ".Gone.loomwork-replaced-fedcba9876543210", {{"Gone.motn", "gone"}});
    }
    const QString outside = TestEnv::root() + "/Outside";
    writeBytes(outside + "/secret.txt", "secret");
    const QString staged = ".loomwork-rewrite-00000000000000aa";
    writeBytes(outside + "/" + staged, "planted");
    const QStringList targets{"../../../../Outside/secret.txt", outside + "/secret.txt", "Link/secret.txt"};
    for (qsizetype i = 0; i < targets.size(); ++i) {
        const QString plugin = categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Planted" + QString::number(i);
        writeBytes(plugin + "/A.motn", "template");
        makeSymlink(outside, plugin + "/Link");
        writeBytes(plugin + "/" + staged, "planted");
        writeBytes(plugin + "/.loomwork-rewrite-0123456789abcdef.record",
                   QByteArray("loomwork rewrite record 1\n") + QFile::encodeName(targets[i]) + '\0' + staged.toUtf8() + '\0'
                       + "end\n");
    }
    const QString places[] = {TestEnv::systemLibrary(), TestEnv::userLibrary(), outside};
    QList<QMap<QString, QByteArray>> before;
    for (const QString& place : places)
        before.append(PackageMaker::readTree(place, true));
    ASSERT_TRUE(StartUp::runInNewProcess("StartUpRecovery.OurHiddenFormsAndPlantedRecordsMoveNothing"));
    for (qsizetype i = 0; i < before.size(); ++i)
        EXPECT_EQ(PackageMaker::readTree(places[i], true), before[i]) << places[i].toStdString();
    QDir(outside).removeRecursively();
}

// What recovery cannot put right (an old copy another user moved away) is told once, in an
// alert of its own, with where the new plug-in stays; so is an entry too damaged to read.
TEST(StartUpRecovery, WhatCannotBePutRightIsToldOnce)
{
    const QString category = categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    PackageMaker::makeFolder(category, "Glow", {{"new.txt", "new"}});
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    SafeFS::JournalEntry entry;
    entry.id = SafeFS::newJournalId();
    entry.kind = "install";
    entry.places = {AppJournal::placeOf(category)};
    SafeFS::Identity glow;
    ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(category + "/Glow"), glow), 0);
    entry.items.push_back({SafeFS::JournalItem::Role::made, 0, ".Glow.loomwork-incoming-" + entry.id, "Glow", glow});
    entry.items.push_back({SafeFS::JournalItem::Role::old, 0, ".Glow.loomwork-incoming-" + entry.id, "Glow", {1, 2, 3}});
    ASSERT_EQ(journal.write(entry), 0);
    const QString damaged = AppJournal::folder() + "/" + QString::fromStdString(SafeFS::newJournalId()) + ".entry";
    writeBytes(damaged, "loomwork journal 1\n");
    ::chmod(QFile::encodeName(damaged).constData(), 0600);

    FakeAlertPresenter alerts;
    AppJournal::recover();
    QThreadPool::globalInstance()->waitForDone();
    ASSERT_EQ(alerts.questions().size(), 1);
    EXPECT_EQ(alerts.questions()[0].title, "上次的操作没有完成");
    EXPECT_TRUE(alerts.questions()[0].message.contains(category + "/Glow")) << alerts.questions()[0].message.toStdString();
    EXPECT_TRUE(alerts.questions()[0].message.contains(".damaged")) << alerts.questions()[0].message.toStdString();
    EXPECT_EQ(PackageMaker::readTree(category + "/Glow"), (QMap<QString, QByteArray>{{"new.txt", "new"}}));
    AppJournal::recover();
    QThreadPool::globalInstance()->waitForDone();
    EXPECT_EQ(alerts.questions().size(), 1) << "told once";
}
