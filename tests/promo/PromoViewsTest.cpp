// Offscreen tests of the promotion views against the stand-in's documents and pictures.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QTest>

#include "online/AppVersion.h"
#include "online/PromoImageCache.h"
#include "online/RemoteConfigService.h"
#include "online/SafeLink.h"
#include "promo/AdBarView.h"
#include "promo/NoticeBar.h"
#include "promo/PromoCarousel.h"
#include "promo/PromoImageLayout.h"
#include "promo/QRSheet.h"
#include "promo/UpdateSheet.h"
#include "ui/DialogWindow.h"
#include "ui/DialogWindowController.h"
#include "ui/PaintedButton.h"
#include "support/views/ListFixtures.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

using namespace ListFixtures;

namespace {

const QString kNewer = QStringLiteral("999.1");

class PromoViewTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        installTheme();
        setAppearance("light");
        m_previousOpener = SafeLink::setOpener([this](const QUrl& url) { opened.append(url); });
        timing.retryWaitsMs = {20, 20};
        timing.requestTimeoutMs = 20000;
    }
    void TearDown() override
    {
        SafeLink::setOpener(m_previousOpener);
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (auto* dialog = qobject_cast<DialogWindow*>(w))
                dialog->close();
        }
        settle(50);
    }

    void setDocument(const QJsonObject& document)
    {
        standin().control(QStringLiteral("config"), {{"path", "/v2/config.json"}, {"document", document}});
    }

    void reload(RemoteConfigService& service)
    {
        service.setTiming(timing);
        bool done = false;
        service.reload(false, [&](bool) { done = true; });
        ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
    }

    QString picture(const char* name) { return standin().baseUrl() + "promo/" + name; }

    QList<QUrl> opened;
    RemoteConfigService::Timing timing;

private:
    SafeLink::Opener m_previousOpener;
};

} // namespace

TEST_F(PromoViewTest, TheNoticeBarStaysClosedAfterARestart)
{
    RemoteConfigService service;
    reload(service);
    ASSERT_TRUE(service.showNotice());
    QWidget host;
    host.resize(720, 40);
    NoticeBar bar(service.config().noticeHeading(), service.config().noticeText().value_or(QString()), &host);
    bar.resize(720, bar.height());
    QObject::connect(&bar, &NoticeBar::closeClicked, &service, &RemoteConfigService::dismissNotice);
    host.show();
    savePicture(bar, QStringLiteral("promo-notice-bar"));

    QTest::mouseClick(bar.closeButton(), Qt::LeftButton);
    EXPECT_FALSE(service.showNotice());

    RemoteConfigService afterRestart;
    reload(afterRestart);
    EXPECT_FALSE(afterRestart.showNotice());
}

