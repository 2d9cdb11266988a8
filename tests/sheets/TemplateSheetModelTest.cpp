#include <memory>

#include <gtest/gtest.h>

#include <fcntl.h>

#include <QDir>
#include <QSignalSpy>
#include <QTest>

#include <SafeFS/Durable.h>
#include "engine/files/PluginLease.h"
#include "engine/files/TemplateChange.h"
#include "engine/library/PluginScanner.h"
#include "engine/operations/PluginModifier.h"
#include "sheets/LocalizeSheetModel.h"
#include "sheets/VersionSheetModel.h"
#include "support/app/BackupFixtures.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"

namespace {

using Availability = VersionSheetModel::Availability;
using Entry = LocalizeSheetModel::Entry;

// Stored out of order, with two rows for 10.6.
CompatTable sampleTable()
{
    CompatTable table;
    table.rows = {{"10.5", "5.5", "5.8", "5.5"},
                  {"11.0", "5.7", "5.12", "5.7"},
                  {"10.6", "5.6", "5.10", "5.6"},
                  {"10.4", "5.4", "5.5", "5.4"},
                  {"10.6", "5.6.1", "5.11", "5.6.1"}};
    return table;
}

Plugin versionPlugin(std::optional<QString> ozml, std::optional<QString> dv)
{
    Plugin plugin;
    plugin.name = QStringLiteral("Lower Third");
    plugin.path = TestEnv::userLibrary() + QStringLiteral("/Titles.localized/Lower Third");
    plugin.ozmlVersion = std::move(ozml);
    plugin.motionVersion = std::move(dv);
    plugin.templateFileCount = 3;
    return plugin;
}

TEST(VersionSheetModelTest, RowsAvailabilityAndTagsAgainstTheInstalledRelease)
{
    VersionSheetModel model(versionPlugin("5.8", "5.5"), sampleTable(), QStringLiteral("10.6"));
    // Newest first; of two equal versions the later stored comes first.
    QStringList order;
    for (const auto& row : model.rows())
        order << row.fcp + QLatin1Char('/') + row.ozml;
    EXPECT_EQ(order, QStringList({"11.0/5.12", "10.6/5.11", "10.6/5.10", "10.5/5.8", "10.4/5.5"}));

    const struct {
        Availability availability;
        const char* tag;
    } expected[] = {{Availability::beyondInstalled, "升级"},
                    {Availability::available, "升级"},
                    {Availability::available, "升级"},
                    {Availability::available, "当前"},
                    {Availability::downgrade, "降级"}};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(model.availability(model.rows()[i]), expected[i].availability);
        EXPECT_EQ(model.comparisonTag(model.rows()[i]), QString::fromUtf8(expected[i].tag));
    }
    EXPECT_EQ(model.tagTone(model.rows()[3]), VersionSheetModel::TagTone::current);
    EXPECT_EQ(model.tagTone(model.rows()[0]), VersionSheetModel::TagTone::upgrade);
    EXPECT_EQ(model.tagTone(model.rows()[4]), VersionSheetModel::TagTone::other);

    // The plug-in's own release is preselected and centred; choosing it again is no change.
    EXPECT_EQ(model.requirementIndex(), 3);
    EXPECT_EQ(model.selectedFCP(), QStringLiteral("10.5"));
    EXPECT_FALSE(model.changed());
    EXPECT_FALSE(model.canConfirm());
    model.select(1);
    EXPECT_TRUE(model.changed());
    EXPECT_EQ(model.confirmTitle(), QStringLiteral("应用"));
    model.select(3);
    EXPECT_FALSE(model.changed());

    using Tone = VersionSheetModel::ChipTone;
    EXPECT_EQ(model.infoChips(), (QList<VersionSheetModel::Chip>{{"模板文件 3 个", Tone::secondary},
                                                                {"Motion 5.5", Tone::secondary},
                                                                {"兼容 FCPX 10.5+", Tone::green},
                                                                {"本机 FCPX 10.6", Tone::secondary}}));

