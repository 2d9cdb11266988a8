#include <memory>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <QBuffer>
#include <QDateTime>
#include <QFile>
#include <QSettings>
#include <QTest>

#include "online/LoginService.h"
#include "online/TokenStore.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"

namespace {

using Phase = LoginService::Phase;
using Kind = LoginService::Phase::Kind;

constexpr int fastPollMs = 50;

LoginService::Timing fastTiming()
{
    LoginService::Timing timing;
    timing.pollIntervalMs = fastPollMs;
    timing.requestTimeoutMs = 20000;
    return timing;
}

int tokenMode()
{
    struct stat info {};
    if (::stat(QFile::encodeName(TokenStore::filePath()).constData(), &info) != 0)
        return -1;
    return int(info.st_mode & 0777);
}

class LoginServiceTest : public StandinTest
{
protected:
    std::unique_ptr<LoginService> makeService(LoginService::Timing timing = fastTiming())
    {
        auto service = std::make_unique<LoginService>(timing);
        QObject::connect(service.get(), &LoginService::hintTextChanged, service.get(),
                         [this, s = service.get()] { m_hints << s->hintText(); });
        return service;
    }

    static bool waitForKind(const LoginService& service, Kind kind, int ms = 30000)
    {
        return QTest::qWaitFor([&] { return service.phase().kind == kind; }, ms);
    }

    // Signs in through a fresh QR login and a confirmed scan.
    void signIn(LoginService& service)
    {
        service.requestQrcode();
        ASSERT_TRUE(waitForKind(service, Kind::waitingScan));
        standin().control("scan");
        ASSERT_TRUE(waitForKind(service, Kind::loggedIn));
    }

    QStringList m_hints;
};

} // namespace

TEST_F(LoginServiceTest, FreshStartShowsTheQrPhaseAndAScanSignsInWithinOnePoll)
{
    auto service = makeService();
    EXPECT_EQ(service->phase().kind, Kind::checking);
    service->start();
    EXPECT_EQ(service->phase(), Phase::loggedOut());

    service->requestQrcode();
    EXPECT_TRUE(service->isRefreshing());
    EXPECT_EQ(service->hintText(), LoginService::fetchingText);
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    EXPECT_FALSE(service->isRefreshing());
    EXPECT_EQ(service->hintText(), "");
    ASSERT_FALSE(service->qrcode().isNull());
    EXPECT_GT(service->qrcode().width(), 100);

    // Let a few unanswered polls pass, then confirm the scan.
    EXPECT_TRUE(QTest::qWaitFor([&] { return standin().requests("/v2/getLogin").size() >= 2; }, 30000));
    EXPECT_EQ(service->phase().kind, Kind::waitingScan);
    standin().control("scan", {{"member", QJsonObject{{"memberKey", "m7"}, {"nickName", "小织"}}}});
    // A poll already under way may bring the sign-in; else the next one does.
    const int pollsAtScan = standin().requests("/v2/getLogin").size();
    ASSERT_TRUE(waitForKind(*service, Kind::loggedIn));
    const int signInPolls = standin().requests("/v2/getLogin").size();
    EXPECT_LE(signInPolls, pollsAtScan + 1);
    EXPECT_EQ(service->phase().member.memberKey, "m7");
    EXPECT_EQ(service->phase().member.nickName, QString("小织"));
    EXPECT_TRUE(service->qrcode().isNull());
    ASSERT_TRUE(service->expireAt());
    EXPECT_GT(*service->expireAt(), QDateTime::currentDateTimeUtc().addSecs(3600));
    EXPECT_EQ(QSettings().value("loginExpireAt").toDateTime(), *service->expireAt());
    EXPECT_TRUE(TokenStore::read());
    EXPECT_EQ(tokenMode(), 0600);

    // No poll after the sign-in.
    QTest::qWait(fastPollMs * 4);
    EXPECT_EQ(standin().requests("/v2/getLogin").size(), signInPolls);
}

TEST_F(LoginServiceTest, RestartRestoresTheSessionThroughVerify)
{
    Member member;
    {
        auto first = makeService();
        first->start();
        signIn(*first);
        member = first->phase().member;
    }
    const QString token = *TokenStore::read();

    auto second = makeService();
    second->start();
    EXPECT_EQ(second->phase().kind, Kind::checking);
    ASSERT_TRUE(waitForKind(*second, Kind::loggedIn));
    EXPECT_EQ(second->phase().member, member);
    ASSERT_TRUE(second->expireAt());
    const auto verifies = standin().requests("/v2/verify");
    ASSERT_EQ(verifies.size(), 1);
    EXPECT_EQ(verifies[0].toObject().value("body").toObject().value("token").toString(), token);
}

