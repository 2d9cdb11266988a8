// The market's cards, rows, pager, carousel and window controller without a server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QPointer>
#include <QProgressBar>
#include <QTest>

#include "engine/core/NotificationHub.h"
#include "online/LoginService.h"
#include "market/MarketCard.h"
#include "market/MarketCarousel.h"
#include "market/MarketCoverThumb.h"
#include "market/MarketDetailOverlay.h"
#include "market/MarketFavoriteRow.h"
#include "market/MarketGrid.h"
#include "market/MarketPager.h"
#include "market/MarketPurchaseRow.h"
#include "market/MarketRowParts.h"
#include "market/MarketToastView.h"
#include "market/MarketWindowController.h"
#include "market/MarketWindowModel.h"
#include "market/MarketWindowView.h"
#include "support/app/QtPrint.h"
#include "support/views/ListFixtures.h"

namespace {

MarketPlugin plugin(const QString& id, std::optional<qint64> price, std::optional<qint64> finalPrice,
                    std::optional<bool> owned = std::nullopt, std::optional<bool> featured = std::nullopt)
{
    MarketPlugin p;
    p.pluginId = id;
    p.name = id;
    p.price = price;
    p.finalPrice = finalPrice;
    p.owned = owned;
    p.featured = featured;
    return p;
}

} // namespace

TEST(MarketViewsTest, CardBadgesAndStatusFollowTheFirstRuleThatApplies)
{
    struct Case { MarketPlugin plugin; bool installed; MarketInstallStage stage; QStringList badges; QString status; };
    const Case cases[] = {
        {plugin("a", 1990, std::nullopt, true, true), false, {}, {"已拥有", "置顶"}, "已购买"},
        {plugin("b", std::nullopt, std::nullopt), false, {}, {"免费"}, "¥0"},
        {plugin("c", 500, std::nullopt), false, {}, {}, "¥5"},
        {plugin("d", 500, 0), false, {}, {"免费"}, "¥0"},
        {plugin("e", 2990, 1990), true, {}, {}, "¥19.90"}, // installed by name but not owned
        {plugin("f", 2990, 1990, true), true, {}, {"已拥有"}, "已安装"},
        {plugin("g", 2990, 1990, true), true, MarketInstallStage::installing(0.3), {"已拥有"}, "正在安装 30%"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plugin.pluginId.toStdString());
        MarketCard card;
        card.setPlugin(c.plugin);
        card.setInstalled(c.installed);
        card.setStage(c.stage);
        EXPECT_EQ(card.badges(), c.badges);
        EXPECT_EQ(card.statusText(), c.status);
    }
    EXPECT_EQ(MarketCoverThumb::heightFor(46), 29);
    EXPECT_EQ(MarketCoverThumb::heightFor(45), 28);
}

TEST(MarketViewsTest, GridKeepsCardsByPluginIdAndFitsItsColumns)
{
    MarketGrid grid;
    grid.resize(1000, 800);
    grid.setPlugins({plugin("a", 0, 0), plugin("b", 0, 0), plugin("a", 0, 0)});
    ASSERT_EQ(grid.cards().size(), 2) << "one card per plug-in";
    MarketCard* b = grid.card(QStringLiteral("b"));
    grid.setFlow(QStringLiteral("b"), MarketInstallStage::downloading(1, 0));
    grid.setPlugins({plugin("c", 0, 0), plugin("b", 100, 100)});
    EXPECT_EQ(grid.card(QStringLiteral("b")), b);
    EXPECT_EQ(grid.card(QStringLiteral("a")), nullptr);
    EXPECT_EQ(b->statusText(), QStringLiteral("正在下载 1 B"));
    EXPECT_EQ(grid.card(QStringLiteral("c"))->stage(), MarketInstallStage::idle());

    struct Columns { int width; int count; int column; };
    for (const Columns& c : {Columns{228, 1, 228}, {480, 2, 228}, {500, 2, 238}, {1064, 4, 248}, {2000, 8, 229},
                             {300, 1, 300}, {400, 1, 320}}) {
        SCOPED_TRACE(c.width);
        EXPECT_EQ(MarketGrid::columns(c.width), std::make_pair(c.count, c.column));
    }
}

