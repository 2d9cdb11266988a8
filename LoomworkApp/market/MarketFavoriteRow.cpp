#include "market/MarketFavoriteRow.h"

#include <QDateTime>
#include <QFontMetricsF>
#include <QMouseEvent>
#include <QPainter>

#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketCoverThumb.h"
#include "market/MarketPaint.h"
#include "market/MarketPurchaseRow.h"
#include "market/MarketRowParts.h"

namespace {

constexpr int kSpacing = 12;
constexpr int kTitleGap = 4;
constexpr int kMetaGap = 6;

QFont priceFont() { return Theme::font(13, QFont::DemiBold); }
QFont ownedFont() { return Theme::font(11.5, QFont::DemiBold); }

bool isFree(const MarketPlugin& plugin)
{
    const std::optional<qint64> price = plugin.effectivePrice();
    return !price || *price < 1;
}

} // namespace

MarketFavoriteRow::MarketFavoriteRow(QWidget* parent)
    : QWidget(parent)
    , m_thumb(new MarketCoverThumb(std::nullopt, MarketPurchaseRow::kThumbWidth, this))
    , m_title(new MarketRowTitle(this))
    , m_button(new MarketSmallButton(QStringLiteral("heart.slash"), QStringLiteral("取消收藏"), this))
{
    setFixedHeight(kHeight);
    m_button->setToolTip(QStringLiteral("从「我的收藏」里移除（不会影响已购买记录）"));
    connect(m_thumb, &QAbstractButton::clicked, this, &MarketFavoriteRow::openRequested);
    connect(m_title, &QAbstractButton::clicked, this, &MarketFavoriteRow::openRequested);
    connect(m_button, &QAbstractButton::clicked, this, &MarketFavoriteRow::removeRequested);
}

void MarketFavoriteRow::setPlugin(const MarketPlugin& plugin)
{
    m_plugin = plugin;
    m_thumb->setUrl(plugin.coverUrl);
    m_title->setText(plugin.name);
    const QString tip = SafeText::toolTip(QStringLiteral("查看「%1」详细介绍").arg(plugin.name));
    m_thumb->setToolTip(tip);
    m_title->setToolTip(tip);
    relayout();
    update();
}

void MarketFavoriteRow::setInstalled(bool installed)
{
    if (installed == m_installed)
        return;
    m_installed = installed;
    relayout();
    update();
}

void MarketFavoriteRow::setRemoving(bool removing)
{
    m_button->setBusy(removing);
    m_button->setEnabled(!removing);
}

QString MarketFavoriteRow::favoriteDateText(std::optional<qint64> favoritedAt)
{
    if (!favoritedAt || *favoritedAt < 1)
        return QStringLiteral("—");
    // Seconds by the record's definition; a stamp past the year 9999 in seconds can only be
    // milliseconds, which some servers send.
    constexpr qint64 kLastSecond = 253402300799;
    const qint64 stamp = *favoritedAt > kLastSecond ? *favoritedAt / 1000 : *favoritedAt;
    const QDateTime date = QDateTime::fromSecsSinceEpoch(stamp);
    return date.isValid() ? date.toString(QStringLiteral("yyyy-MM-dd")) : QStringLiteral("—");
}

QString MarketFavoriteRow::metaText() const
{
    QStringList parts;
    if (const QString category = m_plugin.category.value_or(QString()); !category.isEmpty())
        parts << category;
    if (const QString size = m_plugin.sizeText(); !size.isEmpty())
        parts << size;
    parts << QStringLiteral("收藏于 ") + favoriteDateText(m_plugin.favoritedAt);
    return parts.join(QLatin1Char(' '));
}

QString MarketFavoriteRow::trailingText() const
{
    if (m_plugin.owned == true)
        return m_installed ? QStringLiteral("已安装") : QStringLiteral("已拥有");
    return MarketPlugin::money(m_plugin.effectivePrice().value_or(0));
}

qreal MarketFavoriteRow::trailingWidth() const
{
    if (m_plugin.owned == true)
        return 10 + 4 + QFontMetricsF(ownedFont()).horizontalAdvance(trailingText());
    return QFontMetricsF(priceFont()).horizontalAdvance(trailingText());
}

void MarketFavoriteRow::mouseDoubleClickEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton)
        emit openRequested();
    QWidget::mouseDoubleClickEvent(event);
}

void MarketFavoriteRow::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    relayout();
}

void MarketFavoriteRow::relayout()
{
    const int centreY = height() / 2;
    m_thumb->move(MarketPurchaseRow::kLeading, centreY - m_thumb->height() / 2);
    const int right = width() - MarketPurchaseRow::kTrailing;
    const QSize buttonSize = m_button->sizeHint();
    m_button->setGeometry(right - buttonSize.width(), centreY - buttonSize.height() / 2, buttonSize.width(),
                          buttonSize.height());
    const int textLeft = MarketPurchaseRow::kLeading + MarketPurchaseRow::kThumbWidth + kSpacing;
    const int textRight = right - buttonSize.width() - kSpacing - int(std::ceil(trailingWidth())) - kSpacing;
    const int titleH = m_title->sizeHint().height();
    const int metaH = int(std::ceil(QFontMetricsF(Theme::tinyFont()).height()));
    const int top = centreY - (titleH + kTitleGap + metaH) / 2;
    m_title->setGeometry(textLeft, top, std::max(0, std::min(m_title->sizeHint().width(), textRight - textLeft)),
                         titleH);
}

void MarketFavoriteRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal right = m_button->geometry().left() - kSpacing;
    const qreal trailingW = trailingWidth();
    const QRectF trailing(right - trailingW, 0, trailingW, height());
    if (m_plugin.owned == true) {
        const QRectF symbol(trailing.left(), 0, 10, height());
        SymbolIcon::paint(painter, symbol, m_installed ? u"checkmark.circle.fill" : u"checkmark.seal.fill",
                          Theme::positive(), 10);
        MarketPaint::elidedText(painter, trailing.adjusted(14, 0, 0, 0), trailingText(), ownedFont(), Theme::positive());
    } else {
        MarketPaint::elidedText(painter, trailing, trailingText(), priceFont(),
                                isFree(m_plugin) ? Theme::priceFree() : Theme::accent(), Qt::AlignRight | Qt::AlignVCenter);
    }

    const int textLeft = MarketPurchaseRow::kLeading + MarketPurchaseRow::kThumbWidth + kSpacing;
    const QRectF meta(textLeft, m_title->geometry().bottom() + 1 + kTitleGap,
                      std::max<qreal>(0, trailing.left() - kSpacing - textLeft), QFontMetricsF(Theme::tinyFont()).height());
    // Drawn piece by piece, 6 apart, so each keeps its own width.
    const QFontMetricsF metrics(Theme::tinyFont());
    qreal x = meta.left();
    const auto part = [&](const QString& text) {
        const qreal w = std::min(metrics.horizontalAdvance(text), std::max<qreal>(0, meta.right() - x));
        MarketPaint::elidedText(painter, QRectF(x, meta.top(), w, meta.height()), text, Theme::tinyFont(), Theme::textSecondary());
        x += w + kMetaGap;
    };
    if (const QString category = m_plugin.category.value_or(QString()); !category.isEmpty())
        part(category);
    if (const QString size = m_plugin.sizeText(); !size.isEmpty())
        part(size);
    part(QStringLiteral("收藏于 ") + favoriteDateText(m_plugin.favoritedAt));
}
