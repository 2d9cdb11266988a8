// Pictures of the plug-in list for review, in build/screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMainWindow>
#include <QMouseEvent>
#include <QTest>
#include <QToolBar>

#include "engine/AppState.h"
#include "engine/OperationsCenter.h"
#include "ui/WindowChrome.h"
#include "library/EmptyStateView.h"
#include "library/ListToolbar.h"
#include "library/PluginListView.h"
#include "library/PluginTableView.h"
#include "support/app/PluginFixtures.h"
#include "support/views/ListFixtures.h"

namespace {

class ListScreenshotTest : public ListFixtures::ListTest
{
protected:
    // A main window like the root view's: toolbar, list, published width.
    struct Window {
        QMainWindow main;
        PluginListView* list = nullptr;
    };

    std::unique_ptr<Window> makeWindow(AppState& state, OperationsCenter& ops, int width)
    {
        auto w = std::make_unique<Window>();
        QToolBar* toolbar = WindowChrome::apply(&w->main, QStringLiteral("main"), false);
        w->list = new PluginListView(&state, &ops, {}, &w->main);
        w->list->setCompatLookup({[](const Plugin& p) {
                                      return p.ozmlVersion == QStringLiteral("5.13") ? QStringLiteral("需 FCPX 10.6+")
                                                                                     : QStringLiteral("兼容 FCPX 10.4.1+");
                                  },
                                  [](const Plugin& p) { return p.ozmlVersion == QStringLiteral("5.13"); }});
        if (toolbar)
            w->list->installToolbar(toolbar);
        w->list->setLoggedIn(true);
        w->list->setWindowWidth(width);
        w->main.setCentralWidget(w->list);
        w->main.resize(width, 560);
        w->main.show();
        ListFixtures::settle(60);
        return w;
    }
};

TEST_F(ListScreenshotTest, MainListInBothAppearances)
{
    ListFixtures::makeSampleLibrary();
    AppState state;
    OperationsCenter ops;
    ListFixtures::scan(state);
    ASSERT_EQ(state.plugins().size(), 6);
    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        ListFixtures::setAppearance(mode);
        auto w = makeWindow(state, ops, 1100);
        state.setSelection({ListFixtures::find(state, QStringLiteral("Slide Wipes")).id()});
        PluginTableView* table = w->list->tableView();
        const QRect second = table->visualRect(table->model()->index(1, 0));
        QMouseEvent move(QEvent::MouseMove, QPointF(second.center()), table->viewport()->mapToGlobal(QPointF(second.center())),
                         Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(table->viewport(), &move);
        ListFixtures::settle(40);
        ListFixtures::savePicture(w->main, QStringLiteral("list-main-%1").arg(QString::fromLatin1(mode)));

        if (QString::fromLatin1(mode) == QStringLiteral("light")) {
            w->list->toolbar()->setDisplayMode(ToolbarModeStore::Mode::iconOnly);
            ListFixtures::settle(40);
            ListFixtures::savePicture(w->main, QStringLiteral("list-main-icon-only-toolbar"));
            w->list->toolbar()->setDisplayMode(ToolbarModeStore::Mode::iconAndLabel);
        }

        w->list->openSearch();
        state.setSearchText(QStringLiteral("o"));
        state.setSelection({});
        w->list->setWindowWidth(1000);
        w->main.resize(1000, 560);
        ListFixtures::settle(260); // the search bar slides in
        ListFixtures::savePicture(w->main, QStringLiteral("list-search-narrow-%1").arg(QString::fromLatin1(mode)));
        w->list->closeSearch();
    }
}

TEST_F(ListScreenshotTest, HostileNamesAsPlainElidedText)
{
    for (const QString& name : {QStringLiteral("<img src=x onerror=alert(1)><b>Bold"), QStringLiteral("\u202Eevil.exe\u202C Title"),
                                QString(250, u'W'), QStringLiteral("🎬✨ Emoji 插件 🔥🔥🔥")})
        PluginFixtures::makePlugin(PluginRoot::user, ZFCPluginType::effect, name);
    AppState state;
    OperationsCenter ops;
    ListFixtures::scan(state);
    ASSERT_EQ(state.plugins().size(), 4);
    auto w = makeWindow(state, ops, 1020);
    state.setSelection({state.filteredPlugins()[0].id()});
    ListFixtures::settle(40);
    ListFixtures::savePicture(w->main, QStringLiteral("list-hostile-names"));
}

TEST_F(ListScreenshotTest, EmptyStates)
{
    AppState state;
    OperationsCenter ops;
    ListFixtures::scan(state);
    auto w = makeWindow(state, ops, 1020);
    ASSERT_EQ(w->list->currentContent(), w->list->emptyState());
    ListFixtures::savePicture(w->main, QStringLiteral("list-empty-library"));

    ListFixtures::makeSampleLibrary();
    ListFixtures::scan(state);
    state.setSearchText(QStringLiteral("nothing matches this"));
    ListFixtures::settle();
    ASSERT_TRUE(w->list->emptyState()->hasAnyPlugin());
    ListFixtures::setAppearance("dark");
    ListFixtures::savePicture(w->main, QStringLiteral("list-empty-filter-dark"));
}

} // namespace