TEST(MarketViewsTest, RowsShowTheirRecordsAndStages)
{
    MarketPurchase gone;
    gone.orderNo = QStringLiteral("o1");
    gone.pluginId = QStringLiteral("p1");
    gone.pluginName = QStringLiteral("<b>Bold</b> & 名");
    gone.amount = 0;
    gone.payTime = 0;
    gone.available = false;
    MarketPurchaseRow row;
    row.resize(900, MarketPurchaseRow::kHeight);
    row.setItem(gone);
    EXPECT_EQ(row.priceText(), QStringLiteral("免费"));
    EXPECT_EQ(row.metaText(), QStringLiteral("— 已下架"));
    EXPECT_EQ(row.actionText(), QStringLiteral("已下架"));
    EXPECT_FALSE(row.actionEnabled());

    gone.available = std::nullopt; // absent counts as available
    row.setItem(gone);
    EXPECT_TRUE(row.actionEnabled());
    row.show();
    row.setStage(MarketInstallStage::downloading(2048, -1)); // no total: a spinner, no bar
    EXPECT_FALSE(row.findChild<QProgressBar*>()->isVisible());
    EXPECT_TRUE(row.button()->isBusy());
    EXPECT_FALSE(row.actionEnabled());
    row.setStage(MarketInstallStage::installing(0.5));
    EXPECT_TRUE(row.findChild<QProgressBar*>()->isVisible());
    row.setInstalled(true);
    EXPECT_EQ(row.actionText(), QStringLiteral("已安装"));

    struct Date { std::optional<qint64> at; QString text; };
    const Date dates[] = {{std::nullopt, "—"}, {0, "—"}, {1700000000, "2023-11-14"}, {1700000000123, "2023-11-14"}};
    for (const Date& d : dates) {
        SCOPED_TRACE(d.text.toStdString());
        EXPECT_EQ(MarketFavoriteRow::favoriteDateText(d.at), d.text);
    }
    MarketFavoriteRow favorite;
    favorite.setPlugin(plugin("f", 1990, std::nullopt, true));
    EXPECT_EQ(favorite.trailingText(), QStringLiteral("已拥有"));
    favorite.setInstalled(true);
    EXPECT_EQ(favorite.trailingText(), QStringLiteral("已安装"));
    favorite.setRemoving(true);
    EXPECT_FALSE(favorite.button()->isEnabled());

    // A row's tooltips show the name as it is: no "&amp;", no markup obeyed.
    for (const QString& name : {gone.pluginName, QStringLiteral("Fade & Glow")}) {
        gone.pluginName = name;
        row.setItem(gone);
        favorite.setPlugin(plugin(name, 0, std::nullopt));
        for (QWidget* shown : std::initializer_list<QWidget*>{&row, &favorite})
            EXPECT_EQ(ListFixtures::shownToolTip(shown->findChild<MarketRowTitle*>()->toolTip()), "查看「" + name + "」详细介绍");
    }
}

TEST(MarketViewsTest, PagerOffersTheWindowWithTheEndsOutsideIt)
{
    MarketPager pager;
    pager.resize(600, 30);
    const auto describe = [&] {
        QStringList out;
        for (const MarketPager::Item& item : pager.items()) {
            switch (item.kind) {
            case MarketPager::Item::Kind::previous: out << (item.enabled ? "<" : "(<)"); break;
            case MarketPager::Item::Kind::next: out << (item.enabled ? ">" : "(>)"); break;
            case MarketPager::Item::Kind::ellipsis: out << "…"; break;
            case MarketPager::Item::Kind::page: out << QString::number(item.page) + (item.enabled ? "" : "!"); break;
            }
        }
        return out.join(' ');
    };
    struct Case { int page; int pages; bool loading; QString text; };
    const Case cases[] = {{1, 10, false, "(<) 1 2 3 4 5 … 10 >"}, {4, 10, false, "< 1 … 2 3 4 5 6 … 10 >"},
                          {10, 10, false, "< 1 … 6 7 8 9 10 (>)"}, {9, 6, false, "< 1 … 2 3 4 5 6 (>)"},
                          {1, 2, true, "(<) 1! 2! (>)"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        pager.setState(c.page, c.pages, MarketWindowModel::pageWindowFor(c.page, c.pages), c.loading);
        EXPECT_EQ(describe(), c.text);
    }
}

TEST(MarketViewsTest, CarouselTagsDragsAndControls)
{
    EXPECT_EQ(MarketCarousel::tags(plugin("a", 0, 0, true)), (QStringList{"置顶推荐", "已拥有", "免费"}));
    EXPECT_EQ(MarketCarousel::priceText(plugin("a", 2990, 1990, true)), QStringLiteral("已购买"));
    EXPECT_EQ(MarketCarousel::priceText(plugin("a", std::nullopt, std::nullopt)), QStringLiteral("¥0"));
    struct Drag { qreal dx; int step; };
    for (const Drag& d : {Drag{-31, 1}, {-30, 0}, {30, 0}, {31, -1}})
        EXPECT_EQ(MarketCarousel::stepForDrag(d.dx), d.step) << d.dx;

    MarketCarousel carousel;
    carousel.resize(900, MarketCarousel::kHeight);
    QList<int> steps;
    QObject::connect(&carousel, &MarketCarousel::stepRequested, [&](int s) { steps << s; });
    carousel.setFeatured({plugin("a", 0, 0), plugin("b", 0, 0)}, 0);
    QTest::mouseClick(&carousel, Qt::LeftButton, {}, carousel.leftArrowRect().center().toPoint());
    QTest::mouseClick(&carousel, Qt::LeftButton, {}, carousel.rightArrowRect().center().toPoint());
    EXPECT_EQ(steps, QList<int>{1}) << "the left arrow is disabled on the first card";
}

TEST(MarketViewsTest, EscClosesTheDetailFirstAndSignOutHidesTheWindow)
{
    ListFixtures::installTheme();
    MarketWindowController controller;
    LoginService login;
    controller.show(&login);
    DialogWindow* window = controller.window();
    ASSERT_TRUE(window && window->isVisible());
    QStringList posted;
    QObject::connect(&NotificationHub::instance(), &NotificationHub::posted, window,
                     [&](const QString& name) { posted << name; });

    controller.view()->model()->openDetail(plugin("a", 0, 0));
    ASSERT_TRUE(controller.detailOpen());
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(posted, QStringList{Notifications::marketDetailClose});
    EXPECT_FALSE(controller.detailOpen()) << "the view answered by closing the panel";
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());

    controller.show(&login);
    login.forceLogout(std::nullopt);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(controller.view()->model()->purchaseSummary(), QStringLiteral("购买记录：0 笔"));

    MarketToastView* toast = controller.view()->toastView();
    EXPECT_TRUE(toast->testAttribute(Qt::WA_TransparentForMouseEvents)) << "the toast never takes clicks";
}

