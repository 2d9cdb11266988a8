#pragma once

#include <QtGlobal>

class QPainter;
class QRectF;
class QWidget;

// Soft drop shadows in the theme's shadow colour, blurred once per shape, size and device
// pixel ratio and then reused. A graphics effect would blur on every frame, and one nested
// in a fading overlay kept its widget from repainting.
namespace SoftShadow {

// Under a rounded rectangle: `opacity` at its darkest, spread about `blur` around it, moved
// down by `dy`. Draw it before the rectangle itself.
void paint(QPainter& painter, const QRectF& rect, qreal radius, qreal blur, qreal dy, qreal opacity);

// Under what `widget` paints (its shape, not its box), at its geometry in the coordinates
// of its parent: for marks and logos. Draw it from the parent's paint event. The widget is
// rendered again only when its size, enabled state or the appearance changes: a picture
// that changes otherwise keeps its old shadow.
void paintUnder(QPainter& painter, QWidget& widget, qreal blur, qreal dy, qreal opacity);

} // namespace SoftShadow
