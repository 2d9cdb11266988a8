#include <cerrno>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"
#include "engine/templates/LocalizedStore.h"
#include "library/PluginListController.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/HeldOperation.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/views/EffectListTest.h"
#include "support/views/ListFixtures.h"

namespace {

using Click = PluginListController::Click;

class PluginListControllerTest : public EffectListTest
{
protected:
    void SetUp() override
    {
        EffectListTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(makeEffects(6, QStringLiteral("Row %1")));
    }

    PluginListController controller{&state, &ops};
};

TEST_F(PluginListControllerTest, ClicksFollowTheSelectionRules)
{
    struct Step {
        int row;
        Click click;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::initializer_list<int> selected;
        std::optional<int> anchor;
    };
    const Case cases[] = {
        {"plain click selects", {{1, Click::plain}}, {1}, 1},
        {"second plain click deselects and clears the anchor", {{1, Click::plain}, {1, Click::plain}}, {}, std::nullopt},
        {"plain click on another row selects only it", {{1, Click::plain}, {4, Click::plain}}, {4}, 4},
        {"plain click on a row of several selected keeps only it",
         {{1, Click::plain}, {2, Click::toggle}, {2, Click::plain}}, {2}, 2},
        {"toggle adds", {{1, Click::plain}, {3, Click::toggle}}, {1, 3}, 3},
        {"toggle removes and moves the anchor", {{1, Click::plain}, {3, Click::toggle}, {1, Click::toggle}}, {3}, 1},
        {"range from the anchor, both ends", {{1, Click::plain}, {4, Click::range}}, {1, 2, 3, 4}, 4},
        {"range replaces and the anchor moves", {{1, Click::plain}, {4, Click::range}, {2, Click::range}}, {2, 3, 4}, 2},
        {"range upwards", {{4, Click::plain}, {1, Click::range}}, {1, 2, 3, 4}, 1},
        {"range replaces other selected rows",
         {{0, Click::toggle}, {5, Click::toggle}, {2, Click::toggle}, {4, Click::range}}, {2, 3, 4}, 4},
        {"range without anchor is a plain click", {{3, Click::range}}, {3}, 3},
        {"range onto the anchor alone", {{2, Click::plain}, {2, Click::range}}, {2}, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PluginListController fresh(&state, &ops);
        state.setSelection({});
        for (const Step& step : c.steps)
            fresh.handleRowTap(id(step.row), step.click);
        EXPECT_EQ(state.selection(), rows(c.selected));
        EXPECT_EQ(fresh.lastClickedID(), c.anchor ? std::optional<QString>(id(*c.anchor)) : std::nullopt);
    }
}

TEST_F(PluginListControllerTest, ArrowKeysMoveASingleSelectionAndTheAnchor)
{
    controller.moveSelection(1);
    EXPECT_EQ(state.selection(), rows({0})) << "no anchor: the first row";
    controller.handleRowTap(id(3), Click::plain);
    controller.handleRowTap(id(5), Click::toggle);
    controller.moveSelection(-1);
    EXPECT_EQ(state.selection(), rows({4})) << "from the anchor, alone";
    controller.moveSelection(1);
    controller.moveSelection(1);
    EXPECT_EQ(state.selection(), rows({5})) << "stops at the last row";
    controller.handleRowTap(id(1), Click::range);
    EXPECT_EQ(state.selection(), rows({1, 2, 3, 4, 5}));
    controller.selectAllListed();
    EXPECT_EQ(state.selection().size(), 6);
}

TEST_F(PluginListControllerTest, CommandWinsOverShift)
{
    EXPECT_EQ(PluginListController::clickKind(Qt::ControlModifier | Qt::ShiftModifier), Click::toggle);
    EXPECT_EQ(PluginListController::clickKind(Qt::ShiftModifier), Click::range);
    EXPECT_EQ(PluginListController::clickKind(Qt::AltModifier), Click::plain);
}

TEST_F(PluginListControllerTest, RangeWithAnAnchorTheFilterHidesIsAPlainClick)
{
    PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::subtitle, QStringLiteral("Caption Row"));
    ListFixtures::scan(state);
    const QString caption = ListFixtures::find(state, QStringLiteral("Caption Row")).id();
    controller.handleRowTap(caption, Click::plain);
    state.setCategoryFilter(ZFCPluginType::effect);
    controller.handleRowTap(id(3), Click::range);
    EXPECT_EQ(state.selection(), rows({3}));
    EXPECT_EQ(controller.lastClickedID(), id(3));
}

TEST_F(PluginListControllerTest, ActionsNeedAVisibleSelectionAndAnIdleRunner)
{
    EXPECT_FALSE(controller.canBackup());
    EXPECT_FALSE(controller.canDelete());
    EXPECT_TRUE(controller.canRefresh());
    EXPECT_TRUE(controller.rowActionsEnabled());

    controller.handleRowTap(id(0), Click::plain);
    EXPECT_TRUE(controller.canBackup());
    EXPECT_TRUE(controller.canDelete());

    // Selected but hidden by the search: nothing visible to act on.
    state.setSearchText(QStringLiteral("no such plug-in"));
    EXPECT_FALSE(controller.canBackup());
    EXPECT_FALSE(controller.canDelete());
    state.setSearchText({});

    QSignalSpy changed(&controller, &PluginListController::actionStatesChanged);
    {
        HeldOperation held(ops);
        EXPECT_FALSE(controller.canBackup());
        EXPECT_FALSE(controller.canDelete());
        EXPECT_FALSE(controller.rowActionsEnabled());
        // Asked while busy: no question, nothing removed.
        FakeAlertPresenter alerts;
        alerts.setDefaultAnswer(true);
        EXPECT_FALSE(controller.deleteWithConfirmation(state.selectedPlugins()));
        EXPECT_TRUE(alerts.questions().isEmpty());
    }
    EXPECT_GE(changed.count(), 2);
    EXPECT_TRUE(controller.canDelete());

    state.refresh();
    EXPECT_FALSE(controller.canRefresh());
    ListFixtures::scan(state);
    EXPECT_TRUE(controller.canRefresh());
}

TEST_F(PluginListControllerTest, DeleteAsksFirstAndRemovesOnlyTheTargets)
{
    const QList<Plugin> listed = state.filteredPlugins();
    state.setSelection(rows({0, 1, 2}));

    FakeAlertPresenter alerts;
    alerts.queueAnswers({false, true});
    EXPECT_FALSE(controller.deleteWithConfirmation({listed[4]}));
    EXPECT_TRUE(QFileInfo::exists(listed[4].path));
    EXPECT_TRUE(controller.deleteTargets().isEmpty());
    EXPECT_EQ(state.selection().size(), 3) << "cancel keeps the selection";

    QSignalSpy finished(&state, &AppState::scanFinished);
    EXPECT_TRUE(controller.deleteWithConfirmation({listed[4]}));
    ASSERT_TRUE(finished.wait(20000)) << "a confirmed delete rescans";
    EXPECT_FALSE(QFileInfo::exists(listed[4].path));
    for (int r : {0, 1, 2, 3, 5})
        EXPECT_TRUE(QFileInfo::exists(listed[r].path)) << r;
    EXPECT_TRUE(state.selection().isEmpty());

    const auto questions = alerts.questions();
    ASSERT_EQ(questions.size(), 2);
    EXPECT_EQ(questions[0].title, QStringLiteral("确认删除"));
    EXPECT_EQ(questions[0].message, QStringLiteral("将删除选中的 1 个插件，插件文件会从磁盘移除且无法撤销。"));
    EXPECT_EQ(questions[0].primary, QStringLiteral("删除"));
    EXPECT_EQ(questions[0].secondary, QStringLiteral("取消"));
    EXPECT_EQ(PluginListController::deleteMessage(3), QStringLiteral("将删除选中的 3 个插件，插件文件会从磁盘移除且无法撤销。"));
}

// The question names the owner of every target that is another user's, found by the identity
// the list saw: another user may give his plug-in the name of one of ours, before the list or
// after it; one of ours is asked about as before.
TEST_F(PluginListControllerTest, DeleteNamesTheOwnerOfAnotherUsersPlugIn)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to give a plug-in to another user";
    const QList<Plugin> listed = state.filteredPlugins();
    const auto path = [&](int row) { return QFile::encodeName(listed[row].path); };
    ASSERT_EQ(::chown(path(1).constData(), 4444, 4444), 0);
    ASSERT_EQ(::chown(path(3).constData(), 4444, 4444), 0);
    // The names exchanged after the list: "Row 3" as listed is his folder, now at "Row 2".
    ASSERT_EQ(::renameat2(AT_FDCWD, path(2).constData(), AT_FDCWD, path(3).constData(), RENAME_EXCHANGE), 0);
    struct Case {
        int row;
        QString note;
    };
    const QString his = QStringLiteral("」属于用户「UID 4444」");
    const Case cases[] = {
        {0, {}},
        {1, QStringLiteral("\n\n以下插件不是你的：\n「Row 1") + his},
        {2, {}},
        {3, QStringLiteral("\n\n以下插件不是你的：\n「Row 3") + his},
    };
    FakeAlertPresenter alerts;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.row);
        EXPECT_FALSE(controller.deleteWithConfirmation({listed[c.row]}));
        ASSERT_FALSE(alerts.questions().isEmpty());
        EXPECT_EQ(alerts.questions().last().message, PluginListController::deleteMessage(1) + c.note);
    }
    EXPECT_EQ(PluginListController::ownersNote({listed[0], listed[1], listed[3]}),
              QStringLiteral("\n\n以下插件不是你的：\n「Row 1") + his + QStringLiteral("\n「Row 3") + his);
}

