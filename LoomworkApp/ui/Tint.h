#pragma once

#include <QColor>

// Colour arithmetic of the views: a theme colour at an opacity, white and black
// overlays, and the translucent "materials" that cards and bars are filled with.
namespace Tint {

// `color` with its alpha multiplied by `opacity`.
QColor opacity(const QColor& color, qreal opacity);
QColor white(qreal opacity = 1.0);
QColor black(qreal opacity = 1.0);
// The primary text colour at `opacity` (black in light, white in dark).
QColor primaryAt(qreal opacity);
// Floating cards and capsules: the window colour, nearly opaque.
QColor regularMaterial();
// Bars along the window's edges.
QColor barMaterial();

} // namespace Tint
