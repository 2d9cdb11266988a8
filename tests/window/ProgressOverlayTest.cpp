#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QScopeGuard>
#include <QScreen>
#include <QWindow>
#include <QTest>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"
#include "library/PluginListView.h"
#include "library/PluginTableView.h"
#include "window/ProgressOverlay.h"
#include "support/app/HeldOperation.h"
#include "support/app/PluginFixtures.h"
#include "support/app/QtPrint.h"
#include "support/views/ListFixtures.h"

namespace {

using ProgressOverlayTest = ListFixtures::ListTest;

TEST_F(ProgressOverlayTest, PercentageIsTruncated)
{
    const struct {
        double progress;
        const char* text;
    } cases[] = {
        {0, "0%"},       {0.004, "0%"},  {0.5, "50%"},  {2.0 / 3.0, "66%"},
        {0.999, "99%"},  {1, "100%"},    {1.5, "100%"}, {-0.2, "0%"},
        {std::numeric_limits<double>::quiet_NaN(), "0%"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.progress);
        EXPECT_EQ(ProgressOverlay::percentText(c.progress), QString::fromLatin1(c.text));
    }
}

TEST_F(ProgressOverlayTest, BlocksTheListWhileBusy)
{
    for (int i = 0; i < 5; ++i)
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, QStringLiteral("Busy %1").arg(i));
    AppState state;
    OperationsCenter ops;
    ListFixtures::scan(state);
    QMainWindow main;
    auto* list = new PluginListView(&state, &ops, {}, &main);
    main.setCentralWidget(list);
    auto* overlay = new ProgressOverlay(&ops, &main);
    main.resize(900, 560);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));

    PluginTableView* table = list->tableView();
    const QPoint inTable = table->visualRect(table->model()->index(1, 0)).topLeft() + QPoint(90, 20);
    const QPoint inWindow = table->viewport()->mapTo(&main, inTable);
    auto clickAtWindowPoint = [&] {
        QWidget* target = main.childAt(inWindow);
        QTest::mouseClick(target, Qt::LeftButton, {}, target->mapFrom(&main, inWindow));
        return target;
    };

    // Idle: nothing drawn, the click reaches the list.
    EXPECT_FALSE(overlay->isVisible());
    EXPECT_EQ(clickAtWindowPoint(), table->viewport());
    EXPECT_EQ(state.selection().size(), 1);
    state.setSelection({});

    {
        const QList<Plugin> first{state.filteredPlugins()[3], state.filteredPlugins()[4]};
        HeldOperation held(ops, first);
        ASSERT_TRUE(ops.isBusy());
        EXPECT_TRUE(overlay->isVisible());
        EXPECT_EQ(overlay->geometry(), main.rect());
        ListFixtures::settle(260); // the fade-in
        EXPECT_EQ(overlay->percentLabel()->text(), QStringLiteral("66%")) << "2 of 3, truncated";
        EXPECT_EQ(overlay->statusLabel()->text(), QStringLiteral("删除：Busy 4"));
        EXPECT_EQ(overlay->bar()->value(), int(std::floor(ops.progress() * overlay->bar()->maximum())));
        ListFixtures::savePicture(main, QStringLiteral("overlay-busy-light"));
        ListFixtures::setAppearance("dark");
        ListFixtures::savePicture(main, QStringLiteral("overlay-busy-dark"));
        ListFixtures::setAppearance("light");

        QWidget* target = clickAtWindowPoint();
        EXPECT_TRUE(target == overlay || overlay->isAncestorOf(target));
        EXPECT_TRUE(state.selection().isEmpty()) << "the click did not reach the list";
        QTest::keyClick(&main, Qt::Key_Down);
        EXPECT_TRUE(state.selection().isEmpty()) << "nor did a key";
        main.resize(1000, 620);
        QApplication::processEvents();
        EXPECT_EQ(overlay->geometry(), main.rect());
    }
    // Input reaches the list at once; the veil fades and then hides.
    EXPECT_EQ(clickAtWindowPoint(), table->viewport());
    EXPECT_EQ(state.selection().size(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !overlay->isVisible(); }, 30000));
}

QtMessageHandler g_previousHandler = nullptr;
QStringList g_warnings;

TEST_F(ProgressOverlayTest, SmallStepsAdvanceTheBarOnScreenAndFadesPaintCleanly)
{
    AppState state;
    OperationsCenter ops;
    QMainWindow main;
    main.setCentralWidget(new QWidget);
    auto* overlay = new ProgressOverlay(&ops, &main);
    main.resize(700, 480);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    g_warnings.clear();
    g_previousHandler = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& text) {
        g_warnings << text;
        g_previousHandler(type, context, text);
    });
    const auto restore = qScopeGuard([] { qInstallMessageHandler(g_previousHandler); });

    // What the window shows (its backing store), not a fresh rendering of the bar.
    QProgressBar* bar = overlay->bar();
    const auto shownBar = [&] {
        const QRect area(bar->mapTo(&main, QPoint(0, 0)), bar->size());
        return main.windowHandle()->screen()->grabWindow(main.winId()).toImage().copy(area);
    };
    {
        HeldOperation held(ops);
        ListFixtures::settle(260); // the fade-in
        bar->setValue(400);
        ListFixtures::settle();
        const QImage before = shownBar();
        for (int step = 0; step < 20; ++step) {
            bar->setValue(bar->value() + 1);
            QApplication::processEvents();
        }
        ListFixtures::settle();
        EXPECT_NE(shownBar(), before) << "2 % more, in steps of 0.1 %";
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return !overlay->isVisible(); }, 30000));
    EXPECT_FALSE(g_warnings.join('\n').contains("QPainter::begin")) << g_warnings.join('\n').toStdString();
}

} // namespace
