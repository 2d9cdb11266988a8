// The login gate against the stand-in service on 127.0.0.1, offscreen. Grabs of each phase
// go to build/screenshots for review.
#include <memory>

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>

#include "online/LoginService.h"
#include "online/ServerConfig.h"
#include "online/TokenStore.h"
#include "ui/Appearance.h"
#include "account/LoginGateView.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"
#include "support/views/ListFixtures.h"

namespace {

using Kind = LoginService::Phase::Kind;

QString screenshotPath(const QString& name)
{
    const QString dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../screenshots");
    QDir().mkpath(dir);
    return QDir(dir).absoluteFilePath(name);
}

// Share of grey pixels: a code scaled without smoothing is black and white only.
double greyShare(const QImage& image)
{
    int grey = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            grey += qGray(image.pixel(x, y)) > 60 && qGray(image.pixel(x, y)) < 200;
    return double(grey) / std::max(1, image.width() * image.height());
}

// Share of clearly dark pixels: a QR code is about half dark, a spinner almost none.
double darkShare(const QImage& image)
{
    int dark = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            dark += qGray(image.pixel(x, y)) < 80;
    return double(dark) / std::max(1, image.width() * image.height());
}

class LoginGateViewTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        if (HasFatalFailure())
            return;
        ListFixtures::installTheme();
        QSettings().setValue(Appearance::settingsKey, QStringLiteral("light"));
        Appearance::instance().apply();
    }

    // The main window's content with the gate over it, as the root view lays them.
    void build(LoginService::Timing timing = fastTiming())
    {
        m_service = std::make_unique<LoginService>(timing);
        m_host = std::make_unique<QWidget>();
        m_host->resize(900, 680);
        m_host->setAutoFillBackground(true);
        auto* content = new QLabel(QStringLiteral("插件列表"), m_host.get());
        content->setGeometry(40, 40, 300, 40);
        m_gate = new LoginGateView(m_service.get(), m_host.get());
    }

    static LoginService::Timing fastTiming()
    {
        LoginService::Timing timing;
        timing.pollIntervalMs = 50;
        timing.requestTimeoutMs = 20000;
        return timing;
    }

    bool waitForKind(Kind kind, int ms = 5000)
    {
        return QTest::qWaitFor([&] { return m_service->phase().kind == kind; }, ms);
    }

    template<typename T = QWidget>
    T* part(const char* name)
    {
        T* found = m_gate->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    bool shown(const char* name) { return part(name) && part(name)->isVisibleTo(m_gate); }

    void grab(const QString& name)
    {
        QApplication::processEvents();
        m_host->grab().save(screenshotPath(name));
    }

    int qrRequests() { return int(standin().requests("/v2/getLoginQrcode").size()); }

    std::unique_ptr<LoginService> m_service;
    std::unique_ptr<QWidget> m_host;
    LoginGateView* m_gate = nullptr;
};

} // namespace

