#include "market/MarketShopTab.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketCard.h"
#include "market/MarketCarousel.h"
#include "market/MarketGrid.h"
#include "market/MarketPager.h"
#include "market/MarketPaint.h"
#include "market/MarketPlaceholder.h"
#include "market/MarketWindowModel.h"

namespace {

// The shop's paddings; the grid draws its cards MarketCard::kMargin inside its own edges.
constexpr int kLeading = 60;
constexpr int kTrailing = 43;
constexpr int kVertical = 30;
constexpr int kSectionGap = 24;
constexpr int kPagerExtra = 2;
constexpr int kPlaceholderPadding = 80;
constexpr int kMargin = MarketCard::kMargin;

} // namespace

// The notice of a closed market.
class MarketShopTab::Banner : public QWidget
{
public:
    explicit Banner(QWidget* parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("marketClosedBanner"));
        setAccessibleName(QStringLiteral("插件市场暂未开放"));
    }
    QSize sizeHint() const override
    {
        return {400, int(std::ceil(24 + QFontMetricsF(Theme::bodyStrongFont()).height() + 2 + QFontMetricsF(Theme::tinyFont()).height()))};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::alpha(Theme::warning(), 0.08));
        painter.drawRoundedRect(rect(), 9, 9);
        const QRectF inner = QRectF(rect()).adjusted(12, 12, -12, -12);
        SymbolIcon::paint(painter, QRectF(inner.left(), inner.top(), 16, inner.height()), u"lock.fill", Theme::warning(), 14);
        const qreal x = inner.left() + 16 + 10;
        const qreal titleH = QFontMetricsF(Theme::bodyStrongFont()).height();
        MarketPaint::elidedText(painter, QRectF(x, inner.top(), inner.right() - x, titleH), QStringLiteral("插件市场暂未开放"),
                                Theme::bodyStrongFont(), Theme::textPrimary());
        MarketPaint::elidedText(painter, QRectF(x, inner.top() + titleH + 2, inner.right() - x, inner.bottom() - inner.top() - titleH - 2),
                                QStringLiteral("运营打开后这里会出现插件"), Theme::tinyFont(), Theme::textSecondary());
    }
};

MarketShopTab::MarketShopTab(MarketWindowModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    setObjectName(QStringLiteral("marketShop"));
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("marketShopScroll"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->viewport()->setAutoFillBackground(false);
    outer->addWidget(m_scroll);

    m_content = new QWidget;
    m_content->setAutoFillBackground(false);
    m_layout = new QVBoxLayout(m_content);
    m_layout->setContentsMargins(kLeading - kMargin, kVertical, kTrailing - kMargin, kVertical);
    m_layout->setSpacing(0);

    m_banner = new Banner(m_content);
    m_bannerBox = inset(m_banner);
    m_placeholder = new MarketPlaceholder(m_content);
    m_placeholderBox = inset(m_placeholder);
    m_carousel = new MarketCarousel(m_content);
    m_carouselBox = inset(m_carousel);
    m_gapAfterCarousel = new QWidget(m_content);
    m_grid = new MarketGrid(m_content);
    m_gapAfterGrid = new QWidget(m_content);
    m_pager = new MarketPager(m_content);
    m_pagerBox = inset(m_pager);
    for (QWidget* w : {m_bannerBox, m_placeholderBox, m_carouselBox, m_gapAfterCarousel, static_cast<QWidget*>(m_grid),
                       m_gapAfterGrid, m_pagerBox})
        m_layout->addWidget(w);
    m_layout->addStretch(1);
    m_scroll->setWidget(m_content);

    connect(m_carousel, &MarketCarousel::stepRequested, m_model, &MarketWindowModel::step);
    connect(m_carousel, &MarketCarousel::indexRequested, m_model, &MarketWindowModel::setCarouselIndex);
    connect(m_carousel, &MarketCarousel::pluginClicked, m_model, &MarketWindowModel::requestDetail);
    connect(m_grid, &MarketGrid::cardClicked, m_model, &MarketWindowModel::requestDetail);
    connect(m_pager, &MarketPager::pageRequested, m_model, &MarketWindowModel::goToPage);

    connect(m_model, &MarketWindowModel::shopChanged, this, &MarketShopTab::sync);
    connect(m_model, &MarketWindowModel::queryChanged, this, &MarketShopTab::sync);
    connect(m_model, &MarketWindowModel::featuredChanged, this, &MarketShopTab::syncFeatured);
    connect(m_model, &MarketWindowModel::installedChanged, this,
            [this] { m_grid->setInstalled(m_model->installed()); });
    connect(m_model, &MarketWindowModel::pageChanged, this, [this] {
        // Every new page starts at the top, without animation.
        m_scroll->verticalScrollBar()->setValue(0);
    });
    syncFeatured();
    sync();
}

QWidget* MarketShopTab::inset(QWidget* widget)
{
    auto* box = new QWidget(m_content);
    auto* layout = new QHBoxLayout(box);
    layout->setContentsMargins(kMargin, 0, kMargin, 0);
    layout->addWidget(widget);
    return box;
}

void MarketShopTab::setFlow(const std::optional<QString>& pluginId, const MarketInstallStage& stage)
{
    m_grid->setFlow(pluginId, stage);
}

void MarketShopTab::syncFeatured()
{
    m_carousel->setFeatured(m_model->featured(), m_model->carouselIndex());
    sync();
}

void MarketShopTab::sync()
{
    const MarketWindowModel::ShopContent content = m_model->shopContent();
    const bool closed = content == MarketWindowModel::ShopContent::closedBanner;
    const bool loading = content == MarketWindowModel::ShopContent::loading;
    const bool list = content == MarketWindowModel::ShopContent::list;
    const bool empty = content == MarketWindowModel::ShopContent::empty;
    const bool carousel = !closed && !loading && !m_model->featured().isEmpty();
    const bool pager = list && m_model->totalPages() >= 2;

    if (list)
        m_grid->setPlugins(m_model->plugins());
    m_grid->setInstalled(m_model->installed());
    m_pager->setState(m_model->page(), m_model->totalPages(), m_model->pageWindow(), m_model->isLoading());
    if (loading)
        m_placeholder->showLoading();
    else if (empty)
        m_placeholder->showMessage(QStringLiteral("shippingbox"), m_model->emptyShopTitle(), m_model->emptyShopText());
    m_placeholder->setMinimumHeight(m_placeholder->sizeHint().height() + 2 * kPlaceholderPadding);

    m_bannerBox->setVisible(closed);
    m_placeholderBox->setVisible(loading || empty);
    m_carouselBox->setVisible(carousel);
    m_grid->setVisible(list);
    m_pagerBox->setVisible(pager);
    // Sections 24 apart; the grid's own margin takes its share of the gaps around it.
    m_gapAfterCarousel->setVisible(carousel && (list || empty));
    m_gapAfterCarousel->setFixedHeight(list ? kSectionGap - kMargin : kSectionGap);
    m_gapAfterGrid->setVisible(pager);
    m_gapAfterGrid->setFixedHeight(kSectionGap + kPagerExtra - kMargin);
    const bool gridFirst = list && !carousel;
    m_layout->setContentsMargins(kLeading - kMargin, gridFirst ? kVertical - kMargin : kVertical, kTrailing - kMargin,
                                 list && !pager ? kVertical - kMargin : kVertical);
}
