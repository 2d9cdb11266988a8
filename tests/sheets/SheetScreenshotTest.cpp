// Pictures of the backup sheet for review, in build/screenshots.
#include <gtest/gtest.h>

#include <QTest>

#include "sheets/BackupSheet.h"
#include "support/views/ListFixtures.h"

namespace {

using SheetScreenshotTest = ListFixtures::ListTest;

TEST_F(SheetScreenshotTest, BackupSheetInBothAppearances)
{
    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        ListFixtures::setAppearance(mode);
        BackupSheet sheet(3, 48'213'004, BackupMode::multi, [] {}, [] {});
        sheet.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
        ListFixtures::settle();
        ListFixtures::savePicture(sheet, QStringLiteral("backup-sheet-multi-%1").arg(QString::fromLatin1(mode)));
        sheet.setMode(BackupMode::single);
        ListFixtures::settle();
        ListFixtures::savePicture(sheet, QStringLiteral("backup-sheet-single-%1").arg(QString::fromLatin1(mode)));
        sheet.dismiss();
    }
    BackupSheet empty(0, 0, BackupMode::multi, [] {}, [] {});
    empty.show();
    ListFixtures::settle();
    ListFixtures::savePicture(empty, QStringLiteral("backup-sheet-nothing"));
    empty.dismiss();
}

} // namespace
