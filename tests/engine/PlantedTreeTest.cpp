#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTest>
#include <QUrl>

#include <SafeFS/Journal.h>
#include "engine/core/WorkerThread.h"
#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/FsPath.h"
#include "engine/files/AppJournal.h"
#include "engine/files/LibraryWalk.h"
#include "engine/model/InstallPlan.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/operations/PluginModifier.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/BackupTest.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PackageMaker.h"
#include "support/app/PluginFixtures.h"
#include "support/app/TestEnv.h"
#include "support/kit/DeepTree.h"

using PlantedTreeTest = BackupTest;

// Anyone may plant a chain of folders in a system plug-in far deeper than templates nest: a
// translation, a version change and a backup each refuse it with a short message that names
// the plug-in and the place inside it, and nothing is changed or backed up.
TEST_F(PlantedTreeTest, ADeepChainInASystemPluginIsRefusedShortly)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::system, ZFCPluginType::effect, "Deep");
    const Plugin plugin = BackupFixtures::pluginAt(path, PluginRoot::system);
    const auto before = BackupFixtures::snapshot(path);
    const std::string beyond = DeepChain::path(ZFCFolderStack::maxDepth + 1);
    for (const std::size_t depth : {ZFCFolderStack::maxDepth + 1, std::size_t(20000)}) {
        SCOPED_TRACE(depth);
        const DeepChain chain(FsPath::toNative(path), depth);
        try {
            PluginModifier::localize(plugin, {{"Title Color", "标题颜色"}});
            ADD_FAILURE() << "translated";
        } catch (const TemplateEditError& e) {
            EXPECT_EQ(e.message(), "插件「Deep」的文件夹嵌套超过 128 层：" + QString::fromStdString(ZFCPackageError::quotedName(beyond)));
        }
        EXPECT_THROW(TemplateInspector::setVersion(path, "5.13", ""), TemplateEditError);

        FakeAlertPresenter presenter;
        presenter.queuePick({QUrl::fromLocalFile(TestEnv::root() + "/deep.zfcp")});
        OperationsCenter center;
        center.backup({plugin}, BackupMode::single, std::nullopt);
        ASSERT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 30000));
        QCoreApplication::processEvents();
        EXPECT_EQ(center.alertMessage(),
                  QString::fromStdString(ZFCPackageError::treeTooDeep(FsPath::toBytes(path), beyond).errorDescription()));
    }
    EXPECT_TRUE(PluginBackupStore::allBackups().isEmpty());
    EXPECT_EQ(BackupFixtures::snapshot(path), before);
}

// A template as deep as a walk goes is found while only a few files may be open.
TEST_F(PlantedTreeTest, ATemplateAtTheDeepestAllowedLevelIsFoundWithFewHandles)
{
    const QString path = PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, "Deep");
    PluginFixtures::writeBytes(path + "/" + QString::fromStdString(DeepChain::path(ZFCFolderStack::maxDepth)) + ".motn", "");
    const FileLimit limit(64);
    const auto walk = LibraryWalk::walk(FsPath::toBytes(path), LibraryWalk::templateFiles);
    EXPECT_EQ(walk.templates.size(), 1u);
    EXPECT_EQ(walk.tooDeep, "");
}

// A package as deep as the walks go installs into the shared system library, again over itself
// (the old copy emptied in a room) and deletes, leaving nothing hidden; one level deeper is
// refused before anything is written, with a message naming the plug-in, and leaves nothing.
TEST_F(PlantedTreeTest, APackageAsDeepAsTheWalksGoInstallsAndDeletesAndADeeperOneIsRefused)
{
    const QString category = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::effect);
    QDir().mkpath(category);
    ::chmod(QFile::encodeName(category).constData(), 0777);
    const std::string chain = DeepChain::path(ZFCFolderStack::maxDepth - 1);
    const QString package = TestEnv::root() + "/deep.zfcp";
    PackageMaker::pack(package, {{ZFCPluginType::effect, "Deep", {{QString::fromStdString(chain + "/f"), "deepest"}}}},
                       TestEnv::root() + "/work");
    // Beside the deepest file, an empty folder as deep as an item may be.
    PackageMaker::rewriteMetadata(package, [&](std::string text) {
        const std::string items = "\"items\":[";
        return text.insert(text.find(items) + items.size(), "{\"type\":\"directory\",\"path\":\"" + chain + "/e\"},");
    });
    InstallPlan plan;
    plan.root = PluginRoot::system;
    const QString deep = category + "/Deep";
    const auto settle = [](OperationsCenter& center) {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !center.isBusy(); }, 60000));
        QCoreApplication::processEvents();
        WorkerThread::waitForAll();
    };
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        OperationsCenter center;
        center.install({package}, plan);
        settle(center);
        EXPECT_EQ(center.statusText(), "已安装 1 个插件") << center.alertMessage().value_or("").toStdString();
        EXPECT_EQ(PackageMaker::readTree(deep).value(QString::fromStdString(chain + "/f")), "deepest");
        EXPECT_TRUE(QFileInfo(deep + "/" + QString::fromStdString(chain + "/e")).isDir());
        EXPECT_EQ(PackageMaker::namesIn(category), QStringList{"Deep"});
    }
    {
        OperationsCenter center;
        center.remove({BackupFixtures::pluginAt(deep, PluginRoot::system)});
        settle(center);
        EXPECT_EQ(center.statusText(), "已删除 1 个插件") << center.alertMessage().value_or("").toStdString();
        EXPECT_EQ(PackageMaker::namesIn(category), QStringList{});
    }

    PackageMaker::rewriteMetadata(package, [](std::string text) {
        const std::string key = "\"path\":\"";
        for (std::size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += key.size())
            text.insert(at + key.size(), "x/");
        return text;
    });
    PackageMaker::makeFolder(category, "Deep", {{"old.txt", "old"}});
    const auto before = PackageMaker::readTree(category, true);
    {
        OperationsCenter center;
        center.install({package}, plan);
        settle(center);
        EXPECT_NE(center.statusText(), "已安装 1 个插件");
        EXPECT_TRUE(center.alertMessage().value_or("").contains(
            QStringLiteral("插件「Deep」的文件夹嵌套超过 %1 层：").arg(ZFCFolderStack::maxDepth)))
            << center.alertMessage().value_or("").toStdString();
    }
    EXPECT_EQ(PackageMaker::readTree(category, true), before);
    EXPECT_EQ(PackageMaker::namesIn(category), QStringList{"Deep"});
    AppJournal::recover();
    SafeFS::Journal journal;
    ASSERT_EQ(AppJournal::open(journal), 0);
    EXPECT_TRUE(journal.entries().empty());
}
