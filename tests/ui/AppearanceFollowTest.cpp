// Every view follows a change of appearance: one that lived through the switch looks like
// one made in the new appearance.
#include <gtest/gtest.h>

#include <QMessageBox>

#include "account/LoginGateView.h"
#include "account/SettingsModel.h"
#include "account/SettingsView.h"
#include "engine/library/AppState.h"
#include "sheets/BackupSheet.h"
#include "sheets/InstallSheet.h"
#include "support/app/PackageMaker.h"
#include "support/app/TestEnv.h"
#include "account/NicknameSheet.h"
#include "library/EmptyStateView.h"
#include "market/MarketPayCard.h"
#include "online/LoginService.h"
#include "promo/QRSheet.h"
#include "promo/UpdateSheet.h"
#include "ui/AppAlert.h"
#include "window/DropTargetOverlay.h"
#include "support/views/AppearanceCheck.h"
#include "support/views/ListFixtures.h"

namespace {

class AppearanceFollowTest : public ListFixtures::ListTest {
protected:
    void expectFollows(const QString& name, const std::function<QWidget*()>& make,
                       const std::function<bool(QWidget*)>& ready = {})
    {
        const auto owned = [&] { return std::shared_ptr<QWidget>(make()); };
        EXPECT_TRUE(AppearanceCheck::follows(owned, "light", "dark", name, ready));
        EXPECT_TRUE(AppearanceCheck::follows(owned, "dark", "light", name, ready));
    }
};

} // namespace

TEST_F(AppearanceFollowTest, TheWindowsOverlaysAndAlertsFollow)
{
    expectFollows("empty-library", [] { auto* w = new EmptyStateView; w->resize(600, 400); return w; });
    expectFollows("drop-target", [] { auto* w = new DropTargetOverlay; w->resize(600, 400); return w; });
    expectFollows("warning-alert", [] {
        return AppAlert::makeAlert("删除插件", "确定删除吗？", AppAlert::Style::warning, "删除", "取消", nullptr);
    });
    MarketPlugin plugin;
    plugin.pluginId = "p1";
    plugin.name = "Glow";
    MarketPayModel::Service service;
    service.channels = [](QObject*, auto) {};
    service.buy = [](const QString&, const QString&, QObject*, auto) {};
    service.status = [](const QString&, QObject*, auto) {};
    expectFollows("pay-card", [&] { return new MarketPayCard(plugin, service); });
}

TEST_F(AppearanceFollowTest, SheetsAndSettingsFollow)
{
    expectFollows("update-sheet", [] { return new UpdateSheet(UpdateAlert{"2.0", {"新功能"}, QString("https://example.com"), false}); });
    PromoCard card;
    card.title = "扫码关注";
    card.subtitle = "领取模板";
    expectFollows("qr-sheet", [&] { return new QRSheet(card, QSize(400, 400), QSize(200, 200)); });
    expectFollows("backup-sheet", [] { return new BackupSheet(3, 1'536'000, BackupMode::multi, [] {}, [] {}); });
    const QString package = TestEnv::root() + "/a.zfcp";
    PackageMaker::writePackage(package, {{"effect", "A"}, {"title", "B"}});
    expectFollows("install-sheet", [&] {
        return new InstallSheet({package}, PluginRoot::user, {}, [] {}, [](const InstallPlan&) {});
    }, [](QWidget* sheet) { return !static_cast<InstallSheet*>(sheet)->model().isParsing(); });
    LoginService login;
    expectFollows("nickname-sheet", [&] { return new NicknameSheet(&login); });
    expectFollows("login-gate", [&] { auto* w = new LoginGateView(&login); w->resize(800, 600); return w; });
    AppState state;
    SettingsModel settings(&login);
    for (SettingsTab tab : SettingsTab::allCases()) {
        expectFollows("settings-" + tab.rawValue(), [&] {
            settings.setTab(tab);
            return new SettingsView(&settings, &state, &login);
        });
    }
}
