// The embedded player in the real web engine, offscreen, against a page server on this
// machine that answers for the video site's hosts (the test main maps *.test to it).
#include <memory>
#include <optional>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QLabel>
#include <QPointer>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <QUrlQuery>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "online/BiliVideo.h"
#include "ui/BusySpinner.h"
#include "ui/PaintedButton.h"
#include "market/BiliWebPlayer.h"
#include "market/MarketMediaPanel.h"
#include "support/app/LoopbackHttpServer.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinProcess.h"
#include "support/views/ListFixtures.h"

namespace {

constexpr int kLoadTimeoutMs = 60000;

// Records what the desktop would have been asked to open.
class DesktopCatcher : public QObject {
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened << url; }
};

class MarketWebPlayerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ListFixtures::installTheme();
        ASSERT_TRUE(server.isListening());
        BiliVideo::Site site;
        site.mainDomain = QStringLiteral("bili.test");
        site.videoPageHost = QStringLiteral("www.bili.test");
        site.playerHost = QStringLiteral("player.bili.test");
        site.shortHost = QStringLiteral("b23.test");
        // Short links are followed outside the web engine, which knows nothing of *.test.
        site.shortHostExact = QStringLiteral("127.0.0.1");
        site.mediaHost = QStringLiteral("media.test");
        site.scheme = QStringLiteral("http");
        site.port = server.url(QStringLiteral("/")).port();
        BiliVideo::setSite(site);
        for (int page : {1, 2}) {
            const QUrl url = *BiliVideo::embed({QStringLiteral("BV1xx411c7mD"), false, page});
            server.setReply(pathOf(url), playerPage());
            pages << url;
        }
        for (const char* path : {"/frame.html", "/foreign-frame.html", "/under.html", "/landing"})
            server.setReply(QString::fromLatin1(path), html(QString::fromLatin1(path)));
        QDesktopServices::setUrlHandler(QStringLiteral("mailto"), &desktop, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("bilibili"), &desktop, "open");
    }
    void TearDown() override
    {
        QDesktopServices::unsetUrlHandler(QStringLiteral("mailto"));
        QDesktopServices::unsetUrlHandler(QStringLiteral("bilibili"));
        BiliVideo::setSite({});
    }

    static QString pathOf(const QUrl& url)
    {
        return QString::fromLatin1(url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority));
    }
    static LoopbackHttpServer::Reply html(const QString& body)
    {
        return {200, "text/html; charset=utf-8", ("<html><body>" + body + "</body></html>").toUtf8(), {}};
    }
    QUrl at(const QString& host, const QString& path) const
    {
        QUrl url = server.url(path);
        url.setHost(host);
        return url;
    }
    // Links to another host, a look-alike, a host under the site and mail; a frame of its own
    // host and one of another host.
    LoopbackHttpServer::Reply playerPage() const
    {
        const QString link = QStringLiteral(
            "<a id=%1 href='%2'>%1</a>");
        return html(link.arg(QStringLiteral("away"), at(QStringLiteral("elsewhere.test"), QStringLiteral("/away")).toString())
                    + link.arg(QStringLiteral("alike"), at(QStringLiteral("evilbili.test"), QStringLiteral("/alike")).toString())
                    + link.arg(QStringLiteral("under"), at(QStringLiteral("www.bili.test"), QStringLiteral("/under.html")).toString())
                    + link.arg(QStringLiteral("mail"), QStringLiteral("mailto:someone@example.com"))
                    + QStringLiteral("<iframe src='/frame.html'></iframe><iframe src='%1'></iframe>")
                          .arg(at(QStringLiteral("elsewhere.test"), QStringLiteral("/foreign-frame.html")).toString()));
    }

    LoopbackHttpServer server;
    QList<QUrl> pages;
    DesktopCatcher desktop;
};

