#include <cerrno>

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "engine/files/AdminAuth.h"
#include "engine/backup/PluginBackupError.h"
#include "engine/backup/PluginBackupStore.h"
#include "engine/operations/PluginModifier.h"
#include "engine/templates/TemplateInspector.h"
#include "support/app/BackupFixtures.h"
#include "support/app/BackupTest.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/RecordingAdminRunner.h"
#include "support/app/TestEnv.h"

using namespace BackupFixtures;

namespace {

using PluginModifierTest = BackupTest;

const QHash<QString, QString> kMap{{"Title Color", "标题颜色"}, {"Font", "字体"}};

} // namespace

TEST_F(PluginModifierTest, TranslateTwiceThenRestoreGivesBackTheOriginalFiles)
{
    const QString path = makeRichPlugin(PluginRoot::user, ZFCPluginType::subtitle, "Title");
    const Plugin plugin = pluginAt(path, PluginRoot::user, 555555);
    const auto original = snapshot(path);

    const auto first = PluginModifier::localize(plugin, kMap);
    EXPECT_EQ(first.summary.filesChanged, 1);
    EXPECT_EQ(first.summary.namesChanged, 2);
    ASSERT_TRUE(first.backup);
    EXPECT_EQ(first.backup->reason, "插件汉化（原文备份）");
    EXPECT_EQ(first.backup->byteCount, 555555);
    EXPECT_TRUE(PluginFixtures::readBytes(path + "/Title.motn").contains("name=\"标题颜色\""));

    // The sheet reads the untranslated names from the original's copy.
    const auto copy = PluginModifier::originalCopy(plugin);
    ASSERT_TRUE(copy);
    const auto pairs = TemplateInspector::namePairs(path, copy);
    EXPECT_TRUE(pairs.contains(TemplateInspector::NamePair{"Title Color", "标题颜色", 1}));

    // A second translation reuses the first backup instead of saving translated text.
    const auto second = PluginModifier::localize(plugin, {{"Size", "大小"}, {"字体", "字形"}});
    EXPECT_EQ(second.summary.namesChanged, 2);
    ASSERT_TRUE(second.backup);
    EXPECT_EQ(second.backup->id, first.backup->id);
    EXPECT_EQ(PluginBackupStore::allBackups().size(), 1);

    EXPECT_EQ(PluginModifier::restoreOriginal(plugin), 1);
    EXPECT_EQ(snapshot(path), original);
    // The original stays for the next translation.
    EXPECT_EQ(PluginModifier::originalBackup(plugin), first.backup);
}

TEST_F(PluginModifierTest, RestoreTakesTheOldestAndDropsTheYoungerTranslationBackups)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const Plugin plugin = pluginAt(path);
    writeBackup("t0", path, "插件汉化（原文备份）", at(0));
    writeBackup("m1", path, "手动备份", at(1));
    writeBackup("t2", path, "汉化", at(2));
    writeBackup("t3", path, "再次汉化", at(3));
    writeBackup("other", "/elsewhere/Glow", "汉化", at(4));

    EXPECT_EQ(PluginModifier::restoreOriginal(plugin), 3);

    EXPECT_EQ(QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"content.txt"});
    EXPECT_EQ(PluginFixtures::readBytes(path + "/content.txt"), "t0");
    EXPECT_EQ(ids(PluginBackupStore::allBackups()), QStringList({"other", "m1", "t0"}));
}

TEST_F(PluginModifierTest, RestoreWithoutTranslationBackupThrowsAndDeletesNothing)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const auto before = snapshot(path);
    writeBackup("m0", path, "手动备份", at(0));
    writeBackup("t-elsewhere", path + " 2", "汉化", at(1));
    try {
        PluginModifier::restoreOriginal(pluginAt(path));
        ADD_FAILURE() << "restore succeeded";
    } catch (const PluginBackupError& error) {
        EXPECT_EQ(error.kind(), PluginBackupError::Kind::payloadMissing);
        EXPECT_EQ(error.message(), "备份内容不完整，无法还原。");
    }
    EXPECT_EQ(snapshot(path), before);
    EXPECT_EQ(backupFolderNames(), QStringList({"m0", "t-elsewhere"}));
}

TEST_F(PluginModifierTest, TranslationBackupCountsOnlyWithItsCopy)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const Plugin plugin = pluginAt(path);
    const struct {
        const char* label;
        QList<bool> payloads; // oldest first, all translation backups
        std::optional<QString> original;
        int restored; // restoreOriginal's count, 0 when it throws
    } cases[] = {
        {"oldest copy gone", {false, true, true}, QString("t1"), 2},
        {"every copy gone", {false, false}, std::nullopt, 0},
        {"only the newest has one", {false, false, true}, QString("t2"), 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        TestEnv::reset();
        PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
        for (int i = 0; i < c.payloads.size(); ++i)
            writeBackup(QString("t%1").arg(i), path, "汉化", at(i), c.payloads[i]);

        const auto original = PluginModifier::originalBackup(plugin);
        EXPECT_EQ(original ? std::optional<QString>(original->id) : std::nullopt, c.original);
        const auto copy = PluginModifier::originalCopy(plugin);
        EXPECT_EQ(copy.has_value(), c.original.has_value());
        if (c.original) {
            EXPECT_EQ(*copy, PluginBackupStore::root() + "/" + *c.original + "/payload/Glow");
            EXPECT_EQ(PluginModifier::restoreOriginal(plugin), c.restored);
            EXPECT_EQ(PluginFixtures::readBytes(path + "/content.txt"), c.original->toUtf8());
            // Empty backups are not translation backups of this plug-in's history: kept as found.
            EXPECT_TRUE(backupFolderNames().contains("t0"));
        } else {
            EXPECT_THROW(PluginModifier::restoreOriginal(plugin), PluginBackupError);
            // The next translation backs the plug-in up afresh rather than trusting an empty one.
            const auto outcome = PluginModifier::localize(plugin, kMap);
            ASSERT_TRUE(outcome.backup);
            EXPECT_TRUE(PluginBackupStore::payloadCopy(*outcome.backup));
            EXPECT_EQ(PluginModifier::originalBackup(plugin), outcome.backup);
        }
    }
}

