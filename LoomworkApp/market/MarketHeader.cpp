#include "market/MarketHeader.h"

#include <QAbstractButton>
#include <QEvent>
#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/AppLogo.h"
#include "ui/BaseButton.h"
#include "ui/Hairline.h"
#include "ui/SafeText.h"
#include "ui/SidebarSurface.h"
#include "ui/SoftShadow.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketPaint.h"
#include "market/MarketWindowModel.h"

namespace {

constexpr int kSidePadding = 60;
constexpr int kTopPadding = 8;
constexpr int kBottomPadding = 11;
constexpr int kRowGap = 12;
constexpr int kSearchWidth = 210;
constexpr int kLogoSize = 34;
constexpr qreal kPadX = 11;
constexpr qreal kPadY = 5;
constexpr qreal kIconGap = 5;

struct TabInfo { MarketWindowModel::Tab tab; const char* title; const char* symbol; const char* refreshTip; };
const TabInfo kTabs[] = {
    {MarketWindowModel::Tab::shop, "全部插件", "square.grid.2x2", "刷新插件列表"},
    {MarketWindowModel::Tab::purchases, "我的购买", "bag", "刷新购买记录"},
    {MarketWindowModel::Tab::favorites, "我的收藏", "heart", "刷新收藏列表"},
};

struct SortInfo { MarketSort sort; const char* title; const char* symbol; const char* tip; };
const SortInfo kSorts[] = {
    {MarketSort::latest, "最新", "sparkles", "按上架时间从新到旧"},
    {MarketSort::hotDownloads, "热门下载", "arrow.down.circle.fill", "按近 30 天真实下载量排序"},
    {MarketSort::hotViews, "热门浏览", "flame.fill", "按插件详情浏览次数排序"},
};

// "&" in a server's category name is a character, not a mnemonic.
QString menuText(const QString& text)
{
    QString escaped = SafeText::singleLine(text);
    return escaped.replace(QLatin1Char('&'), QStringLiteral("&&"));
}

} // namespace

// The header's painted buttons: a tab pill, a sort chip or the refresh button.
class MarketHeader::Button : public BaseButton
{
public:
    enum class Style {
        pill,
        chip,
        icon
    };

    Button(Style style, const QString& symbol, const QString& title, QWidget* parent)
        : BaseButton(parent), m_style(style), m_symbol(symbol)
    {
        setText(title);
        setCheckable(style != Style::icon);
        setFocusPolicy(Qt::NoFocus);
        setCursor(Qt::PointingHandCursor);
        setAccessibleName(title);
    }

    QSize sizeHint() const override
    {
        const QFontMetricsF metrics(Theme::captionFont());
        if (m_style == Style::icon)
            return {26, int(std::ceil(metrics.height() + 2 * kPadY))};
        return {int(std::ceil(2 * kPadX + 12 + kIconGap + metrics.horizontalAdvance(text()))),
                int(std::ceil(metrics.height() + 2 * kPadY))};
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF box = rect();
        QColor ink = Theme::textSecondary();
        switch (m_style) {
        case Style::pill:
            if (isChecked()) {
                SoftShadow::paint(painter, box, 7, 1.5, 1, 0.08);
                painter.setPen(Qt::NoPen);
                painter.setBrush(palette().color(QPalette::Base));
                painter.drawRoundedRect(box, 7, 7);
                ink = Theme::textPrimary();
            }
            break;
        case Style::chip:
            painter.setPen(Qt::NoPen);
            painter.setBrush(isChecked() ? Theme::accent() : Theme::capsuleBg());
            painter.drawRoundedRect(box, 7, 7);
            if (isChecked())
                ink = Qt::white;
            break;
        case Style::icon:
            painter.setPen(Qt::NoPen);
            painter.setBrush(Theme::capsuleBg());
            painter.drawRoundedRect(box, 6, 6);
            SymbolIcon::paint(painter, box, m_symbol, ink, 10.5);
            return;
        }
        const QRectF symbol(kPadX, 0, 12, height());
        SymbolIcon::paint(painter, symbol, m_symbol, ink, 11);
        MarketPaint::elidedText(painter, QRectF(symbol.right() + kIconGap, 0, width() - symbol.right() - kIconGap, height()),
                                text(), Theme::captionFont(), ink);
    }

private:
    Style m_style;
    QString m_symbol;
};