TEST_F(LoginServiceTest, FailedOrOddVerificationRepliesEndOrKeepTheSession)
{
    struct Case {
        const char* name;
        QJsonObject script; // of /v2/verify; empty: server down
        std::optional<Phase> expected;
        bool placeholder = false;
    };
    const Case cases[] = {
        {"rejected", {{"status", 2}}, Phase::loggedOut(QString(LoginService::verifyFailedText))},
        {"status as text", {{"status", "0"}}, Phase::loggedOut(QString(LoginService::verifyFailedText))},
        {"HTML", {{"http", 500}, {"body", "<html>oops</html>"}}, Phase::loggedOut(QString(LoginService::verifyFailedText))},
        {"server down", {}, Phase::loggedOut(QString(LoginService::verifyFailedText))},
        {"no member", {{"fields", QJsonObject{{"member", QJsonValue::Null}}}}, std::nullopt, true},
        {"member of wrong shape", {{"fields", QJsonObject{{"member", QJsonObject{{"memberKey", 5}}}}}}, std::nullopt, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        {
            auto service = makeService();
            service->start();
            signIn(*service);
        }
        QSettings().setValue("loginMember", "stale");
        if (c.script.isEmpty())
            QSettings().setValue("serverBaseURL", QStringLiteral("http://127.0.0.1:%1/").arg(StandinProcess::closedPort()));
        else
            standin().script("/v2/verify", c.script);

        auto service = makeService();
        service->start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return service->phase().kind != Kind::checking; }, 300000));
        if (c.expected) {
            EXPECT_EQ(service->phase(), *c.expected);
            EXPECT_FALSE(TokenStore::read());
            EXPECT_FALSE(QSettings().contains("loginExpireAt"));
            EXPECT_FALSE(QSettings().contains("loginMember"));
        } else {
            EXPECT_EQ(service->phase(), Phase::loggedIn(Member::placeholder()));
            EXPECT_TRUE(TokenStore::read());
        }
    }
}

TEST_F(LoginServiceTest, RedirectsAreFollowedOnlyWithinTheServiceOrigin)
{
    StandinProcess other;
    ASSERT_TRUE(other.isRunning());
    const auto redirect = [](int code, const QString& base, const char* path) {
        return QJsonObject{{"http", code}, {"headers", QJsonObject{{"Location", base + path}}}};
    };
    {
        auto service = makeService();
        service->start();
        signIn(*service);
    }
    // Within the origin the verification follows the redirect and keeps the session.
    standin().script("/v2/verify", redirect(307, standin().baseUrl(), "v2/verify"));
    auto same = makeService();
    same->start();
    EXPECT_TRUE(waitForKind(*same, Kind::loggedIn));

    // To another host neither the token nor the login key leaves, and nothing signs in.
    standin().script("/v2/verify", redirect(307, other.baseUrl(), "v2/verify"));
    auto verify = makeService();
    verify->start();
    EXPECT_TRUE(waitForKind(*verify, Kind::loggedOut));

    auto poll = makeService();
    poll->requestQrcode();
    ASSERT_TRUE(waitForKind(*poll, Kind::waitingScan));
    const auto polls = standin().requests("/v2/getLogin").size();
    standin().script("/v2/getLogin", redirect(302, other.baseUrl(), "v2/getLogin"));
    // Polls follow one another: the second after the script comes once the redirect was handled.
    ASSERT_TRUE(QTest::qWaitFor([&] { return standin().requests("/v2/getLogin").size() >= polls + 2; }, 30000));
    EXPECT_EQ(poll->phase().kind, Kind::waitingScan);
    EXPECT_FALSE(TokenStore::read());
    EXPECT_TRUE(other.requests().isEmpty());
}

