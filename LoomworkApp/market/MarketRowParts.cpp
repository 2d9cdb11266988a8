#include "market/MarketRowParts.h"

#include <QFontMetricsF>
#include <QPainter>

#include "ui/BusySpinner.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"
#include "market/MarketPaint.h"

namespace {

constexpr qreal kButtonPadX = 8;
constexpr qreal kButtonHeight = 22;
constexpr qreal kSymbolSize = 10;
constexpr qreal kGap = 5;

} // namespace

MarketRowTitle::MarketRowTitle(QWidget* parent) : BaseButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

QSize MarketRowTitle::sizeHint() const
{
    const QFontMetricsF metrics(Theme::bodyStrongFont());
    return {int(std::ceil(metrics.horizontalAdvance(text()))) + 2, int(std::ceil(metrics.height()))};
}

QSize MarketRowTitle::minimumSizeHint() const
{
    return {40, sizeHint().height()};
}

void MarketRowTitle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    MarketPaint::elidedText(painter, rect(), text(), Theme::bodyStrongFont(), state().over ? Theme::accent() : Theme::textPrimary());
}

MarketSmallButton::MarketSmallButton(const QString& symbol, const QString& text, QWidget* parent)
    : BaseButton(parent), m_symbol(symbol), m_spinner(new BusySpinner(BusySpinner::Size::small, this))
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
    const qreal textW = QFontMetricsF(Theme::tinyFont()).horizontalAdvance(text());
    return {int(std::ceil(2 * kButtonPadX + 12 + kGap + textW)), int(kButtonHeight)};
}

void MarketSmallButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const State st = state();
    const bool enabled = !st.disabled;
    painter.setPen(QPen(Theme::ink(0.16), 1));
    painter.setBrush(palette().color(QPalette::Button));
    painter.drawRoundedRect(box, 5, 5);
    if (enabled && (st.over || st.down)) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(st.down ? Theme::controlBgDown() : Theme::controlBgOver());
        painter.drawRoundedRect(box, 5, 5);
    }
    const QColor ink = enabled ? Theme::textPrimary() : Theme::textTertiary();
    const QRectF symbol(kButtonPadX, (height() - 12) / 2.0, 12, 12);
    if (m_busy)
        m_spinner->move(symbol.topLeft().toPoint());
    else
        SymbolIcon::paint(painter, symbol, m_symbol, ink, kSymbolSize);
    MarketPaint::elidedText(painter, QRectF(symbol.right() + kGap, 0, width() - symbol.right() - kGap - kButtonPadX, height()),
                            text(), Theme::tinyFont(), ink);
}
