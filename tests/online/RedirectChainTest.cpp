#include <gtest/gtest.h>

#include <QFileInfo>
#include <QSignalSpy>
#include <QTest>

#include "online/MarketDownloader.h"
#include "online/RemoteImageLoader.h"
#include "online/V2API.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

class RedirectChainTest : public StandinTest
{
};

} // namespace

// Downloads, pictures and service requests each walk the stand-in's redirect chains, over
// kept-alive and over closed connections, one after another: ten hops arrive, the eleventh
// is refused.
TEST_F(RedirectChainTest, TenHopsArriveAndTheEleventhIsRefused)
{
    for (const bool close : {false, true}) {
        for (const int hops : {1, 3, 10, 11}) {
            SCOPED_TRACE(std::to_string(hops) + (close ? " hops, Connection: close" : " hops"));
            const bool arrives = hops <= RedirectChain::maxRedirects;
            const auto chain = [&](const char* route, int status) {
                standin().control("script", {{"route", route}, {"redirects", hops}, {"redirectStatus", status},
                                             {"close", close}});
            };
            QObject context;
            chain("/market/blob", 302);
            std::optional<MarketFileDownloader::Result> download;
            MarketFileDownloader::download(standin().baseUrl() + "market/blob?bytes=5000&name=a.zip", 5000, &context,
                                           {}, [&](const MarketFileDownloader::Result& r) { download = r; });
            chain("/promo/pixel.png", 301);
            RemoteImageLoader loader;
            QSignalSpy picture(&loader, &RemoteImageLoader::finished);
            loader.load(QUrl(standin().baseUrl() + "promo/pixel.png"));
            // 307 keeps the method and the body, the token with it, within the origin.
            chain("/v2/verify", 307);
            std::optional<V2API::Reply> envelope;
            V2API::post("/v2/verify", {}, 10, &context, [&](const V2API::Reply& r) { envelope = r; });

            ASSERT_TRUE(QTest::qWaitFor([&] { return download && !picture.isEmpty() && envelope; }, 20000));
            EXPECT_EQ(download->error ? download->error->message : QString(), arrives ? "" : "下载地址无效");
            EXPECT_EQ(QFileInfo(download->file).size(), arrives ? 5000 : 0);
            MarketFileDownloader::discard(download->file);
            EXPECT_EQ(picture.first().first().value<QImage>().isNull(), !arrives);
            EXPECT_EQ(envelope->has_value(), arrives);
            standin().control("reset");
        }
    }
}
