#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "engine/library/AppState.h"
#include "engine/core/EngineText.h"
#include "engine/operations/OperationsCenter.h"
#include "online/ServerConfig.h"
#include "library/EmptyStateView.h"
#include "library/HintBadge.h"
#include "library/ListStatusBar.h"
#include "library/ListToolbar.h"
#include "library/PluginListView.h"
#include "library/PluginSearchBar.h"
#include "library/PluginTableView.h"
#include "support/app/FakeAlertPresenter.h"
#include "support/app/HeldOperation.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/TestEnv.h"
#include "support/views/EffectListTest.h"
#include "support/views/ListFixtures.h"

namespace {

class PluginListViewTest : public EffectListTest
{
protected:
    void SetUp() override
    {
        EffectListTest::SetUp();
        ASSERT_NO_FATAL_FAILURE(makeEffects(8, QStringLiteral("Item %1")));
        toolbar = new QToolBar(&main);
        main.addToolBar(toolbar);
        list = new PluginListView(&state, &ops, [this](const QList<QUrl>& urls) { installs.append(urls); }, &main);
        list->installToolbar(toolbar);
        list->setLoggedIn(true);
        main.setCentralWidget(list);
        main.resize(1100, 640);
        main.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
        table = list->tableView();
    }

    QPoint rowCenter(int row) const { return table->visualRect(table->model()->index(row, 0)).center(); }
    // The pointer is the application's, and Qt drops a move to where it already is: an
    // earlier test may have left it on this very spot.
    void hover(int row)
    {
        QTest::mouseMove(table->viewport(), rowCenter(row) + QPoint(0, 1));
        QTest::mouseMove(table->viewport(), rowCenter(row));
    }
    // The row's left part, away from its buttons.
    QPoint rowText(int row) const { return table->visualRect(table->model()->index(row, 0)).topLeft() + QPoint(80, 20); }
    void click(int row, Qt::KeyboardModifiers modifiers = {})
    {
        QTest::mouseClick(table->viewport(), Qt::LeftButton, modifiers, rowText(row));
    }

    QMainWindow main;
    QToolBar* toolbar = nullptr;
    PluginListView* list = nullptr;
    PluginTableView* table = nullptr;
    QList<QList<QUrl>> installs;
};

TEST_F(PluginListViewTest, HoverRevealsTheThreeRowButtons)
{
    const QRect row2 = table->visualRect(table->model()->index(2, 0));
    const QImage before = table->viewport()->grab(row2).toImage();
    EXPECT_FALSE(table->rowAt(2).buttonsShown());

    hover(2);
    EXPECT_EQ(table->hoveredRow(), 2);
    ASSERT_TRUE(table->rowAt(2).buttonsShown());
    const QImage hovered = table->viewport()->grab(row2).toImage();
    EXPECT_NE(before, hovered) << "hover draws the background and the buttons";
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(main, QStringLiteral("list-main-%1").arg(QString::fromLatin1(mode)));
    }
    ListFixtures::setAppearance("light");
    std::optional<QRect> buttons[3];
    for (int i = 0; i < 3; ++i) {
        buttons[i] = table->actionRect(2, PluginRow::Action(i));
        ASSERT_TRUE(buttons[i]);
        EXPECT_TRUE(row2.contains(*buttons[i]));
    }
    EXPECT_LT(buttons[0]->right(), buttons[1]->left());
    EXPECT_LT(buttons[1]->right(), buttons[2]->left());
    EXPECT_EQ(PluginRow::actionTitle(PluginRow::quickBackup), QStringLiteral("快速备份"));
    EXPECT_EQ(PluginRow::actionTitle(PluginRow::version), QStringLiteral("版本升降"));
    EXPECT_EQ(PluginRow::actionTitle(PluginRow::localize), QStringLiteral("插件汉化"));

