#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QUrlQuery>

#include "online/BiliVideo.h"

namespace {

std::optional<QString> s(const char* text) { return QString::fromUtf8(text); }

QString embedded(const char* text)
{
    const auto url = BiliVideo::normalizedUrl(s(text));
    if (!url)
        return {};
    const auto part = BiliVideo::parse(*url);
    if (!part)
        return {};
    const auto page = BiliVideo::embed(*part);
    return page ? page->toString() : QString();
}

} // namespace

TEST(BiliVideoTest, RecognisesSiteLinksByHost)
{
    const struct {
        const char* text;
        bool link;
    } cases[] = {
        {"https://www.bilibili.com/video/BV1xx411c7mD", true},
        {"BV1xx411c7mD", true},
        {"bv1xx411c7mD", false},           // lower-case prefix reads as a host name
        {"AV170001", true},
        {"b23.tv/abc", true},
        {"https://x.b23.tv/abc", true},
        {"https://bili2233.cn/abc", true},
        {"https://m.bili2233.cn/abc", false}, // only the exact host
        {"https://notbilibili.com/video/BV1xx411c7mD", false},
        {"https://example.com/a.mp4", false},
        {"   ", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(BiliVideo::isBiliLink(s(c.text)), c.link);
    }
    EXPECT_FALSE(BiliVideo::isBiliLink(std::nullopt));
    EXPECT_TRUE(BiliVideo::isShortLink(QUrl("https://b23.tv/x")));
    EXPECT_FALSE(BiliVideo::isShortLink(QUrl("https://a.bili2233.cn/x")));
}

TEST(BiliVideoTest, BuildsPlayerPageFromEveryForm)
{
    const char* player = "https://player.bilibili.com/player.html?";
    const struct {
        const char* text;
        QString page;
    } cases[] = {
        {R"(<iframe src="//player.bilibili.com/player.html?bvid=BV1xx411c7mD&amp;p=3" allowfullscreen></iframe>)",
         QString(player) + "bvid=BV1xx411c7mD&page=3&high_quality=1&danmaku=0&autoplay=1&t=0"},
        {"BV1xx411c7mD", QString(player) + "bvid=BV1xx411c7mD&page=1&high_quality=1&danmaku=0&autoplay=1&t=0"},
        {"av12345678901234", QString(player) + "aid=123456789012&page=1&high_quality=1&danmaku=0&autoplay=1&t=0"},
        {"https://www.bilibili.com/list?aid=77&P=0", QString(player) + "aid=77&page=1&high_quality=1&danmaku=0&autoplay=1&t=0"},
        {"https://www.bilibili.com/video/BV1xx411c7mD?p=-4", QString(player) + "bvid=BV1xx411c7mD&page=1&high_quality=1&danmaku=0&autoplay=1&t=0"},
        {"https://www.bilibili.com/video/BV1xx411c7mD?p=x", QString(player) + "bvid=BV1xx411c7mD&page=1&high_quality=1&danmaku=0&autoplay=1&t=0"},
        {"https://www.bilibili.com/read/cv1", QString()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(embedded(c.text), c.page);
    }
    EXPECT_EQ(*BiliVideo::cleaned(s("  'a&amp;b\" ")), QStringLiteral("a&b"));
    EXPECT_FALSE(BiliVideo::normalizedUrl(s("\"\"")));
}

TEST(BiliVideoTest, HostsStayUnderTheDomain)
{
    EXPECT_TRUE(BiliVideo::hostWithin("bilibili.com", "bilibili.com"));
    EXPECT_TRUE(BiliVideo::hostWithin("Player.Bilibili.com", "bilibili.com"));
    EXPECT_FALSE(BiliVideo::hostWithin("evilbilibili.com", "bilibili.com"));
    EXPECT_FALSE(BiliVideo::hostWithin("bilibili.com.evil.net", "bilibili.com"));

}

TEST(BiliVideoTest, ThePlayerLeavesTheSiteOnlyWhenThePageLeadsAway)
{
    const struct {
        const char* url;
        bool byPage;
        bool byUser;
    } navigations[] = {
        {"https://player.bilibili.com/player.html?bvid=BV1xx411c7mD", true, true},
        {"http://bilibili.com/", true, true},
        {"HTTPS://WWW.BILIBILI.COM/video/", true, true},
        {"https://upos-sz.bilivideo.com/x.m4s", true, true},
        {"https://b23.tv/abc", true, true},
        {"https://x.b23.tv/abc", true, true},
        {"", true, true},
        {"about:blank", true, true},
        {"about:srcdoc", true, true},
        {"data:text/html,<script>alert(1)</script>", true, true},
        {"https://evilbilibili.com/", true, false},
        {"https://bilibili.com.evil.example/", true, false},
        {"https://bilibili.com@evil.example/", true, false},
        {"https://evil.example/", true, false},
        {"https://cdn.other.net/frame.js", true, false},
        {"ftp://www.bilibili.com/", false, false},
        {"file:///etc/passwd", false, false},
        {"javascript:alert(1)", false, false},
        {"view-source:https://www.bilibili.com/", false, false},
        {"mailto:a@bilibili.com?attach=/etc/passwd", false, false},
        {"bilibili://video/BV1xx411c7mD", false, false},
        {"https:///video", false, false},
    };
    for (const auto& n : navigations) {
        SCOPED_TRACE(n.url);
        EXPECT_EQ(BiliVideo::allowsNavigation(QUrl(n.url), BiliVideo::Starter::page), n.byPage);
        EXPECT_EQ(BiliVideo::allowsNavigation(QUrl(n.url), BiliVideo::Starter::user), n.byUser);
    }
}

TEST(BiliVideoTest, NoNetworkAnswerStillArrivesAsynchronously)
{
    std::optional<std::optional<QUrl>> got;
    QObject context;
    BiliVideo::embedUrl(s("https://example.com/v.mp4"), &context, [&](const std::optional<QUrl>& page) { got = page; });
    EXPECT_FALSE(got.has_value());
    QElapsedTimer timer;
    timer.start();
    while (!got && timer.elapsed() < 2000)
        QCoreApplication::processEvents();
    ASSERT_TRUE(got.has_value());
    EXPECT_FALSE(got->has_value());
}
