#pragma once

#include <optional>

#include <QHash>
#include <QList>
#include <QWidget>

#include "engine/market/MarketInstallRegistry.h"
#include "online/MarketInstallStage.h"
#include "online/MarketModels.h"

class MarketCard;

// The shop's cards in adaptive columns (228 to 320 wide, 24 apart, centred). A card is kept
// for its pluginId across reloads, so a new page or a refresh only changes what differs.
// The widget is MarketCard::kMargin larger than the cards on every side (their shadows).
class MarketGrid : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kMinColumn = 228;
    static constexpr int kMaxColumn = 320;
    static constexpr int kSpacing = 24;

    explicit MarketGrid(QWidget* parent = nullptr);

    void setPlugins(const QList<MarketPlugin>& plugins);
    // The flow's plug-in and stage: that card shows the stage, every other one idle.
    void setFlow(const std::optional<QString>& pluginId, const MarketInstallStage& stage);
    void setInstalled(const MarketInstallRegistry::InstalledSnapshot& installed);

    QList<MarketCard*> cards() const { return m_order; }
    MarketCard* card(const QString& pluginId) const { return m_cards.value(pluginId); }

    // Columns and their width for `width` of cards (without margins).
    static std::pair<int, int> columns(int width);

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

signals:
    void cardClicked(const MarketPlugin& plugin);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void relayout();
    void syncCard(MarketCard* card);

    QHash<QString, MarketCard*> m_cards;
    QList<MarketCard*> m_order;
    std::optional<QString> m_flowPluginId;
    MarketInstallStage m_stage;
    MarketInstallRegistry::InstalledSnapshot m_installed;
};