MarketHeader::MarketHeader(MarketWindowModel* model, QWidget* parent) : QWidget(parent), m_model(model)
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    auto* rows = new QVBoxLayout;
    rows->setContentsMargins(kSidePadding, kTopPadding, kSidePadding, kBottomPadding);
    rows->setSpacing(kRowGap);
    outer->addLayout(rows);
    outer->addWidget(new Hairline(this));

    // First row: logo, title, search and category.
    auto* first = new QHBoxLayout;
    first->setSpacing(10);
    first->addWidget(new AppLogo(kLogoSize, this));
    auto* titles = new QVBoxLayout;
    titles->setSpacing(1);
    m_title = new QLabel(QStringLiteral("插件市场"), this);
    m_subtitle = new QLabel(QStringLiteral("挑一个直接装进 FCPX：买完点下载，下完自动安装"), this);
    titles->addWidget(m_title);
    titles->addWidget(m_subtitle);
    first->addLayout(titles);
    first->addStretch(1);

    m_search = new QLineEdit(this);
    m_search->setObjectName(QStringLiteral("marketSearch"));
    m_search->setPlaceholderText(QStringLiteral("搜索插件名称 / 卖点"));
    m_search->setFixedWidth(kSearchWidth);
    m_search->addAction(SymbolIcon::icon(QStringLiteral("magnifyingglass")), QLineEdit::LeadingPosition);
    m_clear = m_search->addAction(SymbolIcon::icon(QStringLiteral("xmark.circle.fill")), QLineEdit::TrailingPosition);
    m_clear->setVisible(false);
    connect(m_search, &QLineEdit::textEdited, m_model, &MarketWindowModel::setKeyword);
    connect(m_search, &QLineEdit::returnPressed, m_model, &MarketWindowModel::submitSearch);
    connect(m_clear, &QAction::triggered, m_model, &MarketWindowModel::clearSearch);
    first->addWidget(m_search);

    m_category = new QToolButton(this);
    m_category->setObjectName(QStringLiteral("marketCategory"));
    m_category->setAutoRaise(true);
    m_category->setPopupMode(QToolButton::InstantPopup);
    m_category->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_category->setIcon(SymbolIcon::icon(QStringLiteral("line.3.horizontal.decrease.circle")));
    m_category->setFocusPolicy(Qt::NoFocus);
    auto* menu = new QMenu(m_category);
    connect(menu, &QMenu::aboutToShow, this, &MarketHeader::rebuildCategoryMenu);
    m_category->setMenu(menu);
    first->addWidget(m_category);
    rows->addLayout(first);

    // Second row: tabs, sort chips, count and refresh.
    auto* second = new QHBoxLayout;
    second->setSpacing(10);
    auto* picker = new QWidget(this);
    picker->setObjectName(QStringLiteral("marketTabs"));
    auto* pickerLayout = new QHBoxLayout(picker);
    pickerLayout->setContentsMargins(2, 2, 2, 2);
    pickerLayout->setSpacing(2);
    for (const TabInfo& info : kTabs) {
        auto* pill = new Button(Button::Style::pill, QString::fromUtf8(info.symbol), QString::fromUtf8(info.title), picker);
        connect(pill, &QAbstractButton::clicked, m_model, [this, tab = info.tab] {
            m_model->selectTab(tab);
            sync(); // a click on the current pill leaves it selected
        });
        pickerLayout->addWidget(pill);
        m_tabs.append(pill);
    }
    second->addWidget(picker);

    m_divider = new QWidget(this);
    m_divider->setFixedSize(1, 18);
    m_divider->setAutoFillBackground(true);
    second->addWidget(m_divider);
    for (const SortInfo& info : kSorts) {
        auto* chip = new Button(Button::Style::chip, QString::fromUtf8(info.symbol), QString::fromUtf8(info.title), this);
        chip->setToolTip(QString::fromUtf8(info.tip));
        connect(chip, &QAbstractButton::clicked, m_model, [this, sort = info.sort] {
            m_model->setSort(sort);
            sync();
        });
        second->addWidget(chip);
        m_sorts.append(chip);
    }
    second->addStretch(1);
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("marketCount"));
    m_count->setTextFormat(Qt::PlainText);
    second->addWidget(m_count);
    m_refresh = new Button(Button::Style::icon, QStringLiteral("arrow.clockwise"), QString(), this);
    m_refresh->setAccessibleName(QStringLiteral("刷新"));
    connect(m_refresh, &QAbstractButton::clicked, m_model, &MarketWindowModel::refresh);
    second->addWidget(m_refresh);
    rows->addLayout(second);

    for (QLabel* label : {m_title, m_subtitle})
        label->setTextFormat(Qt::PlainText);

    connect(m_model, &MarketWindowModel::tabChanged, this, &MarketHeader::sync);
    connect(m_model, &MarketWindowModel::queryChanged, this, &MarketHeader::sync);
    connect(m_model, &MarketWindowModel::shopChanged, this, &MarketHeader::sync);
    connect(m_model, &MarketWindowModel::purchasesChanged, this, &MarketHeader::sync);
    connect(m_model, &MarketWindowModel::favoritesChanged, this, &MarketHeader::sync);
    restyle();
    sync();
}

