#pragma once

#include <optional>

#include <QHash>
#include <QList>
#include <QWidget>

#include "online/MarketInstallStage.h"

class MarketFavoriteRow;
class MarketPlaceholder;
class MarketPurchaseRow;
class MarketWindowModel;
class QScrollArea;
class QStackedLayout;
class QVBoxLayout;

// The purchases or the favourites tab: the sign-in prompt, the loading state, the list of
// rows with a hairline under each, or the empty state. Rows are kept for their order number
// (purchases) or plug-in id (favourites) across reloads.
class MarketListTab : public QWidget
{
    Q_OBJECT
public:
    enum class Kind {
        purchases,
        favorites
    };

    MarketListTab(Kind kind, MarketWindowModel* model, QWidget* parent = nullptr);

    void setFlow(const std::optional<QString>& pluginId, const MarketInstallStage& stage);

    MarketPlaceholder* placeholder() const { return m_placeholder; }
    QScrollArea* scrollArea() const { return m_scroll; }
    QList<MarketPurchaseRow*> purchaseRows() const { return m_purchaseOrder; }
    QList<MarketFavoriteRow*> favoriteRows() const { return m_favoriteOrder; }

private:
    class Column;
    void sync();
    void syncPurchases();
    void syncFavorites();

    Kind m_kind;
    MarketWindowModel* m_model;
    std::optional<QString> m_flowPluginId;
    MarketInstallStage m_stage;
    QStackedLayout* m_stack;
    MarketPlaceholder* m_placeholder;
    QScrollArea* m_scroll;
    Column* m_column;
    QVBoxLayout* m_rows;
    QHash<QString, MarketPurchaseRow*> m_purchaseRows;
    QList<MarketPurchaseRow*> m_purchaseOrder;
    QHash<QString, MarketFavoriteRow*> m_favoriteRows;
    QList<MarketFavoriteRow*> m_favoriteOrder;
};
