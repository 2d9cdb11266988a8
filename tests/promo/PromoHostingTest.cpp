// The main window hosts the promotion views from the stand-in's default configuration.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>

#include "online/LoginService.h"
#include "online/RemoteConfigService.h"
#include "promo/AdBarView.h"
#include "promo/NoticeBar.h"
#include "ui/PaintedButton.h"
#include "promo/PromoCarousel.h"
#include "promo/UpdateSheet.h"
#include "window/LoomworkMain.h"
#include "window/RootView.h"
#include "library/SidebarView.h"
#include "support/views/ListFixtures.h"
#include "support/app/QtPrint.h"
#include "support/app/StandinProcess.h"

namespace {

class PromoHostingTest : public ListFixtures::ListTest
{
protected:
    void SetUp() override
    {
        ListFixtures::ListTest::SetUp();
        m_standin = std::make_unique<StandinProcess>();
        m_standin->useAsServer();
    }

    std::unique_ptr<StandinProcess> m_standin;
    std::unique_ptr<LoomworkMain> m_main;
};

} // namespace

TEST_F(PromoHostingTest, TheMainWindowShowsTheNoticeTheBarTheCarouselAndTheUpdatePrompt)
{
    m_main = std::make_unique<LoomworkMain>();
    m_main->start({});
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_main->window()));
    RootView* root = m_main->rootView();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return root->login()->phase().kind == LoginService::Phase::Kind::waitingScan; }, 30000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return m_standin->requests("/v2/config.json").size() == 1; }, 30000))
        << "loaded when first shown";
    // The stand-in's own configuration names this version the latest: nothing covers the QR.
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->remoteConfig()->config().latestVersion.has_value(); }, 30000));
    EXPECT_EQ(root->updateSheet(), nullptr);

    m_standin->control("config", {{"fields", QJsonObject{{"latestVersion", "1.1.0"}}}});
    m_standin->control("scan", {{"member", QJsonObject{{"memberKey", "m1"}, {"nickName", "剪辑师"}}}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return root->isSignedIn(); }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([&] { return m_standin->requests("/v2/config.json").size() == 2; }, 30000))
        << "reloaded on sign-in";

    ASSERT_TRUE(QTest::qWaitFor([&] { return root->updateSheet() && root->updateSheet()->isVisible(); }, 30000));
    EXPECT_EQ(root->updateSheet()->alert().version, "1.1.0");
    ASSERT_TRUE(root->noticeBar()->isVisible());
    EXPECT_EQ(root->adBar()->form(), AdBarModel::Form::overlay);
    EXPECT_TRUE(root->adBar()->isVisible());
    auto* carousel = qobject_cast<PromoCarousel*>(root->sidebar()->carousel());
    ASSERT_NE(carousel, nullptr);
    EXPECT_EQ(carousel->model().cards().size(), 2);
    ListFixtures::settle(600);
    ListFixtures::savePicture(*m_main->window(), QStringLiteral("promo-main-window-with-prompt"));

    QTest::mouseClick(root->updateSheet()->laterButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !root->updateSheet(); }, 30000));
    QTest::mouseClick(root->noticeBar()->closeButton(), Qt::LeftButton);
    EXPECT_FALSE(root->noticeBar()->isVisible());
    ListFixtures::settle(100);
    ListFixtures::savePicture(*m_main->window(), QStringLiteral("promo-main-window"));

    // Cards gone from the document: the carousel goes; an emptied document hides the bar.
    m_standin->control("config", {{"path", "/v2/config.json"}, {"document", QJsonObject{{"notice", "x"}}}});
    bool done = false;
    root->remoteConfig()->reload(false, [&](bool) { done = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 30000));
    EXPECT_EQ(root->sidebar()->carousel(), nullptr);
    EXPECT_FALSE(root->adBar()->isVisible());
    EXPECT_TRUE(root->noticeBar()->isVisible()) << "a new notice text shows again";
}