// What the page went through, in order.
struct LoadLog {
    QList<QPair<QWebEngineLoadingInfo::LoadStatus, QUrl>> events;
    bool has(QWebEngineLoadingInfo::LoadStatus status, const QUrl& url, qsizetype from = 0) const
    {
        return indexOf(status, url, from) >= 0;
    }
    qsizetype indexOf(QWebEngineLoadingInfo::LoadStatus status, const QUrl& url, qsizetype from = 0) const
    {
        for (qsizetype i = from; i < events.size(); ++i)
            if (events[i].first == status && events[i].second == url)
                return i;
        return -1;
    }
    std::string describe() const
    {
        QStringList out;
        for (const auto& [status, url] : events)
            out << QStringLiteral("%1 %2").arg(int(status)).arg(url.toString());
        return out.join(u'\n').toStdString();
    }
    // The load of `url` started and ended any way but success.
    bool ended(const QUrl& url) const
    {
        using S = QWebEngineLoadingInfo;
        return has(S::LoadStoppedStatus, url) || has(S::LoadFailedStatus, url);
    }
};

// What the page answers to a script: a round trip through the engine.
QString askPage(QWebEnginePage* page, const QString& script)
{
    auto answer = std::make_shared<std::optional<QString>>();
    page->runJavaScript(script, [answer](const QVariant& v) { *answer = v.toString(); });
    return QTest::qWaitFor([&] { return answer->has_value(); }, kLoadTimeoutMs) ? answer->value() : QStringLiteral("(no answer)");
}

QString pageLocation(QWebEnginePage* page) { return askPage(page, QStringLiteral("location.href")); }

PaintedButton* buttonWithTip(QWidget& panel, const QString& tip)
{
    for (PaintedButton* button : panel.findChildren<PaintedButton*>())
        if (button->toolTip() == tip)
            return button;
    return nullptr;
}

} // namespace

TEST_F(MarketWebPlayerTest, TheUserCannotLeaveTheSiteButThePagesFramesLoadFromAnywhere)
{
    using S = QWebEngineLoadingInfo;
    BiliWebPlayer player(pages[0]);
    player.resize(480, 300);
    player.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&player));
    auto* view = player.findChild<QWebEngineView*>();
    ASSERT_TRUE(view);
    LoadLog log;
    QObject::connect(view->page(), &QWebEnginePage::loadingChanged, &player,
                     [&](const QWebEngineLoadingInfo& info) { log.events.append({info.status(), info.url()}); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.has(S::LoadSucceededStatus, pages[0]); }, kLoadTimeoutMs));

    // Asked for under the player's host, as the desktop browser the site expects.
    ASSERT_FALSE(server.heads().isEmpty());
    const QByteArray first = server.heads().first();
    const QList<QByteArray> head = first.split('\n');
    EXPECT_TRUE(head.contains("Host: player.bili.test:" + QByteArray::number(pages[0].port()) + '\r')) << first.toStdString();
    EXPECT_TRUE(head.contains(QByteArray("User-Agent: ") + BiliVideo::userAgent + '\r')) << first.toStdString();
    EXPECT_EQ(QByteArray(BiliVideo::userAgent).size(), 117);
    // Frames of the site's own host and of another host load with the page.
    for (const QString& frame : {QStringLiteral("/frame.html"), QStringLiteral("/foreign-frame.html")})
        EXPECT_TRUE(QTest::qWaitFor([&] { return server.requests().contains(frame); }, kLoadTimeoutMs))
            << frame.toStdString() << ": " << server.requests().join(u' ').toStdString();

    // A link to another host, or to one that merely ends with the site's name: the load is
    // cancelled and the page stays.
    for (const auto& [id, host] : {std::pair{"away", "elsewhere.test"}, std::pair{"alike", "evilbili.test"}}) {
        SCOPED_TRACE(id);
        const QString path = QStringLiteral("/") + QString::fromLatin1(id);
        const QUrl away = at(QString::fromLatin1(host), path);
        view->page()->runJavaScript(QStringLiteral("document.getElementById('%1').click()").arg(QString::fromLatin1(id)));
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.ended(away); }, kLoadTimeoutMs)) << log.describe();
        EXPECT_EQ(view->url(), pages[0]);
        EXPECT_FALSE(server.requests().contains(path));
    }

    // Other schemes: refused, and never handed to the desktop, even where the engine itself
    // would let a page open them.
    view->settings()->setUnknownUrlSchemePolicy(QWebEngineSettings::AllowAllUnknownUrlSchemes);
    const QUrl mail(QStringLiteral("mailto:someone@example.com"));
    view->page()->runJavaScript(QStringLiteral("document.getElementById('mail').click()"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.ended(mail); }, kLoadTimeoutMs)) << log.describe();
    const QUrl custom(QStringLiteral("bilibili://video/BV1xx411c7mD"));
    view->page()->runJavaScript(QStringLiteral("location.href = '%1'").arg(custom.toString()));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.ended(custom); }, kLoadTimeoutMs)) << log.describe();
    EXPECT_EQ(view->url(), pages[0]);
    EXPECT_TRUE(desktop.opened.isEmpty()) << desktop.opened.value(0).toString().toStdString();

    // A link to a host under the site loads; from there, an address without a host loads too
    // and stays.
    const QUrl under = at(QStringLiteral("www.bili.test"), QStringLiteral("/under.html"));
    view->page()->runJavaScript(QStringLiteral("document.getElementById('under').click()"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.has(S::LoadSucceededStatus, under); }, kLoadTimeoutMs)) << log.describe();
    const QUrl blank(QStringLiteral("about:blank"));
    view->page()->runJavaScript(QStringLiteral("location.href = 'about:blank'"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log.has(S::LoadSucceededStatus, blank); }, kLoadTimeoutMs)) << log.describe();
    EXPECT_EQ(pageLocation(view->page()), blank.toString());
    EXPECT_EQ(view->url(), blank);
    EXPECT_EQ(server.requests().count(QStringLiteral("/under.html")), 1);
    EXPECT_EQ(player.url(), pages[0]);
}

