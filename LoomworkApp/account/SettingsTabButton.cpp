#include "account/SettingsTabButton.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

#include "ui/F.h"
#include "ui/Palette.h"
#include "ui/Surface.h"
#include "ui/SymbolIcon.h"

SettingsTabButton::SettingsTabButton(SettingsTab tab, QWidget* parent)
    : QAbstractButton(parent)
    , m_tab(tab)
{
    setText(tab.title());
    setToolTip(tab.title().toHtmlEscaped());
    setCursor(Qt::PointingHandCursor);
    noFocusRing(this);
}

void SettingsTabButton::setSelected(bool selected)
{
    if (m_selected == selected)
        return;
    m_selected = selected;
    updateGeometry();
    update();
}

QFont SettingsTabButton::titleFont() const
{
    return F::font(kTitlePoints, m_selected ? QFont::Medium : QFont::Normal);
}

QSize SettingsTabButton::sizeHint() const
{
    const QFontMetrics metrics(titleFont());
    const int width = std::max(kMinWidth, metrics.horizontalAdvance(text())) + 2 * kPadX;
    const int height = kSymbolHeight + kSpacing + metrics.height() + 2 * kPadY;
    return {width, height};
}

void SettingsTabButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(rect());
    if (m_selected || m_hover) {
        QPainterPath path;
        path.addRoundedRect(box, kRadius, kRadius);
        p.fillPath(path, m_selected ? Surface::selection() : Surface::hover());
    }
    const QRectF symbolRect(box.left(), kPadY, box.width(), kSymbolHeight);
    SymbolIcon::paint(p, symbolRect, m_tab.symbol(), Palette::brand(), kSymbolPoints);
    p.setFont(titleFont());
    p.setPen(m_selected ? Palette::brand() : Palette::primary());
    const QRectF titleRect(box.left(), kPadY + kSymbolHeight + kSpacing, box.width(),
                           box.height() - kPadY * 2 - kSymbolHeight - kSpacing);
    p.drawText(titleRect, Qt::AlignHCenter | Qt::AlignTop, text());
}

void SettingsTabButton::enterEvent(QEnterEvent* event)
{
    m_hover = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SettingsTabButton::leaveEvent(QEvent* event)
{
    m_hover = false;
    update();
    QAbstractButton::leaveEvent(event);
}
