// The version and localize sheets driven through the plug-in list against real plug-in
// folders, with pictures of both in build/screenshots.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QLayout>
#include <QLineEdit>
#include <QListView>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollArea>
#include <QTest>

#include "engine/library/AppState.h"
#include "engine/templates/LocalizedStore.h"
#include "engine/operations/OperationsCenter.h"
#include "library/PluginListModel.h"
#include "library/PluginListView.h"
#include "sheets/LocalizeSheet.h"
#include "sheets/TemplateSheetPieces.h"
#include "sheets/VersionSheet.h"
#include "window/PluginSheets.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/views/ListFixtures.h"

namespace {

using Content = LocalizeSheetModel::Content;

ino_t inodeOf(const QString& path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

CompatTable table()
{
    CompatTable t;
    t.rows = {{"10.4", "5.4", "5.5", "5.4"}, {"10.6", "5.6", "5.10", "5.6"}, {"10.6", "5.6.1", "5.11", "5.4.7"},
              {"11.0", "5.7", "5.12", "5.7"}};
    return t;
}

class TemplateSheetTest : public ListFixtures::ListTest
{
protected:
    void SetUp() override
    {
        ListFixtures::ListTest::SetUp();
        list = new PluginListView(&state, &ops, [](const QList<QUrl>&) {}, &main);
        sheets = new PluginSheets(list, &state);
        main.setCentralWidget(list);
        main.resize(1100, 680);
        main.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    }

    Plugin scanned(const QString& name)
    {
        ListFixtures::scan(state);
        return ListFixtures::find(state, name);
    }

    VersionSheet* openVersion(const Plugin& plugin)
    {
        sheets->showVersion(plugin, table(), QStringLiteral("10.6"));
        VersionSheet* sheet = sheets->versionSheet();
        EXPECT_TRUE(sheet && QTest::qWaitForWindowExposed(sheet));
        return sheet;
    }

    LocalizeSheet* openLocalize(const Plugin& plugin)
    {
        sheets->showLocalize(plugin);
        LocalizeSheet* sheet = sheets->localizeSheet();
        EXPECT_TRUE(sheet && QTest::qWaitForWindowExposed(sheet));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet->model().isLoading(); }, 20000));
        ListFixtures::settle();
        return sheet;
    }

    bool listMarksTranslated(const QString& name)
    {
        PluginListModel* model = list->model();
        for (int row = 0; row < model->rowCount(); ++row) {
            const QModelIndex index = model->index(row, 0);
            if (index.data(PluginListModel::PluginRole).value<Plugin>().name == name)
                return index.data(PluginListModel::LocalizedRole).toBool();
        }
        ADD_FAILURE() << "not listed: " << name.toStdString();
        return false;
    }

    AppState state;
    OperationsCenter ops;
    QMainWindow main;
    PluginListView* list = nullptr;
    PluginSheets* sheets = nullptr;
};