TEST_F(MarketWebPlayerTest, ThePagesOwnRedirectsToAnotherHostLoadAndStay)
{
    using S = QWebEngineLoadingInfo;
    const QUrl landing = at(QStringLiteral("elsewhere.test"), QStringLiteral("/landing"));
    server.setReply(QStringLiteral("/moved"), {302, "text/plain", {}, {"Location: " + landing.toEncoded()}});
    server.setReply(QStringLiteral("/scripted.html"),
                    html(QStringLiteral("<script>location.href = '%1'</script>").arg(landing.toString())));
    for (const QString& path : {QStringLiteral("/moved"), QStringLiteral("/scripted.html")}) {
        SCOPED_TRACE(path.toStdString());
        const QUrl start = at(QStringLiteral("player.bili.test"), path);
        BiliWebPlayer player(start);
        player.resize(480, 300);
        player.show();
        auto* view = player.findChild<QWebEngineView*>();
        LoadLog log;
        QObject::connect(view->page(), &QWebEnginePage::loadingChanged, &player,
                         [&](const QWebEngineLoadingInfo& info) { log.events.append({info.status(), info.url()}); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.has(S::LoadSucceededStatus, landing); }, kLoadTimeoutMs)) << log.describe();
        EXPECT_EQ(pageLocation(view->page()), landing.toString());
        EXPECT_EQ(view->url(), landing);
        EXPECT_EQ(server.requests().count(path), 1) << "not sent back to where it started";
    }
}

