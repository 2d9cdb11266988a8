#include "account/SettingsTabButton.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

#include "ui/SafeText.h"
#include "ui/SymbolIcon.h"
#include "ui/Theme.h"

SettingsTabButton::SettingsTabButton(SettingsTab tab, QWidget* parent)
    : BaseButton(parent)
    , m_tab(tab)
{
    setText(tab.title());
    setToolTip(SafeText::toolTip(tab.title()));
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
    return Theme::font(kTitlePoints, m_selected ? QFont::Medium : QFont::Normal);
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
    if (m_selected || isOver()) {
        QPainterPath path;
        path.addRoundedRect(box, kRadius, kRadius);
        p.fillPath(path, m_selected ? Theme::selectionBg() : Theme::controlBgOver());
    }
    const QRectF symbolRect(box.left(), kPadY, box.width(), kSymbolHeight);
    SymbolIcon::paint(p, symbolRect, m_tab.symbol(), Theme::accent(), kSymbolPoints);
    p.setFont(titleFont());
    p.setPen(m_selected ? Theme::accent() : Theme::textPrimary());
    const QRectF titleRect(box.left(), kPadY + kSymbolHeight + kSpacing, box.width(),
                           box.height() - kPadY * 2 - kSymbolHeight - kSpacing);
    p.drawText(titleRect, Qt::AlignHCenter | Qt::AlignTop, text());
}
