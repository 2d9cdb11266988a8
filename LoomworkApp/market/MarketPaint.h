#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>

class QPainter;

// Drawing shared by the market's cards, rows and bars.
namespace MarketPaint {

// `text` on one line, cut with "…" to `width`.
void elidedText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font,
                const QColor& color, Qt::Alignment align = Qt::AlignLeft | Qt::AlignVCenter);

// Whole points, halves away from zero.
int roundPoints(qreal value);

} // namespace MarketPaint
