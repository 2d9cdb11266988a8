#include <gtest/gtest.h>

#include <QBuffer>
#include <QPainter>
#include <QTest>

#include "ui/Theme.h"
#include "ui/UserAvatar.h"
#include "support/app/LoopbackHttpServer.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"

namespace {

// What the avatar itself paints, on a transparent background.
QImage render(UserAvatar& avatar)
{
    QImage image(avatar.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    avatar.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// True when `pixel` is `color` laid on at `opacity` (within rounding).
bool isTinted(const QColor& pixel, const QColor& color, qreal opacity)
{
    auto near = [](int a, int b, int slack) { return std::abs(a - b) <= slack; };
    return near(pixel.alpha(), qRound(255 * opacity), 3) && near(pixel.red(), color.red(), 16)
           && near(pixel.green(), color.green(), 16) && near(pixel.blue(), color.blue(), 16);
}

class UserAvatarTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.isListening());
        server.setReply(QStringLiteral("/red.png"),
                        {200, "image/png", LoopbackHttpServer::png(30, 0xFFFF0000), {}});
        // Wider than high: filling the circle crops the sides.
        QImage wide(60, 20, QImage::Format_ARGB32);
        wide.fill(0xFF00FF00);
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        wide.save(&buffer, "PNG");
        server.setReply(QStringLiteral("/wide.png"), {200, "image/png", bytes, {}});
    }

    QString url(const char* path) const { return server.url(QString::fromLatin1(path)).toString(); }

    LoopbackHttpServer server;
};

} // namespace

TEST_F(UserAvatarTest, ANicknameIsDrawnAsItsInitialAndThePictureIsNeverRequested)
{
    UserAvatar avatar(QStringLiteral("  阿林 "), url("/red.png"), 28);
    EXPECT_EQ(avatar.size(), QSize(28, 28));
    EXPECT_EQ(avatar.model().content(), AvatarModel::Content::initial);
    EXPECT_EQ(avatar.model().initial(), QStringLiteral("阿"));
    QTest::qWait(300);
    EXPECT_TRUE(server.requests().isEmpty());
    EXPECT_FALSE(avatar.isShowingPicture());

    // The circle is filled with the name's colour at 0.16; outside it nothing is drawn.
    const QImage image = render(avatar);
    EXPECT_TRUE(isTinted(image.pixelColor(14, 2), UserAvatar::tint(QStringLiteral("阿林")), 0.16))
        << image.pixelColor(14, 2).name(QColor::HexArgb).toStdString();
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
}

TEST_F(UserAvatarTest, TwoAvatarsOfOneNamePaintTheSame)
{
    UserAvatar first(QStringLiteral("Loom"), std::nullopt, 46);
    UserAvatar second(QStringLiteral(" Loom"), QStringLiteral("https://example.invalid/x.png"), 46);
    EXPECT_EQ(render(first), render(second));
}

TEST_F(UserAvatarTest, WithoutANicknameThePictureFillsTheCircle)
{
    UserAvatar avatar(QStringLiteral("   "), url("/wide.png"), 28);
    EXPECT_EQ(avatar.model().content(), AvatarModel::Content::picture);
    // The person symbol stands in while it loads.
    EXPECT_FALSE(avatar.isShowingPicture());
    EXPECT_TRUE(isTinted(render(avatar).pixelColor(14, 2), Theme::accent(), 0.16));

    ASSERT_TRUE(QTest::qWaitFor([&] { return avatar.isShowingPicture(); }, 30000));
    const QImage image = render(avatar);
    // Scaled by height, so the whole circle is green, corners stay clear.
    for (const QPoint p : {QPoint(14, 14), QPoint(3, 14), QPoint(24, 14), QPoint(14, 2), QPoint(14, 25)})
        EXPECT_EQ(image.pixelColor(p).green(), 255) << p.x() << "," << p.y();
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
    EXPECT_EQ(server.requests(), QStringList{QStringLiteral("/wide.png")});

    // The same member again does not fetch again; a nickname takes over.
    avatar.setMember(std::nullopt, url("/wide.png"));
    EXPECT_TRUE(avatar.isShowingPicture());
    avatar.setMember(QStringLiteral("Z"), url("/wide.png"));
    EXPECT_FALSE(avatar.isShowingPicture());
    QTest::qWait(200);
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(UserAvatarTest, APictureThatFailsOrIsNotWebLeavesThePersonSymbol)
{
    struct Case {
        const char* label;
        std::optional<QString> url;
        bool requested;
    };
    const Case cases[] = {
        {"missing on the server", url("/missing.png"), true},
        {"local file", QStringLiteral("file:///etc/hostname"), false},
        {"not a URL", QStringLiteral("::::"), false},
        {"none", std::nullopt, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const qsizetype before = server.requests().size();
        UserAvatar avatar(std::nullopt, c.url, 28);
        QTest::qWait(c.requested ? 0 : 200);
        if (c.requested) {
            ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().size() > before; }, 30000));
        }
        ASSERT_TRUE(waitForNetworkIdle()); // a failure has come back
        EXPECT_EQ(server.requests().size() > before, c.requested);
        EXPECT_FALSE(avatar.isShowingPicture());
        EXPECT_TRUE(isTinted(render(avatar).pixelColor(14, 2), Theme::accent(), 0.16));
    }
}
