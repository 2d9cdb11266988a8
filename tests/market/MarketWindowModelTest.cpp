#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTest>
#include <QThread>
#include <QTimer>

#include "engine/core/WorkerThread.h"
#include "market/MarketWindowModel.h"

namespace {

using Model = MarketWindowModel;

MarketPlugin plugin(const QString& id, const QString& name = {})
{
    MarketPlugin p;
    p.pluginId = id;
    p.name = name.isEmpty() ? id : name;
    return p;
}

MarketPurchase purchase(const QString& id, qint64 amount, std::optional<bool> available = std::nullopt)
{
    MarketPurchase p;
    p.orderNo = QStringLiteral("o-") + id;
    p.pluginId = id;
    p.pluginName = QStringLiteral("名-") + id;
    p.amount = amount;
    p.available = available;
    return p;
}

// Holds every request so that a test answers them when and in the order it likes.
struct FakeMarket
{
    QList<std::pair<Model::ListQuery, Model::Reply<MarketListPayload>>> lists;
    QList<Model::Reply<QList<MarketPlugin>>> featured;
    QList<Model::Reply<QList<MarketPurchase>>> orders;
    QList<Model::Reply<QList<MarketPlugin>>> favorites;
    QList<std::pair<QString, Model::Reply<std::optional<bool>>>> unfavorites;
    QList<std::pair<QString, Model::Reply<MarketDownloadResult>>> downloads;
    QStringList started; // "id|name|url"
    bool busy = false;
    Qt::HANDLE snapshotThread = nullptr;

    // The model takes the snapshot on the pool: no task may outlive the fake it writes to.
    ~FakeMarket() { WorkerThread::waitForAll(); }

    Model::Backend backend()
    {
        Model::Backend b;
        b.list = [this](const Model::ListQuery& q, QObject*, auto done) { lists.append({q, done}); };
        b.featured = [this](QObject*, auto done) { featured.append(done); };
        b.orders = [this](QObject*, auto done) { orders.append(done); };
        b.favorites = [this](QObject*, auto done) { favorites.append(done); };
        b.setFavorite = [this](const QString& id, bool, QObject*, auto done) { unfavorites.append({id, done}); };
        b.download = [this](const QString& id, QObject*, auto done) { downloads.append({id, done}); };
        b.snapshot = [this] {
            snapshotThread = QThread::currentThreadId();
            MarketInstallRegistry::InstalledSnapshot s;
            s.pluginIds.insert(QStringLiteral("p1"));
            return s;
        };
        b.flowBusy = [this] { return busy; };
        b.startFlow = [this](const QString& id, const QString& name, const QString& url, const QString&, qint64,
                             std::function<void()>) { started.append(id + '|' + name + '|' + url); };
        return b;
    }
};

MarketListPayload page(int count, qint64 total, const QString& prefix = QStringLiteral("p"))
{
    MarketListPayload payload;
    for (int i = 0; i < count; ++i)
        payload.plugins.append(plugin(prefix + QString::number(i)));
    payload.total = total;
    return payload;
}

} // namespace

TEST(MarketWindowModelTest, PageCountAndPageWindow)
{
    struct PagesCase { qint64 total; int listed; int pages; };
    for (const PagesCase& c : {PagesCase{0, 0, 1}, {40, 20, 2}, {41, 20, 3}, {5, 20, 1}, {0, 21, 2},
                               {-7, 0, 1}, {std::numeric_limits<qint64>::max(), 20, std::numeric_limits<int>::max()}}) {
        SCOPED_TRACE(testing::Message() << c.total << " / " << c.listed);
        EXPECT_EQ(Model::totalPagesFor(c.total, c.listed), c.pages);
    }
    struct WindowCase { int page; int pages; QList<int> window; };
    const WindowCase windows[] = {{1, 1, {}}, {1, 2, {1, 2}}, {1, 10, {1, 2, 3, 4, 5}},
                                {4, 10, {2, 3, 4, 5, 6}}, {5, 10, {3, 4, 5, 6, 7}}, {10, 10, {6, 7, 8, 9, 10}},
                                {9, 6, {2, 3, 4, 5, 6}}, {2, 3, {1, 2, 3}}};
    for (const WindowCase& c : windows) {
        SCOPED_TRACE(testing::Message() << "page " << c.page << " of " << c.pages);
        EXPECT_EQ(Model::pageWindowFor(c.page, c.pages), c.window);
    }
}

