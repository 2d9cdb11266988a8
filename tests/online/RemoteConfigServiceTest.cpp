#include <gtest/gtest.h>

#include <QJsonArray>
#include <QSettings>
#include <QTest>

#include "online/AppVersion.h"
#include "online/RemoteConfigService.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

const QString kNewer = QStringLiteral("999.1");
const QString kOlder = QStringLiteral("0.0.1");

class RemoteConfigServiceTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        timing.retryWaitsMs = {60, 120};
        timing.requestTimeoutMs = 20000;
    }

    void setDocument(const QJsonObject& document, const QString& mode = QStringLiteral("default"),
                     const QString& path = QStringLiteral("/v2/config.json"))
    {
        standin().control(QStringLiteral("config"),
                          {{"path", path}, {"mode", mode}, {"document", document}});
    }
    void setMode(const QString& mode, const QString& path = QStringLiteral("/v2/config.json"))
    {
        standin().control(QStringLiteral("config"), {{"path", path}, {"mode", mode}});
    }

    // Runs one reload to its end; the result, or nothing when it never ended.
    std::optional<bool> reload(RemoteConfigService& service, bool force)
    {
        std::optional<bool> result;
        int calls = 0;
        service.reload(force, [&](bool fromDocument) {
            result = fromDocument;
            ++calls;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
        EXPECT_EQ(calls, 1);
        return result;
    }

    QStringList requestedPaths()
    {
        QStringList paths;
        for (const QJsonValue& entry : standin().requests())
            paths.append(entry.toObject().value("path").toString());
        return paths;
    }

    QList<qint64> requestTimes()
    {
        QList<qint64> times;
        for (const QJsonValue& entry : standin().requests())
            times.append(entry.toObject().value("atMs").toInteger());
        return times;
    }

    RemoteConfigService::Timing timing;
};

} // namespace

TEST_F(RemoteConfigServiceTest, AnOptionalPromptIsPostponedUntilAForcedCheck)
{
    setDocument({{"latestVersion", " " + kNewer + " "}, {"changelog", "- a\n- b"},
                 {"downloadUrl", " https://d.example/get "}});
    RemoteConfigService service;
    service.setTiming(timing);
    EXPECT_EQ(reload(service, false), true);
    ASSERT_TRUE(service.update().has_value());
    EXPECT_EQ(*service.update(), (UpdateAlert{kNewer, {"a", "b"}, "https://d.example/get", false}));

    service.snooze(QStringLiteral(" ") + kNewer + QStringLiteral("\n"));
    EXPECT_FALSE(service.update().has_value());
    EXPECT_EQ(service.snoozedVersion(), kNewer);
    reload(service, false);
    EXPECT_FALSE(service.update().has_value());

    RemoteConfigService settingsWindow; // shares only the settings keys
    settingsWindow.setTiming(timing);
    reload(settingsWindow, true);
    EXPECT_TRUE(settingsWindow.update().has_value());

    // A newer minimum forces the prompt whatever was postponed.
    setDocument({{"latestVersion", kNewer}, {"minVersion", QStringLiteral("999.0")}});
    reload(service, false);
    ASSERT_TRUE(service.update().has_value());
    EXPECT_TRUE(service.update()->forced);
    EXPECT_EQ(service.update()->version, kNewer);
}

