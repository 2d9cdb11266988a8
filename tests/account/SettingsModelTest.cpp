#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include "online/LoginService.h"
#include "account/AccountText.h"
#include "account/SettingsModel.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinTest.h"

namespace {

LoginService::Timing fastTiming()
{
    LoginService::Timing timing;
    timing.pollIntervalMs = 50;
    timing.requestTimeoutMs = 20000;
    return timing;
}

class SettingsModelTest : public StandinTest
{
};

} // namespace

TEST(SettingsTabTest, RawValuesAreExact)
{
    const struct {
        const char* raw;
        std::optional<SettingsTab> tab;
    } cases[] = {
        {"about", SettingsTab::about},
        {"library", SettingsTab::library},
        {"Account", std::nullopt},
        {"", std::nullopt},
        {" about", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.raw);
        EXPECT_EQ(SettingsTab::from(c.raw), c.tab);
    }
}

TEST(AccountTextTest, NameIdAndExpiryLines)
{
    Member m;
    m.memberKey = "0123456789abcdefghijklmnopqrstuv";
    const struct {
        const char* name;
        LoginService::Phase phase;
        std::optional<QString> nickName;
        QString display;
    } cases[] = {
        {"blanks around", LoginService::Phase::loggedIn(m), QString("  阿林 \n"), "阿林"},
        {"blanks only", LoginService::Phase::loggedIn(m), QString(" \t"), "用户中心"},
        {"none", LoginService::Phase::loggedIn(m), std::nullopt, "用户中心"},
        {"signed out", LoginService::Phase::loggedOut(), QString("阿林"), "未登录"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.name);
        c.phase.member.nickName = c.nickName;
        EXPECT_EQ(AccountText::displayName(c.phase), c.display);
    }
    EXPECT_EQ(AccountText::idLine(m.memberKey), "ID：0123456789abcd…");
    EXPECT_EQ(AccountText::idLine("abcde"), "ID：abcde…");
    EXPECT_EQ(AccountText::expiryLine(std::nullopt), std::nullopt);
    // Chinese whatever the system's locale says.
    const QLocale before;
    for (const char* locale : {"en_US", "de_DE", "zh_CN"}) {
        SCOPED_TRACE(locale);
        QLocale::setDefault(QLocale(QString::fromLatin1(locale)));
        EXPECT_EQ(AccountText::expiryLine(QDateTime(QDate(2026, 12, 9), QTime(21, 5, 30))), "登录有效期至 2026年12月9日 21:05");
    }
    QLocale::setDefault(before);
}

TEST_F(SettingsModelTest, TabPublishesChangesOnlyAndSignOutAsksToClose)
{
    LoginService login(fastTiming());
    SettingsModel model(&login);
    QSignalSpy tabs(&model, &SettingsModel::tabChanged);
    QSignalSpy closes(&model, &SettingsModel::closeRequested);
    EXPECT_EQ(model.tab(), SettingsTab::appearance);
    model.setTab(SettingsTab::account);
    model.setTab(SettingsTab::account);
    EXPECT_EQ(tabs.size(), 1);

    // Signing in changes nothing; the end of the session, in any form, closes.
    login.start();
    login.requestQrcode();
    ASSERT_TRUE(QTest::qWaitFor([&] { return login.phase().kind == LoginService::Phase::Kind::waitingScan; }, 30000));
    standin().control("scan");
    ASSERT_TRUE(QTest::qWaitFor([&] { return login.phase().isLoggedIn(); }, 30000));
    EXPECT_EQ(closes.size(), 0);
    login.forceLogout(QString(LoginService::loggedOutText));
    EXPECT_EQ(closes.size(), 1);
    login.forceLogout(std::nullopt);
    EXPECT_EQ(closes.size(), 1);
}