    // An installed release older than the plug-in needs: every newer row is beyond it,
    // downgrades included, and the chip warns.
    VersionSheetModel older(versionPlugin("5.8", "5.5"), sampleTable(), QStringLiteral("10.4.1"));
    EXPECT_EQ(older.availability(older.rows()[3]), Availability::beyondInstalled);
    EXPECT_EQ(older.availability(older.rows()[4]), Availability::downgrade);
    EXPECT_EQ(older.infoChips().last(), (VersionSheetModel::Chip{"本机 FCPX 10.4.1", Tone::orange}));
}

TEST(VersionSheetModelTest, WithoutRequirementOrInstalledRelease)
{
    // Templates without versions: the newest row, no tags, no third chip, apply at once.
    VersionSheetModel model(versionPlugin(std::nullopt, std::nullopt), sampleTable(), std::nullopt);
    EXPECT_FALSE(model.requirementIndex());
    EXPECT_EQ(model.selectedIndex(), 0);
    EXPECT_TRUE(model.changed());
    for (const auto& row : model.rows()) {
        EXPECT_FALSE(model.comparisonTag(row));
        EXPECT_EQ(model.availability(row), Availability::undetermined);
    }
    EXPECT_EQ(model.infoChips().size(), 1);

    // A template older than every row needs the earliest one.
    VersionSheetModel old(versionPlugin("4.0", "5.6"), sampleTable(), std::nullopt);
    EXPECT_EQ(old.selectedFCP(), QStringLiteral("10.4"));
    EXPECT_EQ(old.comparisonTag(old.rows()[4]), QStringLiteral("当前"));

    VersionSheetModel empty(versionPlugin("5.8", "5.5"), CompatTable{}, QStringLiteral("10.6"));
    EXPECT_FALSE(empty.selectedIndex());
    empty.apply();
    EXPECT_FALSE(empty.isWorking());
}

class VersionSheetApplyTest : public ::testing::Test
{
protected:
    void SetUp() override { TestEnv::reset(); }

    // Applies the selected row and waits for the worker.
    static void applyAndWait(VersionSheetModel& model)
    {
        model.apply();
        ASSERT_TRUE(model.isWorking());
        ASSERT_FALSE(model.canCancel());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isWorking(); }, 20000));
    }
};

TEST_F(VersionSheetApplyTest, RefusesAVersionThatIsNotPlainBeforeWriting)
{
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    const auto before = BackupFixtures::snapshot(folder);
    CompatTable table;
    table.rows = {{"11.1", "5.8", "5.11\" x", "5.8"}, {"11.0", "5.7", "5.12", "5.7 <b>"}};
    for (int row = 0; row < 2; ++row) {
        SCOPED_TRACE(row);
        VersionSheetModel model(versionPlugin(std::nullopt, std::nullopt), table, std::nullopt);
        QSignalSpy applied(&model, &VersionSheetModel::applied);
        model.select(row);
        applyAndWait(model);
        EXPECT_TRUE(model.errorText().value_or("").startsWith(QStringLiteral("修改失败：版本号格式不对：")))
            << model.errorText().value_or("").toStdString();
        EXPECT_EQ(applied.count(), 0);
        EXPECT_FALSE(model.resultText());
        EXPECT_EQ(BackupFixtures::snapshot(folder), before);
    }
}

TEST_F(VersionSheetApplyTest, ResultAndZeroFileTexts)
{
    PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    Plugin plugin = versionPlugin("5.11", "5.4.7");
    VersionSheetModel model(plugin, sampleTable(), std::nullopt);
    QSignalSpy applied(&model, &VersionSheetModel::applied);
    model.select(0);
    applyAndWait(model);
    EXPECT_EQ(model.resultText(), QStringLiteral("已改写 1 个模板文件的版本号"));
    EXPECT_EQ(model.confirmTitle(), QStringLiteral("完成"));
    EXPECT_TRUE(model.canConfirm());
    EXPECT_EQ(applied.count(), 1);

    // The plug-in vanished while the sheet was open: nothing written, still reported.
    QDir(plugin.path).removeRecursively();
    VersionSheetModel gone(plugin, sampleTable(), std::nullopt);
    QSignalSpy goneApplied(&gone, &VersionSheetModel::applied);
    gone.select(0);
    applyAndWait(gone);
    EXPECT_EQ(gone.errorText(), VersionSheetModel::zeroFilesText());
    EXPECT_EQ(goneApplied.count(), 1);
    EXPECT_EQ(gone.confirmTitle(), QStringLiteral("应用"));
}

