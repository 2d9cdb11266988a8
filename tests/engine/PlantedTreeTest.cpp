#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <QUrl>

#include "LoomworkKit/ZFCFolderStack.h"
#include "LoomworkKit/ZFCPackageError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/core/FsPath.h"
#include "engine/files/LibraryWalk.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/operations/PluginModifier.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/BackupTest.h"
#include "support/app/FakeAlertPresenter.h"
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