TEST_F(TemplateSheetTest, VersionChangeRewritesEveryTemplateAndASecondApplyWritesNothing)
{
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::subtitle, "Lower Third");
    PluginFixtures::writeBytes(folder + "/Nested/Other.moti", PluginFixtures::templateBytes({}));
    const Plugin plugin = scanned("Lower Third");
    ASSERT_EQ(plugin.templateFileCount, 2);

    QPointer<VersionSheet> sheet = openVersion(plugin);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->size(), QSize(VersionSheet::kWidth, VersionSheet::kHeight));
    EXPECT_EQ(sheet->model().selectedIndex(), 1); // its own release, preselected
    EXPECT_FALSE(sheet->confirmButton()->isEnabled());
    ListFixtures::settle(VersionSheet::kScrollDelayMs + 50);
    ListFixtures::savePicture(*sheet, "version-sheet-light");

    QTest::mouseClick(sheet->list()->widget(), Qt::LeftButton, {}, sheet->rowRect(0).center());
    ASSERT_TRUE(sheet->confirmButton()->isEnabled());
    QTest::mouseClick(sheet->confirmButton(), Qt::LeftButton);
    // Working: Esc, Return and the close button do nothing.
    ASSERT_TRUE(sheet->model().isWorking());
    QTest::keyClick(sheet, Qt::Key_Escape);
    QTest::keyClick(sheet, Qt::Key_Return);
    EXPECT_FALSE(sheet->close());
    EXPECT_TRUE(sheet->isVisible());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet->model().isWorking(); }, 20000));

    EXPECT_EQ(sheet->messageText(), QStringLiteral("已改写 2 个模板文件的版本号"));
    for (const QString& file : {folder + "/Lower Third.motn", folder + "/Nested/Other.moti"}) {
        const QByteArray bytes = PluginFixtures::readBytes(file);
        EXPECT_TRUE(bytes.contains("<ozml version=\"5.12\">")) << file.toStdString();
        EXPECT_TRUE(bytes.contains("<displayversion>5.7</displayversion>")) << file.toStdString();
    }
    // The presenter rescans: the list learns the new version.
    EXPECT_TRUE(QTest::qWaitFor([&] { return ListFixtures::find(state, "Lower Third").ozmlVersion == "5.12"; }, 20000));
    ListFixtures::settle();
    ListFixtures::savePicture(*sheet, "version-sheet-done-light");
    EXPECT_EQ(sheet->confirmButton()->text(), QStringLiteral("完成"));
    QTest::mouseClick(sheet->confirmButton(), Qt::LeftButton);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet; }, 30000));

    // The same change again (the sheet still describes the old plug-in): nothing written.
    const ino_t before = inodeOf(folder + "/Lower Third.motn");
    sheet = openVersion(plugin);
    QTest::mouseClick(sheet->list()->widget(), Qt::LeftButton, {}, sheet->rowRect(0).center());
    QTest::mouseClick(sheet->confirmButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet->model().isWorking(); }, 20000));
    EXPECT_EQ(sheet->messageText(), VersionSheetModel::zeroFilesText());
    EXPECT_EQ(sheet->confirmButton()->text(), QStringLiteral("应用"));
    EXPECT_EQ(inodeOf(folder + "/Lower Third.motn"), before);
    ListFixtures::settle();
    ListFixtures::savePicture(*sheet, "version-sheet-nothing-written-light");
    QTest::keyClick(sheet, Qt::Key_Escape);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !sheet; }, 30000));

    ListFixtures::setAppearance("dark");
    sheet = openVersion(plugin);
    ListFixtures::settle(VersionSheet::kScrollDelayMs + 50);
    ListFixtures::savePicture(*sheet, "version-sheet-dark");
    sheet->dismiss();
}

TEST_F(TemplateSheetTest, TranslationAppliesMarksTheListAndRestoreGivesTheBytesBack)
{
    PluginFixtures::TemplateOptions options;
    // Markup, an emoji and a right-to-left mark stay plain text.
    options.publishedNames = {"Opacity", "Blend Mode", "Zyxw Factor", "&lt;b&gt;Bold&lt;/b&gt; ✨\u200F"};
    const QString folder = PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Glow", options);
    const QString file = folder + "/Glow.motn";
    const QByteArray original = PluginFixtures::readBytes(file);
    const Plugin plugin = scanned("Glow");

    QPointer<LocalizeSheet> sheet = openLocalize(plugin);
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->size(), QSize(LocalizeSheet::kWidth, LocalizeSheet::kHeight));
    EXPECT_EQ(sheet->currentContent(), sheet->contentPage(Content::list));
    EXPECT_EQ(sheet->chipTexts(),
              QStringList({"已发布参数 4 项", "未汉化 4", "已汉化 0", "模板文件 1 个", "暂无原文备份"}));
    EXPECT_FALSE(sheet->restoreButton()->isVisible());
    ListFixtures::savePicture(*sheet, "localize-sheet-list-light");

    // Type into the field of "Zyxw Factor": the row updates in place, the field keeps focus.
    QListView* view = sheet->listView();
    int row = -1;
    for (int r = 0; r < view->model()->rowCount(); ++r) {
        if (sheet->model().entries()[view->model()->index(r, 0).data(Qt::UserRole + 1).toInt()].original == "Zyxw Factor")
            row = r;
    }
    ASSERT_GE(row, 0);
    const QRect rect = view->visualRect(view->model()->index(row, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, LocalizeSheet::fieldRect(rect).center());
    ASSERT_TRUE(QTest::qWaitFor([&] { return qobject_cast<QLineEdit*>(QApplication::focusWidget()); }, 30000));
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    editor->selectAll();
    for (const QChar c : QStringLiteral("奇怪因子"))
        QTest::sendKeyEvent(QTest::Click, editor, Qt::Key_unknown, QString(c), Qt::NoModifier);
    EXPECT_EQ(QApplication::focusWidget(), editor);
    EXPECT_EQ(sheet->model().changes().value("Zyxw Factor"), QStringLiteral("奇怪因子"));
    EXPECT_TRUE(sheet->messageText().startsWith(
        QStringLiteral("确认后会把 %1 项").arg(sheet->model().changes().size())));
    EXPECT_EQ(view->findChildren<QLineEdit*>().size(), 1);

    // Return in the field confirms, as it does anywhere in the sheet.
    QTest::keyClick(editor, Qt::Key_Return);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet; }, 20000));
    const QByteArray translated = PluginFixtures::readBytes(file);
    EXPECT_TRUE(translated.contains("name=\"奇怪因子\""));
    EXPECT_TRUE(translated.contains("name=\"不透明度\""));
    EXPECT_TRUE(LocalizedStore::records().contains(plugin.path));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !state.isScanning() && listMarksTranslated("Glow"); }, 20000));

    // Open again: the names pair with the untranslated copy; restore puts it back.
    sheet = openLocalize(ListFixtures::find(state, "Glow"));
    ASSERT_TRUE(sheet);
    EXPECT_EQ(sheet->chipTexts().last(), QStringLiteral("原文备份 4 项"));
    EXPECT_TRUE(sheet->restoreButton()->isEnabled());
    QTest::mouseClick(sheet->restoreButton(), Qt::LeftButton);
    QMessageBox* alert = sheet->restoreAlert();
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->text(), QStringLiteral("一键还原开始原文？"));
    QPushButton* restore = nullptr;
    for (QAbstractButton* button : alert->buttons()) {
        if (button->text() == QStringLiteral("一键还原"))
            restore = qobject_cast<QPushButton*>(button);
    }
    ASSERT_TRUE(restore);
    restore->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet; }, 20000));
    EXPECT_EQ(PluginFixtures::readBytes(file), original);
    EXPECT_FALSE(LocalizedStore::records().contains(plugin.path));
    EXPECT_TRUE(QTest::qWaitFor([&] { return !state.isScanning() && !listMarksTranslated("Glow"); }, 20000));
}

