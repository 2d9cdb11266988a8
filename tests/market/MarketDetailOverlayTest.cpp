#include <gtest/gtest.h>

#include <cmath>

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QMediaFormat>
#include <QTest>

#include "engine/market/MarketInstallRegistry.h"
#include "market/MarketDetailOverlay.h"
#include "market/MarketCard.h"
#include "market/MarketCoverCache.h"
#include "market/MarketGrid.h"
#include "market/MarketHeader.h"
#include "market/MarketPayCard.h"
#include "market/MarketShopTab.h"
#include "market/MarketWindowController.h"
#include "market/MarketWindowModel.h"
#include "market/MarketWindowView.h"
#include "online/LoginService.h"
#include "ui/DialogWindow.h"
#include "ui/Theme.h"
#include "market/QtPreviewPlayer.h"
#include "online/MarketService.h"
#include "online/RemoteImageLoader.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"
#include "support/views/AppearanceCheck.h"
#include "support/views/ListFixtures.h"

namespace {

// Plays whatever it is given: a coloured frame and a first step of progress, further
// positions on demand, the end on demand.
class FakePlayer : public PreviewPlayer {
public:
    using PreviewPlayer::PreviewPlayer;
    void setSource(const QUrl& url) override { source = url; }
    void play() override
    {
        playing = true;
        m_frame = QImage(640, 360, QImage::Format_RGB32);
        m_frame.fill(QColor(40, 90, 160));
        emit frameChanged();
        emit durationChanged(12);
        emit positionChanged(0.04);
    }
    void pause() override { playing = false; }
    void seek(double) override {}
    void setMuted(bool) override {}
    QImage frame() const override { return m_frame; }

    QUrl source;
    bool playing = false;
    QImage m_frame;
};

// The panels a market window opens play nothing for real.
void fakePlayers(MarketDetailOverlay::Setup& setup)
{
    setup.makePlayer = [](QObject* parent) { return new FakePlayer(parent); };
    setup.makeWeb = [](const QUrl&, QWidget* parent) { return new QWidget(parent); };
}

// WCAG contrast of `text` laid over `ground` (opaque).
double contrast(const QColor& text, const QColor& ground)
{
    const auto channel = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    const auto luminance = [&](const QColor& c) {
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double a = text.alphaF();
    const QColor seen = QColor::fromRgbF(text.redF() * a + ground.redF() * (1 - a), text.greenF() * a + ground.greenF() * (1 - a),
                                         text.blueF() * a + ground.blueF() * (1 - a));
    const double l1 = luminance(seen) + 0.05;
    const double l2 = luminance(ground) + 0.05;
    return std::max(l1, l2) / std::min(l1, l2);
}

QLabel* labelStartingWith(QWidget* root, const QString& text)
{
    for (QLabel* label : root->findChildren<QLabel*>())
        if (label->isVisible() && label->text().startsWith(text))
            return label;
    return nullptr;
}

class MarketDetailOverlayTest : public StandinTest {
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        // A temporary folder of this process's own; the system library exists and is writable.
        QDir().mkpath(TestEnv::root() + "/tmp");
        qputenv("TMPDIR", QFile::encodeName(TestEnv::root() + "/tmp"));
        QDir().mkpath(TestEnv::systemLibrary());
        MarketInstallRegistry::reloadFromDisk();
        ListFixtures::installTheme();
        ListFixtures::setAppearance("light");
        host.resize(1100, 680);
    }

    MarketPlugin fetch(const QString& id)
    {
        std::optional<MarketPlugin> found;
        MarketService::detail(id, &host, [&](const std::optional<MarketPlugin>& p) { found = p.value_or(MarketPlugin{}); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return found.has_value(); }, 30000));
        return found.value_or(MarketPlugin{});
    }

    MarketDetailOverlay* open(const MarketPlugin& plugin)
    {
        MarketDetailOverlay::Setup setup;
        setup.hooks.signedIn = [] { return true; };
        setup.hooks.onChanged = [this] { ++changes; };
        setup.hooks.onToast = [this](const QString& text, MarketToast::Kind) { toasts << text; };
        setup.hooks.isInstalled = [](const QString& id, const QString& name) {
            return MarketInstallRegistry::snapshot().contains(id, name);
        };
        setup.onClose = [this] { ++closes; };
        setup.makePlayer = [this](QObject* parent) { return player = new FakePlayer(parent); };
        setup.makeWeb = [](const QUrl&, QWidget* parent) { return new QWidget(parent); };
        auto* overlay = new MarketDetailOverlay(plugin, &flow, std::move(setup), &host);
        host.show();
        overlay->show();
        EXPECT_TRUE(QTest::qWaitFor([&] { return !overlay->model().loading(); }, 30000));
        return overlay;
    }