TEST_F(MarketWebPlayerTest, APageThatCannotLoadShowsALineOfItsOwnNeverTheEnginesErrorPage)
{
    using S = QWebEngineLoadingInfo;
    QUrl unreachable = at(QStringLiteral("player.bili.test"), QStringLiteral("/video/BV1xx411c7mD"));
    unreachable.setPort(StandinProcess::closedPort());
    server.setReply(QStringLiteral("/to-file"), {302, "text/plain", {}, {"Location: file:///etc/passwd"}});
    server.setReply(QStringLiteral("/broken"), {500, "text/html", {}, {}});
    server.setReply(QStringLiteral("/leaves.html"),
                    html(QStringLiteral("leaves<script>location.href = '%1'</script>").arg(unreachable.toString())));
    struct Case {
        const char* name;
        QUrl start;
        QString text; // what the page shows afterwards
    };
    const Case cases[] = {
        {"unreachable", unreachable, {}},
        {"redirect-to-file", at(QStringLiteral("player.bili.test"), QStringLiteral("/to-file")), {}},
        {"server-error", at(QStringLiteral("player.bili.test"), QStringLiteral("/broken")), {}},
        {"page-leads-nowhere", at(QStringLiteral("player.bili.test"), QStringLiteral("/leaves.html")), QStringLiteral("leaves")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BiliWebPlayer player(c.start);
        player.resize(480, 300);
        player.show();
        auto* view = player.findChild<QWebEngineView*>();
        LoadLog log;
        bool errorPage = false;
        QObject::connect(view->page(), &QWebEnginePage::loadingChanged, &player, [&](const QWebEngineLoadingInfo& info) {
            log.events.append({info.status(), info.url()});
            errorPage = errorPage || info.isErrorPage();
        });
        const auto line = [&]() -> QLabel* {
            for (QLabel* label : player.findChildren<QLabel*>())
                if (label->text() == QString::fromUtf8(BiliWebPlayer::failedText))
                    return label;
            return nullptr;
        };
        ASSERT_TRUE(line());
        ASSERT_TRUE(QTest::qWaitFor([&] { return line()->isVisible(); }, kLoadTimeoutMs)) << log.describe();
        EXPECT_FALSE(errorPage) << log.describe();
        EXPECT_EQ(askPage(view->page(), QStringLiteral("document.documentElement.innerText")).toStdString(), c.text.toStdString());
        ListFixtures::savePicture(player, QStringLiteral("market-player-failed-%1").arg(QString::fromLatin1(c.name)));

        // Another page that loads takes the line away.
        player.setUrl(pages[0]);
        ASSERT_TRUE(QTest::qWaitFor([&] { return log.has(S::LoadSucceededStatus, pages[0]); }, kLoadTimeoutMs)) << log.describe();
        EXPECT_FALSE(line()->isVisible());
    }
}

TEST_F(MarketWebPlayerTest, AShortLinkOpensThePlayerPageAndTheCloseButtonReturnsToTheCover)
{
    server.setReply(QStringLiteral("/s/ok"), {302, "text/plain", {}, {"Location: " + server.url(QStringLiteral("/video/BV1xx411c7mD?p=2")).toEncoded()}});
    server.setReply(QStringLiteral("/video/BV1xx411c7mD?p=2"), html(QStringLiteral("video page")));
    MarketMediaPanel panel(std::nullopt, server.url(QStringLiteral("/s/ok")).toString());
    panel.resize(520, 325);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    MarketMediaModel& media = panel.model();
    auto* spinner = panel.findChild<BusySpinner*>();
    ASSERT_TRUE(spinner);
    EXPECT_FALSE(spinner->isVisible());

    media.startPreview();
    EXPECT_TRUE(media.preparingWeb());
    EXPECT_TRUE(spinner->isVisible()) << "the preparing overlay while the link is followed";
    EXPECT_EQ(media.face(), MarketMediaModel::Face::cover);
    ASSERT_TRUE(QTest::qWaitFor([&] { return media.face() == MarketMediaModel::Face::web; }, kLoadTimeoutMs));
    EXPECT_FALSE(spinner->isVisible());
    QPointer<QWidget> web = panel.webPlayer();
    auto* player = qobject_cast<BiliWebPlayer*>(web.data());
    ASSERT_TRUE(player) << "the web face is the real player";
    EXPECT_EQ(player->url(), pages[1]) << "page 2, from where the short link led";
    EXPECT_EQ(player->geometry(), panel.rect());
    ASSERT_TRUE(QTest::qWaitFor([&] { return server.requests().contains(QStringLiteral("/frame.html")); }, kLoadTimeoutMs))
        << server.requests().join(u' ').toStdString();
    EXPECT_TRUE(server.requests().contains(pathOf(pages[1])));

    PaintedButton* close = buttonWithTip(panel, QStringLiteral("退出预览"));
    ASSERT_TRUE(close);
    ASSERT_TRUE(close->isVisible());
    EXPECT_TRUE(close->geometry().intersects(player->geometry())) << "over the page";
    QTest::mouseClick(close, Qt::LeftButton);
    EXPECT_EQ(media.face(), MarketMediaModel::Face::cover);
    EXPECT_FALSE(web) << "the page goes with the web face";
    EXPECT_FALSE(close->isVisible());
    EXPECT_FALSE(media.webEmbed().has_value());
}

// The engine's drawing surface makes the window that shows the page anew, inactive (a stand-in
// page does that here): the window that opened the player is active again, so that its
// shortcuts work without a click; a window that was not active is left so.
TEST_F(MarketWebPlayerTest, TheWindowThatOpenedThePlayerStaysActive)
{
    server.setReply(QStringLiteral("/s/ok"), {302, "text/plain", {}, {"Location: " + server.url(QStringLiteral("/video/BV1xx411c7mD?p=2")).toEncoded()}});
    server.setReply(QStringLiteral("/video/BV1xx411c7mD?p=2"), html(QStringLiteral("video page")));
    // What the engine does, as far as this platform lets a test do it: the input focus goes to a
    // window that is none of the app's widgets, and the window's native window is made anew.
    std::unique_ptr<QWindow> surface;
    const auto remakesTheWindow = [&surface](const QUrl&, QWidget* parent) {
        QPointer<QWidget> top = parent->window();
        QTimer::singleShot(0, top, [top, &surface] {
            surface = std::make_unique<QWindow>();
            surface->resize(10, 10);
            surface->show();
            surface->requestActivate();
            EXPECT_TRUE(QTest::qWaitForWindowActive(surface.get()));
            EXPECT_EQ(QApplication::activeWindow(), nullptr);
            QEvent remade(QEvent::WinIdChange);
            QCoreApplication::sendEvent(top, &remade);
        });
        return new QWidget(parent);
    };
    for (const bool active : {true, false}) {
        SCOPED_TRACE(active ? "opened from the active window" : "opened from an inactive window");
        MarketMediaPanel panel(std::nullopt, server.url(QStringLiteral("/s/ok")).toString(), &MarketMediaPanel::makeQtPlayer,
                               remakesTheWindow);
        panel.resize(520, 325);
        panel.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
        QWidget elsewhere;
        if (active) {
            panel.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
        } else {
            elsewhere.show();
            elsewhere.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
        }
        panel.model().startPreview();
        ASSERT_TRUE(QTest::qWaitFor([&] { return panel.model().face() == MarketMediaModel::Face::web; }, kLoadTimeoutMs));
        ASSERT_TRUE(QTest::qWaitFor([&] { return surface != nullptr; }, 2000));
        if (active) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return QApplication::activeWindow() == &panel; }, 2000)) << "no window active";
        } else {
            // What the page's remaking posted has run.
            QCoreApplication::processEvents();
            QCoreApplication::processEvents();
            EXPECT_FALSE(panel.isActiveWindow()) << "activated, though it was not active";
        }
        surface.reset();
    }
}

