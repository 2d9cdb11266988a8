// A library of 5,000 plug-ins: keystroke filtering is measured and printed (never
// asserted, timings belong to bench/), and only the visible rows are painted.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMainWindow>
#include <QTest>

#include "engine/AppState.h"
#include "engine/OperationsCenter.h"
#include "library/PluginListView.h"
#include "library/PluginTableView.h"
#include "support/app/PluginFixtures.h"
#include "support/views/ListFixtures.h"

namespace {

using PluginListScaleTest = ListFixtures::ListTest;

TEST_F(PluginListScaleTest, FiveThousandRowsFilterPerKeystrokeAndPaintOnlyWhatShows)
{
    constexpr int kCount = 5000;
    const QStringList words{QStringLiteral("Glow"), QStringLiteral("Title"), QStringLiteral("Wipe"),
                            QStringLiteral("Grain"), QStringLiteral("标题"), QStringLiteral("Light")};
    for (int i = 0; i < kCount; ++i) {
        const ZFCPluginType type = ZFCPluginType::allCases()[std::size_t(i % 4)];
        PluginFixtures::makePlugin(i % 3 ? PluginRoot::user : PluginRoot::system, type,
                                   QStringLiteral("%1 %2").arg(words[i % words.size()]).arg(i));
    }
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

    painted = 0;
    table->viewport()->repaint();
    EXPECT_GT(painted, 0);
    EXPECT_LE(painted, visibleRows) << "painted " << painted << " rows for " << visibleRows << " visible";

    // Typing "Light 4" one key at a time, then deleting it again: each step recomputes the
    // list, resets the model and repaints.
    const QString query = QStringLiteral("Light 4");
    QElapsedTimer timer;
    qint64 worstNs = 0;
    qint64 totalNs = 0;
    int steps = 0;
    auto step = [&](const QString& text) {
        painted = 0;
        timer.start();
        state.setSearchText(text);
        table->viewport()->repaint();
        const qint64 ns = timer.nsecsElapsed();
        worstNs = std::max(worstNs, ns);
        totalNs += ns;
        ++steps;
        EXPECT_LE(painted, visibleRows);
    };
    for (int n = 1; n <= query.size(); ++n)
        step(query.left(n));
    for (int n = int(query.size()) - 1; n >= 0; --n)
        step(query.left(n));
    EXPECT_EQ(state.filteredPlugins().size(), kCount);
    std::printf("[ measure  ] %d rows: filter + repaint per keystroke: mean %.2f ms, worst %.2f ms over %d keystrokes\n",
                kCount, totalNs / 1e6 / steps, worstNs / 1e6, steps);

    // Scrolling to the end paints the last rows only.
    painted = 0;
    table->scrollToBottom();
    table->viewport()->repaint();
    EXPECT_LE(painted, visibleRows);
}

} // namespace
