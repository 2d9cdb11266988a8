#pragma once

#include <QRectF>

class QPainter;

// The floating panels over the market window (detail panel, pay card): the window colour,
// continuous corners, a faint border inside the edge. Whoever lays them out paints their
// shadows with SoftShadow::paint, never as a graphics effect.
namespace MarketPanelPaint {

void paintPanel(QPainter& painter, const QRectF& rect, qreal radius);

} // namespace MarketPanelPaint