TEST_F(MarketWebPlayerTest, ALinkThatLeadsToNoPageShowsTheErrorFace)
{
    // No redirect: the short link leads nowhere.
    MarketMediaPanel panel(std::nullopt, server.url(QStringLiteral("/s/gone")).toString());
    panel.resize(520, 325);
    panel.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&panel));
    MarketMediaModel& media = panel.model();
    const QRect errorRow(0, panel.height() - 50, panel.width(), 50);
    const QImage before = panel.grab(errorRow).toImage();

    media.startPreview();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !media.preparingWeb(); }, kLoadTimeoutMs));
    EXPECT_EQ(media.webError(), QStringLiteral("这个 B 站链接暂时打不开，请检查链接是否有效"));
    EXPECT_EQ(media.face(), MarketMediaModel::Face::cover);
    EXPECT_FALSE(panel.webPlayer());
    EXPECT_FALSE(panel.findChild<BusySpinner*>()->isVisible());
    EXPECT_FALSE(panel.findChild<BiliWebPlayer*>());
    EXPECT_NE(panel.grab(errorRow).toImage(), before) << "the message at the bottom";
    EXPECT_TRUE(server.requests().contains(QStringLiteral("/s/gone")));
    ListFixtures::savePicture(panel, QStringLiteral("market-media-error"));
}



#include "MarketWebPlayerTest.moc"
