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

void paintShadow(QPainter& painter, const QRectF& rect, qreal radius, qreal opacity, qreal blur, qreal dy)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    // Concentric rounded rectangles fading outwards: close to a Gaussian at a fraction of its cost.
    const int steps = 12;
    const QRectF base = rect.translated(0, dy);
    for (int i = steps; i >= 1; --i) {
        const qreal spread = blur * i / steps;
        const qreal weight = opacity * 2.0 / steps * (1.0 - qreal(i - 1) / steps);
        painter.setBrush(Theme::shadow(weight));
        painter.drawRoundedRect(base.adjusted(-spread, -spread, spread, spread), radius + spread, radius + spread);
    }
    painter.restore();
}

} // namespace MarketPanelPaint
