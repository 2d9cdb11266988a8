// The market window against the stand-in, offscreen; pictures go to build/screenshots.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QToolButton>

#include "engine/core/NotificationHub.h"
#include "online/LoginService.h"
#include "online/MarketInstallFlow.h"
#include "ui/DialogWindow.h"
#include "market/MarketCard.h"
#include "market/MarketCarousel.h"
#include "market/MarketCoverCache.h"
#include "market/MarketFavoriteRow.h"
#include "market/MarketGrid.h"
#include "market/MarketHeader.h"
#include "market/MarketListTab.h"
#include "market/MarketPager.h"
#include "market/MarketPlaceholder.h"
#include "market/MarketPurchaseRow.h"
#include "market/MarketRowParts.h"
#include "market/MarketShopTab.h"
#include "market/MarketStatusBar.h"
#include "market/MarketWindowController.h"
#include "market/MarketWindowModel.h"
#include "market/MarketWindowView.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"
#include "support/views/ListFixtures.h"

namespace {

class MarketWindowTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        ListFixtures::installTheme();
        ListFixtures::setAppearance("light");
    }

    // A window signed in as the stand-in's anonymous member, 1160 by 872.
    struct Window {
        MarketInstallFlow flow;
        std::unique_ptr<MarketWindowModel> model;
        std::unique_ptr<MarketWindowView> view;
    };

    std::unique_ptr<Window> open()
    {
        auto w = std::make_unique<Window>();
        w->model = std::make_unique<MarketWindowModel>(MarketWindowModel::serviceBackend(&w->flow), [] { return true; });
        w->view = std::make_unique<MarketWindowView>(w->model.get(), &w->flow);
        w->view->resize(1160, 872);
        w->view->show();
        return w;
    }

    // POSTs a market request as the anonymous member.
    QJsonObject post(const QByteArray& path, const QJsonObject& body)
    {
        QByteArray reply;
        StandinProcess::httpExchange(standin().port(), "POST", path, QJsonDocument(body).toJson(), &reply);
        return QJsonDocument::fromJson(reply).object();
    }

    static bool waitFor(const std::function<bool()>& condition, int ms = 30000)
    {
        return QTest::qWaitFor(condition, ms);
    }
};

} // namespace

