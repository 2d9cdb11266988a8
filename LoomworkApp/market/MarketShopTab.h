#pragma once

#include <optional>

#include <QWidget>

#include "online/MarketInstallStage.h"

class MarketCarousel;
class MarketGrid;
class MarketPager;
class MarketPlaceholder;
class MarketWindowModel;
class QScrollArea;
class QVBoxLayout;

// The shop tab: the closed-market banner, the loading state, or the featured carousel, the
// grid of cards with its pager and the empty shop, in one vertical scroll area that goes
// back to its top whenever a new page arrives.
class MarketShopTab : public QWidget
{
    Q_OBJECT
public:
    explicit MarketShopTab(MarketWindowModel* model, QWidget* parent = nullptr);

    void setFlow(const std::optional<QString>& pluginId, const MarketInstallStage& stage);

    QScrollArea* scrollArea() const { return m_scroll; }
    MarketCarousel* carousel() const { return m_carousel; }
    MarketGrid* grid() const { return m_grid; }
    MarketPager* pager() const { return m_pager; }
    MarketPlaceholder* placeholder() const { return m_placeholder; }
    QWidget* banner() const { return m_banner; }

private:
    class Banner;
    void sync();
    void syncFeatured();
    QWidget* inset(QWidget* widget);

    MarketWindowModel* m_model;
    QScrollArea* m_scroll;
    QWidget* m_content;
    QVBoxLayout* m_layout;
    QWidget* m_banner;
    QWidget* m_bannerBox;
    MarketPlaceholder* m_placeholder;
    QWidget* m_placeholderBox;
    MarketCarousel* m_carousel;
    QWidget* m_carouselBox;
    QWidget* m_gapAfterCarousel;
    MarketGrid* m_grid;
    QWidget* m_gapAfterGrid;
    MarketPager* m_pager;
    QWidget* m_pagerBox;
};
