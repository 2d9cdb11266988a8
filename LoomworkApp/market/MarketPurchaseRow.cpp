#include "market/MarketPurchaseRow.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QProgressBar>

#include "ui/BusySpinner.h"
#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketCoverThumb.h"
#include "market/MarketPaint.h"
#include "market/MarketRowParts.h"

namespace {

constexpr int kSpacing = 12;
constexpr int kTitleGap = 4;
constexpr int kMetaGap = 6;
constexpr int kBarWidth = 120;
constexpr qreal kPillPadX = 8;
constexpr qreal kPillPadY = 3;

QFont priceFont() { return Theme::font(13, QFont::DemiBold); }
const QString kInstalledTip = QStringLiteral("插件已经装进插件库，打开 FCPX 即可使用");

qreal installedPillWidth()
{
    return 2 * kPillPadX + 10 + 4 + QFontMetricsF(Theme::tinyFont()).horizontalAdvance(QStringLiteral("已安装"));
}

} // namespace

MarketPurchaseRow::MarketPurchaseRow(QWidget* parent)
    : QWidget(parent)
    , m_thumb(new MarketCoverThumb(std::nullopt, kThumbWidth, this))
    , m_title(new MarketRowTitle(this))
    , m_button(new MarketSmallButton(QStringLiteral("arrow.down.circle"), QStringLiteral("下载安装"), this))
    , m_bar(new QProgressBar(this))
    , m_spinner(new BusySpinner(BusySpinner::Size::small, this))
{
    setFixedHeight(kHeight);
    m_bar->setRange(0, 1000);
    m_bar->setTextVisible(false);
    m_bar->setFixedSize(kBarWidth, 6);
    m_bar->hide();
    m_spinner->hide();
    connect(m_thumb, &QAbstractButton::clicked, this, &MarketPurchaseRow::openRequested);
    connect(m_title, &QAbstractButton::clicked, this, &MarketPurchaseRow::openRequested);
    connect(m_button, &QAbstractButton::clicked, this, &MarketPurchaseRow::redownloadRequested);
}

void MarketPurchaseRow::setItem(const MarketPurchase& item)
{
    m_item = item;
    m_thumb->setUrl(item.coverUrl);
    m_title->setText(item.pluginName);
    const QString tip = SafeText::toolTip(QStringLiteral("查看「%1」详细介绍").arg(item.pluginName));
    m_thumb->setToolTip(tip);
    m_title->setToolTip(tip);
    sync();
}

void MarketPurchaseRow::setStage(const MarketInstallStage& stage)
{
    if (stage == m_stage)
        return;
    m_stage = stage;
    sync();
}

void MarketPurchaseRow::setInstalled(bool installed)
{
    if (installed == m_installed)
        return;
    m_installed = installed;
    sync();
}

QString MarketPurchaseRow::metaText() const
{
    QStringList parts{m_item.payTimeText()};
    if (const QString size = m_item.sizeText(); !size.isEmpty())
        parts << size;
    if (m_item.available == false)
        parts << QStringLiteral("已下架");
    return parts.join(QLatin1Char(' '));
}

QString MarketPurchaseRow::priceText() const
{
    return m_item.amount < 1 ? QStringLiteral("免费") : MarketPlugin::money(m_item.amount);
}

QString MarketPurchaseRow::actionText() const
{
    if (m_installed)
        return QStringLiteral("已安装");
    return m_button->text();
}

bool MarketPurchaseRow::actionEnabled() const
{
    return !m_installed && m_button->isEnabled();
}

void MarketPurchaseRow::sync()
{
    const bool running = m_stage.isBusy();
    const bool gone = m_item.available == false;
    m_button->setVisible(!m_installed);
    m_button->setText(gone ? QStringLiteral("已下架") : QStringLiteral("下载安装"));
    m_button->setBusy(running);
    m_button->setEnabled(!running && !gone);
    m_button->setToolTip(QString());
    const std::optional<double> fraction = m_stage.fraction();
    m_bar->setVisible(running && fraction.has_value());
    m_spinner->setVisible(running && !fraction.has_value());
    if (fraction)
        m_bar->setValue(int(*fraction * 1000));
    setToolTip(m_installed ? kInstalledTip : QString());
    relayout();
    update();
}