// Another folder put at the plug-in's name after the list showed it: nothing is written and
// the sheet says why.
TEST_F(VersionSheetApplyTest, APluginReplacedAfterItWasShownIsNotChanged)
{
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    const auto scanned = PluginScanner::scan({PluginRoot::user}).plugins;
    ASSERT_EQ(scanned.size(), 1);
    ASSERT_TRUE(QDir().rename(folder, folder + " moved"));
    PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    const auto before = BackupFixtures::snapshot(folder);
    VersionSheetModel model(scanned.first(), sampleTable(), std::nullopt);
    QSignalSpy applied(&model, &VersionSheetModel::applied);
    model.select(0);
    applyAndWait(model);
    EXPECT_EQ(model.errorText(),
              QStringLiteral("修改失败：「Lower Third」在列表显示后已被改动或替换，未作修改。请刷新列表后重试。"));
    EXPECT_EQ(applied.count(), 0);
    EXPECT_EQ(BackupFixtures::snapshot(folder), before);
}

Entry entry(const QString& original, const QString& current, std::optional<QString> suggestion = std::nullopt)
{
    Entry e{original, current, 1, current.contains(QRegularExpression(QStringLiteral("[\\x{4e00}-\\x{9fff}]"))),
            std::move(suggestion)};
    return e;
}

TEST(LocalizeSheetModelTest, RenameMapFollowsTheTrimAndCompareRules)
{
    Plugin plugin = versionPlugin(std::nullopt, std::nullopt);
    LocalizeSheetModel model(plugin);
    model.setLoaded({entry("Blur", "模糊", "模糊"),           // 0 translated earlier
                     entry("Color", "Color", "颜色"),         // 1
                     entry("Font", "Font"),                   // 2 not in the glossary
                     entry("Glow", "辉光", "发光"),           // 3 translated differently
                     entry("Opacity", "Opacity", "不透明度"), // 4
                     entry("Alpha", "Same", "甲"),            // 5 two entries, one current name
                     entry("Beta", "Same", "乙")},            // 6
                    true);
    EXPECT_EQ(model.filter(), LocalizeSheetModel::Filter::pending);
    EXPECT_EQ(model.target(3), QStringLiteral("辉光"));
    EXPECT_EQ(model.target(2), QStringLiteral("Font"));
    EXPECT_TRUE(model.isUnlisted(2));
    EXPECT_EQ(model.trailing(2), LocalizeSheetModel::Trailing::none);
    EXPECT_EQ(model.trailing(3), LocalizeSheetModel::Trailing::revert);
    // The later of two entries with one current name decides.
    EXPECT_EQ(model.changes(), (QHash<QString, QString>{{"Color", "颜色"}, {"Opacity", "不透明度"}, {"Same", "乙"}}));
    EXPECT_EQ(model.remainingChinese(), 6);
    EXPECT_EQ(model.confirmTitle(), QStringLiteral("确认汉化"));

    model.setTarget(1, QStringLiteral("  "));          // blanks: no change, no Chinese
    model.setTarget(4, QStringLiteral(" 不透明度 "));  // written trimmed
    model.setTarget(2, QStringLiteral(" Font "));      // differs from current only by blanks
    model.revert(0);                                   // a translated name goes back
    EXPECT_FALSE(model.hasEdits(1));
    EXPECT_TRUE(model.hasEdits(4));
    EXPECT_FALSE(model.hasEdits(2));
    EXPECT_EQ(model.trailing(1), LocalizeSheetModel::Trailing::suggestion);
    EXPECT_TRUE(model.willRevert(0));
    EXPECT_EQ(model.revertCount(), 1);
    EXPECT_EQ(model.changes(), (QHash<QString, QString>{{"模糊", "Blur"}, {"Opacity", "不透明度"}, {"Same", "乙"}}));
    EXPECT_EQ(model.remainingChinese(), 4);
    EXPECT_EQ(model.footerNote(), QStringLiteral("确认后会把 3 项写回该插件的 3 个模板文件；首次汉化会存一份原文备份，之后一直复用它来还原。"));

    // Only reverts left: the confirm button says so.
    model.revert(4);
    model.setTarget(5, QStringLiteral("Same"));
    model.setTarget(6, QStringLiteral("Same"));
    EXPECT_EQ(model.changes(), (QHash<QString, QString>{{"模糊", "Blur"}}));
    EXPECT_EQ(model.confirmTitle(), QStringLiteral("确认还原原文"));
    model.fillSuggestion(1);
    EXPECT_EQ(model.confirmTitle(), QStringLiteral("确认汉化"));
    EXPECT_TRUE(model.canRestore());
    EXPECT_EQ(model.chips().last().text, QStringLiteral("原文备份 7 项"));
}

