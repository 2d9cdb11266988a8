#include "market/MarketWindowView.h"

#include <QPointer>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "engine/core/NotificationHub.h"
#include "online/LoginService.h"
#include "engine/market/MarketInstallRegistry.h"
#include "online/MarketInstallFlow.h"
#include "ui/Hairline.h"
#include "market/MarketHeader.h"
#include "market/MarketListTab.h"
#include "market/MarketShopTab.h"
#include "market/MarketStatusBar.h"
#include "market/MarketToastView.h"
#include "market/MarketWindowModel.h"

namespace {

constexpr int kToastTop = 12;
constexpr int kMinimumWidth = 1020;
constexpr int kMinimumHeight = 760;

} // namespace

MarketWindowView::MarketWindowView(LoginService* login, QWidget* parent)
    : QWidget(parent), m_flow(new MarketInstallFlow(this))
{
    // The window outlives the main window and its login service.
    m_model = new MarketWindowModel(MarketWindowModel::serviceBackend(m_flow),
                                    [login = QPointer<LoginService>(login)] { return login && login->phase().isLoggedIn(); },
                                    this);
    build();
}

MarketWindowView::MarketWindowView(MarketWindowModel* model, MarketInstallFlow* flow, QWidget* parent)
    : QWidget(parent), m_flow(flow), m_model(model)
{
    build();
}

void MarketWindowView::build()
{
    setObjectName(QStringLiteral("marketWindowView"));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_header = new MarketHeader(m_model, this);
    layout->addWidget(m_header);
    m_bodies = new QStackedWidget(this);
    m_shop = new MarketShopTab(m_model, m_bodies);
    m_purchases = new MarketListTab(MarketListTab::Kind::purchases, m_model, m_bodies);
    m_favorites = new MarketListTab(MarketListTab::Kind::favorites, m_model, m_bodies);
    m_bodies->addWidget(m_shop);
    m_bodies->addWidget(m_purchases);
    m_bodies->addWidget(m_favorites);
    layout->addWidget(m_bodies, 1);
    layout->addWidget(new Hairline(this));
    m_statusBar = new MarketStatusBar(this);
    layout->addWidget(m_statusBar);
    m_toast = new MarketToastView(this);

    connect(m_model, &MarketWindowModel::tabChanged, this, &MarketWindowView::syncTab);
    connect(m_model, &MarketWindowModel::toastChanged, this, [this] {
        m_toast->setToast(m_model->toast());
        placeToast();
        m_toast->raise();
    });
    connect(m_model, &MarketWindowModel::detailRequested, this, &MarketWindowView::openDetail);
    connect(m_model, &MarketWindowModel::detailChanged, this, &MarketWindowView::syncDetail);
    if (m_flow) {
        connect(m_flow, &MarketInstallFlow::stageChanged, this, &MarketWindowView::syncFlow);
        connect(m_flow, &MarketInstallFlow::subjectChanged, this, &MarketWindowView::syncFlow);
    }
    connect(&NotificationHub::instance(), &NotificationHub::posted, this,
            [this](const QString& name, const QVariantMap&) { onNotification(name); });
    syncTab();
    syncFlow();
}

QWidget* MarketWindowView::currentBody() const
{
    return m_bodies->currentWidget();
}

void MarketWindowView::openDetail(const MarketPlugin& plugin)
{
    m_model->openDetail(plugin);
    emit detailRequested(plugin);
}

void MarketWindowView::syncDetail()
{
    const auto& wanted = m_model->detailPlugin();
    if (m_detail && (!wanted || wanted->pluginId != m_detail->model().listEntry().pluginId)) {
        // Hidden first: the media and the pay poll stop before the panel goes.
        m_detail->hide();
        m_detail->deleteLater();
        m_detail = nullptr;
    }
    if (!wanted || m_detail)
        return;
    // The hooks are the window's: replies that arrive after the panel closed still reach them.
    QPointer<MarketWindowModel> model(m_model);
    MarketDetailOverlay::Setup setup;
    setup.hooks.signedIn = [model] { return model && model->isSignedIn(); };
    setup.hooks.onChanged = [model] {
        if (model)
            model->detailDidChange();
    };
    setup.hooks.onToast = [model](const QString& text, MarketToast::Kind kind) {
        if (model)
            model->showToast(text, kind);
    };
    setup.hooks.isInstalled = [](const QString& id, const QString& name) {
        return MarketInstallRegistry::snapshot().contains(id, name);
    };
    setup.onClose = [model] {
        if (model)
            model->closeDetail();
    };
    if (m_adjustDetail)
        m_adjustDetail(setup);
    m_detail = new MarketDetailOverlay(*wanted, m_flow, std::move(setup), this);
    m_detail->show();
    m_detail->raise();
    m_toast->raise();
}

void MarketWindowView::syncTab()
{
    switch (m_model->tab()) {
    case MarketWindowModel::Tab::shop:
        m_bodies->setCurrentWidget(m_shop);
        break;
    case MarketWindowModel::Tab::purchases:
        m_bodies->setCurrentWidget(m_purchases);
        break;
    case MarketWindowModel::Tab::favorites:
        m_bodies->setCurrentWidget(m_favorites);
        break;
    }
}

void MarketWindowView::syncFlow()
{
    if (!m_flow)
        return;
    const MarketInstallStage& stage = m_flow->stage();
    m_shop->setFlow(m_flow->pluginId(), stage);
    m_purchases->setFlow(m_flow->pluginId(), stage);
    m_statusBar->setStage(stage);
}

void MarketWindowView::onNotification(const QString& name)
{
    if (name == Notifications::marketShouldRefresh)
        m_model->onShouldRefresh();
    else if (name == Notifications::marketDetailClose && m_model->detailPlugin())
        m_model->closeDetail();
}

void MarketWindowView::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (!m_bootstrapped) {
        m_bootstrapped = true;
        m_model->bootstrap();
    } else {
        m_model->refreshInstalled();
    }
}

void MarketWindowView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    placeToast();
}

void MarketWindowView::placeToast()
{
    m_toast->setMaximumPlateWidth(width() - 120);
    const QSize size = m_toast->sizeHint();
    m_toast->setGeometry((width() - size.width()) / 2, kToastTop - MarketToastView::kShadowMargin, size.width(),
                         size.height());
}