TEST_F(LoginGateViewTest, ANewUserSeesACodeAndAConfirmedScanLiftsTheGate)
{
    build();
    QSignalSpy covering(m_gate, &LoginGateView::coveringChanged);
    // The gate comes up while the service is still checking; the root view starts it after.
    m_host->show();
    QApplication::processEvents();
    EXPECT_TRUE(shown("checkingContent"));
    EXPECT_EQ(qrRequests(), 0);
    m_service->start();
    EXPECT_EQ(m_service->phase(), LoginService::Phase::loggedOut());

    // Never signed in: the gate asks for a code by itself, once.
    ASSERT_TRUE(waitForKind(Kind::waitingScan));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_service->qrcode().isNull(); }, 30000));
    QApplication::processEvents();
    EXPECT_TRUE(shown("scanContent"));
    EXPECT_FALSE(shown("loggedOutContent"));
    EXPECT_FALSE(shown("hintLabel")) << "an empty hint leaves no line";
    const QImage code = part("qrCard")->grab().toImage();
    EXPECT_GT(darkShare(code), 0.15) << "the code is drawn (its dark share varies with the random key)";
    const int inset = LoginGateView::kQrPadding + 4;
    EXPECT_LT(greyShare(code.copy(inset, inset, code.width() - 2 * inset, code.height() - 2 * inset)), 0.02)
        << "the code is not smoothed";
    grab("gate-scan.png");
    QSettings().setValue(Appearance::settingsKey, QStringLiteral("dark"));
    Appearance::instance().apply();
    grab("gate-scan-dark.png");
    QSettings().setValue(Appearance::settingsKey, QStringLiteral("light"));
    Appearance::instance().apply();
    EXPECT_EQ(qrRequests(), 1);
    EXPECT_TRUE(m_gate->isCovering());
    EXPECT_TRUE(covering.isEmpty());

    standin().control("scan", {{"member", QJsonObject{{"memberKey", "m1"}, {"nickName", "小织"}}}});
    ASSERT_TRUE(waitForKind(Kind::loggedIn));
    EXPECT_FALSE(m_gate->isCovering());
    ASSERT_EQ(covering.size(), 1);
    EXPECT_EQ(covering[0][0].toBool(), false);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !m_gate->isVisible(); }, 30000)) << "the gate fades out";
    EXPECT_EQ(qrRequests(), 1);
}

TEST_F(LoginGateViewTest, AnExpiredCodeShowsTheServiceHintThenANewCode)
{
    build();
    QStringList hintsShown;
    // Connected after the gate: records what the gate's line says at each change.
    QObject::connect(m_service.get(), &LoginService::hintTextChanged, m_gate, [&] {
        auto* hint = part<QLabel>("hintLabel");
        if (hint->isVisibleTo(m_gate))
            hintsShown << hint->text();
    });
    m_service->start();
    m_host->show();
    ASSERT_TRUE(waitForKind(Kind::waitingScan));
    const QString firstKey = standin().newestLoginKey();
    ASSERT_FALSE(firstKey.isEmpty());

    // Keep the new code a moment in coming so the refreshing state can be seen.
    standin().script("/v2/getLoginQrcode", {{"delayMs", 2000}, {"fields", QJsonObject{}}});
    standin().control("expire");
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_service->isRefreshing(); }, 30000));
    QApplication::processEvents();
    EXPECT_TRUE(hintsShown.contains(LoginService::qrExpiredText)) << hintsShown.join(" | ").toStdString();
    EXPECT_TRUE(shown("hintLabel"));
    EXPECT_EQ(part<QLabel>("hintLabel")->text(), LoginService::fetchingText);
    EXPECT_TRUE(shown("refreshSpinner"));
    EXPECT_TRUE(part<QPushButton>("refreshButton")->isEnabled()) << "refresh stays usable";
    grab("gate-expired.png");

    ASSERT_TRUE(QTest::qWaitFor([&] { return !m_service->isRefreshing(); }, 30000));
    QApplication::processEvents();
    EXPECT_EQ(m_service->phase().kind, Kind::waitingScan);
    EXPECT_NE(standin().newestLoginKey(), firstKey);
    EXPECT_FALSE(shown("hintLabel"));
    EXPECT_FALSE(shown("refreshSpinner"));
    EXPECT_GT(darkShare(part("qrCard")->grab().toImage()), 0.15);
}