TEST(MarketWindowModelTest, ListQueryTrimsBlanksButKeepsLineBreaks)
{
    FakeMarket fake;
    Model model(fake.backend(), [] { return false; });
    model.load(-3);
    ASSERT_EQ(fake.lists.size(), 1);
    EXPECT_EQ(fake.lists[0].first.page, 1);
    fake.lists[0].second(page(0, 0));
    model.setKeyword(QStringLiteral(" \t "));
    model.submitSearch();
    model.setKeyword(QStringLiteral(" 光效\n "));
    model.chooseCategory(QStringLiteral("字幕"));
    model.setSort(MarketSort::hotDownloads);
    ASSERT_EQ(fake.lists.size(), 4);
    EXPECT_EQ(fake.lists[1].first.keyword, QString());
    const Model::ListQuery& last = fake.lists[3].first;
    EXPECT_EQ(last.keyword, QStringLiteral("光效\n"));
    EXPECT_EQ(last.category, QStringLiteral("字幕"));
    EXPECT_EQ(last.sort, MarketSort::hotDownloads);
    EXPECT_EQ(last.pageSize, 20);

    // Blanks only still count as a search for the empty shop's wording.
    model.setKeyword(QStringLiteral("  "));
    model.chooseCategory(QString());
    fake.lists.last().second(page(0, 0));
    EXPECT_EQ(model.shopContent(), Model::ShopContent::empty);
    EXPECT_EQ(model.emptyShopTitle(), QStringLiteral("没有匹配的插件"));
    EXPECT_EQ(model.countText(), QString());
    // The same sort again asks for nothing.
    const auto before = fake.lists.size();
    model.setSort(MarketSort::hotDownloads);
    EXPECT_EQ(fake.lists.size(), before);
}

TEST(MarketWindowModelTest, OverlappingLoadsKeepOnlyTheNewestReply)
{
    FakeMarket fake;
    Model model(fake.backend(), [] { return false; });
    model.load(2);
    model.load(3);
    ASSERT_EQ(fake.lists.size(), 2);
    fake.lists[0].second(page(20, 100, QStringLiteral("old")));
    EXPECT_TRUE(model.isLoading()) << "an older reply neither fills the page nor ends the loading";
    EXPECT_TRUE(model.plugins().isEmpty());
    EXPECT_EQ(model.shopContent(), Model::ShopContent::loading);

    int pageSignals = 0;
    QObject::connect(&model, &Model::pageChanged, [&] { ++pageSignals; });
    fake.lists[1].second(page(20, 100, QStringLiteral("new")));
    EXPECT_FALSE(model.isLoading());
    EXPECT_EQ(model.page(), 3);
    EXPECT_EQ(model.plugins().first().pluginId, QStringLiteral("new0"));
    EXPECT_EQ(model.countText(), QStringLiteral("共 100 个插件"));
    EXPECT_EQ(pageSignals, 1);

    // The pager refuses the current page, clamps, and waits while a page loads.
    model.goToPage(3);
    EXPECT_EQ(fake.lists.size(), 2);
    model.goToPage(99);
    ASSERT_EQ(fake.lists.size(), 3);
    EXPECT_EQ(fake.lists[2].first.page, 5);
    model.goToPage(1);
    EXPECT_EQ(fake.lists.size(), 3);
}

