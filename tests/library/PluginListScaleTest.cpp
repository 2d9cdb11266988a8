#include <gtest/gtest.h>

#include <QMainWindow>
#include <QTest>

#include "engine/library/AppState.h"
#include "engine/operations/OperationsCenter.h"
#include "library/PluginListView.h"
#include "library/PluginTableView.h"
#include "support/app/PluginFixtures.h"
#include "support/views/ListFixtures.h"

namespace {

using PluginListScaleTest = ListFixtures::ListTest;

// A long list paints only the rows that show, after a search step and at its end.
TEST_F(PluginListScaleTest, ALongListPaintsOnlyTheRowsThatShow)
{
    constexpr int kCount = 1000;
    for (int i = 0; i < kCount; ++i)
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, QStringLiteral("%1 %2").arg(i % 2 ? "Glow" : "Light").arg(i));
    AppState state;
    OperationsCenter ops;
    ListFixtures::scan(state);
    ASSERT_EQ(state.filteredPlugins().size(), kCount);

    QMainWindow main;
    auto* list = new PluginListView(&state, &ops, {}, &main);
    int painted = 0;
    list->setCompatLookup({[&](const Plugin&) {
                               ++painted;
                               return QStringLiteral("兼容 FCPX 10.4.1+");
                           },
                           {}});
    main.setCentralWidget(list);
    main.resize(1100, 700);
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    PluginTableView* table = list->tableView();
    const int visibleRows = table->viewport()->height() / PluginRow::kHeight + 2;
    const auto paintedRows = [&] {
        painted = 0;
        table->viewport()->repaint();
        return painted;
    };
    EXPECT_GT(paintedRows(), 0);
    EXPECT_LE(paintedRows(), visibleRows);
    state.setSearchText(QStringLiteral("light"));
    EXPECT_EQ(state.filteredPlugins().size(), kCount / 2);
    EXPECT_LE(paintedRows(), visibleRows);
    table->scrollToBottom();
    EXPECT_LE(paintedRows(), visibleRows);
}

} // namespace
