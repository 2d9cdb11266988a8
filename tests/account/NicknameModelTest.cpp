#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "online/LoginService.h"
#include "account/AccountText.h"
#include "account/NicknameModel.h"
#include "support/app/NetworkIdle.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

using Kind = LoginService::Phase::Kind;

class NicknameModelTest : public StandinTest
{
protected:
    void SetUp() override
    {
        StandinTest::SetUp();
        LoginService::Timing timing;
        timing.pollIntervalMs = 50;
        timing.requestTimeoutMs = requestTimeoutMs();
        m_login = std::make_unique<LoginService>(timing);
        m_login->start();
        signIn("m1", "阿林");
    }

    void signIn(const QString& key, const QString& nick)
    {
        m_login->requestQrcode();
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_login->phase().kind == Kind::waitingScan; }, 30000));
        standin().control("scan", {{"member", QJsonObject{{"memberKey", key}, {"nickName", nick}}}});
        ASSERT_TRUE(QTest::qWaitFor([&] { return m_login->phase().isLoggedIn(); }, 30000));
    }

    // Saves and waits until the save ended (or the sheet was asked to close).
    void saveAndWait(NicknameModel& model)
    {
        model.save();
        ASSERT_TRUE(model.isSaving());
        ASSERT_TRUE(QTest::qWaitFor([&] { return !model.isSaving() || model.isClosed(); }, 30000));
    }

    virtual int requestTimeoutMs() const { return 20000; }

    std::unique_ptr<LoginService> m_login;
};

// Requests give up sooner, yet long after a loaded machine answers.
class NicknameModelTimeOutTest : public NicknameModelTest
{
protected:
    int requestTimeoutMs() const override { return 5000; }
};

} // namespace

TEST(NicknameLengthTest, CountsAndCutsGraphemeClusters)
{
    const QString family = QString::fromUtf8("👨‍👩‍👧");
    const QString combining = QString::fromUtf8("e\u0301");
    const struct {
        const char* name;
        QString text;
        int length;
        QString firstSixteen;
    } cases[] = {
        {"17 letters", QString(17, 'a'), 17, QString(16, 'a')},
        {"CJK", QString::fromUtf8("一二三"), 3, QString::fromUtf8("一二三")},
        {"combining marks", combining.repeated(17), 17, combining.repeated(16)},
        {"family emoji", family.repeated(17), 17, family.repeated(16)},
        {"flags", QString::fromUtf8("🇨🇳").repeated(2), 2, QString::fromUtf8("🇨🇳").repeated(2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(AccountText::length(c.text), c.length);
        EXPECT_EQ(AccountText::prefix(c.text, 16), c.firstSixteen);
    }
}

TEST_F(NicknameModelTest, EditingCutsPreviewsAndClearsTheError)
{
    NicknameModel model(m_login.get());
    EXPECT_EQ(model.text(), "阿林");
    EXPECT_FALSE(model.canPressSave()) << "unchanged name";

    model.setText(QString::fromUtf8("一二三四五六七八九十一二三四五六七"));
    EXPECT_EQ(model.text(), QString::fromUtf8("一二三四五六七八九十一二三四五六"));
    EXPECT_EQ(model.counterText(), "16/16");
    EXPECT_EQ(model.initialLine(), "头像：一");

    model.setText("  ");
    EXPECT_EQ(model.previewName(), "用户中心");
    EXPECT_EQ(model.previewAvatarName(), std::nullopt);
    EXPECT_EQ(model.initialLine(), "默认显示「用户中心」");
    EXPECT_TRUE(model.canPressSave());

    standin().script("/v2/profile/nickname", {{"status", 3}, {"info", "<b>昵称含敏感词</b>"}});
    model.setText(" 新名字 ");
    saveAndWait(model);
    EXPECT_EQ(model.error(), QString("<b>昵称含敏感词</b>"));
    EXPECT_EQ(model.text(), " 新名字 ") << "the typed text stays";
    const auto sent = standin().requests("/v2/profile/nickname").last().toObject().value("body").toObject();
    EXPECT_EQ(sent.value("nickname").toString(), "新名字");
    model.setText(" 新名字 x");
    EXPECT_EQ(model.error(), std::nullopt);
}

TEST_F(NicknameModelTimeOutTest, NoAnswerWithinTheRequestsTimeOutFails)
{
    NicknameModel model(m_login.get());
    standin().script("/v2/profile/nickname", {{"delayMs", 60000}});
    model.setText("新名字");
    saveAndWait(model);
    EXPECT_EQ(model.error(), QString(LoginService::saveFailedText));
}

TEST_F(NicknameModelTest, SuccessClosesAndAnEmptyNameRestoresTheDefault)
{
    NicknameModel model(m_login.get());
    QSignalSpy closes(&model, &NicknameModel::closeRequested);
    model.setText("");
    saveAndWait(model);
    EXPECT_EQ(model.error(), std::nullopt);
    EXPECT_EQ(closes.size(), 1);
    // The server chooses the default name; the client only asks with "".
    const auto sent = standin().requests("/v2/profile/nickname").last().toObject().value("body").toObject();
    EXPECT_EQ(sent.value("nickname").toString("<none>"), "");
    EXPECT_NE(AccountText::displayName(m_login->phase()), "阿林");
}

TEST_F(NicknameModelTest, LateRepliesAreDropped)
{
    // The sheet closed while its save ran: the reply changes nothing in the sheet.
    {
        NicknameModel model(m_login.get());
        standin().script("/v2/profile/nickname", {{"delayMs", 300}, {"status", 3}, {"info", "太晚了"}});
        model.setText("甲");
        model.save();
        model.close();
        ASSERT_TRUE(waitForNetworkIdle());
        EXPECT_EQ(model.error(), std::nullopt);
    }
    // A sign-out while saving closes the sheet; another member signing in meanwhile is
    // never renamed by the old save.
    NicknameModel model(m_login.get());
    QSignalSpy closes(&model, &NicknameModel::closeRequested);
    standin().script("/v2/profile/nickname", {{"delayMs", 1500}});
    model.setText("乙");
    model.save();
    m_login->forceLogout(QString(LoginService::loggedOutText));
    EXPECT_EQ(closes.size(), 1);
    signIn("m2", "丙");
    ASSERT_TRUE(waitForNetworkIdle());
    EXPECT_EQ(closes.size(), 1);
    EXPECT_EQ(model.error(), std::nullopt);
    EXPECT_EQ(m_login->phase().member.nickName, QString("丙"));
}
