#include "ui/CountBadge.h"

#include <QPainter>

#include "ui/Theme.h"

CountBadge::CountBadge(qint64 count, bool highlighted, QWidget* parent)
    : QWidget(parent), m_count(count), m_highlighted(highlighted)
{
    setFont(Theme::captionFont());
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void CountBadge::setCount(qint64 count)
{
    if (count == m_count)
        return;
    m_count = count;
    updateGeometry();
    update();
}

void CountBadge::setHighlighted(bool highlighted)
{
    if (highlighted == m_highlighted)
        return;
    m_highlighted = highlighted;
    update();
}

QSize CountBadge::sizeHint() const
{
    const QFontMetrics fm(font());
    const int text = fm.horizontalAdvance(QString::number(m_count));
    return {std::max(kMinWidth, text), fm.height()};
}

void CountBadge::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    p.setPen(m_highlighted ? Theme::accent() : Theme::textSecondary());
    p.drawText(rect(), Qt::AlignRight | Qt::AlignVCenter, QString::number(m_count));
}