    int downloads() { return standin().requests(QStringLiteral("/v2/market/download")).size(); }

    QWidget host;
    MarketInstallFlow flow;
    QPointer<FakePlayer> player;
    int changes = 0;
    int closes = 0;
    QStringList toasts;
};

} // namespace

TEST_F(MarketDetailOverlayTest, AFreePluginClaimedFromThePanelInstallsAndShowsInstalled)
{
    auto* overlay = open(fetch(QStringLiteral("p001")));
    ASSERT_FALSE(overlay->model().priced());
    EXPECT_EQ(overlay->primaryButton()->accessibleName(), QStringLiteral("免费领取"));
    overlay->primaryButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return overlay->installedBadge()->isVisible(); }, 30000)) << toasts.join('|').toStdString();
    EXPECT_FALSE(overlay->primaryButton()->isVisible());
    EXPECT_EQ(overlay->model().ownershipLine(), QStringLiteral("已购买 · 已安装到插件库"));
    EXPECT_EQ(downloads(), 1);
    EXPECT_GE(changes, 1);
    ASSERT_FALSE(toasts.isEmpty());
    EXPECT_TRUE(toasts.last().startsWith(QStringLiteral("已安装"))) << toasts.last().toStdString();
}

TEST_F(MarketDetailOverlayTest, APricedPluginPaysThroughTheCardAndDownloadsOnce)
{
    auto* overlay = open(fetch(QStringLiteral("p004")));
    ASSERT_TRUE(overlay->model().priced());
    overlay->primaryButton()->click();
    ASSERT_TRUE(overlay->payCard());
    overlay->payCard()->model().setPollInterval(100);
    ASSERT_TRUE(QTest::qWaitFor([&] { return overlay->payCard()->model().order().has_value(); }, 30000));
    ListFixtures::settle(100);
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(host, QStringLiteral("market-detail-pay-%1").arg(QString::fromLatin1(mode)));
    }
    // Clicks on the pay layer's scrim reach nothing.
    QTest::mouseClick(overlay, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_TRUE(overlay->payCard());
    EXPECT_EQ(downloads(), 0);

    standin().control(QStringLiteral("market/pay"), {});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !overlay->payCard() && downloads() == 1; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !flow.isBusy() && overlay->installedBadge()->isVisible(); }, 30000))
        << toasts.join('|').toStdString();
    ListFixtures::settle(300);
    EXPECT_EQ(downloads(), 1);
    EXPECT_TRUE(overlay->model().owned());
}

TEST_F(MarketDetailOverlayTest, EscClosesOnceAndTheBackdropDoesNot)
{
    auto* overlay = open(fetch(QStringLiteral("p002")));
    QTest::mouseClick(overlay, Qt::LeftButton, {}, QPoint(5, 5));
    EXPECT_EQ(closes, 0);
    EXPECT_EQ(overlay->panel()->size(), QSize(920, 560));
    host.activateWindow();
    QTest::keyClick(&host, Qt::Key_Escape);
    QTest::keyClick(&host, Qt::Key_Escape);
    overlay->closeButton()->click();
    EXPECT_EQ(closes, 1);
}

// The title block's lines are drawn in the colours of the appearance in force, whichever
// appearance the panel opened in: there and back again.
TEST_F(MarketDetailOverlayTest, TheTitleLinesFollowEveryChangeOfAppearance)
{
    const MarketPlugin plugin = fetch(QStringLiteral("p001"));
    ASSERT_TRUE(plugin.subtitle && plugin.vendor);
    auto* overlay = open(plugin);
    QLabel* subtitle = labelStartingWith(overlay->panel(), *plugin.subtitle);
    QLabel* author = labelStartingWith(overlay->panel(), QStringLiteral("作者 · "));
    ASSERT_TRUE(subtitle && author);
    for (const char* mode : {"dark", "light", "dark"}) {
        SCOPED_TRACE(mode);
        ListFixtures::setAppearance(mode);
        QColor ground = Theme::floatingBg();
        ground.setAlphaF(1.0);
        for (QLabel* label : {subtitle, author}) {
            const QColor text = label->palette().color(QPalette::WindowText);
            EXPECT_EQ(text, Theme::textSecondary()) << label->text().toStdString();
            // The theme's own secondary text reads at about 4:1 in light and 5:1 in dark.
            EXPECT_GE(contrast(text, ground), 3.5) << label->text().toStdString();
        }
        ListFixtures::savePicture(*overlay->panel(), QStringLiteral("market-detail-switched-%1").arg(QString::fromLatin1(mode)));
    }
}

