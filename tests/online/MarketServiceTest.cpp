#include <gtest/gtest.h>

#include <QImage>
#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QJsonDocument>
#include <QObject>
#include <QSettings>
#include <QTest>

#include "engine/model/AppSettings.h"
#include "online/MarketService.h"
#include "online/PayChannels.h"
#include "online/ServerConfig.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

V2API::Reply reply(const char* text)
{
    if (!text)
        return std::nullopt;
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

// Runs one asynchronous operation to its answer.
template <typename T, typename Start>
T await(Start start)
{
    QObject context;
    std::optional<T> result;
    start(&context, [&](const T& value) { result = value; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
    return result.value_or(T{});
}

class MarketServiceTest : public StandinTest
{
protected:
    QJsonObject lastBody(const QString& path)
    {
        const QJsonArray log = standin().requests(path);
        return log.isEmpty() ? QJsonObject() : log.last().toObject().value("body").toObject();
    }
};

} // namespace

TEST(MarketServiceReaders, BuyGivesItsTextForEveryBranch)
{
    using R = MarketBuyResult;
    const struct {
        const char* reply;
        R::Kind kind;
        QString message;
    } cases[] = {
        {nullptr, R::Kind::failure, "网络异常，请检查网络后重试"},
        {R"({"info":"x"})", R::Kind::failure, "服务器返回异常"},
        {R"({"status":"0"})", R::Kind::failure, "服务器返回异常"},
        {R"({"status":0,"free":true,"orderNo":"o","qrPayload":"q"})", R::Kind::free, ""},
        {R"({"status":0,"orderNo":"o","qrPayload":""})", R::Kind::failure, "没有拿到支付二维码，请稍后重试"},
        {R"({"status":0,"qrPayload":"q"})", R::Kind::failure, "没有拿到支付二维码，请稍后重试"},
        {R"({"status":2,"info":"插件市场维护中"})", R::Kind::failure, "插件市场暂未开放"},
        {R"({"status":2})", R::Kind::failure, "在线支付暂未开通，请联系客服购买"},
        {R"({"status":4})", R::Kind::owned, ""},
        {R"({"status":9,"info":"库存不足"})", R::Kind::failure, "库存不足"},
        {R"({"status":9})", R::Kind::failure, "下单失败"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reply ? c.reply : "no reply");
        const R result = MarketService::readBuy(reply(c.reply), "wechat");
        EXPECT_EQ(result.kind, c.kind);
        EXPECT_EQ(result.message, c.message);
    }

    const R order = MarketService::readBuy(reply(R"({"status":0,"orderNo":"o","qrPayload":"q","amount":1990})"), "alipay");
    ASSERT_EQ(order.kind, R::Kind::order);
    EXPECT_EQ(order.order.expireSeconds, 900);
    EXPECT_EQ(order.order.channel, "alipay");
    EXPECT_EQ(order.order.pluginName, "插件");
    EXPECT_FALSE(order.order.isMock);
    EXPECT_FALSE(order.order.originalAmount.has_value());
}

TEST(MarketServiceReaders, StatusAndDownloadGiveTheirTexts)
{
    using P = MarketPayStatus;
    const std::pair<const char*, P> statuses[] = {
        {nullptr, P::failed("网络异常")},
        {R"({})", P::failed("服务器返回异常")},
        {R"({"status":0})", P::makePaid()},
        {R"({"status":1})", P::closed("订单已关闭")},
        {R"({"status":1,"info":"已过期"})", P::closed("已过期")},
        {R"({"status":2,"secondsLeft":42})", P::pending(42)},
        {R"({"status":2})", P::pending(0)},
        {R"({"status":7})", P::failed("查询失败")},
        {R"({"status":7,"info":"忙"})", P::failed("忙")},
    };
    for (const auto& [text, expected] : statuses) {
        SCOPED_TRACE(text ? text : "no reply");
        EXPECT_EQ(MarketService::readStatus(reply(text)), expected);
    }

    using D = MarketDownloadResult;
    const std::pair<const char*, D> downloads[] = {
        {nullptr, D::failure("网络异常，请检查网络后重试")},
        {R"({"status":true})", D::failure("服务器返回异常")},
        {R"({"status":0,"url":"http://h/f"})", D::ticket("http://h/f", "plugin.zip", 0, {})},
        {R"({"status":0,"url":"","info":"文件整理中"})", D::failure("文件整理中")},
        {R"({"status":0})", D::failure("下载失败，请稍后重试")},
        {R"({"status":2})", D::makeNeedBuy()},
        {R"({"status":0,"url":"u","fileName":"a.zfcp","fileSize":5000000000,"risk":{"reasons":["r"],"tip":"t"}})",
         D::ticket("u", "a.zfcp", 5000000000LL, {"ok", {"r"}, "t"})},
        {R"({"status":0,"url":"u","risk":{"level":"warn","reasons":["r",1]}})", D::ticket("u", "plugin.zip", 0, {"warn", {}, ""})},
    };
    for (const auto& [text, expected] : downloads) {
        SCOPED_TRACE(text ? text : "no reply");
        EXPECT_EQ(MarketService::readDownload(reply(text)), expected);
    }
}

TEST(MarketServiceReaders, ListsFavouritesAndChannels)
{
    EXPECT_EQ(MarketService::readList(reply(R"({"status":0,"plugins":[]})")).enabled, true);
    EXPECT_EQ(MarketService::readList(reply(R"({"status":0,"enabled":false})")).enabled, false);
    EXPECT_EQ(MarketService::readList(reply(R"({"status":1,"enabled":false,"total":5})")), MarketListPayload{});
    const auto oneBad = MarketService::readList(reply(R"({"status":0,"total":2,"plugins":[{"pluginId":"a","name":"A"},{"pluginId":"b"}]})"));
    EXPECT_TRUE(oneBad.plugins.isEmpty());
    EXPECT_EQ(oneBad.total, 2);

    EXPECT_EQ(MarketService::readFavorite(reply(R"({"status":0})"), true), true);
    EXPECT_EQ(MarketService::readFavorite(reply(R"({"status":0,"favorited":false})"), true), false);
    EXPECT_EQ(MarketService::readFavorite(std::nullopt, true), std::nullopt);

    const auto channels = PaymentService::readChannels(reply(
        R"({"status":0,"channels":[{"key":"a","name":"A","disabled":true},{"key":"b","name":"B","disabled":false},{"key":"c","name":"C"}]})"));
    ASSERT_EQ(channels.size(), 3);
    EXPECT_EQ(PaymentService::available(channels).size(), 2);
    EXPECT_EQ(PaymentService::available(channels).first().key, "b");
    EXPECT_TRUE(PaymentService::readChannels(reply(R"({"status":0,"channels":[{"key":"a","name":"A"},{"key":"b"}]})")).isEmpty());
    EXPECT_TRUE(PaymentService::readChannels(reply(R"({"status":1,"channels":[{"key":"a","name":"A"}]})")).isEmpty());
}

TEST(MarketServiceReaders, AbsoluteURLTakesOnlyWebAddresses)
{
    QSettings().setValue(ServerConfig::settingsKey, "https://api.example.com/base/");
    const std::pair<std::optional<QString>, std::optional<QString>> cases[] = {
        {std::nullopt, std::nullopt},
        {QString(""), std::nullopt},
        {QString(" \t "), std::nullopt},
        {QString(" /img/a.png"), QString("https://api.example.com/base/img/a.png")},
        {QString("https://cdn.example.com/a.png\t"), QString("https://cdn.example.com/a.png")},
        {QString("img/a.png"), QString("img/a.png")},
        {QString("file:///etc/passwd"), std::nullopt},
        {QString("ftp://example.com/a.zfcp"), std::nullopt},
        {QString("javascript:alert(1)"), std::nullopt},
        {QString("http://"), std::nullopt},
    };
    for (const auto& [link, expected] : cases) {
        SCOPED_TRACE(link.value_or("absent").toStdString());
        const auto url = MarketService::absoluteURL(link);
        EXPECT_EQ(url ? std::optional<QString>(url->toString()) : std::nullopt, expected);
    }
    QSettings().remove(ServerConfig::settingsKey);
}

TEST(MarketServiceReaders, DeviceIdIsCreatedOnceAndKept)
{
    QSettings().remove(AppSettings::marketDeviceIdKey);
    const QString first = MarketService::deviceId();
    EXPECT_EQ(first.size(), 36);
    EXPECT_EQ(first, first.toUpper());
    EXPECT_EQ(MarketService::deviceId(), first);
    QSettings().sync();
    EXPECT_EQ(QSettings().value("loomwork_market_device_id").toString(), first);
}

TEST_F(MarketServiceTest, SendsTheRequestBodiesAndReadsTheStandinShop)
{
    const auto page = await<MarketListPayload>([](QObject* c, auto done) {
        MarketService::list({}, {}, MarketSort::hotDownloads, 1, 20, c, done);
    });
    const QJsonObject body = lastBody("/v2/market/list");
    EXPECT_EQ(body.value("sort").toString(), "hots");
    EXPECT_FALSE(body.contains("keyword"));
    EXPECT_FALSE(body.contains("category"));
    EXPECT_EQ(page.plugins.size(), 20);
    EXPECT_GE(page.total, 40);
    EXPECT_TRUE(page.enabled);
    for (const MarketPlugin& p : page.plugins) // sizes a real shop shows, never "0 KB"
        EXPECT_TRUE(p.fileSize >= 200 << 10 && p.fileSize <= 10 << 20) << p.pluginId.toStdString() << " " << p.sizeText().toStdString();

    const auto glow = await<MarketListPayload>([](QObject* c, auto done) {
        MarketService::list("glow", "标题", MarketSort::latest, 1, 20, c, done);
    });
    EXPECT_EQ(lastBody("/v2/market/list").value("keyword").toString(), "glow");
    ASSERT_FALSE(glow.plugins.isEmpty());
    for (const MarketPlugin& p : glow.plugins)
        EXPECT_EQ(p.category, QString("标题"));

    standin().control("market/state", {{"enabled", false}});
    const auto closed = await<MarketListPayload>([](QObject* c, auto done) {
        MarketService::list({}, {}, MarketSort::latest, 1, 20, c, done);
    });
    EXPECT_FALSE(closed.enabled);
    const auto buyClosed = await<MarketBuyResult>([](QObject* c, auto done) { MarketService::buy("p004", "wechat", c, done); });
    EXPECT_EQ(buyClosed, MarketBuyResult::failure("插件市场暂未开放"));
}

TEST_F(MarketServiceTest, BuyPayDownloadAndFavouritesRoundTrip)
{
    const auto needBuy = await<MarketDownloadResult>([](QObject* c, auto done) { MarketService::download("p004", c, done); });
    EXPECT_EQ(needBuy.kind, MarketDownloadResult::Kind::needBuy);
    EXPECT_EQ(lastBody("/v2/market/download").value("deviceId").toString(), MarketService::deviceId());

    const auto bought = await<MarketBuyResult>([](QObject* c, auto done) { MarketService::buy("p004", "alipay", c, done); });
    ASSERT_EQ(bought.kind, MarketBuyResult::Kind::order);
    EXPECT_EQ(bought.order.amount, 1990);
    EXPECT_EQ(bought.order.originalAmount, 2990);
    EXPECT_FALSE(bought.order.qrPayload.isEmpty());
    const QString orderNo = bought.order.orderNo;

    const auto status = [&] {
        return await<MarketPayStatus>([orderNo](QObject* c, auto done) { MarketService::status(orderNo, c, done); });
    };
    EXPECT_EQ(status().kind, MarketPayStatus::Kind::pending);
    standin().control("market/pay", {{"orderNo", orderNo}});
    EXPECT_EQ(status(), MarketPayStatus::makePaid());
    const auto owned = await<MarketBuyResult>([](QObject* c, auto done) { MarketService::buy("p004", "wechat", c, done); });
    EXPECT_EQ(owned.kind, MarketBuyResult::Kind::owned);

    const auto orders = await<QList<MarketPurchase>>([](QObject* c, auto done) { MarketService::orders(c, done); });
    ASSERT_EQ(orders.size(), 1);
    EXPECT_EQ(orders.first().orderNo, orderNo);
    const auto ticket = await<MarketDownloadResult>([](QObject* c, auto done) { MarketService::download("p004", c, done); });
    EXPECT_EQ(ticket.kind, MarketDownloadResult::Kind::ok);

    // A second order expires; one more is closed.
    const auto second = await<MarketBuyResult>([](QObject* c, auto done) { MarketService::buy("p010", "wechat", c, done); });
    standin().control("market/expire", {});
    const auto expired = await<MarketPayStatus>([&](QObject* c, auto done) { MarketService::status(second.order.orderNo, c, done); });
    EXPECT_EQ(expired.kind, MarketPayStatus::Kind::closed);

    const auto set = await<std::optional<bool>>([](QObject* c, auto done) { MarketService::setFavorite("p012", true, c, done); });
    EXPECT_EQ(set, true);
    const auto favorites = await<QList<MarketPlugin>>([](QObject* c, auto done) { MarketService::favorites(c, done); });
    ASSERT_EQ(favorites.size(), 1);
    EXPECT_EQ(favorites.first().favorited, true);
    const auto detail = await<std::optional<MarketPlugin>>([](QObject* c, auto done) { MarketService::detail("p012", c, done); });
    ASSERT_TRUE(detail.has_value());
    EXPECT_EQ(detail->favorited, true);

    const auto channels = await<QList<PayChannelInfo>>([](QObject* c, auto done) { PaymentService::channels(c, done); });
    EXPECT_EQ(PaymentService::available(channels).size(), 2);
}

TEST_F(MarketServiceTest, ServesPicturesAndARangedPreviewVideo)
{
    QNetworkAccessManager manager;
    const auto get = [&](const QString& path, const QByteArray& range, int* status, QByteArray* rangeHeader) {
        QNetworkRequest request(QUrl(standin().baseUrl() + path));
        if (!range.isEmpty())
            request.setRawHeader("Range", range);
        QNetworkReply* reply = manager.get(request);
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 30000));
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        *rangeHeader = reply->rawHeader("Content-Range");
        const QByteArray body = reply->readAll();
        reply->deleteLater();
        return body;
    };
    int status = 0;
    QByteArray contentRange;
    const QImage cover = QImage::fromData(get("market/media/cover/p001.png", {}, &status, &contentRange));
    EXPECT_EQ(cover.size(), QSize(320, 200));

    const QByteArray whole = get("market/media/preview.mp4", {}, &status, &contentRange);
    EXPECT_EQ(status, 200);
    const QByteArray head = get("market/media/preview.mp4", "bytes=0-99", &status, &contentRange);
    EXPECT_EQ(status, 206);
    EXPECT_EQ(head, whole.left(100));
    EXPECT_EQ(contentRange, "bytes 0-99/" + QByteArray::number(whole.size()));
#ifdef LOOMWORK_STANDIN_HAS_VIDEO
    EXPECT_EQ(head.mid(4, 4), "ftyp") << "a real MP4";
#endif
    get("market/media/preview.mp4", "bytes=999999999-", &status, &contentRange);
    EXPECT_EQ(status, 416);
}

TEST(PaymentServiceTest, QrImageHasTheAskedSizeAndRefusesEmptyText)
{
    EXPECT_TRUE(PaymentService::qrImage("", 168).isNull());
    for (const QString& text : {QString("x"), QString("weixin://wxpay/bizpayurl?pr=订单一二三"), QString(200, QChar('a'))}) {
        SCOPED_TRACE(text.toStdString());
        const QImage image = PaymentService::qrImage(text, 168);
        ASSERT_FALSE(image.isNull());
        EXPECT_EQ(image.size(), QSize(168, 168));
        // A light quiet zone, then the finder pattern's dark corner early on the diagonal.
        EXPECT_EQ(qGray(image.pixel(0, 0)), 255);
        int firstDark = -1;
        for (int i = 0; i < 168 && firstDark < 0; ++i)
            firstDark = qGray(image.pixel(i, i)) == 0 ? i : -1;
        EXPECT_GT(firstDark, 0);
        EXPECT_LT(firstDark, 168 / 10);
    }
}
