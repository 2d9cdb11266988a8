#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "market/MarketPayModel.h"

namespace {

// Records the card's requests; the test answers them.
struct FakePay {
    std::vector<std::function<void(const QList<PayChannelInfo>&)>> channelReplies;
    std::vector<std::pair<QString, std::function<void(const MarketBuyResult&)>>> buys;
    std::vector<std::function<void(const MarketPayStatus&)>> statuses;

    MarketPayModel::Service service()
    {
        return {[this](QObject*, auto done) { channelReplies.push_back(done); },
                [this](const QString&, const QString& channel, QObject*, auto done) { buys.emplace_back(channel, done); },
                [this](const QString&, QObject*, auto done) { statuses.push_back(done); }};
    }
};

MarketPlugin pricedPlugin()
{
    MarketPlugin plugin;
    plugin.pluginId = QStringLiteral("p1");
    plugin.name = QStringLiteral("Glow");
    plugin.price = 1990;
    return plugin;
}

MarketOrder order(const char* no)
{
    MarketOrder o;
    o.orderNo = QString::fromLatin1(no);
    o.amount = 1990;
    o.qrPayload = QStringLiteral("weixin://pay/") + o.orderNo;
    o.expireSeconds = 300;
    return o;
}

void waitFor(const std::function<bool()>& condition)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition() && timer.elapsed() < 3000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

PayChannelInfo channel(const char* key, const char* name, bool disabled = false)
{
    PayChannelInfo c;
    c.key = QString::fromLatin1(key);
    c.name = QString::fromUtf8(name);
    if (disabled)
        c.disabled = true;
    return c;
}

} // namespace

TEST(MarketPayModelTest, FirstOrderWaitsForTheChannelListAndPaidIsReportedOnce)
{
    FakePay fake;
    MarketPayModel card(pricedPlugin(), fake.service());
    card.setPollInterval(1);
    int paid = 0;
    QObject::connect(&card, &MarketPayModel::paid, [&] { ++paid; });

    card.appear();
    EXPECT_TRUE(fake.buys.empty());
    fake.channelReplies[0]({channel("wechat", "微信", true), channel("alipay", "支付宝")});
    ASSERT_EQ(fake.buys.size(), 1u);
    EXPECT_EQ(fake.buys[0].first, QStringLiteral("alipay"));
    EXPECT_FALSE(card.showsPicker()); // one offered channel
    fake.buys[0].second(MarketBuyResult::makeOrder(order("A")));
    EXPECT_EQ(card.phase(), MarketPayModel::Phase::waiting);
    EXPECT_EQ(card.scanLine(), QStringLiteral("请用 支付宝 扫码支付 ¥19.90"));
    EXPECT_FALSE(card.qrImage().isNull());

    waitFor([&] { return !fake.statuses.empty(); });
    fake.statuses[0](MarketPayStatus::pending(0));
    EXPECT_EQ(card.expiryLine(), QStringLiteral("二维码 298 秒后过期"));
    waitFor([&] { return fake.statuses.size() >= 2; });
    fake.statuses[1](MarketPayStatus::makePaid());
    fake.statuses[1](MarketPayStatus::makePaid()); // a repeated answer changes nothing
    EXPECT_EQ(card.phase(), MarketPayModel::Phase::paid);
    EXPECT_EQ(paid, 1);
    EXPECT_FALSE(card.polling());
}

TEST(MarketPayModelTest, ClosedOrdersAndGivingUpShowTheirTexts)
{
    FakePay fake;
    MarketPayModel card(pricedPlugin(), fake.service());
    card.setPollInterval(0);
    card.appear();
    fake.channelReplies[0]({});
    EXPECT_EQ(card.channelName(), QStringLiteral("微信"));
    fake.buys[0].second(MarketBuyResult::makeOrder(order("A")));
    waitFor([&] { return !fake.statuses.empty(); });
    fake.statuses[0](MarketPayStatus::closed(QStringLiteral("order expired by server")));
    EXPECT_EQ(card.failureText(), QStringLiteral("二维码已过期，请重新生成"));
    EXPECT_FALSE(card.order());

    card.create();
    fake.buys.back().second(MarketBuyResult::makeOrder(order("B")));
    // Failed queries are retried silently through the 450th cycle; the 451st gives up.
    for (int cycle = 1; cycle <= 451; ++cycle) {
        waitFor([&] { return int(fake.statuses.size()) == 1 + cycle; });
        ASSERT_EQ(int(fake.statuses.size()), 1 + cycle);
        ASSERT_EQ(card.phase(), MarketPayModel::Phase::waiting) << cycle;
        fake.statuses.back()(MarketPayStatus::failed(QStringLiteral("网络不可用")));
    }
    EXPECT_EQ(card.failureText(), QStringLiteral("长时间未收到支付结果，请稍后在「我的购买」里确认"));
    EXPECT_FALSE(card.polling());
}

TEST(MarketPayModelTest, CancelAndHidingDropEveryLateReply)
{
    FakePay fake;
    MarketPayModel card(pricedPlugin(), fake.service());
    card.setPollInterval(0);
    int paid = 0, cancelled = 0;
    QObject::connect(&card, &MarketPayModel::paid, [&] { ++paid; });
    QObject::connect(&card, &MarketPayModel::cancelled, [&] { ++cancelled; });
    card.appear();
    fake.channelReplies[0]({});
    fake.buys[0].second(MarketBuyResult::makeOrder(order("A")));
    waitFor([&] { return !fake.statuses.empty(); });
    card.cancel();
    EXPECT_FALSE(card.polling());
    fake.statuses[0](MarketPayStatus::makePaid());
    EXPECT_EQ(cancelled, 1);

    card.create();
    card.disappear();
    fake.buys.back().second(MarketBuyResult::makeFree());
    EXPECT_EQ(paid, 0);
    EXPECT_NE(card.phase(), MarketPayModel::Phase::paid);
}
