#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>

#include "engine/library/AppState.h"
#include "engine/core/EngineText.h"
#include "engine/operations/OperationsCenter.h"
#include "library/ListToolbar.h"
#include "library/PluginListView.h"
#include "library/PluginTableView.h"
#include "sheets/BackupSheet.h"
#include "window/PluginSheets.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

namespace {

using BackupSheetTest = ListFixtures::ListTest;

TEST_F(BackupSheetTest, CardsSetTheModeAndButtonsOnlyCallBack)
{
    int cancels = 0;
    int confirms = 0;
    BackupSheet sheet(3, 1'536'000, BackupMode::multi, [&] { ++cancels; }, [&] { ++confirms; });
    QSignalSpy modes(&sheet, &BackupSheet::modeChanged);
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    EXPECT_EQ(sheet.summaryText(), QStringLiteral("已选择 3 个插件 · 共 ") + EngineText::byteCountText(1'536'000));
    EXPECT_EQ(sheet.hintText(), QStringLiteral("适合单个分享：同名文件会以「插件名.zfcp」保存，重名时自动加序号。"));
    EXPECT_EQ(sheet.width(), BackupSheet::kWidth);
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(sheet, QStringLiteral("backup-sheet-multi-%1").arg(QString::fromLatin1(mode)));
    }
    ListFixtures::setAppearance("light");

    QTest::mouseClick(sheet.card(BackupMode::single), Qt::LeftButton, {}, QPoint(200, 20));
    EXPECT_EQ(sheet.mode(), BackupMode::single);
    ASSERT_EQ(modes.size(), 1);
    EXPECT_EQ(modes[0][0].value<BackupMode>(), BackupMode::single);
    EXPECT_EQ(sheet.hintText(), QStringLiteral("适合整库迁移或发给朋友：对方拖入一个文件即可装回全部插件。"));
    ListFixtures::savePicture(sheet, QStringLiteral("backup-sheet-single-light"));
    QTest::mouseClick(sheet.card(BackupMode::single), Qt::LeftButton, {}, QPoint(200, 20));
    EXPECT_EQ(modes.size(), 1) << "the selected card stays selected";

    QTest::keyClick(&sheet, Qt::Key_Return);
    EXPECT_EQ(confirms, 1);
    QTest::keyClick(&sheet, Qt::Key_Escape);
    EXPECT_EQ(cancels, 1);
    sheet.close();
    EXPECT_EQ(cancels, 2);
    EXPECT_TRUE(sheet.isVisible()) << "only the presenter closes the sheet";
    sheet.dismiss();
    EXPECT_FALSE(sheet.isVisible());
}

TEST_F(BackupSheetTest, NothingToBackUpDisablesStart)
{
    int confirms = 0;
    int cancels = 0;
    BackupSheet sheet(0, 0, BackupMode::single, [&] { ++cancels; }, [&] { ++confirms; });
    sheet.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    EXPECT_EQ(sheet.summaryText(), QStringLiteral("已选择 0 个插件 · 共 零 KB"));
    EXPECT_FALSE(sheet.confirmButton()->isEnabled());
    ListFixtures::savePicture(sheet, QStringLiteral("backup-sheet-nothing"));
    QTest::keyClick(&sheet, Qt::Key_Return);
    QTest::mouseClick(sheet.confirmButton(), Qt::LeftButton);
    EXPECT_EQ(confirms, 0);
    QTest::mouseClick(sheet.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(cancels, 1);
    sheet.dismiss();
}

// From the toolbar through the sheet to the runner: the chosen mode is what runs.
TEST_F(BackupSheetTest, ListStartsTheBackupInTheChosenMode)
{
    for (int i = 0; i < 4; ++i)
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::generator, QStringLiteral("Gen %1").arg(i));
    AppState state;
    OperationsCenter ops;
    ListFixtures::scan(state);
    QMainWindow main;
    auto* toolbar = new QToolBar(&main);
    main.addToolBar(toolbar);
    auto* list = new PluginListView(&state, &ops, {}, &main);
    auto* sheets = new PluginSheets(list, &state);
    list->installToolbar(toolbar);
    list->setLoggedIn(true);
    main.setCentralWidget(list);
    main.resize(1000, 600);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    const QList<Plugin> listed = state.filteredPlugins();
    state.setSelection({listed[0].id(), listed[2].id()});

    // First presentation: switch to single, cancel.
    QTest::mouseClick(list->toolbar()->backupButton(), Qt::LeftButton);
    BackupSheet* sheet = sheets->backupSheet();
    ASSERT_TRUE(sheet);
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(sheet->windowModality(), Qt::WindowModal);
    EXPECT_EQ(sheet->summaryText(),
              QStringLiteral("已选择 2 个插件 · 共 ") + EngineText::byteCountText(listed[0].sizeBytes + listed[2].sizeBytes));
    EXPECT_EQ(sheet->mode(), BackupMode::multi);
    QTest::mouseClick(sheet->card(BackupMode::single), Qt::LeftButton, {}, QPoint(100, 15));
    QTest::mouseClick(sheet->cancelButton(), Qt::LeftButton);
    EXPECT_FALSE(sheets->backupSheet());
    QApplication::processEvents();

    // Second presentation remembers single; confirming packs one file.
    FakeAlertPresenter alerts;
    const QString destination = TestEnv::root() + QStringLiteral("/all.zfcp");
    alerts.queuePick({QUrl::fromLocalFile(destination)});
    QTest::mouseClick(list->toolbar()->backupButton(), Qt::LeftButton);
    sheet = sheets->backupSheet();
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->mode(), BackupMode::single);
    QSignalSpy finished(&state, &AppState::scanFinished);
    QTest::mouseClick(sheet->confirmButton(), Qt::LeftButton);
    EXPECT_FALSE(sheets->backupSheet()) << "the sheet closes at once";
    EXPECT_TRUE(alerts.panels().isEmpty()) << "the backup starts a moment later";
    ASSERT_TRUE(finished.wait(20000)) << "a backup from the sheet rescans";
    ASSERT_EQ(alerts.panels().size(), 1);
    EXPECT_EQ(alerts.panels()[0].kind, AlertPresenter::Panel::Kind::save);
    EXPECT_EQ(alerts.panels()[0].nameFieldValue, QStringLiteral("插件备份.zfcp")) << "no name proposed by the list";
    EXPECT_TRUE(QFileInfo(destination).size() > 0);
}

} // namespace
