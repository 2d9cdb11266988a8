#pragma once

#include <functional>

#include <QPointer>
#include <QWidget>

#include "market/MarketDetailOverlay.h"
#include "online/MarketModels.h"

class LoginService;
class MarketHeader;
class MarketInstallFlow;
class MarketListTab;
class MarketShopTab;
class MarketStatusBar;
class MarketToastView;
class MarketWindowModel;
class QStackedWidget;

// The content of the market window: the header, the selected tab's body, a hairline and the
// status bar, with the toast over them. It owns the window's install flow and its model,
// shows the flow's stage on the cards, the purchase rows and the status bar, and answers
// "marketShouldRefresh" and "marketDetailClose".
class MarketWindowView : public QWidget
{
    Q_OBJECT
public:
    // The market service, the registry and the flow, signed in as `login` says.
    explicit MarketWindowView(LoginService* login, QWidget* parent = nullptr);
    // A model and flow made elsewhere (tests); the view takes neither.
    MarketWindowView(MarketWindowModel* model, MarketInstallFlow* flow, QWidget* parent = nullptr);

    MarketWindowModel* model() const { return m_model; }
    MarketInstallFlow* flow() const { return m_flow; }
    MarketHeader* header() const { return m_header; }
    MarketShopTab* shopTab() const { return m_shop; }
    MarketListTab* purchasesTab() const { return m_purchases; }
    MarketListTab* favoritesTab() const { return m_favorites; }
    MarketStatusBar* statusBar() const { return m_statusBar; }
    MarketToastView* toastView() const { return m_toast; }
    QWidget* currentBody() const;

    // Where a card, the carousel or a row asks for a plug-in's detail panel.
    void openDetail(const MarketPlugin& plugin);
    // The open detail panel, if any.
    MarketDetailOverlay* detailOverlay() const { return m_detail; }
    // Tests replace the players and the pay calls of the panels this view opens.
    void setDetailSetup(std::function<void(MarketDetailOverlay::Setup&)> adjust) { m_adjustDetail = std::move(adjust); }

signals:
    void detailRequested(const MarketPlugin& plugin);

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void build();
    void syncFlow();
    void syncTab();
    void placeToast();
    void onNotification(const QString& name);
    void syncDetail();

    MarketInstallFlow* m_flow;
    MarketWindowModel* m_model;
    MarketHeader* m_header = nullptr;
    QStackedWidget* m_bodies = nullptr;
    MarketShopTab* m_shop = nullptr;
    MarketListTab* m_purchases = nullptr;
    MarketListTab* m_favorites = nullptr;
    MarketStatusBar* m_statusBar = nullptr;
    MarketToastView* m_toast = nullptr;
    bool m_bootstrapped = false;
    QPointer<MarketDetailOverlay> m_detail;
    std::function<void(MarketDetailOverlay::Setup&)> m_adjustDetail;
};
