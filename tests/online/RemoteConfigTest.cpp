#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

#include "online/RemoteConfig.h"
#include "support/app/QtPrint.h"

namespace {

RemoteConfig decoded(const QByteArray& json)
{
    const auto config = RemoteConfig::decode(json);
    EXPECT_TRUE(config.has_value()) << json.toStdString();
    return config.value_or(RemoteConfig());
}

} // namespace

TEST(RemoteConfig, OnlyAnObjectDecodesAndAnEmptyOneHasTheDefaults)
{
    for (const QByteArray& bad : {QByteArray("[1,2]"), QByteArray("\"x\""), QByteArray("<html>"),
                                 QByteArray(), QByteArray(RemoteConfig::kMaxBytes + 1, ' ')}) {
        SCOPED_TRACE(bad.left(20).toStdString());
        EXPECT_FALSE(RemoteConfig::decode(bad).has_value());
    }
    const RemoteConfig empty = decoded("{}");
    EXPECT_EQ(empty, RemoteConfig());
    EXPECT_EQ(empty.adAlignKey(), "left");
    EXPECT_FALSE(empty.adBadgeOnLeft());
    EXPECT_EQ(empty.noticeHeading(), "公告");
    EXPECT_TRUE(empty.changelogLines().isEmpty());
    EXPECT_TRUE(empty.displayCards().isEmpty());
}

TEST(RemoteConfig, WrongTypesLeaveOnlyTheirOwnFieldAbsent)
{
    const RemoteConfig c = decoded(R"({"adShow": 1, "adOverlay": "true", "forceUpdate": true,
        "notice": 5, "noticeTitle": null, "adText": " Hi ", "sidebarCards": [{"title": "a"}, 3]})");
    EXPECT_FALSE(c.adShow.has_value());
    EXPECT_FALSE(c.adOverlay.has_value());
    EXPECT_EQ(c.forceUpdate, true);
    EXPECT_FALSE(c.notice.has_value());
    EXPECT_FALSE(c.noticeTitle.has_value());
    EXPECT_EQ(c.adText, " Hi "); // kept as received
    EXPECT_FALSE(c.sidebarCards.has_value());
}