TEST(MarketWindowModelTest, RemovingAFavoriteReportsAndRestoresAtItsOldIndex)
{
    struct Case { std::optional<bool> answer; QString toast; MarketToast::Kind kind; bool restored; };
    const Case cases[] = {{false, QStringLiteral("已取消收藏「乙」"), MarketToast::Kind::ok, false},
                          {true, QStringLiteral("取消失败，请稍后再试"), MarketToast::Kind::warn, true},
                          {std::nullopt, QStringLiteral("网络异常，取消失败"), MarketToast::Kind::error, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.toast.toStdString());
        FakeMarket fake;
        Model model(fake.backend(), [] { return true; });
        model.loadFavorites(true);
        fake.favorites.last()({plugin("a", "甲"), plugin("b", "乙"), plugin("c", "丙")});
        model.removeFavorite(plugin("b", "乙"));
        model.removeFavorite(plugin("c", "丙")); // one removal at a time
        EXPECT_EQ(model.unfavoritingId(), QStringLiteral("b"));
        ASSERT_EQ(model.favorites().size(), 2);
        ASSERT_EQ(fake.unfavorites.size(), 1);

        fake.unfavorites[0].second(c.answer);
        EXPECT_FALSE(model.unfavoritingId());
        ASSERT_TRUE(model.toast());
        EXPECT_EQ(model.toast()->text, c.toast);
        EXPECT_EQ(model.toast()->kind, c.kind);
        EXPECT_EQ(model.favorites().size(), c.restored ? 3 : 2);
        if (c.restored) {
            EXPECT_EQ(model.favorites().at(1).pluginId, QStringLiteral("b"));
        }
    }
}

TEST(MarketWindowModelTest, AFailedRemovalGoesBackIntoAListReloadedMeanwhile)
{
    FakeMarket fake;
    Model model(fake.backend(), [] { return true; });
    model.loadFavorites(true);
    fake.favorites.last()({plugin("a"), plugin("b"), plugin("c")});
    model.removeFavorite(plugin("c"));
    model.loadFavorites(true);
    fake.favorites.last()({plugin("x")});
    fake.unfavorites[0].second(std::nullopt);
    ASSERT_EQ(model.favorites().size(), 2);
    EXPECT_EQ(model.favorites().at(1).pluginId, QStringLiteral("c"));
}

TEST(MarketWindowModelTest, RedownloadRefusesInItsOrder)
{
    FakeMarket fake;
    Model model(fake.backend(), [] { return true; });
    struct Refusal { bool busy; MarketPurchase item; QString text; };
    const MarketPurchase goneWithoutId = purchase(QString(), 100, false);
    const Refusal refusals[] = {{true, goneWithoutId, QStringLiteral("正在下载另一个插件，稍等一下")},
                                {false, goneWithoutId, QStringLiteral("这个插件已下架，暂时不能重新下载")},
                                {false, purchase(QString(), 100), QStringLiteral("这条记录缺少插件信息，请联系客服")}};
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.text.toStdString());
        fake.busy = r.busy;
        model.redownload(r.item);
        ASSERT_TRUE(model.toast());
        EXPECT_EQ(model.toast()->text, r.text);
        EXPECT_EQ(model.toast()->kind, MarketToast::Kind::warn);
    }
    EXPECT_TRUE(fake.downloads.isEmpty());

    model.redownload(purchase("p1", 100));
    model.redownload(purchase("p2", 100));
    model.redownload(purchase("p3", 100));
    ASSERT_EQ(fake.downloads.size(), 3);
    fake.downloads[0].second(MarketDownloadResult::makeNeedBuy());
    EXPECT_EQ(model.toast()->text, QStringLiteral("请先购买后再下载"));
    fake.downloads[1].second(MarketDownloadResult::failure(QStringLiteral("服务器说不行")));
    EXPECT_EQ(model.toast()->text, QStringLiteral("服务器说不行"));
    EXPECT_EQ(model.toast()->kind, MarketToast::Kind::error);
    MarketRisk risk;
    risk.level = QStringLiteral("warn");
    risk.tip = QStringLiteral("注意来源");
    fake.downloads[2].second(MarketDownloadResult::ticket(QStringLiteral("http://h/f.zfcp"), QStringLiteral("f.zfcp"), 9, risk));
    EXPECT_EQ(fake.started, QStringList{QStringLiteral("p3|名-p3|http://h/f.zfcp")});
    EXPECT_EQ(model.toast()->text, QStringLiteral("注意来源"));
    EXPECT_EQ(fake.orders.size(), 1) << "a granted ticket reloads the purchases";
}