TEST(LocalizeSheetModelTest, TabsSearchAndContentStates)
{
    LocalizeSheetModel model(versionPlugin(std::nullopt, std::nullopt));
    EXPECT_EQ(model.content(), LocalizeSheetModel::Content::loading);
    model.setLoaded({entry("Blend Mode", "Blend Mode", "混合模式"), entry("Glow", "辉光"), entry("Zyxw", "Zyxw")},
                    false);
    EXPECT_EQ(model.filtered(), QList<int>({0, 2}));
    EXPECT_EQ(model.pendingCount(), 2);
    EXPECT_EQ(model.doneCount(), 1);
    // Found through its suggestion only.
    model.setKeyword(QStringLiteral(" 混合 "));
    EXPECT_EQ(model.filtered(), QList<int>({0}));
    // Chinese typed into a pending entry keeps it in its tab.
    model.setKeyword(QString());
    model.setTarget(2, QStringLiteral("某某"));
    model.setFilter(LocalizeSheetModel::Filter::done);
    EXPECT_EQ(model.filtered(), QList<int>({1}));
    model.setKeyword(QStringLiteral("nothing"));
    EXPECT_EQ(model.content(), LocalizeSheetModel::Content::noMatches);
    EXPECT_EQ(model.noMatchesText(), QStringLiteral("还没有汉化过的参数"));
    EXPECT_TRUE(model.showsTryAnotherKeyword());
    EXPECT_FALSE(model.canRestore()); // no backup
    EXPECT_EQ(model.chips().last(), (LocalizeSheetModel::Chip{"暂无原文备份", LocalizeSheetModel::ChipTone::orange}));

    LocalizeSheetModel none(versionPlugin(std::nullopt, std::nullopt));
    none.setLoaded({}, false);
    EXPECT_EQ(none.filter(), LocalizeSheetModel::Filter::done);
    EXPECT_EQ(none.content(), LocalizeSheetModel::Content::empty);
    EXPECT_FALSE(none.canConfirm());
}