    // The buttons act on their own row without touching the selection; unset sheets do nothing.
    FakeAlertPresenter alerts;
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, buttons[0]->center());
    ASSERT_EQ(alerts.panels().size(), 1);
    EXPECT_EQ(alerts.panels()[0].nameFieldValue, QStringLiteral("Item 2.zfcp"));
    QList<Plugin> versionAsked;
    list->setOpenVersion([&](const Plugin& p) { versionAsked.append(p); });
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, buttons[1]->center());
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, buttons[2]->center());
    ASSERT_EQ(versionAsked.size(), 1);
    EXPECT_EQ(versionAsked[0].name, QStringLiteral("Item 2"));
    EXPECT_TRUE(state.selection().isEmpty());

    // Leaving hides them, unless the row is the only selected one.
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(table->viewport(), &leave);
    EXPECT_FALSE(table->rowAt(2).buttonsShown());
    EXPECT_EQ(table->viewport()->grab(row2).toImage(), before);
    click(2);
    QApplication::sendEvent(table->viewport(), &leave);
    EXPECT_TRUE(table->rowAt(2).buttonsShown());
    click(5, Qt::ControlModifier);
    EXPECT_FALSE(table->rowAt(2).buttonsShown()) << "two selected rows force nothing";
}

TEST_F(PluginListViewTest, AWindowMovedUnderAStillPointerLosesTheHover)
{
    hover(2);
    ASSERT_EQ(table->hoveredRow(), 2);
    main.move(main.pos() + QPoint(0, 200));
    EXPECT_TRUE(QTest::qWaitFor([&] { return table->hoveredRow() == -1; }, 30000));
}

TEST_F(PluginListViewTest, ClicksWithShiftAndControlSelectAsTheRulesSay)
{
    click(1);
    EXPECT_EQ(state.selection(), rows({1}));
    click(4, Qt::ShiftModifier);
    EXPECT_EQ(state.selection(), rows({1, 2, 3, 4}));
    click(2, Qt::ShiftModifier);
    EXPECT_EQ(state.selection(), rows({2, 3, 4}));
    click(6, Qt::ControlModifier);
    EXPECT_EQ(state.selection(), rows({2, 3, 4, 6}));
    click(3, Qt::ControlModifier);
    EXPECT_EQ(state.selection(), rows({2, 4, 6}));
    click(0, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(state.selection(), rows({0, 2, 4, 6}));
    click(5);
    EXPECT_EQ(state.selection(), rows({5}));
    click(5);
    EXPECT_TRUE(state.selection().isEmpty());
    click(7, Qt::ShiftModifier);
    EXPECT_EQ(state.selection(), rows({7})) << "no anchor after a deselecting click";
    EXPECT_TRUE(table->hasFocus());

    // The rows draw the selection.
    EXPECT_TRUE(table->rowAt(7).isHighlighted);
    EXPECT_TRUE(table->rowAt(7).showsActions);
    EXPECT_FALSE(table->rowAt(6).isHighlighted);
}

TEST_F(PluginListViewTest, ContextMenuDeletesOnlyTheClickedPlugin)
{
    const QList<Plugin> listed = state.filteredPlugins();
    state.setSelection(rows({0, 1, 2}));
    FakeAlertPresenter alerts;
    alerts.queueAnswers({true});

    QContextMenuEvent event(QContextMenuEvent::Mouse, rowText(5), table->viewport()->mapToGlobal(rowText(5)));
    QApplication::sendEvent(table->viewport(), &event);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_TRUE(menu);
    QStringList texts;
    QAction* remove = nullptr;
    for (QAction* action : menu->actions()) {
        texts << action->text();
        if (action->text() == QStringLiteral("删除"))
            remove = action;
    }
    // The version and translation entries wait for their sheets.
    EXPECT_EQ(texts, (QStringList{QStringLiteral("快速备份…"), QString(), QStringLiteral("删除")}));
    ASSERT_TRUE(remove);
    EXPECT_TRUE(remove->isEnabled());
    QSignalSpy finished(&state, &AppState::scanFinished);
    menu->hide();
    remove->trigger();
    ASSERT_TRUE(finished.wait(20000));

    ASSERT_EQ(alerts.questions().size(), 1);
    EXPECT_EQ(alerts.questions()[0].title, QStringLiteral("确认删除"));
    EXPECT_EQ(alerts.questions()[0].message, QStringLiteral("将删除选中的 1 个插件，插件文件会从磁盘移除且无法撤销。"));
    for (int r = 0; r < listed.size(); ++r)
        EXPECT_EQ(QFileInfo::exists(listed[r].path), r != 5) << r;
    EXPECT_TRUE(state.selection().isEmpty());
    EXPECT_EQ(state.filteredPlugins().size(), 7);
}

TEST_F(PluginListViewTest, ContextItemsAndRowButtonsAreDisabledWhileBusy)
{
    list->setOpenVersion([](const Plugin&) {});
    list->setOpenLocalize([](const Plugin&) {});
    HeldOperation held(ops);
    std::unique_ptr<QMenu> menu(list->makeContextMenu(state.filteredPlugins()[3]));
    QStringList texts;
    for (QAction* action : menu->actions()) {
        texts << action->text();
        if (!action->isSeparator()) {
            EXPECT_FALSE(action->isEnabled()) << action->text().toStdString();
        }
    }
    EXPECT_EQ(texts, (QStringList{QStringLiteral("快速备份…"), QStringLiteral("版本升降…"), QStringLiteral("插件汉化…"),
                                  QString(), QStringLiteral("删除")}));
    FakeAlertPresenter alerts;
    hover(3);
    const auto button = table->actionRect(3, PluginRow::quickBackup);
    ASSERT_TRUE(button);
    EXPECT_FALSE(table->rowAt(3).actionsEnabled);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, button->center());
    EXPECT_TRUE(alerts.panels().isEmpty());
}

