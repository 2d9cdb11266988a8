#include <thread>

#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>

#include "online/LoginService.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinProcess.h"

namespace {

QJsonObject call(const StandinProcess& standin, const QByteArray& method, const QByteArray& path,
                 const QJsonObject& body = {}, int* http = nullptr)
{
    QByteArray reply;
    const int status = StandinProcess::httpExchange(standin.port(), method, path,
                                                    QJsonDocument(body).toJson(QJsonDocument::Compact), &reply);
    if (http)
        *http = status;
    return QJsonDocument::fromJson(reply).object();
}

} // namespace

TEST(Standin, ScriptsApplyInOrderAndResetForgetsEverything)
{
    StandinProcess standin({"--session-seconds", "1"});
    ASSERT_TRUE(standin.isRunning());

    standin.script("/v2/verify", {{"status", 7}, {"times", 2}});
    standin.script("/v2/verify", {{"http", 503}, {"reply", QJsonObject{{"status", 8}}}});
    int http = 0;
    EXPECT_EQ(call(standin, "POST", "/v2/verify").value("status").toInt(), 7);
    EXPECT_EQ(call(standin, "POST", "/v2/verify").value("status").toInt(), 7);
    EXPECT_EQ(call(standin, "POST", "/v2/verify", {}, &http).value("status").toInt(), 8);
    EXPECT_EQ(http, 503);
    EXPECT_EQ(call(standin, "POST", "/v2/verify", {}, &http).value("status").toInt(), 2); // unscripted
    EXPECT_EQ(http, 200);
    // Controls are not logged; an unknown control is refused.
    EXPECT_EQ(standin.requests().size(), 4);
    call(standin, "POST", "/__test/nothing", {}, &http);
    EXPECT_EQ(call(standin, "POST", "/__test/nothing").value("status").toInt(), 404);

    // A QR login: the code is a real PNG, a scan gives a session that lasts one second.
    const auto qr = call(standin, "POST", "/v2/getLoginQrcode", {{"mspKey", "lmwk"}});
    const QImage image = LoginService::imageFromQrText(qr.value("qrcode").toString());
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.width(), image.height());
    EXPECT_EQ(call(standin, "POST", "/v2/getLogin", {{"loginKey", qr.value("loginKey")}}).value("status").toInt(), 2);
    standin.control("scan");
    const auto login = call(standin, "POST", "/v2/getLogin", {{"loginKey", qr.value("loginKey")}});
    ASSERT_EQ(login.value("status").toInt(), 0);
    const QString token = login.value("token").toString();
    EXPECT_EQ(call(standin, "POST", "/v2/verify", {{"token", token}}).value("status").toInt(), 0);
    EXPECT_EQ(call(standin, "POST", "/v2/profile/nickname", {{"token", token}, {"nickname", "阿织"}})
                  .value("member").toObject().value("nickName").toString(), "阿织");
    // The code is spent once used.
    EXPECT_EQ(call(standin, "POST", "/v2/getLogin", {{"loginKey", qr.value("loginKey")}}).value("status").toInt(), 1);
    QTest::qWait(1100);
    EXPECT_EQ(call(standin, "POST", "/v2/verify", {{"token", token}}).value("status").toInt(), 2);

    // Documents can be replaced and removed; reset brings the defaults back.
    standin.control("document", {{"path", "/v2/compat.json"}, {"document", QJsonObject{{"rows", QJsonArray{}}}}});
    EXPECT_TRUE(standin.getJson("/v2/compat.json").value("rows").toArray().isEmpty());
    standin.control("document", {{"path", "/v2/compat.json"}, {"remove", true}});
    call(standin, "GET", "/v2/compat.json", {}, &http);
    EXPECT_EQ(http, 404);
    standin.script("/v2/verify", {{"status", 9}});
    standin.control("reset");
    EXPECT_FALSE(standin.getJson("/v2/compat.json").value("rows").toArray().isEmpty());
    EXPECT_EQ(call(standin, "POST", "/v2/verify").value("status").toInt(), 2);
    EXPECT_EQ(standin.requests().size(), 2); // the log restarted at the reset
}