TEST_F(LoginServiceTest, StoredOrGivenExpiryEndsTheSession)
{
    // An empty or blank token file is no session: the QR phase, without asking the server.
    for (const QByteArray& bytes : {QByteArray(""), QByteArray(" \n")}) {
        QFile file(TokenStore::filePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
        file.close();
        auto service = makeService();
        service->start();
        EXPECT_EQ(service->phase(), Phase::loggedOut());
    }
    EXPECT_TRUE(standin().requests("/v2/verify").isEmpty());

    // A stored expiry at or before now: signed out without asking the server.
    TokenStore::set("tok");
    QSettings().setValue("loginExpireAt", QDateTime::currentDateTimeUtc());
    auto service = makeService();
    service->start();
    EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::expiredText)));
    EXPECT_FALSE(TokenStore::read());
    EXPECT_TRUE(standin().requests("/v2/verify").isEmpty());

    // A stored value of another type counts as none.
    TokenStore::set("tok");
    QSettings().setValue("loginExpireAt", "yesterday");
    standin().script("/v2/verify", {{"reply", QJsonObject{{"status", 0}}}});
    service->start();
    ASSERT_TRUE(waitForKind(*service, Kind::loggedIn));
    EXPECT_FALSE(service->expireAt()); // no "expireAt": none, and the stored value stays
    EXPECT_EQ(QSettings().value("loginExpireAt").toString(), "yesterday");

    // A server expiry already past: signed in, then out at once.
    SetUp();
    service = makeService();
    service->start();
    const double past = QDateTime::currentDateTimeUtc().addSecs(-5).toMSecsSinceEpoch() / 1000.0;
    service->requestQrcode();
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    standin().script("/v2/getLogin", {{"reply", QJsonObject{{"status", 0}, {"token", "t"}, {"expireAt", past}}}});
    ASSERT_TRUE(waitForKind(*service, Kind::loggedOut));
    EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::expiredText)));
    EXPECT_FALSE(TokenStore::read());

    // A near expiry: the timer logs out when it comes.
    QList<Kind> kinds;
    QObject::connect(service.get(), &LoginService::phaseChanged, service.get(),
                     [&] { kinds << service->phase().kind; });
    service->requestQrcode();
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    // Far enough ahead that a slow poll still signs in before it.
    const double soon = QDateTime::currentDateTimeUtc().addMSecs(3000).toMSecsSinceEpoch() / 1000.0;
    standin().script("/v2/getLogin", {{"reply", QJsonObject{{"status", 0}, {"token", "t"}, {"expireAt", soon}}}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return kinds.contains(Kind::loggedIn); }, 30000));
    ASSERT_TRUE(waitForKind(*service, Kind::loggedOut));
    EXPECT_EQ(kinds.last(), Kind::loggedOut);
    EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::expiredText)));
}

TEST_F(LoginServiceTest, ExpiredQrIsRenewedWithTheHint)
{
    auto service = makeService();
    service->start();
    service->requestQrcode();
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    const QString firstKey = standin().newestLoginKey();
    standin().control("expire");
    ASSERT_TRUE(QTest::qWaitFor([&] {
        return standin().requests("/v2/getLoginQrcode").size() == 2 && service->hintText().isEmpty();
    }, 30000));
    EXPECT_TRUE(m_hints.contains(LoginService::qrExpiredText));
    EXPECT_EQ(service->phase().kind, Kind::waitingScan);
    const QString secondKey = standin().newestLoginKey();
    EXPECT_NE(secondKey, firstKey);
    // The new code is the one polled, and its scan signs in.
    standin().control("scan");
    ASSERT_TRUE(waitForKind(*service, Kind::loggedIn));
    const auto polls = standin().requests("/v2/getLogin");
    EXPECT_EQ(polls.last().toObject().value("body").toObject().value("loginKey").toString(), secondKey);
}