qreal MarketPurchaseRow::priceWidth() const
{
    return QFontMetricsF(priceFont()).horizontalAdvance(priceText());
}

void MarketPurchaseRow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void MarketPurchaseRow::relayout()
{
    const int centreY = height() / 2;
    m_thumb->move(kLeading, centreY - m_thumb->height() / 2);
    const int right = width() - kTrailing;
    const QSize buttonSize = m_button->sizeHint();
    m_button->setGeometry(right - buttonSize.width(), centreY - buttonSize.height() / 2, buttonSize.width(),
                          buttonSize.height());
    const int actionW = m_installed ? int(std::ceil(installedPillWidth())) : buttonSize.width();
    const int textLeft = kLeading + kThumbWidth + kSpacing;
    const int textRight = right - actionW - kSpacing - int(std::ceil(priceWidth())) - kSpacing;
    const int titleH = m_title->sizeHint().height();
    const int metaH = int(std::ceil(QFontMetricsF(Theme::tinyFont()).height()));
    const int top = centreY - (titleH + kTitleGap + metaH) / 2;
    m_title->setGeometry(textLeft, top, std::max(0, std::min(m_title->sizeHint().width(), textRight - textLeft)),
                         titleH);
    const int metaTop = top + titleH + kTitleGap;
    m_bar->move(textLeft, metaTop + (metaH - m_bar->height()) / 2);
    m_spinner->move(textLeft, metaTop + (metaH - m_spinner->height()) / 2);
}

void MarketPurchaseRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int right = width() - kTrailing;
    const qreal actionW = m_installed ? installedPillWidth() : m_button->width();
    const qreal centreY = height() / 2.0;

    // The price paid, left of the action.
    const qreal priceW = priceWidth();
    const QRectF price(right - actionW - kSpacing - priceW, 0, priceW, height());
    MarketPaint::elidedText(painter, price, priceText(), priceFont(),
                            m_item.amount < 1 ? Theme::priceFree() : Theme::accent(), Qt::AlignRight | Qt::AlignVCenter);

    if (m_installed) {
        const QFontMetricsF metrics(Theme::tinyFont());
        const QRectF pill(right - actionW, centreY - (metrics.height() + 2 * kPillPadY) / 2, actionW,
                          metrics.height() + 2 * kPillPadY);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Theme::alpha(Theme::positive(), 0.12));
        painter.drawRoundedRect(pill, pill.height() / 2, pill.height() / 2);
        const QRectF symbol(pill.left() + kPillPadX, pill.top(), 10, pill.height());
        SymbolIcon::paint(painter, symbol, u"checkmark.circle.fill", Theme::positive(), 10);
        MarketPaint::elidedText(painter, QRectF(symbol.right() + 4, pill.top(), pill.right() - symbol.right() - 4, pill.height()),
                                QStringLiteral("已安装"), Theme::tinyFont(), Theme::positive());
    }

    // The meta line or the progress line under the title.
    const int textLeft = kLeading + kThumbWidth + kSpacing;
    const qreal textRight = price.left() - kSpacing;
    const QRectF metaRow(textLeft, m_title->geometry().bottom() + 1 + kTitleGap, std::max<qreal>(0, textRight - textLeft),
                         QFontMetricsF(Theme::tinyFont()).height());
    if (m_stage.isBusy()) {
        const qreal lead = (m_bar->isVisible() ? m_bar->width() : m_spinner->width()) + kMetaGap;
        MarketPaint::elidedText(painter, metaRow.adjusted(lead, 0, 0, 0), m_stage.title(), Theme::tinyFont(), Theme::accent());
        return;
    }
    const QFontMetricsF metrics(Theme::tinyFont());
    qreal x = metaRow.left();
    const auto part = [&](const QString& text, const QColor& color) {
        const qreal w = std::min(metrics.horizontalAdvance(text), std::max<qreal>(0, metaRow.right() - x));
        MarketPaint::elidedText(painter, QRectF(x, metaRow.top(), w, metaRow.height()), text, Theme::tinyFont(), color);
        x += w + kMetaGap;
    };
    part(m_item.payTimeText(), Theme::textSecondary());
    if (const QString size = m_item.sizeText(); !size.isEmpty())
        part(size, Theme::textSecondary());
    if (m_item.available == false)
        part(QStringLiteral("已下架"), Theme::warning());
}