void MarketHeader::sync()
{
    const bool shop = m_model->tab() == MarketWindowModel::Tab::shop;
    m_search->setVisible(shop);
    m_category->setVisible(shop);
    m_divider->setVisible(shop);
    for (QAbstractButton* chip : std::as_const(m_sorts))
        chip->setVisible(shop);
    for (int i = 0; i < m_tabs.size(); ++i)
        m_tabs[i]->setChecked(kTabs[i].tab == m_model->tab());
    for (int i = 0; i < m_sorts.size(); ++i)
        m_sorts[i]->setChecked(kSorts[i].sort == m_model->sort());
    for (const TabInfo& info : kTabs) {
        if (info.tab == m_model->tab())
            m_refresh->setToolTip(QString::fromUtf8(info.refreshTip));
    }
    if (m_search->text() != m_model->keyword())
        m_search->setText(m_model->keyword());
    m_clear->setVisible(!m_model->keyword().isEmpty());
    m_category->setText(m_model->category().isEmpty() ? QStringLiteral("全部分类") : menuText(m_model->category()));
    m_count->setText(m_model->countText());
}

void MarketHeader::rebuildCategoryMenu()
{
    QMenu* menu = m_category->menu();
    menu->clear();
    menu->addAction(QStringLiteral("全部分类"), m_model, [this] { m_model->chooseCategory(QString()); });
    menu->addSeparator();
    for (const QString& name : m_model->marketCategories())
        menu->addAction(menuText(name), m_model, [this, name] { m_model->chooseCategory(name); });
}

void MarketHeader::restyle()
{
    const auto tint = [](QWidget* w, const QColor& color) {
        QPalette p = w->palette();
        p.setColor(QPalette::WindowText, color);
        p.setColor(QPalette::ButtonText, color);
        w->setPalette(p);
    };
    m_title->setFont(Theme::headingFont());
    m_subtitle->setFont(Theme::tinyFont());
    m_count->setFont(Theme::tinyFont());
    m_category->setFont(Theme::captionFont());
    tint(m_title, Theme::textPrimary());
    tint(m_subtitle, Theme::textSecondary());
    tint(m_count, Theme::textSecondary());
    tint(m_category, Theme::textSecondary());
    QPalette divider = m_divider->palette();
    divider.setColor(QPalette::Window, Theme::divider());
    m_divider->setPalette(divider);
}

void MarketHeader::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange) {
        // Setting our own palettes below raises PaletteChange on the children only.
        restyle();
    }
}

void MarketHeader::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    SidebarSurface::paintSurface(painter, rect());
    // A faint highlight along the top edge.
    QLinearGradient highlight(0, 0, 0, 1);
    highlight.setColorAt(0, Theme::textOnAccent(0.10));
    highlight.setColorAt(1, Theme::textOnAccent(0));
    painter.fillRect(QRectF(0, 0, width(), 1), highlight);
    // The tab picker's track.
    if (QWidget* picker = findChild<QWidget*>(QStringLiteral("marketTabs"))) {
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::capsuleBg());
        painter.drawRoundedRect(QRectF(picker->geometry()), 9, 9);
    }
}