TEST_F(PromoViewTest, AForcedUpdateSheetIgnoresEscAndAnOptionalOneIsPostponedOrCleared)
{
    QWidget host;
    host.resize(900, 640);
    host.show();
    setDocument({{"latestVersion", kNewer}, {"minVersion", kNewer}, {"changelog", "- a\n- b\n- c"},
                 {"downloadUrl", "javascript:alert(1)"}});
    RemoteConfigService service;
    reload(service);
    ASSERT_TRUE(service.update() && service.update()->forced);
    QPointer<UpdateSheet> sheet = UpdateSheet::present(*service.update(), service, &host);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(sheet));
    EXPECT_EQ(sheet->titleLabel()->text(), "需要更新后才能继续使用");
    EXPECT_EQ(sheet->windowTitle(), sheet->titleLabel()->text());
    EXPECT_EQ(sheet->laterButton(), nullptr);
    EXPECT_EQ(sheet->updateButton()->text(), "立即更新");
    EXPECT_EQ(sheet->height(), 404);
    savePicture(*sheet, QStringLiteral("promo-update-forced"));
    QTest::keyClick(sheet, Qt::Key_Escape);
    settle();
    ASSERT_TRUE(sheet && sheet->isVisible());
    QTest::mouseClick(sheet->updateButton(), Qt::LeftButton);
    EXPECT_TRUE(opened.isEmpty()) << "a link outside http, https and mailto never opens";
    // Quitting works under it: the quit key and the sheet's own close button close the
    // window it sits on (the application then quits), and the prompt stays.
    for (const bool key : {true, false}) {
        SCOPED_TRACE(key ? "quit key" : "close button");
        key ? QTest::keyClick(sheet, Qt::Key_Q, Qt::ControlModifier) : void(sheet->close());
        EXPECT_TRUE(QTest::qWaitFor([&] { return !host.isVisible(); }, 30000));
        ASSERT_TRUE(sheet && service.update() && service.update()->forced);
        host.show();
        sheet->show();
    }

    // The next evaluation without a prompt takes the sheet away.
    setDocument({{"latestVersion", kNewer}, {"changelog", ""}});
    reload(service);
    ASSERT_TRUE(service.update() && !service.update()->forced);
    EXPECT_EQ(sheet->height(), 264) << "the open sheet shows the new alert";
    settle();
    EXPECT_EQ(sheet->titleLabel()->text(), "发现新版本");
    EXPECT_EQ(sheet->windowTitle(), sheet->titleLabel()->text());
    savePicture(*sheet, QStringLiteral("promo-update-optional"));
    QTest::mouseClick(sheet->updateButton(), Qt::LeftButton);
    EXPECT_EQ(opened, QList<QUrl>{QUrl(AppVersion::toolsPageUrl())});

    QTest::keyClick(sheet, Qt::Key_Escape);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet || !sheet->isVisible(); }, 30000));
    EXPECT_FALSE(service.update().has_value());
    EXPECT_EQ(service.snoozedVersion(), "") << "Esc does not postpone";

    reload(service);
    sheet = UpdateSheet::present(*service.update(), service, &host);
    QTest::mouseClick(sheet->laterButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !sheet || !sheet->isVisible(); }, 30000));
    EXPECT_EQ(service.snoozedVersion(), kNewer);

    for (const auto& [lines, height] : {std::pair{0, 264}, std::pair{3, 404}, std::pair{7, 496},
                                        std::pair{12, 560}, std::pair{1000, 560}}) {
        SCOPED_TRACE(lines);
        UpdateAlert alert{kNewer, {}, std::nullopt, false};
        for (int i = 0; i < lines; ++i)
            alert.changelog.append(QStringLiteral("第 %1 项改进").arg(i + 1));
        EXPECT_EQ(UpdateSheet::heightFor(alert), height);
        if (lines == 12) {
            UpdateSheet many(alert, &host);
            many.show();
            settle();
            EXPECT_TRUE(many.notesArea()->verticalScrollBar()->maximum() > 0) << "the notes scroll";
            savePicture(many, QStringLiteral("promo-update-many-lines"));
        }
    }
}

