#include "market/MarketListTab.h"

#include <QPainter>
#include <QScrollArea>
#include <QStackedLayout>
#include <QVBoxLayout>

#include "ui/Theme.h"
#include "market/MarketFavoriteRow.h"
#include "market/MarketPlaceholder.h"
#include "market/MarketPurchaseRow.h"
#include "market/MarketWindowModel.h"

namespace {

constexpr int kHairlineLeading = 118;
constexpr int kHairlineTrailing = 43;
constexpr int kListPadding = 4;
constexpr int kPlaceholderPadding = 30;

} // namespace

// The rows stacked without spacing, each followed by an indented hairline.
class MarketListTab::Column : public QWidget
{
public:
    using QWidget::QWidget;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        for (QObject* child : children()) {
            auto* row = qobject_cast<QWidget*>(child);
            if (!row || !row->isVisible())
                continue;
            painter.fillRect(QRectF(kHairlineLeading, row->geometry().bottom() + 0.5,
                                    width() - kHairlineLeading - kHairlineTrailing, 0.5),
                             Theme::divider());
        }
    }
};

MarketListTab::MarketListTab(Kind kind, MarketWindowModel* model, QWidget* parent)
    : QWidget(parent), m_kind(kind), m_model(model)
{
    setObjectName(kind == Kind::purchases ? QStringLiteral("marketPurchases") : QStringLiteral("marketFavorites"));
    m_stack = new QStackedLayout(this);
    auto* placeholderPage = new QWidget(this);
    auto* placeholderLayout = new QVBoxLayout(placeholderPage);
    placeholderLayout->setContentsMargins(kPlaceholderPadding, kPlaceholderPadding, kPlaceholderPadding,
                                          kPlaceholderPadding);
    m_placeholder = new MarketPlaceholder(placeholderPage);
    placeholderLayout->addWidget(m_placeholder);
    m_stack->addWidget(placeholderPage);

    m_scroll = new QScrollArea(this);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_column = new Column;
    m_rows = new QVBoxLayout(m_column);
    m_rows->setContentsMargins(0, kListPadding, 0, kListPadding);
    m_rows->setSpacing(1); // room for the hairline under each row
    m_rows->addStretch(1);
    m_scroll->setWidget(m_column);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_column->setAutoFillBackground(false);
    m_stack->addWidget(m_scroll);

    if (kind == Kind::purchases)
        connect(m_model, &MarketWindowModel::purchasesChanged, this, &MarketListTab::sync);
    else
        connect(m_model, &MarketWindowModel::favoritesChanged, this, &MarketListTab::sync);
    connect(m_model, &MarketWindowModel::installedChanged, this, &MarketListTab::sync);
    sync();
}

void MarketListTab::setFlow(const std::optional<QString>& pluginId, const MarketInstallStage& stage)
{
    m_flowPluginId = pluginId;
    m_stage = stage;
    if (m_kind == Kind::purchases) {
        for (MarketPurchaseRow* row : std::as_const(m_purchaseOrder))
            row->setStage(pluginId && *pluginId == row->item().pluginId ? stage : MarketInstallStage::idle());
    }
}

void MarketListTab::sync()
{
    const bool purchases = m_kind == Kind::purchases;
    const bool loading = purchases ? m_model->purchasesLoading() : m_model->favoritesLoading();
    const bool empty = purchases ? m_model->purchases().isEmpty() : m_model->favorites().isEmpty();
    if (!m_model->isSignedIn()) {
        m_placeholder->showMessage(QStringLiteral("person.crop.circle.badge.exclamationmark"), QStringLiteral("请先登录"),
                                   purchases ? QStringLiteral("登录后这里会显示你买过的插件，换设备也能重新下载。")
                                             : QStringLiteral("登录后这里会显示你收藏的插件，换设备也能看到。"));
        m_stack->setCurrentIndex(0);
        return;
    }
    if (loading && empty) {
        m_placeholder->showLoading();
        m_stack->setCurrentIndex(0);
        return;
    }
    if (empty) {
        if (purchases)
            m_placeholder->showMessage(QStringLiteral("bag"), QStringLiteral("还没有购买记录"),
                                       QStringLiteral("买到或免费领取的插件会出现在这里，随时可以重新下载。"));
        else
            m_placeholder->showMessage(QStringLiteral("heart"), QStringLiteral("还没有收藏"),
                                       QStringLiteral("在插件详细介绍页点「收藏」，就能把想买的插件先存到这里。"));
        m_stack->setCurrentIndex(0);
        return;
    }
    if (purchases)
        syncPurchases();
    else
        syncFavorites();
    m_stack->setCurrentWidget(m_scroll);
    m_column->update();
}

void MarketListTab::syncPurchases()
{
    QHash<QString, MarketPurchaseRow*> kept;
    QList<MarketPurchaseRow*> order;
    for (const MarketPurchase& item : m_model->purchases()) {
        if (kept.contains(item.orderNo))
            continue;
        MarketPurchaseRow* row = m_purchaseRows.take(item.orderNo);
        if (!row) {
            row = new MarketPurchaseRow(m_column);
            connect(row, &MarketPurchaseRow::openRequested, this, [this, row] { m_model->openPurchaseDetail(row->item()); });
            connect(row, &MarketPurchaseRow::redownloadRequested, this, [this, row] { m_model->redownload(row->item()); });
        }
        row->setItem(item);
        row->setInstalled(m_model->installed().contains(item.pluginId, item.pluginName));
        row->setStage(m_flowPluginId && *m_flowPluginId == item.pluginId ? m_stage : MarketInstallStage::idle());
        kept.insert(item.orderNo, row);
        order.append(row);
    }
    qDeleteAll(m_purchaseRows);
    m_purchaseRows = kept;
    m_purchaseOrder = order;
    for (QWidget* row : order)
        m_rows->removeWidget(row);
    for (qsizetype i = 0; i < order.size(); ++i)
        m_rows->insertWidget(int(i), order[i]);
}

void MarketListTab::syncFavorites()
{
    QHash<QString, MarketFavoriteRow*> kept;
    QList<MarketFavoriteRow*> order;
    const std::optional<QString>& removing = m_model->unfavoritingId();
    for (const MarketPlugin& plugin : m_model->favorites()) {
        if (kept.contains(plugin.pluginId))
            continue;
        MarketFavoriteRow* row = m_favoriteRows.take(plugin.pluginId);
        if (!row) {
            row = new MarketFavoriteRow(m_column);
            connect(row, &MarketFavoriteRow::openRequested, this, [this, row] { m_model->requestDetail(row->plugin()); });
            connect(row, &MarketFavoriteRow::removeRequested, this, [this, row] { m_model->removeFavorite(row->plugin()); });
        }
        row->setPlugin(plugin);
        row->setInstalled(m_model->installed().contains(plugin.pluginId, plugin.name));
        row->setRemoving(removing && *removing == plugin.pluginId);
        kept.insert(plugin.pluginId, row);
        order.append(row);
    }
    qDeleteAll(m_favoriteRows);
    m_favoriteRows = kept;
    m_favoriteOrder = order;
    for (QWidget* row : order)
        m_rows->removeWidget(row);
    for (qsizetype i = 0; i < order.size(); ++i)
        m_rows->insertWidget(int(i), order[i]);
}
