#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>

#include <functional>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QUrl>

#include <SafeFS/Identity.h>
#include "engine/core/FsPath.h"
#include "engine/files/TemplateChange.h"
#include "engine/files/TemplateEditError.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/operations/PluginModifier.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/ChildTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"

// A neighbour exchanges a name once, after the list showed the plug-in: right after Loomwork
// opened an item (a preloaded seam, so each case runs in a child of its own), or before the
// operation starts. Whatever stands at the names by then, Loomwork copies and changes the items
// it checked, or stops saying the plug-in changed after it was shown; nothing of the
// neighbour's is copied into a backup, changed or removed.
namespace {

constexpr char kCase[] = "LOOMWORK_CHECKED_CASE";
const QString kChanged = QStringLiteral("在列表显示后已被改动或替换");

struct Scene {
    QString category;
    Plugin good; // as the list showed it
    QMap<QString, QByteArray> goodBefore;
    QMap<QString, QByteArray> neighbourBefore;
    QByteArray neighbourTemplate;
};

struct Case {
    const char* name;
    PluginRoot::Value root;
    // The neighbour exchanges these (inside the category) just after the open of `opened`
    // numbered `openedAt`; with no `opened`, before the operation.
    QString a;
    QString b;
    QString opened;
    QString openedAt;
    std::function<void(const Scene&)> actAndCheck;
};

// A quick backup of the plug-in into one package is refused, and writes nothing.
void packRefused(const Scene& scene)
{
    const QString package = TestEnv::root() + "/out/good.zfcp";
    QDir().mkpath(TestEnv::root() + "/out");
    FakeAlertPresenter presenter;
    presenter.queuePick({QUrl::fromLocalFile(package)});
    OperationsCenter::setRevealHandler([](const QString&) {});
    OperationsCenter center;
    center.backup({scene.good}, BackupMode::single, std::nullopt, [] {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
    QCoreApplication::processEvents();
    const QString said = center.alertMessage().value_or(center.statusText());
    EXPECT_TRUE(said.contains("「Good」" + kChanged)) << said.toStdString();
    EXPECT_FALSE(QFile::exists(package));
}

const QList<Case>& cases()
{
    static const QList<Case> table{
        // The translation's backup is made after the change checked the plug-in; the neighbour
        // moves as the change first looks inside it.
        {"translation", PluginRoot::system, "Good", "NGood", "Inner", "0",
         [](const Scene& scene) {
             const auto outcome = PluginModifier::localize(scene.good, {{"Title Color", "标题颜色"}});
             TemplateChange::waitForRemovals();
             ASSERT_TRUE(outcome.backup);
             EXPECT_EQ(PackageMaker::readTree(PluginBackupStore::payloadCopy(*outcome.backup).value_or("")),
                       scene.goodBefore)
                 << "the backup holds what the translation changed";
             EXPECT_TRUE(PluginFixtures::readBytes(scene.category + "/NGood/Good.motn").contains("标题颜色"));
         }},
        // A rewrite reads the template, and the neighbour puts his file at its name at once.
        {"rewrite", PluginRoot::system, "Good/Good.motn", "Theirs.motn", "Good.motn", "0",
         [](const Scene& scene) {
             QString message;
             try {
                 TemplateInspector::setVersion(scene.good.path, "5.13", "5.6", scene.good.identity);
             } catch (const TemplateEditError& error) {
                 message = error.message();
             }
             TemplateChange::waitForRemovals();
             EXPECT_TRUE(message.contains("「Good」" + kChanged)) << message.toStdString();
             EXPECT_EQ(PluginFixtures::readBytes(scene.category + "/Theirs.motn"), scene.goodBefore["Good.motn"]);
             EXPECT_EQ(PackageMaker::namesIn(scene.good.path), (QStringList{"Good.motn", "Inner"}));
         }},
        // A package reads the plug-in's folder only when it is the one the list showed.
        {"package", PluginRoot::system, "Good", "NGood", "", "", packRefused},
        {"package in the user's library", PluginRoot::user, "Good", "NGood", "", "", packRefused},
    };
    return table;
}

QByteArray templateNaming(const QString& name)
{
    PluginFixtures::TemplateOptions options;
    options.publishedNames = {"Title Color", name};
    options.approxBytes = 4096;
    return PluginFixtures::templateBytes(options);
}

void runCase(const Case& which)
{
    Scene scene;
    scene.category = PluginFixtures::categoryFolder(which.root, ZFCPluginType::effect);
    ::chmod(QFile::encodeName(scene.category).constData(), 0777);
    PluginFixtures::writeBytes(scene.category + "/Good/Good.motn", templateNaming("Ours"));
    PluginFixtures::writeBytes(scene.category + "/Good/Inner/b.txt", "ours");
    scene.neighbourTemplate = templateNaming("Theirs");
    PluginFixtures::writeBytes(scene.category + "/NGood/Good.motn", scene.neighbourTemplate);
    PluginFixtures::writeBytes(scene.category + "/NGood/Inner/b.txt", "theirs");
    PluginFixtures::writeBytes(scene.category + "/Theirs.motn", scene.neighbourTemplate);
    scene.goodBefore = PackageMaker::readTree(scene.category + "/Good");
    scene.neighbourBefore = PackageMaker::readTree(scene.category + "/NGood");
    scene.good.name = "Good";
    scene.good.root = which.root;
    scene.good.path = scene.category + "/Good";
    ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, FsPath::toBytes(scene.good.path), scene.good.identity), 0);

    const QByteArray a = QFile::encodeName(scene.category + "/" + which.a);
    const QByteArray b = QFile::encodeName(scene.category + "/" + which.b);
    if (which.opened.isEmpty()) {
        ASSERT_EQ(::renameat2(AT_FDCWD, a.constData(), AT_FDCWD, b.constData(), RENAME_EXCHANGE), 0);
    } else {
        qputenv("LOOMWORK_NEIGHBOUR_A", a);
        qputenv("LOOMWORK_NEIGHBOUR_B", b);
        qputenv("LOOMWORK_NEIGHBOUR_OPENED", which.opened.toUtf8());
        qputenv("LOOMWORK_NEIGHBOUR_OPENED_AT", which.openedAt.toUtf8());
        const auto arm = reinterpret_cast<void (*)()>(::dlsym(RTLD_DEFAULT, "loomwork_neighbour_arm"));
        ASSERT_TRUE(arm) << "run by CheckedFolder.WhatWasCheckedIsWhatIsCopiedAndChanged";
        arm();
    }
    which.actAndCheck(scene);
    // The neighbour did move, and his folder or file stands untouched at the plug-in's names.
    const QString moved = scene.category + "/" + which.a;
    EXPECT_TRUE(QFileInfo(moved).isDir() ? PackageMaker::readTree(moved) == scene.neighbourBefore
                                         : PluginFixtures::readBytes(moved) == scene.neighbourTemplate)
        << "the neighbour's exchange never happened";
}

} // namespace

TEST(CheckedFolder, OneCaseInAChild)
{
    const QString name = qEnvironmentVariable(kCase);
    if (name.isEmpty())
        GTEST_SKIP() << "run by CheckedFolder.WhatWasCheckedIsWhatIsCopiedAndChanged";
    for (const Case& each : cases()) {
        if (name == each.name)
            return runCase(each);
    }
    FAIL() << "no case " << name.toStdString();
}

TEST(CheckedFolder, WhatWasCheckedIsWhatIsCopiedAndChanged)
{
#ifndef LOOMWORK_NEIGHBOUR_PATH
    GTEST_SKIP() << "the neighbour's seam is not built here";
#else
    for (const Case& each : cases()) {
        SCOPED_TRACE(each.name);
        EXPECT_TRUE(runTestInChild("CheckedFolder.OneCaseInAChild", {{kCase, each.name}}, LOOMWORK_NEIGHBOUR_PATH))
            << "the child ended by a signal";
    }
#endif
}
