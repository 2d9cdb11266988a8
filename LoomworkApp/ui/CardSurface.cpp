#include "ui/CardSurface.h"

#include <QPainter>
#include <QPainterPath>

#include "ui/Theme.h"

CardSurface::CardSurface(qreal radius, QWidget* parent) : QWidget(parent), m_radius(radius) {}

void CardSurface::paintCard(QPainter& painter, const QRectF& rect, qreal radius)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath fill;
    fill.addRoundedRect(rect, radius, radius);
    painter.fillPath(fill, Theme::cardBg());
    const QRectF inset = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    QPen pen(Theme::cardStroke(), 0.5, Qt::SolidLine, Qt::FlatCap, Qt::MiterJoin);
    painter.setPen(pen);
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(inset, std::max<qreal>(radius - 0.5, 0), std::max<qreal>(radius - 0.5, 0));
    painter.restore();
}

void CardSurface::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    paintCard(p, QRectF(rect()), m_radius);
}
