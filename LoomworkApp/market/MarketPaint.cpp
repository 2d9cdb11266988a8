#include "market/MarketPaint.h"

#include <cmath>

#include <QFontMetricsF>
#include <QPainter>

#include "ui/SafeText.h"

namespace MarketPaint {

void elidedText(QPainter& painter, const QRectF& rect, const QString& text, const QFont& font, const QColor& color,
                Qt::Alignment align)
{
    const QFontMetricsF metrics(font);
    // Server text is drawn as plain characters on one line, without direction overrides.
    const QString line = SafeText::singleLine(text);
    painter.save();
    painter.setFont(font);
    painter.setPen(color);
    painter.drawText(rect, int(align) | Qt::TextSingleLine, metrics.elidedText(line, Qt::ElideRight, rect.width()));
    painter.restore();
}

int roundPoints(qreal value)
{
    return int(std::round(value)); // std::round rounds halves away from zero
}

} // namespace MarketPaint
