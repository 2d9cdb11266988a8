#pragma once

#include <QRectF>

class QPainter;

// The floating panels over the market window (detail panel, pay card): the window colour,
// continuous corners, a faint border inside the edge. Their shadows are painted by whoever
// lays them out, around the panel's geometry, never as a graphics effect.
namespace MarketPanelPaint {

void paintPanel(QPainter& painter, const QRectF& rect, qreal radius);
// A soft shadow for a panel at `rect`, drawn by its parent before the panel paints.
void paintShadow(QPainter& painter, const QRectF& rect, qreal radius, qreal opacity, qreal blur, qreal dy);

} // namespace MarketPanelPaint