TEST(Standin, TheQrPageConfirmsTheScanAndSessionsAndPurchasesOutliveARestart)
{
    QTemporaryDir folder;
    const QString state = folder.filePath("standin-state.json");
    // Signs in through the QR page, as the phone would.
    const auto signIn = [](const StandinProcess& standin) {
        const auto qr = call(standin, "POST", "/v2/getLoginQrcode", {{"mspKey", "lmwk"}});
        int http = 0;
        call(standin, "GET", "/__scan?k=" + qr.value("loginKey").toString().toUtf8(), {}, &http);
        EXPECT_EQ(http, 200);
        return call(standin, "POST", "/v2/getLogin", {{"loginKey", qr.value("loginKey")}}).value("token").toString();
    };
    // The member's purchases (plug-in and amount) and favourites as `token` sees them.
    const auto holdings = [](const StandinProcess& standin, const QString& token) {
        QStringList seen;
        for (const auto& order : call(standin, "POST", "/v2/market/orders", {{"token", token}}).value("orders").toArray())
            seen << order.toObject().value("pluginId").toString() + "=" + QString::number(order.toObject().value("amount").toInt());
        for (const auto& plugin : call(standin, "POST", "/v2/market/favorites", {{"token", token}}).value("plugins").toArray())
            seen << "♥" + plugin.toObject().value("pluginId").toString();
        return seen;
    };
    const QStringList claimed{"p013=0", "♥p004"};
    QString token;
    {
        StandinProcess standin({"--state", state});
        ASSERT_TRUE(standin.isRunning());
        int http = 0;
        call(standin, "GET", "/__scan?k=unknown", {}, &http);
        EXPECT_EQ(http, 404);
        const QString first = signIn(standin);
        ASSERT_FALSE(first.isEmpty());
        call(standin, "POST", "/v2/profile/nickname", {{"token", first}, {"nickname", "阿织"}});
        // A free claim is an order of nothing; it and a favourite stay with the member.
        EXPECT_EQ(call(standin, "POST", "/v2/market/buy", {{"token", first}, {"pluginId", "p013"}}).value("free"), true);
        call(standin, "POST", "/v2/market/favorite", {{"token", first}, {"pluginId", "p004"}, {"favorite", true}});
        token = signIn(standin);
        ASSERT_NE(token, first);
        EXPECT_EQ(holdings(standin, token), claimed);
        EXPECT_TRUE(holdings(standin, "").isEmpty()) << "no session, no member";
    }
    StandinProcess standin({"--state", state});
    ASSERT_TRUE(standin.isRunning());
    const auto verify = call(standin, "POST", "/v2/verify", {{"token", token}});
    EXPECT_EQ(verify.value("status").toInt(), 0);
    EXPECT_EQ(verify.value("member").toObject().value("nickName").toString(), "阿织");
    EXPECT_EQ(holdings(standin, signIn(standin)), claimed);
    EXPECT_EQ(call(standin, "POST", "/v2/market/buy", {{"token", token}, {"pluginId", "p013"}}).value("status").toInt(), 4);
    // An empty name restores the default one.
    EXPECT_EQ(call(standin, "POST", "/v2/profile/nickname", {{"token", token}, {"nickname", ""}})
                  .value("member").toObject().value("nickName").toString(), "织机用户");
}

TEST(Standin, StoppedWhilePackingTheMarketItLeavesNoTemporaryFolder)
{
    QTemporaryDir tmp;
    const QByteArray previous = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(tmp.path()));
    StandinProcess standin;
    qputenv("TMPDIR", previous);
    ASSERT_TRUE(standin.isRunning());
    // The first market request packs the shop's packages; it answers once they are made.
    std::thread asking([port = standin.port()] {
        StandinProcess::httpExchange(port, "POST", "/v2/market/list", "{}", nullptr);
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !standin.requests("/v2/market/list").isEmpty(); }, 30000));
    standin.stop();
    asking.join();
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
}