TEST_F(MarketDetailOverlayTest, ThePreviewPlaysToTheEndAndReturnsToTheCover)
{
    auto* overlay = open(fetch(QStringLiteral("p001")));
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(host, QStringLiteral("market-detail-cover-%1").arg(QString::fromLatin1(mode)));
    }
    MarketMediaModel& media = overlay->media()->model();
    ASSERT_TRUE(media.showsPlayButton());
    auto* play = overlay->media()->findChildren<QAbstractButton*>().first();
    ASSERT_EQ(play->accessibleName(), QStringLiteral("预览视频"));
    play->click();
    ASSERT_TRUE(player);
    EXPECT_EQ(player->source.toString(), standin().baseUrl() + QStringLiteral("market/media/preview.mp4"));
    EXPECT_EQ(media.face(), MarketMediaModel::Face::playing);
    emit player->positionChanged(4);
    ListFixtures::settle();
    for (const char* mode : {"light", "dark"}) {
        ListFixtures::setAppearance(mode);
        ListFixtures::savePicture(host, QStringLiteral("market-detail-playing-%1").arg(QString::fromLatin1(mode)));
    }
    emit player->playedToEnd();
    EXPECT_EQ(media.face(), MarketMediaModel::Face::cover);
    EXPECT_TRUE(play->isVisible());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(player) << "the ended player is released";

    // Playing again and closing the panel: the player goes with it.
    play->click();
    ASSERT_TRUE(player);
    overlay->hide();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(player);
}

TEST_F(MarketDetailOverlayTest, TheRealPlayerShowsTheStandinsPreviewToItsEnd)
{
    if (!QMediaFormat().supportedVideoCodecs(QMediaFormat::Decode).contains(QMediaFormat::VideoCodec::H264))
        GTEST_SKIP() << "no H.264 decoder on this machine";
    MarketMediaPanel panel(std::nullopt, QStringLiteral("/market/media/preview.mp4"));
    panel.resize(520, 325);
    panel.show();
    MarketMediaModel& media = panel.model();
    media.toggleMuted();
    media.startPreview();
    auto* player = qobject_cast<QtPreviewPlayer*>(media.player());
    ASSERT_TRUE(player);
    // Not the panel as context: it drops its connections to a player it stops showing.
    QObject watcher;
    bool ended = false;
    double furthest = 0;
    QObject::connect(player, &PreviewPlayer::playedToEnd, &watcher, [&] { ended = true; });
    QObject::connect(&media, &MarketMediaModel::changed, &watcher, [&] { furthest = std::max(furthest, media.progress()); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !player->frame().isNull() || !player->errorText().isEmpty(); }, 30000));
    ASSERT_FALSE(player->frame().isNull()) << player->errorText().toStdString();
    EXPECT_GT(player->frame().width(), 0);
    ASSERT_TRUE(QTest::qWaitFor([&] { return ended; }, 30000)) << "played to " << media.progress() << " s";
    EXPECT_GT(furthest, 1.0) << "the two seconds played through";
    EXPECT_EQ(media.face(), MarketMediaModel::Face::cover);
    EXPECT_TRUE(media.muted()) << "the mute choice outlives the player";
}

TEST_F(MarketDetailOverlayTest, ACardOpensThePanelInTheWindowAndEscClosesOnlyThePanel)
{
    MarketWindowController controller;
    LoginService login;
    controller.show(&login);
    MarketWindowView* view = controller.view();
    view->setDetailSetup(&fakePlayers);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->shopTab()->grid()->cards().isEmpty(); }, 30000));
    QTest::mouseClick(view->shopTab()->grid()->cards().first(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->detailOverlay() != nullptr; }, 30000));
    EXPECT_TRUE(view->detailOverlay()->isVisible());
    QPointer<MarketDetailOverlay> overlay = view->detailOverlay();
    QTest::keyClick(controller.window(), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(overlay);
    EXPECT_FALSE(view->model()->detailPlugin().has_value());
    EXPECT_TRUE(controller.window()->isVisible());
}