TEST_F(LoginGateViewTest, ATimedOutCodeShowsTheReasonAndTheButtonFetchesAgain)
{
    LoginService::Timing timing = fastTiming();
    timing.maxPolls = 2;
    build(timing);
    m_service->start();
    m_host->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_service->phase().reason.has_value(); }, 30000));
    QApplication::processEvents();
    EXPECT_EQ(m_service->phase(), LoginService::Phase::loggedOut(QString(LoginService::qrTimedOutText)));
    EXPECT_TRUE(shown("loggedOutContent"));
    ASSERT_TRUE(shown("reasonLabel"));
    EXPECT_EQ(part<QLabel>("reasonLabel")->text(), LoginService::qrTimedOutText);
    EXPECT_LE(part("reasonLabel")->width(), LoginGateView::kTextWidth);
    EXPECT_EQ(part("gateCard")->width(), LoginGateView::kCardWidth);
    auto* button = part<QPushButton>("qrButton");
    EXPECT_TRUE(button->isEnabled());
    QStringList buttonTexts;
    for (QLabel* label : button->findChildren<QLabel*>())
        buttonTexts << label->text();
    EXPECT_TRUE(buttonTexts.contains("获取登录二维码"));
    grab("gate-logged-out.png");
    QTest::qWait(200);
    EXPECT_EQ(qrRequests(), 1) << "a logged-out screen with a reason waits for the button";

    standin().script("/v2/getLoginQrcode", {{"delayMs", 2000}, {"fields", QJsonObject{}}});
    QTest::mouseClick(button, Qt::LeftButton);
    QApplication::processEvents();
    EXPECT_FALSE(button->isEnabled());
    buttonTexts.clear();
    for (QLabel* label : button->findChildren<QLabel*>())
        buttonTexts << label->text();
    EXPECT_TRUE(buttonTexts.contains("获取二维码…"));
    grab("gate-fetching.png");
    ASSERT_TRUE(waitForKind(Kind::waitingScan));
    EXPECT_EQ(qrRequests(), 2);
}

TEST_F(LoginGateViewTest, ASavedSessionShowsCheckingAndAFailedCheckWaitsForTheButton)
{
    TokenStore::set("stale-token");
    standin().script("/v2/verify", {{"delayMs", 2000}, {"status", 3}}); // long enough to see "checking"
    build();
    m_service->start();
    m_host->show();
    QApplication::processEvents();
    EXPECT_EQ(m_service->phase().kind, Kind::checking);
    EXPECT_TRUE(shown("checkingContent"));
    EXPECT_FALSE(shown("loggedOutContent"));
    grab("gate-checking.png");

    ASSERT_TRUE(waitForKind(Kind::loggedOut));
    QApplication::processEvents();
    EXPECT_EQ(part<QLabel>("reasonLabel")->text(), LoginService::verifyFailedText);
    QTest::qWait(200);
    EXPECT_EQ(qrRequests(), 0);

    // Shown again after a sign-out: still no code without the button.
    m_host->hide();
    m_service->forceLogout(QString(LoginService::loggedOutText));
    m_host->show();
    QTest::qWait(200);
    EXPECT_EQ(qrRequests(), 0);
    EXPECT_EQ(part<QLabel>("reasonLabel")->text(), LoginService::loggedOutText);
}

TEST_F(LoginGateViewTest, TheHelpLinkOpensOnlyTheSitesHelpPageOverHttps)
{
    struct Case {
        const char* host;
        const char* url; // empty: refused
    };
    const Case cases[] = {
        {"loomwork.example", "https://loomwork.example/help"},
        {"help-desk.loomwork.example", "https://help-desk.loomwork.example/help"},
        {"", ""},
        {"evil.example/steal?x=", ""},
        {"user@evil.example", ""},
        {"javascript:alert(1)", ""},
        {"loomwork.example:8443", ""},
        {"two words.example", ""},
        {"例子.example", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host);
        const auto url = LoginGateView::helpUrl(QString::fromUtf8(c.host));
        EXPECT_EQ(url ? url->toString() : QString(), QString::fromUtf8(c.url));
    }

    QList<QUrl> opened;
    LoginGateView::setUrlOpener([&](const QUrl& url) {
        opened << url;
        return true;
    });
    build();
    m_host->show();
    auto* help = part<QPushButton>("helpButton");
    EXPECT_EQ(help->text(), "遇到问题？访问 " + ServerConfig::webHost() + "/help");
    QTest::mouseClick(help, Qt::LeftButton);
    LoginGateView::setUrlOpener({});
    ASSERT_EQ(opened.size(), 1);
    EXPECT_EQ(opened[0].toString(), "https://" + ServerConfig::webHost() + "/help");
}