TEST_F(PromoViewTest, AdvertisingBarForms)
{
    QWidget host;
    host.resize(900, 300);
    AdBarView bar(&host);
    bar.resize(900, 0);
    host.show();
    const auto load = [&](const QJsonObject& json) {
        bar.setConfig(*RemoteConfig::fromJson(json));
        settle(50);
    };

    // Banner: as tall as the picture's proportions allow, within 44 and 200.
    load({{"adShow", true}, {"adOverlay", true}, {"adImage", picture("banner.png")},
          {"adSubText", "冬季合集"}, {"adLink", "https://loomwork.example/w"}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return bar.hasBanner(); }, 30000));
    EXPECT_EQ(bar.form(), AdBarModel::Form::banner);
    EXPECT_EQ(bar.height(), 150);
    savePicture(bar, QStringLiteral("promo-adbar-banner-900"));
    bar.resize(1500, bar.height());
    settle();
    EXPECT_EQ(bar.height(), 200);
    EXPECT_DOUBLE_EQ(bar.bannerGeometry().gap, 300);
    savePicture(bar, QStringLiteral("promo-adbar-banner-1500"));
    bar.setBannerFixedHeight(21);
    settle();
    EXPECT_EQ(bar.height(), 21);
    bar.setBannerFixedHeight(std::nullopt);
    QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(400, 60));
    EXPECT_EQ(opened, QList<QUrl>{QUrl("https://loomwork.example/w")});

    // A replaced address's late picture (a square QR) never lands on the bar.
    bar.resize(900, bar.height());
    load({{"adShow", true}, {"adOverlay", true}, {"adImage", picture("slow.png?ms=400")}});
    load({{"adShow", true}, {"adOverlay", true}, {"adImage", picture("banner.png?t=2")}});
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_EQ(bar.height(), 150);

    load({{"adShow", true}, {"adOverlay", true}, {"adImage", picture("pixel.png")}});
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_FALSE(bar.hasBanner()) << "a 1-by-1 picture is no banner";
    EXPECT_FALSE(bar.isVisible());

    // Overlay and plain forms, with and without an allowed link.
    opened.clear();
    load({{"adShow", true}, {"adOverlay", true}, {"adText", "冬季模板合集限时 7 折"}, {"adBadge", "限时"},
          {"adSubText", "200+ 款字幕与转场"}, {"adImage", picture("banner.png")}, {"adAlign", "center"},
          {"adLink", "https://loomwork.example/w"}});
    EXPECT_EQ(bar.form(), AdBarModel::Form::overlay);
    EXPECT_EQ(bar.height(), 77);
    ASSERT_NE(bar.viewButton(), nullptr);
    settle(300);
    savePicture(bar, QStringLiteral("promo-adbar-overlay"));
    QTest::mouseClick(bar.viewButton(), Qt::LeftButton);
    EXPECT_EQ(opened.size(), 1);

    load({{"adShow", true}, {"adText", "插件市场上新"}, {"adBadge", "新"}, {"adBadgeSide", "left"},
          {"adSubText", "精选模板每周上新"}, {"adImage", picture("icon.png")}, {"adLink", "file:///etc/passwd"}});
    EXPECT_EQ(bar.form(), AdBarModel::Form::plain);
    EXPECT_EQ(bar.height(), 57);
    EXPECT_EQ(bar.viewButton(), nullptr);
    settle(300);
    savePicture(bar, QStringLiteral("promo-adbar-plain"));
    opened.clear();
    QTest::mouseClick(&bar, Qt::LeftButton, {}, QPoint(300, 20));
    EXPECT_TRUE(opened.isEmpty());

    // Closed for the rest of the bar's life, whatever arrives next.
    QTest::mouseClick(bar.closeButton(), Qt::LeftButton);
    EXPECT_TRUE(bar.isDismissed());
    EXPECT_FALSE(bar.isVisible());
    load({{"adShow", true}, {"adText", "again"}});
    EXPECT_FALSE(bar.isVisible());
    EXPECT_TRUE(opened.isEmpty()) << "the close button opens nothing";
}

TEST_F(PromoViewTest, TheCarouselTurnsAndAPictureCardOpensItsDialog)
{
    RemoteConfigService service;
    reload(service);
    const QList<PromoCard> cards = service.config().displayCards();
    ASSERT_EQ(cards.size(), 2);
    QWidget sidebar;
    sidebar.resize(256, 160);
    PromoCarousel carousel(cards, &sidebar);
    carousel.setGeometry(12, 10, 232, PromoCarousel::kHeight);
    sidebar.show();
    settle(300);
    savePicture(carousel, QStringLiteral("promo-carousel-first"));
    setAppearance("dark");
    savePicture(sidebar, QStringLiteral("promo-carousel-dark"));
    setAppearance("light");

    carousel.timer().setInterval(60);
    ASSERT_TRUE(QTest::qWaitFor([&] { return carousel.model().index() == 1; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return carousel.model().index() == 0; }, 30000));
    carousel.timer().stop();

    // The first card links to the market: a click opens it.
    QTest::mouseClick(&carousel, Qt::LeftButton, {}, QPoint(150, 30));
    EXPECT_EQ(opened, QList<QUrl>{QUrl("https://loomwork.example/market")});

    // The second card's dot, then a click on the card: the picture dialog.
    QTest::mouseClick(&carousel, Qt::LeftButton, {}, carousel.dotCenter(1).toPoint());
    EXPECT_EQ(carousel.model().index(), 1);
    settle(300);
    savePicture(carousel, QStringLiteral("promo-carousel-second"));
    QTest::mouseClick(&carousel, Qt::LeftButton, {}, QPoint(150, 30));
    DialogWindow* dialog = DialogWindowController::shared().window(QRSheet::kDialogId);
    ASSERT_NE(dialog, nullptr);
    auto* sheet = dialog->findChild<QRSheet*>();
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(QTest::qWaitFor([&] { return sheet->hasImage(); }, 30000));
    settle(100);
    const auto held = PromoImageCache::shared().held(picture("qrcode.png"));
    ASSERT_TRUE(held.has_value());
    const QSize limit = PromoImageLayout::limitBox(
        DialogWindowController::hostWindow(dialog) ? std::optional(DialogWindowController::hostWindow(dialog)->frameGeometry().size())
                                                   : std::nullopt);
    const QSize image = PromoImageLayout::imageSize(held->size, limit);
    EXPECT_EQ(sheet->imageSize(), image);
    EXPECT_EQ(dialog->width(), PromoImageLayout::dialogWidth(image, limit));
    savePicture(*dialog, QStringLiteral("promo-qr-dialog"));

    // Activating again only brings the open dialog forward.
    carousel.activate(cards.at(0).title == "x" ? cards.at(0) : cards.at(1));
    EXPECT_EQ(DialogWindowController::shared().window(QRSheet::kDialogId), dialog);
}

