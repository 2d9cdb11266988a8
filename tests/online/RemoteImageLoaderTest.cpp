#include <gtest/gtest.h>

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QElapsedTimer>
#include <QTest>

#include "online/HttpFetch.h"
#include "online/RemoteImageLoader.h"
#include "support/app/LoopbackHttpServer.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"

namespace {

class RemoteImageLoaderTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        server.setReply(QStringLiteral("/red.png"),
                        {200, "image/png", LoopbackHttpServer::png(40, 0xFFFF0000), {}});
    }

    // Loads `url` and returns what finished() delivered; fails unless it came exactly once.
    QImage loadOnce(const QUrl& url, const RemoteImageLoader::Options& options = {})
    {
        RemoteImageLoader loader;
        QSignalSpy spy(&loader, &RemoteImageLoader::finished);
        loader.load(url, options);
        EXPECT_TRUE(spy.wait(30000)) << url.toString().toStdString();
        EXPECT_TRUE(waitForNetworkIdle());
        EXPECT_EQ(spy.count(), 1) << url.toString().toStdString();
        EXPECT_FALSE(loader.isLoading());
        return spy.isEmpty() ? QImage() : spy.first().first().value<QImage>();
    }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(RemoteImageLoaderTest, LoadsAPictureOverHttp)
{
    const QImage image = loadOnce(server.url(QStringLiteral("/red.png")));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(40, 40));
    EXPECT_EQ(image.pixelColor(20, 20), QColor(Qt::red));
    EXPECT_EQ(server.requests(), QStringList{QStringLiteral("/red.png")});
}

TEST_F(RemoteImageLoaderTest, FailuresDeliverANullImage)
{
    server.setReply(QStringLiteral("/html"), {200, "text/html", "<html>nope</html>", {}});
    server.setReply(QStringLiteral("/error.png"),
                    {500, "image/png", LoopbackHttpServer::png(8, 0xFF00FF00), {}});
    server.setReply(QStringLiteral("/empty"), {200, "image/png", {}, {}});
    server.setReply(QStringLiteral("/huge"),
                    {200, "image/png", QByteArray(RemoteImageLoader::kMaxBytes + 1, 'x'), {}});
    server.setReply(QStringLiteral("/to-file"), {302, "text/plain", {}, {"Location: file:///etc/passwd"}});

    struct Case {
        const char* label;
        QUrl url;
    };
    const Case cases[] = {
        {"missing picture (404)", server.url(QStringLiteral("/missing.png"))},
        {"not a picture", server.url(QStringLiteral("/html"))},
        {"server error, even with a picture in the body", server.url(QStringLiteral("/error.png"))},
        {"empty body", server.url(QStringLiteral("/empty"))},
        {"larger than an avatar can be", server.url(QStringLiteral("/huge"))},
        {"redirect to a local file", server.url(QStringLiteral("/to-file"))},
        {"nobody listening", QUrl(QStringLiteral("http://127.0.0.1:1/a.png"))},
        {"local file", QUrl(QStringLiteral("file:///etc/passwd"))},
        {"ftp", QUrl(QStringLiteral("ftp://127.0.0.1/a.png"))},
        {"no host", QUrl(QStringLiteral("http:///a.png"))},
        {"empty", QUrl()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_TRUE(loadOnce(c.url).isNull());
    }
}

TEST_F(RemoteImageLoaderTest, ANewLoadOrCancelDropsTheEarlierResult)
{
    server.setReply(QStringLiteral("/blue.png"),
                    {200, "image/png", LoopbackHttpServer::png(10, 0xFF0000FF), {}});
    RemoteImageLoader loader;
    QSignalSpy spy(&loader, &RemoteImageLoader::finished);
    loader.load(server.url(QStringLiteral("/red.png")));
    loader.load(server.url(QStringLiteral("/blue.png")));
    ASSERT_TRUE(spy.wait(30000));
    ASSERT_TRUE(waitForNetworkIdle());
    ASSERT_EQ(spy.count(), 1);
    EXPECT_EQ(spy.first().first().value<QImage>().size(), QSize(10, 10));

    spy.clear();
    loader.load(server.url(QStringLiteral("/red.png")));
    loader.cancel();
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_EQ(spy.count(), 0);
    EXPECT_FALSE(loader.isLoading());
}

TEST_F(RemoteImageLoaderTest, ALoaderDestroyedWhileLoadingDeliversNothing)
{
    for (const bool decoding : {false, true}) {
        SCOPED_TRACE(decoding ? "while decoding" : "while fetching");
        bool delivered = false;
        auto loader = std::make_unique<RemoteImageLoader>();
        QObject::connect(loader.get(), &RemoteImageLoader::finished, [&] { delivered = true; });
        loader->load(server.url(QStringLiteral("/red.png")));
        if (decoding) {
            // Connected after the loader's own handler: it runs once the decode has started.
            auto* reply = HttpFetch::manager().findChildren<QNetworkReply*>(Qt::FindDirectChildrenOnly).last();
            QObject::connect(reply, &QNetworkReply::finished, [&] {
                EXPECT_TRUE(loader->isLoading());
                loader.reset();
            });
            ASSERT_TRUE(QTest::qWaitFor([&] { return !loader; }, 30000));
        } else {
            loader.reset();
        }
        // Whatever was under way comes back to nobody.
        ASSERT_TRUE(waitForNetworkIdle());
        EXPECT_FALSE(delivered);
    }
}

TEST_F(RemoteImageLoaderTest, ScalesDownToTheShownSizeAndGivesUpAtTheDeadline)
{
    RemoteImageLoader loader;
    QSignalSpy spy(&loader, &RemoteImageLoader::finished);
    RemoteImageLoader::Options options;
    options.fitWithin = QSize(10, 20);
    loader.load(server.url(QStringLiteral("/red.png")), options);
    ASSERT_TRUE(spy.wait(30000));
    EXPECT_EQ(spy.first().at(0).value<QImage>().size(), QSize(10, 10));
    EXPECT_EQ(spy.first().at(1).toSize(), QSize(40, 40));

    QTcpServer silent; // takes the connection and never answers
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost, 0));
    options.deadlineMs = 300;
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(loadOnce(QUrl(QStringLiteral("http://127.0.0.1:%1/a.png").arg(silent.serverPort())),
                         options).isNull());
    EXPECT_LT(clock.elapsed(), 15000);
}