TEST_F(PluginModifierTest, FailedBackupLeavesTheTemplatesAlone)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const auto before = snapshot(path);
    PluginFixtures::writeBytes(PluginBackupStore::root(), "a file in the way");
    EXPECT_THROW(PluginModifier::localize(pluginAt(path), kMap), PluginBackupError);
    EXPECT_EQ(snapshot(path), before);
}

TEST_F(PluginModifierTest, FailedRewriteKeepsTheNewBackup)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const auto before = snapshot(path);
    {
        // The backup's copy fits the limit; the template, longer once translated, does not.
        PluginFixtures::FileSizeLimit limit(QFileInfo(path + "/Glow.motn").size());
        EXPECT_THROW(PluginModifier::localize(pluginAt(path), kMap), TemplateEditError);
    }
    EXPECT_EQ(snapshot(path), before);
    const auto original = PluginModifier::originalBackup(pluginAt(path));
    ASSERT_TRUE(original);
    EXPECT_EQ(snapshot(*PluginBackupStore::payloadCopy(*original)), before);
}

// The system library is open to every local user: nothing there is rewritten through a
// link, wherever on the way it is; the user's own library follows its links.
TEST_F(PluginModifierTest, RewritesInTheSystemLibraryNeverGoThroughALink)
{
    const QString outside = TestEnv::root() + "/Outside";
    PluginFixtures::writeBytes(outside + "/Glow/Glow.motn", PluginFixtures::templateBytes());
    const QString titles = PluginFixtures::categoryFolder(PluginRoot::system, ZFCPluginType::subtitle);
    const QString effects = TestEnv::systemLibrary() + "/Effects.localized";
    PluginFixtures::makeSymlink(outside, effects);
    PluginFixtures::makeSymlink(outside + "/Glow", titles + "/Glow");
    const auto before = snapshot(outside);
    for (const QString& path : {effects + "/Glow", titles + "/Glow"}) {
        const QString link = path.startsWith(effects) ? effects : path;
        try {
            PluginModifier::localize(pluginAt(path, PluginRoot::system), kMap);
            ADD_FAILURE() << "translated through a link";
        } catch (const TemplateEditError& e) {
            EXPECT_EQ(e.message(), "路径经过符号链接：" + link + "\n" + AdminAuth::systemLinkReason());
        }
        EXPECT_THROW(TemplateInspector::setVersion(path, "5.13", ""), TemplateEditError);
    }
    EXPECT_EQ(snapshot(outside), before);
    EXPECT_TRUE(PluginBackupStore::allBackups().isEmpty()) << "refused before any backup";

    const QString mine = PluginFixtures::categoryFolder(PluginRoot::user, ZFCPluginType::effect) + "/Glow";
    PluginFixtures::makeSymlink(outside + "/Glow", mine);
    EXPECT_EQ(PluginModifier::localize(pluginAt(mine), kMap).summary.filesChanged, 1);
    EXPECT_EQ(TemplateInspector::setVersion(mine, "5.13", "").filesChanged, 1);
    EXPECT_TRUE(PluginFixtures::readBytes(outside + "/Glow/Glow.motn").contains("name=\"标题颜色\""));
}

TEST_F(PluginModifierTest, FailedRestoreKeepsEveryBackup)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    const Plugin plugin = pluginAt(path);
    for (int i = 0; i < 3; ++i)
        writeBackup(QString("t%1").arg(i), path, "汉化", at(i));
    const auto before = snapshot(path);
    RecordingAdminRunner runner;
    FaultyFileOps files;
    files.failOn(FaultyFileOps::Op::rename, ".loomwork-restoring", ENOSPC);
    EXPECT_THROW(PluginModifier::restoreOriginal(plugin), PluginBackupError);
    EXPECT_EQ(snapshot(path), before);
    EXPECT_EQ(backupFolderNames(), QStringList({"t0", "t1", "t2"}));
}

// Backups with other reasons never serve as the original: the first translation makes one,
// and the pruning that follows keeps it.
TEST_F(PluginModifierTest, TranslatingPrunesEveryPluginsBackups)
{
    const QString path = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow");
    for (int i = 0; i < 5; ++i) {
        writeBackup(QString("glow%1").arg(i), path, "手动备份", at(i));
        writeBackup(QString("other%1").arg(i), "/elsewhere/Other", i == 0 ? "汉化" : "手动备份", at(i));
    }
    EXPECT_FALSE(PluginModifier::originalBackup(pluginAt(path)));
    const auto outcome = PluginModifier::localize(pluginAt(path), kMap);
    ASSERT_TRUE(outcome.backup);
    EXPECT_EQ(outcome.backup->reason, "插件汉化（原文备份）");
    EXPECT_EQ(ids(PluginBackupStore::backups(pluginAt(path))), QStringList({outcome.backup->id, "glow4", "glow3"}));
    EXPECT_EQ(ids(PluginBackupStore::backups(pluginAt("/elsewhere/Other"))),
              QStringList({"other4", "other3", "other2", "other0"}));
}