TEST(MarketViewsTest, ACloseHidesTheWindowWithThePanelAndTheNextShowBringsBothBack)
{
    ListFixtures::installTheme();
    MarketWindowController controller;
    LoginService login;
    controller.show(&login);
    DialogWindow* window = controller.window();
    ASSERT_TRUE(window && window->isVisible());
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    QStringList posted;
    QObject::connect(&NotificationHub::instance(), &NotificationHub::posted, window,
                     [&](const QString& name) { posted << name; });
    controller.view()->model()->openDetail(plugin("a", 0, 0));
    ASSERT_TRUE(controller.detailOpen());
    QPointer<MarketDetailOverlay> overlay = controller.view()->detailOverlay();
    ASSERT_TRUE(overlay);

    // The title bar's close button, as the window system delivers it.
    const auto titleBarClose = [&] {
        QCloseEvent close;
        QSpontaneKeyEvent::setSpontaneous(&close);
        QApplication::instance()->notify(window->windowHandle(), &close);
    };
    const auto ctrlW = [&] { QTest::keyClick(window, Qt::Key_W, Qt::ControlModifier); };
    for (const auto& [way, closeIt] : {std::pair<const char*, std::function<void()>>{"title bar", titleBarClose},
                                       {"Ctrl+W", ctrlW}}) {
        SCOPED_TRACE(way);
        posted.clear();
        closeIt();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(window->isVisible()) << "closed even with the panel open";
        EXPECT_FALSE(posted.contains(Notifications::marketDetailClose));
        EXPECT_TRUE(controller.detailOpen());

        controller.show(&login);
        EXPECT_EQ(controller.window(), window) << "the same window comes back";
        EXPECT_TRUE(window->isVisible());
        EXPECT_EQ(posted, QStringList{Notifications::marketShouldRefresh});
        EXPECT_TRUE(controller.detailOpen());
        EXPECT_EQ(controller.view()->detailOverlay(), overlay.data()) << "with the panel still there";
        ASSERT_TRUE(overlay);
        EXPECT_TRUE(overlay->isVisible());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
    }
}

TEST(MarketViewsTest, HostileNamesAreDrawnAsPlainCutText)
{
    ListFixtures::installTheme();
    MarketGrid grid;
    QList<MarketPlugin> plugins;
    for (const QString& name : {QStringLiteral("<img src=x onerror=alert(1)><b>Bold</b>"), QString(300, u'W'),
                                QStringLiteral("\u202Eevil.exe\u202C 标题"), QStringLiteral("多行\n名称\r\n插件")}) {
        MarketPlugin p = plugin(name.left(8), 1990, 990, std::nullopt, true);
        p.name = name;
        p.subtitle = name;
        p.category = name;
        p.coverUrl = QStringLiteral("javascript:alert(1)");
        plugins.append(p);
    }
    grid.setPlugins(plugins);
    grid.resize(1064, grid.heightForWidth(1064));
    grid.show();
    ListFixtures::settle(30);
    EXPECT_EQ(grid.cards().first()->accessibleName(), plugins.first().name);
    ListFixtures::savePicture(grid, QStringLiteral("market-hostile-names"));
}