TEST(MarketWindowModelTest, ToastLifetimes)
{
    FakeMarket fake;
    Model model(fake.backend(), [] { return false; }, Model::Timing{100, 60000});
    model.showToast(QStringLiteral("一"), MarketToast::Kind::ok);
    model.showToast(QStringLiteral("二"), MarketToast::Kind::warn);
    // Started after both toasts, this fires after any short time of theirs is over.
    bool shortTimeOver = false;
    QTimer::singleShot(200, Qt::PreciseTimer, [&] { shortTimeOver = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return shortTimeOver; }, 30000));
    ASSERT_TRUE(model.toast()) << "neither the first toast's time nor a short one removes a warning";
    EXPECT_EQ(model.toast()->text, QStringLiteral("二"));
    model.showToast(QStringLiteral("三"), MarketToast::Kind::error);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !model.toast(); }, 30000)) << "an error toast keeps the short time";

    // A toast never ends early: lifetimes of every residue modulo 25 ms catch a timer that
    // rounds its deadline; an event loop, not polling, sees each end when it comes.
    std::vector<std::unique_ptr<Model>> models;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    int ended = 0;
    for (int lifetime = 2001; lifetime <= 2025; ++lifetime) {
        models.push_back(std::make_unique<Model>(fake.backend(), [] { return false; }, Model::Timing{100, lifetime}));
        const qint64 shownAt = clock.elapsed();
        models.back()->showToast(QStringLiteral("四"), MarketToast::Kind::warn);
        QObject::connect(models.back().get(), &Model::toastChanged, [&, shownAt, lifetime] {
            EXPECT_GE(clock.elapsed() - shownAt, lifetime);
            if (++ended == 25)
                loop.quit();
        });
    }
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(ended, 25);
}

TEST(MarketWindowModelTest, SignedOutTextsAndLateAccountReplies)
{
    FakeMarket fake;
    bool signedIn = false;
    Model model(fake.backend(), [&] { return signedIn; });
    EXPECT_EQ(model.purchaseSummary(), QStringLiteral("购买记录：读取中…"));
    EXPECT_EQ(model.favoriteSummary(), QStringLiteral("收藏：读取中…"));
    model.bootstrap();
    model.selectTab(Model::Tab::purchases);
    model.selectTab(Model::Tab::favorites);
    EXPECT_TRUE(fake.orders.isEmpty());
    EXPECT_TRUE(fake.favorites.isEmpty());
    EXPECT_EQ(model.purchaseSummary(), QStringLiteral("购买记录：0 笔"));
    EXPECT_EQ(model.countText(), QStringLiteral("收藏：0 个"));

    // A reply of the previous account that arrives after sign-out is dropped, and its open
    // detail panel (showing that member's ownership) closes.
    signedIn = true;
    model.loadPurchases(true);
    model.openDetail(plugin("p1"));
    signedIn = false;
    model.signedOut();
    fake.orders.last()({purchase("p1", 100)});
    EXPECT_TRUE(model.purchases().isEmpty());
    EXPECT_FALSE(model.purchasesLoading());
    EXPECT_FALSE(model.detailPlugin());
}

TEST(MarketWindowModelTest, PurchaseSummaryCategoriesAndInstalledSnapshot)
{
    FakeMarket fake;
    Model model(fake.backend(), [] { return true; });
    model.selectTab(Model::Tab::purchases);
    model.selectTab(Model::Tab::purchases); // the current tab asks for nothing more
    model.refresh();                        // nor while the request runs
    ASSERT_EQ(fake.orders.size(), 1);
    fake.orders[0]({purchase("p1", 1990), purchase("p2", 1000)});
    EXPECT_EQ(model.countText(), QStringLiteral("共 2 笔 · 合计 ¥29.90"));
    model.loadPurchases(true);
    fake.orders[1]({purchase("p1", std::numeric_limits<qint64>::max()), purchase("p2", 5)});
    EXPECT_EQ(model.purchaseSummary(), QStringLiteral("共 2 笔 · 合计 ") + MarketPlugin::money(std::numeric_limits<qint64>::max()));

    EXPECT_TRUE(QTest::qWaitFor([&] { return model.installed().pluginIds.contains(QStringLiteral("p1")); }, 30000));
    EXPECT_NE(fake.snapshotThread, QThread::currentThreadId());

    model.load(1);
    MarketListPayload payload = page(1, 1);
    payload.categories = {QStringLiteral("模板"), QStringLiteral("字幕"), QStringLiteral("模板")};
    fake.lists.last().second(payload);
    EXPECT_EQ(model.marketCategories(),
              (QStringList{"转场", "效果", "字幕", "发生器", "模板", "模板"}));
}
