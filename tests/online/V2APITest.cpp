#include <memory>

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QObject>
#include <QSettings>
#include <QTest>

#include "online/Member.h"
#include "online/TokenStore.h"
#include "online/V2API.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"
#include "support/app/TestEnv.h"

namespace {

class V2APITest : public StandinTest
{
protected:
    // Runs one post to completion.
    V2API::Reply post(const QString& path, const QJsonObject& body, double timeout = 20)
    {
        bool finished = false;
        V2API::Reply result;
        QObject context;
        V2API::post(path, body, timeout, &context, [&](const V2API::Reply& reply) {
            finished = true;
            result = reply;
        });
        EXPECT_TRUE(QTest::qWaitFor([&] { return finished; }, int(timeout * 1000) + 3000));
        return result;
    }

    QJsonObject lastBody(const QString& path)
    {
        const auto log = standin().requests(path);
        return log.isEmpty() ? QJsonObject() : log.last().toObject().value("body").toObject();
    }
};

} // namespace

TEST_F(V2APITest, AddsTheSavedTokenUnlessTheBodyHasOne)
{
    post("/v2/verify", {{"a", 1}});
    EXPECT_FALSE(lastBody("/v2/verify").contains("token"));

    TokenStore::set("saved");
    post("/v2/verify", {{"a", 1}});
    EXPECT_EQ(lastBody("/v2/verify").value("token").toString(), "saved");

    post("/v2/verify", {{"token", ""}});
    EXPECT_EQ(lastBody("/v2/verify").value("token").toString(), "");
    post("/v2/verify", {{"token", "caller"}});
    EXPECT_EQ(lastBody("/v2/verify").value("token").toString(), "caller");
}

TEST_F(V2APITest, ReadsTheBodyWhateverTheStatusAndOnlyJsonObjects)
{
    const struct {
        const char* name;
        QJsonObject script;
        bool object;
    } cases[] = {
        {"500 with a JSON body", {{"http", 500}, {"reply", QJsonObject{{"status", 9}, {"info", "忙"}}}}, true},
        {"404 with a JSON body", {{"http", 404}, {"status", 3}}, true},
        {"HTML", {{"http", 502}, {"body", "<html><body>Bad gateway</body></html>"}, {"contentType", "text/html"}}, false},
        {"empty body", {{"body", ""}}, false},
        {"JSON array", {{"body", "[1,2]"}}, false},
        {"bare JSON string", {{"body", "\"ok\""}}, false},
        {"truncated JSON", {{"body", "{\"status\":0"}}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        standin().script("/v2/verify", c.script);
        const auto reply = post("/v2/verify", {});
        EXPECT_EQ(reply.has_value(), c.object);
    }
    standin().script("/v2/verify", {{"http", 500}, {"reply", QJsonObject{{"status", 9}, {"info", "忙"}}}});
    const auto reply = post("/v2/verify", {});
    ASSERT_TRUE(reply);
    EXPECT_EQ(V2API::integerStatus(*reply), 9);
    EXPECT_EQ(reply->value("info").toString(), "忙");
}

TEST_F(V2APITest, FailuresGiveNothingWithinTheirTime)
{
    // Slow: the caller's time-out ends it, long before the reply would come.
    standin().script("/v2/verify", {{"delayMs", 60000}});
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(post("/v2/verify", {}, 0.5));
    EXPECT_LT(clock.elapsed(), 30000);

    // Huge: dropped, not parsed.
    standin().script("/v2/verify", {{"padBytes", 9 * 1024 * 1024}});
    EXPECT_FALSE(post("/v2/verify", {}, 10));

    // Down.
    QSettings().setValue("serverBaseURL", QStringLiteral("http://127.0.0.1:%1/").arg(StandinProcess::closedPort()));
    EXPECT_FALSE(post("/v2/verify", {}));

    // An address that does not parse: nothing at once, no request made.
    standin().useAsServer();
    clock.restart();
    bool called = false;
    QObject context;
    V2API::post("/v2/has space", {}, 30, &context, [&](const V2API::Reply& reply) {
        called = true;
        EXPECT_FALSE(reply);
    });
    EXPECT_FALSE(called); // never synchronously
    EXPECT_TRUE(QTest::qWaitFor([&] { return called; }, 30000));
    EXPECT_LT(clock.elapsed(), 20000) << "far sooner than the time-out";
    EXPECT_TRUE(standin().requests("/v2/has space").isEmpty());
}

TEST_F(V2APITest, NoCallbackOnceTheContextIsGone)
{
    standin().script("/v2/verify", {{"delayMs", 200}});
    bool called = false;
    {
        QObject context;
        V2API::post("/v2/verify", {}, 5, &context, [&](const V2API::Reply&) { called = true; });
    }
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_FALSE(called);
}

TEST(V2APIDecode, DecodesOnlyObjectsAndArraysOfTheRightShape)
{
    const auto json = [](const char* text) {
        return QJsonDocument::fromJson(QByteArray("{\"v\":") + text + "}").object().value("v");
    };
    EXPECT_TRUE(V2API::decode<Member>(json(R"({"memberKey":"k"})")));
    EXPECT_FALSE(V2API::decode<Member>(json(R"({"nickName":"n"})")));          // required key missing
    EXPECT_FALSE(V2API::decode<Member>(json(R"({"memberKey":"k","nickName":3})"))); // wrong type
    EXPECT_FALSE(V2API::decode<QList<Member>>(json(R"({"memberKey":"k"})")));  // object into a list
    EXPECT_FALSE(V2API::decode<QList<Member>>(json(R"([{"memberKey":"k"},{}])")));
    EXPECT_EQ(V2API::decode<QList<Member>>(json(R"([{"memberKey":"a"},{"memberKey":"b"}])"))->size(), 2);
    EXPECT_EQ(*V2API::decode<QStringList>(json(R"(["a","b"])")), QStringList({"a", "b"}));
    EXPECT_FALSE(V2API::decode<QString>(json(R"("single")")));              // single values: nothing
    EXPECT_FALSE(V2API::decode<Member>(QJsonValue(QJsonValue::Undefined))); // absent
    EXPECT_FALSE(V2API::decode<Member>(QJsonValue(QJsonValue::Null)));

    const struct {
        const char* text;
        std::optional<qint64> status;
    } statuses[] = {{"0", 0}, {"1", 1}, {"0.0", 0}, {"\"0\"", std::nullopt}, {"true", std::nullopt},
                    {"0.5", std::nullopt}, {"null", std::nullopt}};
    for (const auto& s : statuses) {
        SCOPED_TRACE(s.text);
        const auto reply = QJsonDocument::fromJson(QByteArray("{\"status\":") + s.text + "}").object();
        EXPECT_EQ(V2API::integerStatus(reply), s.status);
    }
}
