#include "market/MarketRowParts.h"

#include <QFontMetricsF>
#include <QPainter>

#include "market/MarketPaint.h"
#include "ui/BusySpinner.h"
#include "ui/F.h"
#include "ui/Palette.h"
#include "ui/Surface.h"
#include "ui/SymbolIcon.h"
#include "ui/Tint.h"

namespace {

constexpr qreal kButtonPadX = 8;
constexpr qreal kButtonHeight = 22;
constexpr qreal kSymbolSize = 10;
constexpr qreal kGap = 5;

} // namespace

MarketRowTitle::MarketRowTitle(QWidget* parent) : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize MarketRowTitle::sizeHint() const
{
    const QFontMetricsF metrics(F::bodyStrong());
    return {int(std::ceil(metrics.horizontalAdvance(text()))) + 2, int(std::ceil(metrics.height()))};
}

QSize MarketRowTitle::minimumSizeHint() const
{
    return {40, sizeHint().height()};
}

void MarketRowTitle::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void MarketRowTitle::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void MarketRowTitle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    MarketPaint::elidedText(painter, rect(), text(), F::bodyStrong(), m_hover ? Palette::brand() : Palette::primary());
}

MarketSmallButton::MarketSmallButton(const QString& symbol, const QString& text, QWidget* parent)
    : QAbstractButton(parent), m_symbol(symbol), m_spinner(new BusySpinner(BusySpinner::Size::small, this))
{
    setText(text);
    setFocusPolicy(Qt::NoFocus);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_spinner->setFixedSize(12, 12);
    m_spinner->hide();
}

void MarketSmallButton::setSymbol(const QString& symbol)
{
    m_symbol = symbol;
    update();
}

void MarketSmallButton::setBusy(bool busy)
{
    if (busy == m_busy)
        return;
    m_busy = busy;
    m_spinner->setVisible(busy);
    update();
}

QSize MarketSmallButton::sizeHint() const
{
    const qreal textW = QFontMetricsF(F::tiny()).horizontalAdvance(text());
    return {int(std::ceil(2 * kButtonPadX + 12 + kGap + textW)), int(kButtonHeight)};
}

void MarketSmallButton::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void MarketSmallButton::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void MarketSmallButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool enabled = isEnabled();
    QColor fill = palette().color(QPalette::Button);
    if (enabled && isDown())
        fill = Tint::opacity(palette().color(QPalette::Mid), 0.5);
    painter.setPen(QPen(Tint::primaryAt(0.16), 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(box, 5, 5);
    if (enabled && m_hover && !isDown()) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Surface::hover());
        painter.drawRoundedRect(box, 5, 5);
    }
    const QColor ink = enabled ? Palette::primary() : Palette::tertiary();
    const QRectF symbol(kButtonPadX, (height() - 12) / 2.0, 12, 12);
    if (m_busy)
        m_spinner->move(symbol.topLeft().toPoint());
    else
        SymbolIcon::paint(painter, symbol, m_symbol, ink, kSymbolSize);
    MarketPaint::elidedText(painter, QRectF(symbol.right() + kGap, 0, width() - symbol.right() - kGap - kButtonPadX, height()),
                            text(), F::tiny(), ink);
}