TEST(PromoLayoutTest, LongCarouselAndNoticeTextsKeepInsideTheirRoom)
{
    installTheme();
    PromoCard card;
    card.title = QStringLiteral("年度会员限时特惠：全部转场、字幕与发生器模板一次拥有");
    card.subtitle = QStringLiteral("永久可用");
    card.button = QStringLiteral("立即领取全部优惠并查看活动详情");
    PromoCard badged = card;
    badged.badge = QStringLiteral("限时五折 · 仅剩最后三天 · 新老用户同享");
    for (const char* mode : {"light", "dark"}) {
        SCOPED_TRACE(mode);
        setAppearance(mode);
        PromoCarousel plain(QList<PromoCard>(8, card)), carousel(QList<PromoCard>(8, badged));
        plain.resize(232, PromoCarousel::kHeight);
        carousel.resize(232, PromoCarousel::kHeight);
        const QImage without = plain.grab().toImage(), with = carousel.grab().toImage();
        const auto same = [&](const QRect& r) { return with.copy(r) == without.copy(r); };
        savePicture(carousel, QStringLiteral("promo-carousel-long-%1").arg(mode));
        // The badge ends inside the card's padding, the title keeps the start of its line and
        // the button leaves the dots their row.
        EXPECT_TRUE(same(QRect(232 - 11, 0, 11, 40)));
        EXPECT_TRUE(same(QRect(12, 0, 78, 26)));
        EXPECT_GE(carousel.button()->x(), carousel.dotCenter(7).x() + 3.5 + 8);

        NoticeBar notice(QStringLiteral("公告"),
                         QStringLiteral("服务器将于今晚 23:00 至次日 02:00 维护升级，插件市场与登录暂不可用，请提前保存")),
            quiet(QStringLiteral("公告"), QStringLiteral("今晚维护"));
        notice.resize(420, notice.height());
        quiet.resize(420, quiet.height());
        savePicture(notice, QStringLiteral("promo-notice-long-%1").arg(mode));
        // The text ends before the close button.
        const QRect closeRoom(420 - 36, 0, 36, notice.height());
        EXPECT_TRUE(notice.grab().toImage().copy(closeRoom) == quiet.grab().toImage().copy(closeRoom));
    }
    setAppearance("light");
}

TEST(PromoLayoutTest, TheNoticeTitleIsNeverCut)
{
    installTheme();
    const QString title = QStringLiteral("重要通知：服务器将于今晚 23:00 至次日 02:00 维护升级，插件市场与登录暂不可用");
    const QString text = QStringLiteral("今晚维护");
    const auto drawn = [](const QString& title, const QString& text, int width) {
        NoticeBar bar(title, text);
        bar.resize(width, bar.height());
        return bar.grab().toImage();
    };
    // A bar narrower than its title shows the title's start as a wide bar does, with no
    // ellipsis, and no text beside it.
    const QImage narrow = drawn(title, text, 420), wide = drawn(title, text, 2000);
    const QRect shown(0, 0, 420 - 36, narrow.height());
    EXPECT_TRUE(narrow.copy(shown) == wide.copy(shown)) << "the title is clipped, never elided";
    EXPECT_TRUE(narrow.copy(shown) == drawn(title, QString(), 420).copy(shown));

    // Nor is a long title cut to a number of characters: its last one is drawn.
    const QString longTitle = QString(700, u'i');
    const QImage one = drawn(longTitle + u'甲', text, 6000), other = drawn(longTitle + u'乙', text, 6000);
    EXPECT_FALSE(one == other);
}