TEST_F(PluginListViewTest, OnlyTheIconAndLabelModeShowsTexts)
{
    using Mode = ToolbarModeStore::Mode;
    ListToolbar* bar = list->toolbar();
    QLabel* address = nullptr;
    for (QLabel* label : bar->titleItem()->findChildren<QLabel*>())
        if (label->text() == ServerConfig::webHost())
            address = label;
    ASSERT_TRUE(address);
    auto* badge = bar->actionItem()->findChild<HintBadge*>();
    ASSERT_TRUE(badge);
    // How far a view is drawn below where the toolbar centres it: its middle, or in the
    // icon-and-label mode the middle of the part above the buttons' label line. The view
    // must be whole: inside the toolbar and not cut by its item.
    const auto offset = [&](QWidget* view, bool labels) {
        // Item, toolbar and window lay themselves out one after the other.
        for (int i = 0; i < 3; ++i)
            QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        const QRect drawn(view->mapTo(toolbar, QPoint()), view->size());
        EXPECT_TRUE(toolbar->rect().contains(drawn))
            << drawn.top() << ".." << drawn.bottom() << " of " << toolbar->height();
        EXPECT_TRUE(view->visibleRegion() == QRegion(view->rect())) << "cut by its item";
        const int labelLine = labels ? ListToolButton::labelLineHeight() : 0;
        return (drawn.top() + drawn.bottom() + 1 - (toolbar->height() - labelLine)) / 2.0;
    };
    // The title's stack: logo and name, and the address line.
    QWidget* title = address->parentWidget();
    const auto drawn = [&](ListToolButton* button) {
        button->resize(button->sizeHint());
        return button->grab().toImage();
    };

    bar->setDisplayMode(Mode::iconOnly);
    QList<QImage> iconsOnly;
    for (ListToolButton* b : {bar->installButton(), bar->deleteButton(), bar->searchButton()})
        iconsOnly << drawn(b);

    for (Mode mode : {Mode::labelOnly, Mode::systemDefault, Mode::iconOnly}) {
        SCOPED_TRACE(int(mode));
        bar->setDisplayMode(mode);
        int i = 0;
        for (ListToolButton* b : {bar->installButton(), bar->deleteButton(), bar->searchButton()}) {
            EXPECT_FALSE(b->showsLabel());
            EXPECT_EQ(drawn(b), iconsOnly[i++]) << "the icon alone, as in icon-only";
        }
        EXPECT_TRUE(address->isHidden()) << "no second title line";
        EXPECT_NEAR(offset(title, false), 1, 0.5);
        EXPECT_NEAR(offset(badge, false), 4, 0.5);
    }

    bar->setDisplayMode(Mode::iconAndLabel);
    for (ListToolButton* b : {bar->installButton(), bar->backupButton(), bar->refreshButton(), bar->deleteButton(),
                              bar->searchButton()})
        EXPECT_TRUE(b->showsLabel()) << b->text().toStdString();
    EXPECT_GT(bar->installButton()->sizeHint().height(), iconsOnly[0].height() / iconsOnly[0].devicePixelRatio())
        << "the title under the icon";
    EXPECT_FALSE(address->isHidden());
    EXPECT_NEAR(offset(title, true), 13, 0.5);
    EXPECT_NEAR(offset(badge, true), 5, 0.5);
}