TEST_F(LoginServiceTest, QrRequestFailuresShowTheFailureText)
{
    const struct {
        const char* name;
        QJsonObject script;
    } cases[] = {
        {"HTML", {{"http", 503}, {"body", "<html>down</html>"}}},
        {"status 0 without loginKey", {{"fields", QJsonObject{{"loginKey", QJsonValue::Null}}}}},
        {"loginKey of wrong type", {{"fields", QJsonObject{{"loginKey", 12}}}}},
        {"failure status", {{"status", 5}}},
        {"code not an image", {{"fields", QJsonObject{{"qrcode", "data:image/png;base64,AAAA"}}}}},
        {"code missing", {{"fields", QJsonObject{{"qrcode", QJsonValue::Null}}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto service = makeService();
        standin().script("/v2/getLoginQrcode", c.script);
        service->requestQrcode();
        ASSERT_TRUE(waitForKind(*service, Kind::loggedOut));
        EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::fetchFailedText)));
        EXPECT_EQ(service->hintText(), LoginService::fetchFailedText);
        EXPECT_FALSE(service->isRefreshing());
    }
    // A huge code is kept at the size it is shown at.
    QImage huge(4000, 4000, QImage::Format_Grayscale8);
    huge.fill(Qt::white);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    huge.save(&buffer, "PNG");
    auto service = makeService();
    standin().script("/v2/getLoginQrcode", {{"fields", QJsonObject{{"qrcode", QString::fromLatin1("data:image/png;base64," + png.toBase64())}}}});
    service->requestQrcode();
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    EXPECT_EQ(service->qrcode().size(), QSize(LoginService::qrPixelSide, LoginService::qrPixelSide));
}

TEST_F(LoginServiceTest, UnansweredPollsEndInTheTimeoutText)
{
    auto timing = fastTiming();
    timing.maxPolls = 4;
    auto service = makeService(timing);
    service->requestQrcode();
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    // A success without a token or with one too large to keep, a wrong status type and a
    // transport-level garbage reply all count as unanswered.
    standin().script("/v2/getLogin", {{"reply", QJsonObject{{"status", 0}}}});
    standin().script("/v2/getLogin", {{"reply", QJsonObject{{"status", 0}, {"token", QString(65 * 1024, 't')}}}});
    standin().script("/v2/getLogin", {{"status", "0"}});
    standin().script("/v2/getLogin", {{"body", "<html/>"}});
    ASSERT_TRUE(waitForKind(*service, Kind::loggedOut));
    EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::qrTimedOutText)));
    EXPECT_EQ(service->hintText(), LoginService::qrTimedOutText);
    EXPECT_EQ(standin().requests("/v2/getLogin").size(), 4);
    EXPECT_FALSE(TokenStore::read());
    QTest::qWait(fastPollMs * 4);
    EXPECT_EQ(standin().requests("/v2/getLogin").size(), 4);
}

TEST_F(LoginServiceTest, ForceLogoutRemovesTheTokenAndNoLatePollSignsBackIn)
{
    auto service = makeService();
    service->start();
    signIn(*service);
    service->forceLogout(QString(LoginService::loggedOutText));
    EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::loggedOutText)));
    EXPECT_FALSE(QFile::exists(TokenStore::filePath()));
    EXPECT_FALSE(QSettings().contains("loginExpireAt"));

    // A poll in flight when the user logs out: its sign-in reply must not apply.
    service->requestQrcode();
    ASSERT_TRUE(waitForKind(*service, Kind::waitingScan));
    const auto polls = standin().requests("/v2/getLogin").size();
    standin().script("/v2/getLogin", {{"delayMs", 1500}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return standin().requests("/v2/getLogin").size() > polls; }, 30000));
    standin().control("scan"); // seen by the held poll when it answers
    service->forceLogout(std::nullopt);
    QTest::qWait(fastPollMs * 4); // time for a poll that should not come
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_EQ(service->phase(), Phase::loggedOut());
    EXPECT_FALSE(QFile::exists(TokenStore::filePath()));
    EXPECT_TRUE(service->qrcode().isNull());

    // A QR request overtaken by a logout does not bring the QR phase back.
    standin().script("/v2/getLoginQrcode", {{"delayMs", 300}});
    service->requestQrcode();
    service->forceLogout(QString(LoginService::loggedOutText));
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_EQ(service->phase(), Phase::loggedOut(QString(LoginService::loggedOutText)));
    EXPECT_FALSE(service->isRefreshing());
}