TEST(LocalizeSheetModelTest, ABackupWithoutItsCopyCountsAsNone)
{
    TestEnv::reset();
    PluginFixtures::TemplateOptions options;
    options.publishedNames = {QStringLiteral("Opacity"), QStringLiteral("Font")};
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow", options);
    Plugin plugin = BackupFixtures::pluginAt(folder);
    BackupFixtures::writeBackup("20240101-000000-Glow-a", folder, PluginModifier::translationReason(),
                                QDateTime::currentDateTimeUtc().addDays(-1), false);

    LocalizeSheetModel model(plugin);
    model.load();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isLoading(); }, 20000));
    EXPECT_FALSE(model.hasBackup());
    ASSERT_EQ(model.entries().size(), 2);
    for (const Entry& e : model.entries())
        EXPECT_EQ(e.original, e.current);
    EXPECT_EQ(model.originalColumnTitle(), QStringLiteral("原文"));

    // Restoring from it fails with the engine's words; nothing is called back.
    QSignalSpy restored(&model, &LocalizeSheetModel::restored);
    model.restore();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isWorking(); }, 20000));
    EXPECT_EQ(model.errorText(), QStringLiteral("还原失败：备份内容不完整，无法还原。"));
    EXPECT_EQ(restored.count(), 0);

    // The plug-in vanished while the sheet was open: the write fails, the edits stay.
    QDir(folder).removeRecursively();
    QSignalSpy applied(&model, &LocalizeSheetModel::applied);
    model.apply();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isWorking(); }, 20000));
    EXPECT_TRUE(model.errorText().value_or("").startsWith(QStringLiteral("写入失败："))) << model.errorText()->toStdString();
    EXPECT_EQ(applied.count(), 0);
    EXPECT_FALSE(model.changes().isEmpty());
}

} // namespace

// While the plug-in's earlier change still removes its old contents, the rewrite waits and the
// sheet says what for; the wait is gone from it once the rewrite has ended.
TEST_F(VersionSheetApplyTest, AWaitForThePluginsEarlierChangeIsShown)
{
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    SafeFS::Identity identity;
    ASSERT_EQ(SafeFS::identityAt(AT_FDCWD, QFile::encodeName(folder).toStdString(), identity), 0);
    auto pending = std::make_unique<PluginLease::Removal>(identity);
    VersionSheetModel model(versionPlugin("5.11", "5.4.7"), sampleTable(), std::nullopt);
    QStringList shown;
    QObject::connect(&model, &VersionSheetModel::stateChanged, [&] {
        if (!model.waitingText().isEmpty())
            shown << model.waitingText();
    });
    model.select(0);
    model.apply();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !shown.isEmpty() || !model.isWorking(); }, 20000));
    EXPECT_EQ(shown, QStringList{PluginLease::waitingText("Lower Third")});
    EXPECT_TRUE(model.isWorking());
    pending.reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isWorking(); }, 20000));
    EXPECT_EQ(model.waitingText(), QString());
    EXPECT_EQ(model.resultText(), QStringLiteral("已改写 1 个模板文件的版本号"));
}

// A sync that reports a write error once the templates are rewritten: they stay rewritten, and
// the result says the disk reported a write error instead of a plain success.
TEST_F(VersionSheetApplyTest, AWriteErrorOfTheDiskIsInTheResult)
{
    for (const bool failing : {false, true}) {
        SCOPED_TRACE(failing ? "the sync failing" : "the sync passing");
        TestEnv::reset();
        const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
        const QString file = folder + "/Lower Third.motn";
        const QByteArray before = PluginFixtures::readBytes(file);
        const SafeFS::SyncHook previous = SafeFS::setSyncHookForTests(
            [&](int) { return failing && PluginFixtures::readBytes(file) != before ? EIO : 0; });
        VersionSheetModel model(versionPlugin("5.11", "5.4.7"), sampleTable(), std::nullopt);
        QSignalSpy applied(&model, &VersionSheetModel::applied);
        model.select(0);
        applyAndWait(model);
        TemplateChange::waitForRemovals();
        SafeFS::setSyncHookForTests(previous);
        EXPECT_NE(PluginFixtures::readBytes(file), before);
        EXPECT_EQ(applied.count(), 1);
        EXPECT_FALSE(model.errorText());
        const QString result = model.resultText().value_or(QString());
        EXPECT_TRUE(result.startsWith(QStringLiteral("已改写 1 个模板文件的版本号"))) << result.toStdString();
        EXPECT_EQ(result.contains(QStringLiteral("磁盘报告了写入错误")), failing) << result.toStdString();
    }
}
