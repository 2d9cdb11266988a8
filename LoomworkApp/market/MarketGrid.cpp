#include "market/MarketGrid.h"

#include <QResizeEvent>

#include "market/MarketCard.h"

MarketGrid::MarketGrid(QWidget* parent) : QWidget(parent)
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

std::pair<int, int> MarketGrid::columns(int width)
{
    const int count = std::max(1, (width + kSpacing) / (kMinColumn + kSpacing));
    const int columnWidth = std::min(kMaxColumn, std::max(1, (width - (count - 1) * kSpacing) / count));
    return {count, columnWidth};
}

void MarketGrid::setPlugins(const QList<MarketPlugin>& plugins)
{
    QHash<QString, MarketCard*> kept;
    QList<MarketCard*> order;
    for (const MarketPlugin& plugin : plugins) {
        if (kept.contains(plugin.pluginId))
            continue; // one card per plug-in, even when the server repeats one
        MarketCard* card = m_cards.take(plugin.pluginId);
        if (!card) {
            card = new MarketCard(this);
            connect(card, &MarketCard::clicked, this, [this, card] { emit cardClicked(card->plugin()); });
        }
        card->setPlugin(plugin);
        syncCard(card);
        kept.insert(plugin.pluginId, card);
        order.append(card);
    }
    qDeleteAll(m_cards);
    m_cards = kept;
    m_order = order;
    relayout();
    updateGeometry();
}

void MarketGrid::setFlow(const std::optional<QString>& pluginId, const MarketInstallStage& stage)
{
    m_flowPluginId = pluginId;
    m_stage = stage;
    for (MarketCard* card : std::as_const(m_order))
        syncCard(card);
}

void MarketGrid::setInstalled(const MarketInstallRegistry::InstalledSnapshot& installed)
{
    m_installed = installed;
    for (MarketCard* card : std::as_const(m_order))
        syncCard(card);
}

void MarketGrid::syncCard(MarketCard* card)
{
    const MarketPlugin& plugin = card->plugin();
    card->setStage(m_flowPluginId && *m_flowPluginId == plugin.pluginId ? m_stage : MarketInstallStage::idle());
    card->setInstalled(m_installed.contains(plugin.pluginId, plugin.name));
}

int MarketGrid::heightForWidth(int width) const
{
    if (m_order.isEmpty())
        return 0;
    const auto [count, columnWidth] = columns(width - 2 * MarketCard::kMargin);
    const int rows = int((m_order.size() + count - 1) / count);
    return rows * MarketCard::cardHeight(columnWidth) + (rows - 1) * kSpacing + 2 * MarketCard::kMargin;
}

QSize MarketGrid::sizeHint() const
{
    const int width = std::max(this->width(), kMinColumn + 2 * MarketCard::kMargin);
    return {width, heightForWidth(width)};
}

void MarketGrid::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void MarketGrid::relayout()
{
    const int inner = width() - 2 * MarketCard::kMargin;
    const auto [count, columnWidth] = columns(inner);
    const int used = count * columnWidth + (count - 1) * kSpacing;
    const int left = MarketCard::kMargin + std::max(0, (inner - used) / 2);
    const int cardHeight = MarketCard::cardHeight(columnWidth);
    for (qsizetype i = 0; i < m_order.size(); ++i) {
        const int row = int(i / count);
        const int column = int(i % count);
        const QRect cell(left + column * (columnWidth + kSpacing),
                         MarketCard::kMargin + row * (cardHeight + kSpacing), columnWidth, cardHeight);
        m_order[i]->setGeometry(cell.adjusted(-MarketCard::kMargin, -MarketCard::kMargin, MarketCard::kMargin,
                                              MarketCard::kMargin));
        m_order[i]->show();
    }
}