// The market window with its shop loaded, switched from one appearance to the other, looks
// as it would have opened in the new one.
TEST_F(MarketDetailOverlayTest, TheMarketWindowFollowsAChangeOfAppearance)
{
    LoginService login;
    const auto make = [&] {
        auto view = std::make_shared<MarketWindowView>(&login);
        view->resize(1100, 720);
        return std::static_pointer_cast<QWidget>(view);
    };
    const auto ready = [](QWidget* view) {
        auto* market = static_cast<MarketWindowView*>(view);
        return !market->shopTab()->grid()->cards().isEmpty() && MarketCoverCache::shared().pendingCount() == 0;
    };
    EXPECT_TRUE(AppearanceCheck::follows(make, "light", "dark", QStringLiteral("market-window"), ready));
    EXPECT_TRUE(AppearanceCheck::follows(make, "dark", "light", QStringLiteral("market-window"), ready));

    // With a plug-in's panel open over it, its cover shown.
    const MarketPlugin plugin = fetch(QStringLiteral("p002"));
    const auto withDetail = [&] {
        auto view = make();
        auto* market = static_cast<MarketWindowView*>(view.get());
        market->setDetailSetup(&fakePlayers);
        market->openDetail(plugin);
        return view;
    };
    const auto detailReady = [&](QWidget* view) {
        auto* detail = static_cast<MarketWindowView*>(view)->detailOverlay();
        if (!ready(view) || !detail || detail->model().loading())
            return false;
        auto* cover = detail->media()->findChild<RemoteImageLoader*>();
        return cover && !cover->isLoading();
    };
    EXPECT_TRUE(AppearanceCheck::follows(withDetail, "light", "dark", QStringLiteral("market-detail"), detailReady));
    EXPECT_TRUE(AppearanceCheck::follows(withDetail, "dark", "light", QStringLiteral("market-detail"), detailReady));
}

// An open panel keeps the keyboard: Tab and Shift+Tab go round inside it, typing never
// reaches the search field behind it, and closing gives the keys back to where they were.
TEST_F(MarketDetailOverlayTest, AnOpenPanelKeepsTheKeyboardToItself)
{
    MarketWindowController controller;
    LoginService login;
    controller.show(&login);
    MarketWindowView* view = controller.view();
    view->setDetailSetup(&fakePlayers);
    ASSERT_TRUE(QTest::qWaitForWindowActive(controller.window()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !view->shopTab()->grid()->cards().isEmpty(); }, 30000));
    // The worst place for the keys to stay: a text field behind the panel.
    QLineEdit* search = view->header()->searchField();
    search->setFocus();
    ASSERT_TRUE(search->hasFocus());
    view->openDetail(view->shopTab()->grid()->cards().first()->plugin());
    ASSERT_TRUE(QTest::qWaitFor([&] { return view->detailOverlay() != nullptr; }, 30000));
    MarketDetailOverlay* overlay = view->detailOverlay();
    const auto inside = [&] { return overlay->isAncestorOf(QApplication::focusWidget()) || QApplication::focusWidget() == overlay; };
    EXPECT_TRUE(inside()) << "the panel takes the keys when it opens";

    // Keys go where the keyboard's focus is, as a user's would.
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Tab);
        EXPECT_TRUE(inside()) << "Tab " << i + 1 << " left the panel for " << qPrintable(QApplication::focusWidget()
                                                                                            ? QApplication::focusWidget()->metaObject()->className()
                                                                                            : "nothing");
    }
    for (int i = 0; i < 8; ++i) {
        QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Tab, Qt::ShiftModifier);
        EXPECT_TRUE(inside()) << "Shift+Tab " << i + 1;
    }
    QTest::keyClicks(static_cast<QWidget*>(nullptr), QStringLiteral("glow"));
    EXPECT_TRUE(search->text().isEmpty());
    EXPECT_TRUE(view->model()->keyword().isEmpty());

    QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(view->detailOverlay());
    EXPECT_TRUE(search->hasFocus()) << "the keys go back to the search field, not to " << (QApplication::focusWidget() ? QApplication::focusWidget()->metaObject()->className() : "nothing");
}