TEST_F(PluginListViewTest, ToolbarFollowsSignInSelectionScanAndBusy)
{
    ListToolbar* bar = list->toolbar();
    auto visible = [&] {
        int n = 0;
        for (QAction* action : bar->actions())
            n += action->isVisible();
        return n;
    };
    EXPECT_EQ(visible(), bar->actions().size());
    list->setLoggedIn(false);
    EXPECT_EQ(visible(), 0) << "signed out: no item";
    list->setLoggedIn(true);

    EXPECT_TRUE(bar->installButton()->isEnabled());
    EXPECT_FALSE(bar->backupButton()->isEnabled());
    EXPECT_FALSE(bar->deleteButton()->isEnabled());
    EXPECT_LT(bar->backupButton()->effectiveTint().alphaF(), 0.5);
    click(3);
    EXPECT_TRUE(bar->backupButton()->isEnabled());
    EXPECT_TRUE(bar->deleteButton()->isEnabled());
    {
        HeldOperation held(ops);
        EXPECT_FALSE(bar->backupButton()->isEnabled());
        EXPECT_FALSE(bar->deleteButton()->isEnabled());
        EXPECT_TRUE(bar->searchButton()->isEnabled());
    }
    EXPECT_TRUE(bar->deleteButton()->isEnabled());
    state.refresh();
    EXPECT_FALSE(bar->refreshButton()->isEnabled());
    EXPECT_EQ(list->statusBar()->visibleTexts().value(0), QStringLiteral("正在扫描…"));
    EXPECT_EQ(list->currentContent(), table) << "a rescan keeps the list";
    ListFixtures::scan(state);
    EXPECT_TRUE(bar->refreshButton()->isEnabled());

    bar->setDisplayMode(ToolbarModeStore::Mode::iconOnly);
    EXPECT_FALSE(bar->deleteButton()->showsLabel());
    bar->setDisplayMode(ToolbarModeStore::Mode::iconAndLabel);
    EXPECT_TRUE(bar->deleteButton()->showsLabel());

    // Install hands the picked files to the root view's request.
    FakeAlertPresenter alerts;
    alerts.queuePick({QUrl::fromLocalFile(QStringLiteral("/tmp/x.zfcp"))});
    QTest::mouseClick(bar->installButton(), Qt::LeftButton);
    ASSERT_EQ(installs.size(), 1);
    EXPECT_EQ(installs[0].value(0).toLocalFile(), QStringLiteral("/tmp/x.zfcp"));
}

TEST_F(PluginListViewTest, SizesAndLastScanShowFrom1020)
{
    for (int width : {1019, 1020, 1400, 700}) {
        SCOPED_TRACE(width);
        list->setWindowWidth(width);
        const bool wide = width >= 1020;
        const auto layout = table->rowAt(0).layout(QRectF(table->visualRect(table->model()->index(0, 0))));
        EXPECT_EQ(layout.size.has_value(), wide);
        const QStringList texts = list->statusBar()->visibleTexts();
        bool hasScan = false;
        for (const QString& t : texts)
            hasScan |= t.startsWith(QStringLiteral("上次扫描 "));
        EXPECT_EQ(hasScan, wide) << texts.join(u'|').toStdString();
    }
}

TEST_F(PluginListViewTest, SearchOpensWithTheShortcutFiltersAndClosesClearing)
{
    QTest::keyClick(&main, Qt::Key_F, Qt::ControlModifier);
    ASSERT_TRUE(list->isSearchOpen());
    QLineEdit* field = list->searchBar()->field();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus(); }, 30000));
    EXPECT_FALSE(list->searchBar()->clearButton()->isVisibleTo(list->searchBar()));
    QTest::keyClicks(field, QStringLiteral("item 3"));
    EXPECT_EQ(state.searchText(), QStringLiteral("item 3"));
    EXPECT_EQ(state.filteredPlugins().size(), 1);
    ListFixtures::settle(260); // the bar slides in
    ListFixtures::savePicture(main, QStringLiteral("list-search"));
    EXPECT_TRUE(list->searchBar()->clearButton()->isVisibleTo(list->searchBar()));
    QTest::mouseClick(list->searchBar()->clearButton(), Qt::LeftButton);
    EXPECT_TRUE(state.searchText().isEmpty());
    EXPECT_TRUE(field->hasFocus()) << "clearing keeps the focus in the field";

    // Closed with Escape, even over a search that matched nothing: the list takes the keys.
    QTest::keyClicks(field, QStringLiteral("nothing like it"));
    ASSERT_NE(list->currentContent(), table);
    QTest::keyClick(field, Qt::Key_Escape);
    EXPECT_FALSE(list->isSearchOpen());
    EXPECT_TRUE(state.searchText().isEmpty());
    EXPECT_EQ(state.filteredPlugins().size(), 8);
    EXPECT_EQ(QApplication::focusWidget(), table);

    // Closed with the shortcut that opened it.
    list->openSearch();
    ASSERT_TRUE(QTest::qWaitFor([&] { return field->hasFocus(); }, 30000));
    state.setSearchText(QStringLiteral("7"));
    QTest::keyClick(&main, Qt::Key_F, Qt::ControlModifier);
    EXPECT_FALSE(list->isSearchOpen());
    EXPECT_TRUE(state.searchText().isEmpty());
    EXPECT_EQ(QApplication::focusWidget(), table);
    // A key goes where the keyboard's focus is.
    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Down);
    EXPECT_EQ(state.selectedPlugins().size(), 1) << "the arrow keys move in the list";
}

