#include <gtest/gtest.h>

#include <QTest>
#include <QUrlQuery>

#include "online/BiliVideo.h"
#include "support/app/StandinTest.h"

namespace {

// The site's short host is the stand-in, so its redirects are scripted.
class BiliShortLinkTest : public StandinTest {
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        BiliVideo::Site site;
        site.shortHost = QStringLiteral("127.0.0.1");
        site.scheme = QStringLiteral("http");
        site.port = standin().port();
        BiliVideo::setSite(site);
    }
    void TearDown() override { BiliVideo::setSite({}); }

    void redirect(const QString& from, const QString& to)
    {
        standin().script(from, {{"http", 302}, {"body", ""}, {"headers", QJsonObject{{"Location", to}}}});
    }

    std::optional<QUrl> resolve(const QString& link)
    {
        QObject context;
        std::optional<std::optional<QUrl>> answer;
        BiliVideo::embedUrl(link, &context, [&](const std::optional<QUrl>& page) { answer = page; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 30000));
        return answer.value_or(std::nullopt);
    }
};

} // namespace

TEST_F(BiliShortLinkTest, AShortLinkIsFollowedToThePlayerPageAndALoopIsGivenUp)
{
    const QString base = standin().baseUrl();
    redirect("/Ab12Cd", base + "hop");
    redirect("/hop", base + "video/BV1xx411c7mD?p=3");
    standin().script("/video/BV1xx411c7mD", {{"body", "<html></html>"}, {"contentType", "text/html"}});
    const auto page = resolve(base + "Ab12Cd");
    ASSERT_TRUE(page.has_value());
    EXPECT_EQ(page->host(), BiliVideo::site().playerHost);
    const QUrlQuery query(*page);
    EXPECT_EQ(query.queryItemValue("bvid"), "BV1xx411c7mD");
    EXPECT_EQ(query.queryItemValue("page"), "3");

    // Twenty hops in a circle: nothing, and no page.
    for (int i = 0; i < 20; ++i)
        redirect("/loop", base + "loop");
    EXPECT_EQ(resolve(base + "loop"), std::nullopt);
}
