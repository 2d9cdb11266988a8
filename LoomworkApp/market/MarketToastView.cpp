#include "market/MarketToastView.h"

#include <QFontMetricsF>
#include <QPainter>

#include "ui/SoftShadow.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketPaint.h"

namespace {

constexpr qreal kPadX = 12;
constexpr qreal kPadY = 8;
constexpr qreal kGap = 7;
constexpr qreal kRadius = 9;
constexpr qreal kSymbol = 12;

} // namespace

MarketToastView::MarketToastView(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("marketToast"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    hide();
}

QColor MarketToastView::colorFor(MarketToast::Kind kind)
{
    switch (kind) {
    case MarketToast::Kind::ok:
        return Theme::positive();
    case MarketToast::Kind::warn:
        return Theme::warning();
    case MarketToast::Kind::error:
        return Theme::danger();
    }
    return Theme::positive();
}

void MarketToastView::setToast(const std::optional<MarketToast>& toast)
{
    m_toast = toast;
    setVisible(toast.has_value());
    if (toast) {
        resize(sizeHint());
        setAccessibleName(toast->text);
    }
    update();
}

void MarketToastView::setMaximumPlateWidth(int width)
{
    m_maxPlate = std::max(80, width);
    if (m_toast)
        resize(sizeHint());
}

QSize MarketToastView::sizeHint() const
{
    const QFontMetricsF metrics(Theme::captionFont());
    const qreal textW = m_toast ? metrics.horizontalAdvance(QString(m_toast->text).replace(QLatin1Char('\n'), QLatin1Char(' '))) : 0;
    const qreal plateW = std::min<qreal>(m_maxPlate, 2 * kPadX + kSymbol + kGap + textW + 1);
    const qreal plateH = 2 * kPadY + metrics.height();
    return QSizeF(plateW + 2 * kShadowMargin, plateH + 2 * kShadowMargin).toSize();
}

void MarketToastView::paintEvent(QPaintEvent*)
{
    if (!m_toast)
        return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF plate = QRectF(rect()).adjusted(kShadowMargin, kShadowMargin, -kShadowMargin, -kShadowMargin);
    SoftShadow::paint(painter, plate, kRadius, 8, 3, 0.16);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colorFor(m_toast->kind));
    painter.drawRoundedRect(plate, kRadius, kRadius);
    const QRectF symbol(plate.left() + kPadX, plate.top(), kSymbol, plate.height());
    SymbolIcon::paint(painter, symbol, MarketToast::symbol(m_toast->kind), Qt::white, kSymbol);
    MarketPaint::elidedText(painter, QRectF(symbol.right() + kGap, plate.top(), plate.right() - kPadX - symbol.right() - kGap, plate.height()),
                            m_toast->text, Theme::captionFont(), Qt::white);
}