TEST_F(PluginListControllerTest, QuickBackupNamesThePackageAfterThePlugin)
{
    const struct {
        const char* name;
        const char* file;
    } cases[] = {
        {"Glow", "Glow.zfcp"},
        {"A/B:C", "A-B-C.zfcp"},
        {"//::", "----.zfcp"},
        {"标题 1.0", "标题 1.0.zfcp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PluginListController::quickBackupFileName(QString::fromUtf8(c.name)), QString::fromUtf8(c.file));
    }

    // One plug-in into the proposed single package; no rescan afterwards.
    FakeAlertPresenter alerts;
    const QString destination = TestEnv::root() + QStringLiteral("/quick.zfcp");
    alerts.queuePick({QUrl::fromLocalFile(destination)});
    QSignalSpy scans(&state, &AppState::isScanningChanged);
    QSignalSpy busy(&ops, &OperationsCenter::isBusyChanged);
    controller.quickBackup(state.filteredPlugins()[2]);
    ASSERT_EQ(alerts.panels().size(), 1);
    EXPECT_EQ(alerts.panels()[0].kind, AlertPresenter::Panel::Kind::save);
    EXPECT_EQ(alerts.panels()[0].nameFieldValue, QStringLiteral("Row 2.zfcp"));
    while (ops.isBusy() || busy.isEmpty())
        ASSERT_TRUE(busy.wait(20000));
    EXPECT_TRUE(QFileInfo::exists(destination));
    ListFixtures::settle(50);
    EXPECT_TRUE(scans.isEmpty());
}

TEST_F(PluginListControllerTest, BackupTakesTheSelectionAtConfirmation)
{
    state.setSelection(rows({1, 3}));
    EXPECT_EQ(controller.backupCount(), 2);
    EXPECT_EQ(controller.backupTotalBytes(), state.filteredPlugins()[1].sizeBytes + state.filteredPlugins()[3].sizeBytes);
    EXPECT_EQ(controller.backupMode(), BackupMode::multi);

    FakeAlertPresenter alerts;
    const QString folder = TestEnv::root() + QStringLiteral("/backups");
    QDir().mkpath(folder);
    alerts.queuePick({QUrl::fromLocalFile(folder)});
    controller.confirmBackup();
    state.setSelection(rows({5})); // during the delay: changes nothing
    QSignalSpy finished(&state, &AppState::scanFinished);
    ASSERT_TRUE(finished.wait(20000)) << "a backup from the sheet rescans";
    ASSERT_EQ(alerts.panels().size(), 1);
    EXPECT_EQ(alerts.panels()[0].kind, AlertPresenter::Panel::Kind::open);
    EXPECT_TRUE(alerts.panels()[0].canChooseDirectories);
    EXPECT_EQ(QDir(folder).entryList(QDir::Files),
              (QStringList{QStringLiteral("Row 1.zfcp"), QStringLiteral("Row 3.zfcp")}));
}

TEST_F(PluginListControllerTest, PickedPackagesGoToTheInstallRequest)
{
    FakeAlertPresenter alerts;
    const QList<QUrl> two{QUrl::fromLocalFile(QStringLiteral("/tmp/b.zfcp")), QUrl::fromLocalFile(QStringLiteral("/tmp/a.ZFCP"))};
    alerts.queuePick(two);
    alerts.queuePick({});
    QList<QList<QUrl>> requests;
    PluginListController::pickFiles([&](const QList<QUrl>& urls) { requests.append(urls); });
    PluginListController::pickFiles([&](const QList<QUrl>& urls) { requests.append(urls); });
    ASSERT_EQ(requests.size(), 1) << "a cancelled panel hands nothing on";
    EXPECT_EQ(requests[0], two);
    const auto panel = alerts.panels().value(0);
    EXPECT_EQ(panel.title, QStringLiteral("选择 .zfcp 插件备份"));
    EXPECT_EQ(panel.message, QStringLiteral("选择一个或多个 .zfcp 备份文件，接下来可选择安装到用户库或系统库。"));
    EXPECT_EQ(panel.prompt, QStringLiteral("选择"));
    EXPECT_TRUE(panel.allowsMultipleSelection);
    EXPECT_FALSE(panel.canChooseDirectories);
}

TEST_F(PluginListControllerTest, StatusLineDescribesFiltersCountsAndSelection)
{
    const struct {
        LibraryFilter library;
        std::optional<ZFCPluginType> category;
        const char* text;
    } filters[] = {
        {LibraryFilter::allLibraries(), std::nullopt, "全部插件"},
        {LibraryFilter::onlyRoot(PluginRoot::user), ZFCPluginType::subtitle, "用户库 · 字幕"},
        {LibraryFilter::onlyRoot(PluginRoot::system), std::nullopt, "系统库"},
        {LibraryFilter::onlyLocalized(), ZFCPluginType::transitions, "已汉化插件 · 转场"},
        {LibraryFilter::allLibraries(), ZFCPluginType::generator, "全部插件 · 发生器"},
        {LibraryFilter::allLibraries(), ZFCPluginType::effect, "全部插件 · 效果"},
    };
    for (const auto& f : filters) {
        SCOPED_TRACE(f.text);
        EXPECT_EQ(PluginListController::filterText(f.library, f.category), QString::fromUtf8(f.text));
    }

    auto line = controller.statusLine(1019);
    EXPECT_FALSE(line.scanning);
    EXPECT_EQ(line.filter, QStringLiteral("全部插件"));
    EXPECT_EQ(line.count, QStringLiteral("6 个插件"));
    EXPECT_EQ(line.total, QStringLiteral("共 ") + state.totalSizeText());
    EXPECT_FALSE(line.selected);
    EXPECT_FALSE(line.lastScan) << "narrow window";
    ASSERT_TRUE(line.systemError) << "the test has no system library";
    EXPECT_EQ(*line.systemError, QStringLiteral("系统库不可读：目录不存在"));

    // The selected count includes ids the filter hides.
    state.setSelection(rows({0, 1, 2}));
    state.setSearchText(QStringLiteral("Row 1"));
    const QLocale locale;
    QLocale::setDefault(QLocale(QStringLiteral("en_US"))); // the time stays as a Chinese system shows it
    line = controller.statusLine(1020);
    QLocale::setDefault(locale);
    EXPECT_EQ(line.count, QStringLiteral("1 个插件"));
    EXPECT_EQ(line.selected, QStringLiteral("已选 3 项"));
    ASSERT_TRUE(line.lastScan);
    EXPECT_EQ(*line.lastScan, QStringLiteral("上次扫描 ") + state.lastScanAt()->toLocalTime().toString("HH:mm"));

    QDir().mkpath(TestEnv::systemLibrary());
    ListFixtures::scan(state);
    EXPECT_FALSE(controller.statusLine(1020).systemError);
}

} // namespace