TEST_F(MarketWindowTest, OpensOnTheShopWithCardsAndShopControlsOnlyThere)
{
    MarketWindowController controller;
    LoginService login;
    int refreshes = 0;
    QObject::connect(&NotificationHub::instance(), &NotificationHub::posted, &controller,
                     [&](const QString& name) { refreshes += name == Notifications::marketShouldRefresh; });
    controller.show(&login);
    DialogWindow* window = controller.window();
    ASSERT_TRUE(window);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("插件市场"));
    MarketWindowView* view = controller.view();
    // The list and the featured plug-ins come in replies of their own.
    ASSERT_TRUE(waitFor([&] { return view->shopTab()->grid()->cards().size() == 20; }));
    EXPECT_TRUE(waitFor([&] { return view->shopTab()->carousel()->isVisible(); }));
    EXPECT_EQ(view->currentBody(), view->shopTab());
    EXPECT_TRUE(view->shopTab()->pager()->isVisible());
    EXPECT_EQ(view->header()->countLabel()->text(), QStringLiteral("共 45 个插件"));

    MarketHeader* header = view->header();
    const auto shopOnly = [&] {
        return QList<bool>{header->searchField()->isVisible(), header->categoryButton()->isVisible(),
                           header->sortChips().first()->isVisible(), header->sortDivider()->isVisible()};
    };
    EXPECT_EQ(shopOnly(), QList<bool>(4, true));
    for (int tab : {1, 2}) {
        header->tabPills().at(tab)->click();
        EXPECT_EQ(shopOnly(), QList<bool>(4, false)) << "tab " << tab;
        EXPECT_TRUE(header->refreshButton()->isVisible());
        EXPECT_TRUE(header->countLabel()->isVisible());
    }
    // Signed out, the account tabs ask the user to sign in.
    EXPECT_EQ(view->favoritesTab()->placeholder()->title(), QStringLiteral("请先登录"));
    header->tabPills().at(0)->click();
    EXPECT_EQ(shopOnly(), QList<bool>(4, true));

    // Closing hides the window and keeps it; showing again raises the same one.
    window->close();
    EXPECT_FALSE(window->isVisible());
    controller.show(&login);
    EXPECT_EQ(controller.window(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(refreshes, 2);
}

TEST_F(MarketWindowTest, SearchShowsMatchesAndAPageChangeScrollsToTheTop)
{
    auto w = open();
    MarketShopTab* shop = w->view->shopTab();
    ASSERT_TRUE(waitFor([&] { return shop->grid()->cards().size() == 20; }));
    QScrollBar* bar = shop->scrollArea()->verticalScrollBar();
    ASSERT_TRUE(waitFor([&] { return bar->maximum() > 0; }));
    bar->setValue(bar->maximum());

    const QList<MarketPager::Item> items = shop->pager()->items();
    const auto two = std::find_if(items.begin(), items.end(), [](const auto& i) { return i.page == 2 && i.kind == MarketPager::Item::Kind::page; });
    ASSERT_NE(two, items.end());
    QTest::mouseClick(shop->pager(), Qt::LeftButton, {}, two->rect.center().toPoint());
    ASSERT_TRUE(waitFor([&] { return w->model->page() == 2; }));
    EXPECT_TRUE(waitFor([&] { return bar->value() == 0; }));
    EXPECT_EQ(shop->grid()->cards().size(), 20);

    QLineEdit* search = w->view->header()->searchField();
    QTest::keyClicks(search, QStringLiteral("  glow "));
    QTest::keyClick(search, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return !w->model->isLoading() && w->model->page() == 1; }));
    QStringList names;
    for (MarketCard* card : shop->grid()->cards())
        names << card->plugin().name;
    EXPECT_EQ(names.size(), 2) << names.join(',').toStdString();
    EXPECT_FALSE(shop->pager()->isVisible());
    const QJsonArray lists = standin().requests(QStringLiteral("/v2/market/list"));
    EXPECT_EQ(lists.last().toObject().value("body").toObject().value("keyword").toString(), QStringLiteral("glow"));
}

TEST_F(MarketWindowTest, AClosedMarketShowsOnlyItsBanner)
{
    standin().control(QStringLiteral("market/state"), {{"enabled", false}});
    auto w = open();
    MarketShopTab* shop = w->view->shopTab();
    ASSERT_TRUE(waitFor([&] { return !w->model->isLoading() && !w->model->enabled(); }));
    EXPECT_TRUE(waitFor([&] { return shop->banner()->isVisible(); }));
    EXPECT_FALSE(shop->grid()->isVisible());
    EXPECT_FALSE(shop->placeholder()->isVisible());
    ListFixtures::savePicture(*w->view, QStringLiteral("market-closed"));
}