TEST_F(RemoteConfigServiceTest, PromptsFollowTheVersionsOfTheDocument)
{
    QSettings().setValue(RemoteConfigService::kSnoozedVersionKey, kNewer);
    struct Case {
        const char* label;
        QJsonObject document;
        std::optional<UpdateAlert> update;
        QString snoozedAfter;
    };
    const Case cases[] = {
        {"minimum alone, sent with blanks", {{"minVersion", " 999.0 "}},
         UpdateAlert{" 999.0 ", {}, std::nullopt, true}, kNewer},
        {"latest postponed, forced by the document", {{"latestVersion", kNewer}, {"forceUpdate", true}},
         std::nullopt, kNewer},
        {"latest equal to the running version", {{"latestVersion", AppVersion::current() + ".0"}},
         std::nullopt, ""},
        {"latest older, minimum older", {{"latestVersion", kOlder}, {"minVersion", kOlder}},
         std::nullopt, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        setDocument(c.document);
        RemoteConfigService service;
        service.setTiming(timing);
        reload(service, false);
        EXPECT_EQ(service.update(), c.update);
        EXPECT_EQ(service.snoozedVersion(), c.snoozedAfter);
    }
}

TEST_F(RemoteConfigServiceTest, AClosedNoticeStaysClosedUntilItChanges)
{
    setDocument({{"notice", " 维护通知 "}});
    RemoteConfigService service;
    service.setTiming(timing);
    reload(service, false);
    EXPECT_TRUE(service.showNotice());
    service.dismissNotice();
    EXPECT_FALSE(service.showNotice());
    EXPECT_EQ(service.dismissedNoticeId(), "维护通知");

    RemoteConfigService afterRestart;
    afterRestart.setTiming(timing);
    reload(afterRestart, false);
    EXPECT_FALSE(afterRestart.showNotice());

    setDocument({{"notice", "新的通知"}, {"noticeId", " n1 "}});
    reload(afterRestart, false);
    EXPECT_TRUE(afterRestart.showNotice());
    afterRestart.dismissNotice();
    EXPECT_EQ(afterRestart.dismissedNoticeId(), "n1");

    setDocument({{"notice", "  "}, {"noticeId", "n2"}});
    reload(afterRestart, false);
    EXPECT_FALSE(afterRestart.showNotice());
    afterRestart.dismissNotice();
    EXPECT_EQ(afterRestart.dismissedNoticeId(), "n2");

    RemoteConfigService fresh;
    fresh.dismissNotice();
    EXPECT_EQ(fresh.dismissedNoticeId(), "");
}

TEST_F(RemoteConfigServiceTest, ThreeFailedTriesThenTheFallbackDocuments)
{
    // "slow" comes last: a try it gave up on may still reach the server's log afterwards.
    const char* modes[] = {"error500", "nonjson", "closed", "missing", "huge", "slow"};
    for (const char* mode : modes) {
        SCOPED_TRACE(mode);
        standin().control("reset");
        QSettings().setValue(RemoteConfigService::kSnoozedVersionKey, kNewer);
        if (QByteArray(mode) == "huge")
            setDocument({{"notice", QString(RemoteConfig::kMaxBytes, QLatin1Char('x'))}});
        else
            setMode(QString::fromLatin1(mode));
        RemoteConfigService service;
        RemoteConfigService::Timing t = timing;
        if (QByteArray(mode) == "slow")
            t.requestTimeoutMs = 2500; // "slow" answers after 12 s
        service.setTiming(t);
        EXPECT_EQ(reload(service, false), false);

        ASSERT_TRUE(QTest::qWaitFor([&] { return standin().requests().size() >= 5; }, 30000));
        EXPECT_EQ(requestedPaths(), (QStringList{"/v2/config.json", "/v2/config.json",
                                                 "/v2/config.json", "/ad.json", "/app.json"}));
        const QList<qint64> at = requestTimes();
        ASSERT_EQ(at.size(), 5);
        EXPECT_GE(at[1] - at[0], 60);
        EXPECT_GE(at[2] - at[1], 120);

        RemoteConfig expected;
        expected.adShow = true;
        expected.adUrl = QStringLiteral("https://loomwork.example/market");
        expected.qrcodeUrl = standin().baseUrl() + QStringLiteral("promo/qrcode.png");
        EXPECT_EQ(service.config(), expected);
        EXPECT_EQ(service.config().displayCards().size(), 1);
        EXPECT_EQ(service.snoozedVersion(), kNewer) << "a fallback keeps the postponed version";
    }
}

TEST_F(RemoteConfigServiceTest, AFailedAdDocumentStillReadsTheAppDocument)
{
    setMode(QStringLiteral("missing"));
    setMode(QStringLiteral("closed"), QStringLiteral("/ad.json"));
    setDocument({{"qrcodeUrl", "https://q.example/qrcode"}, {"adShow", true}}, "default",
                QStringLiteral("/app.json"));
    RemoteConfigService service;
    service.setTiming(timing);
    EXPECT_EQ(reload(service, false), false);
    RemoteConfig expected;
    expected.qrcodeUrl = QStringLiteral("https://q.example/qrcode");
    EXPECT_EQ(service.config(), expected);
}

TEST_F(RemoteConfigServiceTest, TheNewestOfOverlappingReloadsWins)
{
    standin().script(QStringLiteral("/v2/config.json"),
                     {{"delayMs", 800}, {"reply", QJsonObject{{"notice", "old"}}}});
    RemoteConfigService service;
    service.setTiming(timing);
    std::optional<bool> first;
    service.reload(false, [&](bool ok) { first = ok; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return standin().requests().size() == 1; }, 30000));
    setDocument({{"notice", "new"}});
    const std::optional<bool> second = reload(service, false);
    EXPECT_EQ(second, true);
    EXPECT_EQ(first, true) << "the earlier caller hears the newest result";
    ASSERT_TRUE(waitForNetworkIdle()); // the late reply of the first reload arrives and is dropped
    EXPECT_EQ(service.config().notice, "new");
}

TEST_F(RemoteConfigServiceTest, RetriesWaitOneAndAHalfThenThreeSeconds)
{
    setMode(QStringLiteral("error500"));
    RemoteConfigService service; // the real waits
    EXPECT_EQ(reload(service, false), false);
    const QList<qint64> at = requestTimes();
    ASSERT_EQ(at.size(), 5);
    EXPECT_GE(at[1] - at[0], 1500);
    EXPECT_GE(at[2] - at[1], 3000);
}