// A translation whose record cannot be saved (a folder stands at the record file's name): the
// shared alert says so, by the record's file; one that is saved says nothing.
TEST_F(PluginListControllerTest, ATranslationRecordThatCannotBeSavedIsTold)
{
    const Plugin row = state.plugins().first();
    controller.recordTranslation(row, 2, 1);
    EXPECT_FALSE(ops.alertTitle().has_value());
    EXPECT_TRUE(LocalizedStore::records().contains(row.path));

    ASSERT_TRUE(QFile::remove(LocalizedStore::fileURL()));
    ASSERT_TRUE(QDir().mkpath(LocalizedStore::fileURL() + "/in-the-way"));
    controller.recordTranslation(row, 3, 1);
    EXPECT_EQ(ops.alertTitle(), QStringLiteral("汉化记录未保存"));
    EXPECT_TRUE(ops.alertMessage().value_or(QString()).endsWith(LocalizedStore::fileURL()));
    ops.setAlertTitle(std::nullopt);
    ops.setAlertMessage(std::nullopt);

    // A write error the disk reported for the translated files is told with the record's.
    controller.recordTranslation(row, 3, 1, EIO);
    EXPECT_EQ(ops.alertTitle(), QStringLiteral("磁盘报告了写入错误"));
    const QString told = ops.alertMessage().value_or(QString());
    EXPECT_TRUE(told.startsWith(QStringLiteral("插件「") + row.name + QStringLiteral("」已汉化，但磁盘报告了写入错误"))) << told.toStdString();
    EXPECT_TRUE(told.endsWith(LocalizedStore::fileURL())) << told.toStdString();
    ops.setAlertTitle(std::nullopt);
    ops.setAlertMessage(std::nullopt);
    QDir(LocalizedStore::fileURL()).removeRecursively();
    controller.recordTranslation(row, 3, 1, EIO);
    EXPECT_EQ(ops.alertTitle(), QStringLiteral("磁盘报告了写入错误"));
    EXPECT_FALSE(ops.alertMessage().value_or(QString()).contains(LocalizedStore::fileURL()));
    ops.setAlertTitle(std::nullopt);
    ops.setAlertMessage(std::nullopt);
}