TEST_F(LoginServiceTest, NicknameRepliesApplyOnlyToTheSameSignedInMember)
{
    auto service = makeService();
    QObject context;
    std::optional<std::optional<QString>> result;
    const auto save = [&](const QString& name) {
        result.reset();
        service->updateNickname(name, &context, [&](const std::optional<QString>& error) { result = error; });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 300000));
        return result.value_or(QString("<none>"));
    };

    service->start();
    EXPECT_EQ(save("x"), QString(LoginService::signInFirstText));
    EXPECT_TRUE(standin().requests("/v2/profile/nickname").isEmpty());

    signIn(*service);
    EXPECT_EQ(save("新名字"), std::nullopt);
    EXPECT_EQ(service->phase().member.nickName, QString("新名字"));
    const auto sent = standin().requests("/v2/profile/nickname").last().toObject().value("body").toObject();
    EXPECT_EQ(sent.value("token").toString(), *TokenStore::read());

    const struct {
        const char* name;
        QJsonObject script;
        std::optional<QString> expected;
    } cases[] = {
        {"server message", {{"status", 3}, {"info", "昵称含敏感词"}}, QString("昵称含敏感词")},
        {"empty message", {{"status", 3}, {"info", ""}}, QString("")},
        {"message of wrong type", {{"status", 3}, {"info", 4}}, QString(LoginService::saveFailedText)},
        {"HTML", {{"http", 500}, {"body", "<html/>"}}, QString(LoginService::saveFailedText)},
        {"success without member", {{"reply", QJsonObject{{"status", 0}}}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        standin().script("/v2/profile/nickname", c.script);
        EXPECT_EQ(save("ignored"), c.expected);
        EXPECT_EQ(service->phase().member.nickName, QString("新名字"));
    }

    // A reply that arrives after a logout changes nothing.
    standin().script("/v2/profile/nickname", {{"delayMs", 300}});
    bool answered = false;
    service->updateNickname("late", &context, [&](const std::optional<QString>&) { answered = true; });
    service->forceLogout(std::nullopt);
    EXPECT_TRUE(QTest::qWaitFor([&] { return answered; }, 30000));
    EXPECT_EQ(service->phase(), Phase::loggedOut());

    // Of two saves in flight, the older reply does not overwrite the newer one.
    signIn(*service);
    standin().script("/v2/profile/nickname", {{"delayMs", 400}, {"fields", QJsonObject{{"member", QJsonObject{{"memberKey", service->phase().member.memberKey}, {"nickName", "旧"}}}}}});
    int answers = 0;
    // The delayed script must meet the first request: send the second once the first arrived.
    const auto before = standin().requests("/v2/profile/nickname").size();
    service->updateNickname("旧", &context, [&](const std::optional<QString>&) { ++answers; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return standin().requests("/v2/profile/nickname").size() > before; }, 30000));
    service->updateNickname("新", &context, [&](const std::optional<QString>&) { ++answers; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return answers == 2; }, 30000));
    EXPECT_EQ(service->phase().member.nickName, QString("新"));
}

TEST(LoginServiceQr, DataUrlAndBareBase64GiveTheSameImage)
{
    QImage image(21, 21, QImage::Format_Grayscale8);
    image.fill(Qt::white);
    image.setPixel(3, 4, 0);
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
    }
    QByteArray wrapped = png.toBase64();
    for (qsizetype i = 60; i < wrapped.size(); i += 61)
        wrapped.insert(i, '\n');
    const QImage fromDataUrl = LoginService::imageFromQrText("data:image/png;base64," + QString::fromLatin1(png.toBase64()));
    const QImage fromBare = LoginService::imageFromQrText(QString::fromLatin1(wrapped));
    ASSERT_FALSE(fromDataUrl.isNull());
    EXPECT_EQ(fromDataUrl, fromBare);
    EXPECT_TRUE(LoginService::imageFromQrText("data:image/png;base64,").isNull());
    EXPECT_TRUE(LoginService::imageFromQrText("not an image").isNull());

    EXPECT_FALSE(LoginService::dateFromJson(QJsonValue("1700000000")));
    EXPECT_FALSE(LoginService::dateFromJson(QJsonValue(1e300)));
    EXPECT_EQ(LoginService::dateFromJson(QJsonValue(1700000000.5))->toMSecsSinceEpoch(), 1700000000500);
}

TEST(LoginServiceRealTiming, AutoScanSignsInAtTheRealPollInterval)
{
    TestEnv::reset();
    StandinProcess standin({"--auto-scan-after", "1"});
    ASSERT_TRUE(standin.isRunning());
    standin.useAsServer();
    LoginService service;
    service.start();
    service.requestQrcode();
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.phase().kind == Kind::waitingScan; }, 300000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return service.phase().kind == Kind::loggedIn; }, 30000));
    // Polls come two seconds apart: the code, ready after one second, is seen at the first.
    EXPECT_EQ(standin.requests("/v2/getLogin").size(), 1);
    EXPECT_EQ(tokenMode(), 0600);
}