TEST_F(TemplateSheetTest, LocalizeSheetContentStatesAndTwoThousandNames)
{
    PluginFixtures::TemplateOptions none;
    none.publishedNames.clear();
    PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Plain", none);
    PluginFixtures::TemplateOptions many;
    many.publishedNames.clear();
    for (int i = 0; i < 2000; ++i)
        many.publishedNames << QStringLiteral("Glow Radius %1").arg(i);
    many.publishedNames << QStringLiteral("标题");
    PluginFixtures::makeTemplatePlugin(PluginRoot::user, ZFCPluginType::effect, "Many", many);
    ListFixtures::scan(state);

    // Loading: pictured before it is shown (showing starts the read).
    {
        LocalizeSheet loading(ListFixtures::find(state, "Many"), {}, {});
        loading.layout()->activate();
        EXPECT_EQ(loading.currentContent(), loading.contentPage(Content::loading));
        ListFixtures::savePicture(loading, "localize-sheet-loading-light");
    }

    QPointer<LocalizeSheet> sheet = openLocalize(ListFixtures::find(state, "Plain"));
    EXPECT_EQ(sheet->currentContent(), sheet->contentPage(Content::empty));
    EXPECT_FALSE(sheet->confirmButton()->isEnabled());
    ListFixtures::savePicture(*sheet, "localize-sheet-empty-light");
    sheet->dismiss();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet; }, 30000));

    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        ListFixtures::setAppearance(mode);
        sheet = openLocalize(ListFixtures::find(state, "Many"));
        ASSERT_TRUE(sheet);
        EXPECT_EQ(sheet->listView()->model()->rowCount(), 2000);
        // Rows are painted, not widgets: only an open field is one.
        EXPECT_LE(sheet->listView()->viewport()->findChildren<QWidget*>().size(), 1);
        ListFixtures::savePicture(*sheet, QStringLiteral("localize-sheet-many-%1").arg(mode));
        sheet->searchField()->setText(QStringLiteral("no such name"));
        ListFixtures::settle();
        EXPECT_EQ(sheet->currentContent(), sheet->contentPage(Content::noMatches));
        ListFixtures::savePicture(*sheet, QStringLiteral("localize-sheet-no-matches-%1").arg(mode));
        sheet->searchField()->clear();
        sheet->tabs()->setCurrent(1);
        EXPECT_EQ(sheet->listView()->model()->rowCount(), 1);
        sheet->dismiss();
        ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet; }, 30000));
    }
}

} // namespace
