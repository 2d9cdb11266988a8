#include "market/MarketPanelPaint.h"

#include <QPainter>
#include <QPainterPath>

#include "ui/Theme.h"

namespace MarketPanelPaint {

void paintPanel(QPainter& painter, const QRectF& rect, qreal radius)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath shape;
    shape.addRoundedRect(rect, radius, radius);
    // Opaque: what lies under a floating panel must not show through its text.
    QColor ground = Theme::floatingBg();
    ground.setAlphaF(1.0);
    painter.fillPath(shape, ground);
    painter.setPen(QPen(Theme::ink(0.1), 0.8));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(0.4, 0.4, -0.4, -0.4), radius, radius);
    painter.restore();
}

} // namespace MarketPanelPaint
