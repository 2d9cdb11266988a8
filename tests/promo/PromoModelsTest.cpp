#include <gtest/gtest.h>

#include <QPainter>

#include "promo/AdBarModel.h"
#include "promo/PromoCarouselModel.h"
#include "promo/PromoImageLayout.h"
#include "support/app/QtPrint.h"

namespace {

RemoteConfig config(const char* json)
{
    return RemoteConfig::decode(json).value_or(RemoteConfig());
}

PromoCard card(const QString& title, std::optional<QString> image = std::nullopt)
{
    PromoCard c;
    c.title = title;
    c.image = image;
    return c;
}

} // namespace

TEST(AdBarModel, FormFollowsTheDocument)
{
    using Form = AdBarModel::Form;
    struct Case {
        const char* json;
        bool dismissed;
        Form form;
    };
    const Case cases[] = {
        {R"({"adText": "x", "adImage": "http://x/b.png", "adOverlay": true})", false, Form::none},
        {R"({"adShow": false, "adText": "x"})", false, Form::none},
        {R"({"adShow": true, "adImage": "http://x/b.png"})", false, Form::none},
        {R"({"adShow": true})", false, Form::none},
        {R"({"adShow": true, "adOverlay": true, "adImage": "http://x/b.png"})", false, Form::banner},
        {R"({"adShow": true, "adOverlay": true, "adText": "x"})", false, Form::overlay},
        {R"({"adShow": true, "adText": "x", "adImage": "http://x/i.png"})", false, Form::plain},
        {R"({"adShow": true, "adText": "x"})", true, Form::none},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.json);
        EXPECT_EQ(AdBarModel::form(config(c.json), c.dismissed), c.form);
    }
}

TEST(AdBarModel, OpacityAndLink)
{
    struct Case {
        const char* json;
        qreal opacity;
    };
    for (const Case& c : {Case{"{}", 0.58}, Case{R"({"adOverlayOpacity": 40})", 0.4},
                          Case{R"({"adOverlayOpacity": 0})", 0.05}, Case{R"({"adOverlayOpacity": "3"})", 0.05},
                          Case{R"({"adOverlayOpacity": 250})", 0.95}, Case{R"({"adOverlayOpacity": "nan"})", 0.58}}) {
        SCOPED_TRACE(c.json);
        EXPECT_DOUBLE_EQ(AdBarModel::overlayOpacity(config(c.json)), c.opacity);
    }
    EXPECT_FALSE(AdBarModel::link(config(R"j({"adLink": "javascript:alert(1)"})j")).has_value());
    EXPECT_FALSE(AdBarModel::link(config(R"({"adLink": "file:///etc/passwd"})")).has_value());
    EXPECT_EQ(AdBarModel::link(config(R"({"adLink": " ", "adUrl": " https://a.example "})")),
              QUrl("https://a.example"));
}

TEST(AdBarModel, BannerGeometry)
{
    const qreal wide = 1200.0 / 200.0;
    struct Case {
        const char* label;
        qreal width;
        qreal ratio;
        std::optional<qreal> fixed;
        qreal height, shown, gap;
    };
    const Case cases[] = {
        {"wide picture, narrower bar", 900, wide, std::nullopt, 150, 900, 0},
        {"wide picture, wider bar", 1500, wide, std::nullopt, 200, 1200, 300},
        {"square picture", 900, 1, std::nullopt, 200, 200, 700},
        {"very narrow bar", 200, wide, std::nullopt, 44, 200, 0},
        {"fixed height 21", 900, wide, 21.0, 21, 126, 774},
        {"fixed height 20 is ignored", 900, wide, 20.0, 150, 900, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const AdBarModel::Banner b = AdBarModel::banner(c.width, c.ratio, c.fixed);
        EXPECT_DOUBLE_EQ(b.height, c.height);
        EXPECT_DOUBLE_EQ(b.shown, c.shown);
        EXPECT_DOUBLE_EQ(b.gap, c.gap);
    }
    const AdBarModel::Banner b = AdBarModel::banner(1500, wide, std::nullopt);
    EXPECT_EQ(b.stripRect, QRectF(1000, -40, 560, 280));
    EXPECT_DOUBLE_EQ(b.blurRadius, 21);
    EXPECT_DOUBLE_EQ(AdBarModel::banner(900, 1, std::nullopt).blurRadius, 22);

    for (const auto& [width, strip] : {std::pair{1200, 7}, std::pair{500, 6}, std::pair{8, 0}}) {
        SCOPED_TRACE(width);
        QImage picture(width, 10, QImage::Format_RGB32);
        picture.fill(Qt::white);
        EXPECT_EQ(AdBarModel::rightEdgeStrip(picture, AdBarModel::kEdgeStripFraction).width(), strip);
    }
}

TEST(PromoImageLayout, FitsPicturesIntoTheLimitBox)
{
    struct Case {
        const char* label;
        std::optional<QSize> picture;
        QSize limit;
        QSize image;
        int width, pad, height;
    };
    const Case cases[] = {
        {"nothing at hand", std::nullopt, {944, 596}, {236, 236}, 340, 52, 367},
        {"degenerate", QSize(0, 200), {944, 596}, {236, 236}, 340, 52, 367},
        {"small picture is not enlarged", QSize(100, 100), {944, 596}, {100, 100}, 340, 120, 299},
        {"wide picture", QSize(2000, 1000), {800, 532}, {752, 376}, 800, 24, 479},
        {"small limit", QSize(1000, 1000), {360, 300}, {236, 236}, 340, 52, 367},
        {"halves round away from zero", QSize(235, 235), {944, 596}, {235, 235}, 340, 53, 367},
        {"host 1000 by 700", QSize(1000, 1000), {800, 532}, {405, 405}, 453, 24, 508},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        const QSize image = PromoImageLayout::imageSize(c.picture, c.limit);
        EXPECT_EQ(image, c.image);
        EXPECT_EQ(PromoImageLayout::dialogWidth(image, c.limit), c.width);
        EXPECT_EQ(PromoImageLayout::bottomPad(image, c.limit), c.pad);
        EXPECT_EQ(PromoImageLayout::dialogHeight(image, c.limit), c.height);
    }
    EXPECT_EQ(PromoImageLayout::limitBox(std::nullopt), QSize(944, 596));
    EXPECT_EQ(PromoImageLayout::limitBox(QSize(1000, 700)), QSize(800, 532));
    EXPECT_EQ(PromoImageLayout::limitBox(QSize(300, 300)), QSize(360, 300));
}

TEST(PromoCarouselModel, TicksWrapAndTheShownCardIsClamped)
{
    PromoCarouselModel one({card("a")});
    EXPECT_FALSE(one.tick());
    EXPECT_EQ(one.index(), 0);
    EXPECT_FALSE(one.showsDots());

    PromoCarouselModel model({card("a"), card("b"), card("c"), card("d")});
    QList<int> shown;
    for (int i = 0; i < 4; ++i) {
        shown.append(model.shownIndex());
        model.tick();
    }
    EXPECT_EQ(shown, (QList<int>{0, 1, 2, 3}));
    EXPECT_EQ(model.shownIndex(), 0);
    model.select(3);
    model.setCards({card("a"), card("b")});
    EXPECT_EQ(model.index(), 3);
    EXPECT_EQ(model.shownIndex(), 1);
    model.tick();
    EXPECT_EQ(model.index(), 0) << "(3 + 1) mod 2";

    PromoCard urlOnly = card("u");
    urlOnly.url = QStringLiteral("https://x/Q.PNG");
    model.setCards({card("a", "https://x/1.png"), card("b"), urlOnly});
    EXPECT_EQ(model.preloadKey(), "https://x/1.png|https://x/Q.PNG");
    model.setCards({});
    EXPECT_EQ(model.shownIndex(), -1);
    EXPECT_EQ(model.preloadKey(), "");
}