TEST(RemoteConfig, OverlayOpacityReadsNumbersAndWholeNumericTexts)
{
    struct Case {
        const char* json;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {R"({"adOverlayOpacity": 40})", 40},
        {R"({"adOverlayOpacity": "40"})", 40},
        {R"({"adOverlayOpacity": "12.5"})", 12.5},
        {R"({"adOverlayOpacity": " 40"})", std::nullopt},
        {R"({"adOverlayOpacity": "40%"})", std::nullopt},
        {R"({"adOverlayOpacity": "40,5"})", std::nullopt},
        {R"({"adOverlayOpacity": ""})", std::nullopt},
        {R"({"adOverlayOpacity": true})", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(decoded(c.json).adOverlayOpacity, c.expected);
    }
}

TEST(RemoteConfig, TrimRulesOfTheDerivedValues)
{
    RemoteConfig c;
    struct Align {
        QString text;
        const char* key;
    };
    for (const Align& a : {Align{" Middle\t", "center"}, Align{"居中", "center"},
                           Align{"RIGHT", "right"}, Align{"靠右", "right"},
                           Align{"center\n", "left"}, Align{"", "left"}}) {
        SCOPED_TRACE(a.text.toStdString());
        c.adAlign = a.text;
        EXPECT_EQ(c.adAlignKey(), a.key);
    }
    c.adBadgeSide = QStringLiteral(" Left ");
    EXPECT_TRUE(c.adBadgeOnLeft());
    c.adBadgeSide = QStringLiteral("left\n");
    EXPECT_FALSE(c.adBadgeOnLeft());

    c.adLink = QStringLiteral("  \u3000 ");
    c.adUrl = QStringLiteral("\n https://a.example/x \t");
    EXPECT_EQ(c.adOpenLink(), "https://a.example/x");
    c.downloadUrl = QStringLiteral(" ");
    c.updateUrl = QStringLiteral(" https://u.example ");
    EXPECT_EQ(c.updateLink(), "https://u.example");
    c.noticeTitle = QStringLiteral("\n维护\n");
    c.notice = QStringLiteral(" \n ");
    EXPECT_EQ(c.noticeHeading(), "维护");
    EXPECT_FALSE(c.noticeText().has_value());
}

TEST(RemoteConfig, ImageOnlyNeedsShowOverlayPictureAndNoHeading)
{
    RemoteConfig c = decoded(R"({"adShow": true, "adOverlay": true, "adImage": " http://x/b.png "})");
    EXPECT_TRUE(c.adImageOnly());
    EXPECT_EQ(c.adIconURL(), "http://x/b.png");
    c.adText = QStringLiteral(" ");
    EXPECT_TRUE(c.adImageOnly()) << "a blank heading is no heading";
    c.adText = QStringLiteral("Sale");
    EXPECT_FALSE(c.adImageOnly());
    c.adText.reset();
    c.adOverlay = false;
    EXPECT_FALSE(c.adImageOnly());
}

TEST(RemoteConfig, ChangelogLinesDropOneBulletAndEmptyLines)
{
    RemoteConfig c;
    c.changelog = QStringLiteral("  • first\r\n- \n*word\n— last");
    EXPECT_EQ(c.changelogLines(), (QStringList{"first", "-", "*word", "last"}));
    c.changelog = QStringLiteral("- - twice\u2028·  dot  \u0085\t\n– en");
    EXPECT_EQ(c.changelogLines(), (QStringList{"- twice", "dot", "en"}));
    c.changelog = QString(1000, QLatin1Char('\n')) + QStringLiteral("x");
    EXPECT_EQ(c.changelogLines(), QStringList{"x"});
}

TEST(RemoteConfig, CardsDecodeTrimmedAndTheFollowCardComesFromTheQrCode)
{
    RemoteConfig c = decoded(R"({"sidebarCards": [{"title": "  A  ", "link": "", "tint": 3,
        "url": "https://x/QR.PNG"}, {"title": " "}], "qrcodeUrl": "https://x/q.png"})");
    ASSERT_TRUE(c.sidebarCards.has_value());
    ASSERT_EQ(c.sidebarCards->size(), 2);
    const PromoCard& a = c.sidebarCards->at(0);
    EXPECT_EQ(a.title, "A");
    EXPECT_FALSE(a.link.has_value());
    EXPECT_FALSE(a.tint.has_value());
    EXPECT_EQ(a.accent(), PromoCard::Accent::brand);
    EXPECT_EQ(a.imageAddress(), "https://x/QR.PNG");
    EXPECT_FALSE(a.linkAddress().has_value());
    EXPECT_EQ(c.sidebarCards->at(1).title, "");
    EXPECT_EQ(c.displayCards().size(), 1);

    c = decoded(R"({"sidebarCards": [{"title": " "}], "qrcodeUrl": "https://x/q.png"})");
    EXPECT_TRUE(c.displayCards().isEmpty()) << "cards were given: no follow card";

    c = decoded(R"({"sidebarCards": [], "qrcodeUrl": "https://x/q.png"})");
    ASSERT_EQ(c.displayCards().size(), 1);
    const PromoCard follow = c.displayCards().first();
    EXPECT_EQ(follow.id, "follow");
    EXPECT_EQ(follow.title, "关注公众号");
    EXPECT_EQ(follow.image, "https://x/q.png");
    EXPECT_EQ(follow.tint, "brand");

    c.qrcodeUrl = QStringLiteral("  ");
    EXPECT_TRUE(c.displayCards().isEmpty());
}

TEST(RemoteConfig, PictureAddressesAndAccents)
{
    struct Case {
        std::optional<QString> address;
        bool imageLike;
    };
    const Case cases[] = {
        {QStringLiteral("https://x/A.PNG"), true},   {QStringLiteral("https://x/a.webp"), true},
        {QStringLiteral("https://x/qrcode?id=1"), true}, {QStringLiteral("https://x/a.png?v=2"), false},
        {QStringLiteral("https://x/page"), false},   {std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.address.value_or("(absent)").toStdString());
        EXPECT_EQ(PromoCard::isImageLike(c.address), c.imageLike);
    }
    PromoCard card;
    card.tint = QStringLiteral("Teal");
    EXPECT_EQ(card.accent(), PromoCard::Accent::teal);
    card.tint = QStringLiteral("pink");
    EXPECT_EQ(card.accent(), PromoCard::Accent::brand);
    card.link = QStringLiteral("https://x/page");
    card.url = QStringLiteral("https://x/pic.jpg");
    EXPECT_EQ(card.linkAddress(), "https://x/page");
    EXPECT_EQ(card.imageAddress(), "https://x/pic.jpg");
}

TEST(RemoteConfig, EncodesBackToTheSameDocument)
{
    const QByteArray json = R"({"adShow": false, "adOverlayOpacity": 12.5, "notice": " n ",
        "sidebarCards": [{"title": "", "badge": "b"}], "forceUpdate": true})";
    const RemoteConfig c = decoded(json);
    const QJsonObject encoded = c.toJson();
    EXPECT_EQ(encoded.size(), 5);
    EXPECT_EQ(encoded.value("sidebarCards").toArray().at(0).toObject().value("title"), "");
    EXPECT_EQ(RemoteConfig::fromJson(encoded), c);
}