TEST_F(PluginListViewTest, ScanningAndEmptyStates)
{
    TestEnv::reset();
    AppState fresh;
    PluginListView view(&fresh, &ops, {});
    view.resize(800, 500);
    view.show(); // the first appearance starts the first scan
    EXPECT_TRUE(fresh.isScanning());
    EXPECT_EQ(view.currentContent(), view.scanningView());
    QSignalSpy finished(&fresh, &AppState::scanFinished);
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_EQ(view.currentContent(), view.emptyState());
    EXPECT_FALSE(view.emptyState()->hasAnyPlugin());
    EXPECT_EQ(view.emptyState()->title(), QStringLiteral("尚未检测到已安装的插件"));
    EXPECT_EQ(view.emptyState()->symbol(), QStringLiteral("shippingbox"));
    EXPECT_TRUE(view.emptyState()->installButton()->isVisibleTo(view.emptyState()));
    ListFixtures::savePicture(view, QStringLiteral("list-empty-library"));

    FakeAlertPresenter alerts;
    QTest::mouseClick(view.emptyState()->installButton(), Qt::LeftButton);
    EXPECT_EQ(alerts.panels().size(), 1);
    PluginFixtures::makePlugin(PluginRoot::system, ZFCPluginType::generator, QStringLiteral("Late"));
    QTest::mouseClick(view.emptyState()->refreshButton(), Qt::LeftButton);
    ASSERT_TRUE(finished.wait(20000));
    EXPECT_EQ(view.currentContent(), view.tableView());
}

// Hostile names stay inside their column as plain, elided text.
TEST_F(PluginListViewTest, UntrustedNamesStayInTheirColumn)
{
    const QString hostile[] = {
        QStringLiteral("<b>Bold</b><img src=x onerror=alert(1)>"),
        QStringLiteral("\u202Eevil.exe\u202C Title"),
        QString(300, u'W'),
        QStringLiteral("🎬✨ Emoji 插件 🔥") + QStringLiteral("🔥").repeated(120),
        QStringLiteral("Line\nBreak\tTab"),
    };
    QImage reference;
    for (const QString& name : hostile) {
        SCOPED_TRACE(name.left(40).toStdString());
        PluginRow row;
        row.plugin.name = name;
        row.plugin.sizeBytes = 1234567;
        row.showSize = true;
        row.hovering = true;
        row.compatText = QStringLiteral("兼容 FCPX 10.4.1+");
        row.isLocalized = true;
        row.plugin.isMarket = true;
        const QRectF item(0, 0, 900, PluginRow::kHeight);
        const auto layout = row.layout(item);
        QImage image(900, PluginRow::kHeight, QImage::Format_ARGB32);
        image.fill(0);
        {
            QPainter p(&image);
            row.paint(p, item);
        }
        // Everything right of the text column (buttons, size) is the same for every name.
        const QRect right = QRectF(layout.textColumn.right() + 1, 0, 900 - layout.textColumn.right() - 1,
                                   PluginRow::kHeight).toAlignedRect();
        const QImage rightPart = image.copy(right);
        if (reference.isNull())
            reference = rightPart;
        else
            EXPECT_EQ(rightPart, reference);
        EXPECT_FALSE(PluginRow::singleLine(name).contains(u'\n'));
    }
    EXPECT_EQ(PluginRow::singleLine(QStringLiteral("\u202Eevil.exe\u202C \u2067x\u2069")), QStringLiteral("evil.exe x"));
    EXPECT_EQ(PluginRow::singleLine(QStringLiteral("a\nb\tc\u2028d")), QStringLiteral("a b c d"));
}

} // namespace