TEST_F(MarketWindowTest, ARedownloadInstallsAndTheRowShowsInstalled)
{
    // A bought plug-in (priced, paid through the stand-in) and a free one kept as favourites.
    const QJsonObject list = post("/v2/market/list", {{"page", 1}, {"pageSize", 50}, {"sort", "new"}});
    QString priced;
    for (const QJsonValue& p : list.value("plugins").toArray()) {
        if (p.toObject().value("name").toString() == QStringLiteral("电影片头"))
            priced = p.toObject().value("pluginId").toString();
    }
    ASSERT_FALSE(priced.isEmpty());
    ASSERT_EQ(post("/v2/market/buy", {{"pluginId", priced}, {"channel", "wechat"}}).value("status").toInt(-1), 0);
    standin().control(QStringLiteral("market/pay"));
    const QJsonArray all = list.value("plugins").toArray();
    for (qsizetype i = 0; i < 3; ++i)
        post("/v2/market/favorite", {{"pluginId", all.at(i).toObject().value("pluginId")}, {"favorite", true}});

    // A writable system library with its category folders: no administrator prompt.
    for (const char* folder : {"Effects.localized", "Titles.localized", "Generators.localized", "Transitions.localized"})
        QDir().mkpath(TestEnv::systemLibrary() + '/' + QLatin1String(folder));
    auto w = open();
    MarketListTab* tab = w->view->purchasesTab();
    w->view->header()->tabPills().at(1)->click();
    ASSERT_TRUE(waitFor([&] { return tab->purchaseRows().size() == 1; }));
    MarketPurchaseRow* row = tab->purchaseRows().first();
    EXPECT_EQ(w->view->header()->countLabel()->text(), QStringLiteral("共 1 笔 · 合计 ¥19.90"));
    EXPECT_EQ(row->actionText(), QStringLiteral("下载安装"));
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(*w->view, QStringLiteral("market-purchases-%1").arg(QLatin1String(mode)));
    }
    ListFixtures::setAppearance("light");

    QStringList stages;
    bool done = false;
    QObject::connect(&w->flow, &MarketInstallFlow::stageChanged, [&](const MarketInstallStage& s) {
        stages << s.title();
        done = done || s.kind == MarketInstallStage::Kind::done;
    });
    row->button()->click();
    // The row may read the registry before the flow hears back from its worker.
    ASSERT_TRUE(waitFor([&] { return row->actionText() == QStringLiteral("已安装") && done; }))
        << stages.join('|').toStdString() << " / " << (w->model->toast() ? w->model->toast()->text.toStdString() : "");
    EXPECT_FALSE(row->actionEnabled());

    w->view->header()->tabPills().at(2)->click();
    ASSERT_TRUE(waitFor([&] { return w->view->favoritesTab()->favoriteRows().size() == 3; }));
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(*w->view, QStringLiteral("market-favorites-%1").arg(QLatin1String(mode)));
    }
}

TEST_F(MarketWindowTest, ShopPicturesAndACardMidDownload)
{
    auto w = open();
    MarketShopTab* shop = w->view->shopTab();
    ASSERT_TRUE(waitFor([&] { return shop->grid()->cards().size() == 20; }));
    // Covers come from the stand-in.
    EXPECT_TRUE(waitFor([] { return MarketCoverCache::shared().pendingCount() == 0; }));
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(*w->view, QStringLiteral("market-shop-%1").arg(QLatin1String(mode)));
    }
    ListFixtures::setAppearance("light");
    MarketCard* card = shop->grid()->cards().at(1);
    shop->setFlow(card->plugin().pluginId, MarketInstallStage::downloading(42, 100));
    EXPECT_EQ(card->statusText(), QStringLiteral("正在下载 42%"));
    EXPECT_EQ(shop->grid()->cards().at(0)->stage(), MarketInstallStage::idle());
    ListFixtures::savePicture(*card, QStringLiteral("market-card-downloading"));
}

TEST_F(MarketWindowTest, CoversAreScaledCachedAndBrokenOnesNotAskedAgain)
{
    MarketCoverCache& cache = MarketCoverCache::shared();
    cache.clear();
    const QUrl base(standin().baseUrl());
    const QUrl cover = base.resolved(QUrl(QStringLiteral("market/media/cover/p001.png")));
    const QUrl missing = base.resolved(QUrl(QStringLiteral("market/media/nothing.png")));
    const QUrl huge = base.resolved(QUrl(QStringLiteral("market/blob?bytes=40000000&name=big.png")));
    const QUrl garbage = base.resolved(QUrl(QStringLiteral("market/blob?bytes=5000&name=x.png")));
    const QSize size(200, 125);
    for (const QUrl& url : {cover, missing, huge, garbage})
        EXPECT_TRUE(cache.image(url, size).isNull());
    ASSERT_TRUE(waitFor([&] { return cache.pendingCount() == 0; }, 20000));

    const QImage image = cache.image(cover, size);
    ASSERT_FALSE(image.isNull());
    EXPECT_LE(image.width(), 256) << "kept at about the size it is drawn, not the picture's own";
    for (const QUrl& url : {missing, huge, garbage}) {
        SCOPED_TRACE(url.toString().toStdString());
        EXPECT_TRUE(cache.failed(url, size));
        EXPECT_TRUE(cache.image(url, size).isNull());
    }
    EXPECT_EQ(cache.pendingCount(), 0) << "a broken picture is not fetched again";
    EXPECT_TRUE(cache.image(QUrl(QStringLiteral("javascript:alert(1)")), size).isNull());
    EXPECT_EQ(cache.pendingCount(), 0);
}
