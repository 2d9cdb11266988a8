#include <gtest/gtest.h>

#include "market/MarketDetailModel.h"

namespace {

MarketPlugin plugin(std::optional<qint64> price, std::optional<qint64> finalPrice, std::optional<bool> owned)
{
    MarketPlugin p;
    p.pluginId = QStringLiteral("p1");
    p.name = QStringLiteral("Glow");
    p.price = price;
    p.finalPrice = finalPrice;
    p.owned = owned;
    return p;
}

} // namespace

TEST(MarketDetailModelTest, MainButtonFollowsOwnershipAndTheEffectivePrice)
{
    const struct {
        std::optional<qint64> price, finalPrice;
        std::optional<bool> owned;
        const char* title;
        const char* symbol;
    } cases[] = {
        {std::nullopt, std::nullopt, std::nullopt, "免费领取", "gift.fill"},
        {1990, 0, false, "免费领取", "gift.fill"},
        {1990, std::nullopt, false, "购买", "creditcard.fill"},
        {0, 990, std::nullopt, "购买", "creditcard.fill"},
        {1990, 990, true, "下载并安装", "arrow.down.circle.fill"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        MarketDetailModel model(plugin(c.price, c.finalPrice, c.owned), nullptr, {});
        EXPECT_EQ(model.primaryTitle(), QString::fromUtf8(c.title));
        EXPECT_EQ(model.primarySymbol(), QString::fromUtf8(c.symbol));
    }
}

TEST(MarketDetailModelTest, SignedOutClicksOnlyToastAndTheFavouriteHelpFollowsTheFlag)
{
    std::vector<std::pair<QString, MarketToast::Kind>> toasts;
    MarketDetailModel::Hooks hooks;
    hooks.signedIn = [] { return false; };
    hooks.onToast = [&](const QString& text, MarketToast::Kind kind) { toasts.emplace_back(text, kind); };
    auto p = plugin(1990, std::nullopt, false);
    p.favorited = true;
    MarketDetailModel model(p, nullptr, hooks);
    model.primaryAction();
    model.toggleFavorite();
    ASSERT_EQ(toasts.size(), 2u);
    EXPECT_EQ(toasts[0].first, QStringLiteral("请先在主界面登录后再购买"));
    EXPECT_EQ(toasts[1].first, QStringLiteral("请先在主界面登录后再收藏"));
    EXPECT_EQ(toasts[1].second, MarketToast::Kind::warn);
    EXPECT_FALSE(model.showPay());
    EXPECT_FALSE(model.favBusy());
    EXPECT_EQ(model.favoriteHelp(), QStringLiteral("已加入「我的收藏」，点一下取消"));
}

TEST(MarketDetailModelTest, AnotherPluginsDownloadIsNotThisPanelsStage)
{
    MarketInstallFlow flow;
    MarketDetailModel model(plugin(0, 0, true), &flow, {});
    EXPECT_EQ(model.stage(), MarketInstallStage::idle());
    EXPECT_EQ(model.ownershipLine(), QStringLiteral("已购买 · 可直接下载安装"));
}
