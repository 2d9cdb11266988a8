#include <gtest/gtest.h>

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include "online/MarketInstallStage.h"
#include "online/MarketModels.h"
#include "support/app/QtPrint.h"

namespace {

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

MarketPlugin plugin(const char* extra)
{
    const QByteArray text = QByteArray(R"({"pluginId":"p1","name":"Glow")") + extra + "}";
    const auto decoded = MarketPlugin::fromJson(QJsonDocument::fromJson(text).object());
    EXPECT_TRUE(decoded.has_value()) << text.constData();
    return decoded.value_or(MarketPlugin{});
}

} // namespace

TEST(MarketModelsTest, PluginDecodingIsStrictAboutTypesAndLenientAboutAbsence)
{
    const struct {
        const char* json;
        bool decodes;
    } cases[] = {
        {R"({"pluginId":"p","name":"n"})", true},
        {R"({"name":"n"})", false},
        {R"({"pluginId":"p"})", false},
        {R"({"pluginId":7,"name":"n"})", false},
        {R"({"pluginId":"p","name":"n","fileSize":"12"})", false},
        {R"({"pluginId":"p","name":"n","fileSize":null,"coverUrl":null})", true},
        {R"({"pluginId":"p","name":"n","fileSize":1.5})", false},
        {R"({"pluginId":"p","name":"n","price":5000000000})", true},          // beyond 32 bits
        {R"({"pluginId":"p","name":"n","price":1e20})", false},               // beyond 64 bits
        {R"({"pluginId":"p","name":"n","owned":1})", false},
        {R"({"pluginId":"p","name":"n","featured":true,"unknown":[1]})", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(MarketPlugin::fromJson(json(c.json)).has_value(), c.decodes);
    }
    EXPECT_EQ(plugin(R"(,"price":5000000000)").price, 5000000000LL);
    EXPECT_FALSE(plugin(R"(,"fileSize":null)").fileSize.has_value());

    const MarketPlugin full = plugin(R"(,"subtitle":"s","fileSize":1048576,"owned":false,"finalPrice":0)");
    EXPECT_EQ(MarketPlugin::fromJson(full.toJson()), full);
    EXPECT_FALSE(full.toJson().contains("category"));
}

TEST(MarketModelsTest, PurchaseNeedsItsRequiredFields)
{
    EXPECT_TRUE(MarketPurchase::fromJson(json(R"({"orderNo":"o","pluginId":"p","pluginName":"n","amount":0,"payTime":0})")));
    EXPECT_FALSE(MarketPurchase::fromJson(json(R"({"orderNo":"o","pluginId":"p","pluginName":"n","payTime":0})")));
    EXPECT_FALSE(MarketPurchase::fromJson(json(R"({"orderNo":"o","pluginId":"p","pluginName":"n","amount":1,"payTime":"x"})")));
    EXPECT_FALSE(MarketPurchase::fromJson(json(R"({"orderNo":"o","pluginId":"p","pluginName":"n","amount":1,"payTime":1,"available":"yes"})")));
}

TEST(MarketModelsTest, DerivedTexts)
{
    const struct {
        const char* extra;
        QString compat, language, size;
        std::optional<QString> original;
    } cases[] = {
        {"", "FCPX 10.3+", "中文", "", std::nullopt},
        {R"(,"compat":"  ","language":"EN ")", "FCPX 10.3+", "英文", "", std::nullopt},
        {R"(,"compat":" FCPX 10.4.1+\n","language":"ja")", "FCPX 10.4.1+", "中文", "", std::nullopt},
        {R"(,"fileSize":1536)", "FCPX 10.3+", "中文", "2 KB", std::nullopt},
        {R"(,"fileSize":1048575)", "FCPX 10.3+", "中文", "1024 KB", std::nullopt},
        {R"(,"fileSize":1048576)", "FCPX 10.3+", "中文", "1.0 MB", std::nullopt},
        {R"(,"fileSize":0)", "FCPX 10.3+", "中文", "", std::nullopt},
        {R"(,"fileSize":5000000000)", "FCPX 10.3+", "中文", "4768.4 MB", std::nullopt},
        {R"(,"price":2990,"finalPrice":1990)", "FCPX 10.3+", "中文", "", QString("¥29.90")},
        {R"(,"price":1990,"finalPrice":1990)", "FCPX 10.3+", "中文", "", std::nullopt},
        {R"(,"price":1990)", "FCPX 10.3+", "中文", "", std::nullopt},
        {R"(,"finalPrice":1990)", "FCPX 10.3+", "中文", "", std::nullopt},
        {R"(,"price":4990,"finalPrice":0)", "FCPX 10.3+", "中文", "", QString("¥49.90")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra);
        const MarketPlugin p = plugin(c.extra);
        EXPECT_EQ(p.compatText(), c.compat);
        EXPECT_EQ(p.languageText(), c.language);
        EXPECT_EQ(p.sizeText(), c.size);
        EXPECT_EQ(p.originalPriceText(), c.original);
    }

    const std::pair<qint64, const char*> money[] = {
        {2000, "¥20"}, {0, "¥0"}, {1990, "¥19.90"}, {1, "¥0.01"}, {500000000000000LL, "¥5000000000000"}};
    for (const auto& [cents, text] : money)
        EXPECT_EQ(MarketPlugin::money(cents), QString::fromUtf8(text)) << cents;

    MarketPurchase purchase;
    EXPECT_EQ(purchase.payTimeText(), "—");
    purchase.payTime = 1700000000;
    EXPECT_EQ(purchase.payTimeText(), QDateTime::fromSecsSinceEpoch(1700000000).toString("yyyy-MM-dd HH:mm"));
    purchase.payTime = std::numeric_limits<qint64>::max();
    EXPECT_EQ(purchase.payTimeText(), "—"); // beyond any calendar: no garbage date
}

TEST(MarketModelsTest, InstallStageTitlesAndFractions)
{
    using S = MarketInstallStage;
    const struct {
        S stage;
        QString title;
        std::optional<double> fraction;
    } cases[] = {
        {S::downloading(42, 100), "正在下载 42%", 0.42},
        {S::downloading(512, 0), "正在下载 512 B", std::nullopt},
        {S::downloading(3 * 1024, -1), "正在下载 3 KB", std::nullopt},
        {S::downloading(1572864, -1), "正在下载 1.5 MB", std::nullopt},
        {S::downloading(3000000000LL, 4000000000LL), "正在下载 75%", 0.75}, // beyond 32 bits
        {S::downloading(150, 100), "正在下载 150%", 1.0},
        {S::installing(0.305), "正在安装 30%", 0.305},
        {S::installing(1.7), "正在安装 170%", 1.0},
        {S::done("好了"), "好了", 1.0},
        {S::failed("坏了"), "坏了", std::nullopt},
        {S::idle(), "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title.toStdString());
        EXPECT_EQ(c.stage.title(), c.title);
        EXPECT_EQ(c.stage.fraction(), c.fraction);
    }
}
