#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>

class QPainter;

// Drawing shared by the market's cards, rows and bars.
namespace MarketPaint {

// A soft drop shadow under a rounded rectangle, blurred once per size and cached as a
// pixmap at the device pixel ratio (a graphics effect per card would blur every frame).
void shadow(QPainter& painter, const QRectF& rect, qreal radius, qreal blur, qreal dy, qreal opacity);

// `text` on one line, cut with "…" to `width`.
void elidedText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                const QColor& color, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter);

// Whole points, halves away from zero.
int roundPoints(qreal value);

} // namespace MarketPaint
