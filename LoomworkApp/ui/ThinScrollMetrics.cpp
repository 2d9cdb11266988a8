#include "ui/ThinScrollMetrics.h"

#include <algorithm>

std::optional<ThinScrollMetrics> ThinScrollMetrics::make(qreal visible, qreal total, qreal barHeight)
{
    if (!(visible + 1 < total) || barHeight <= kMinBarHeight)
        return std::nullopt;
    ThinScrollMetrics m;
    m.visible = visible;
    m.total = total;
    m.knobLength = std::max(visible / total * barHeight, kMinLength);
    m.travel = std::max<qreal>(barHeight - m.knobLength, 0);
    return m;
}

QRectF ThinScrollMetrics::knobRect(qreal offset, const QRectF& bounds) const
{
    const qreal range = total - visible;
    const qreal fraction = range > 0 ? std::clamp(offset / range, 0.0, 1.0) : 0.0;
    const qreal x = bounds.right() - kThickness - kEdgeInset;
    const qreal y = bounds.top() + travel * fraction + 1;
    return {x, y, kThickness, std::max(knobLength - 2, kMinDrawnLength)};
}

QRectF ThinScrollMetrics::grabRect(const QRectF& knob)
{
    return knob.adjusted(-kSlopX, -kSlopY, kSlopX, kSlopY);
}

qreal ThinScrollMetrics::pageTarget(qreal offset, qreal y, const QRectF& knob) const
{
    return y < knob.top() ? offset - kPageFraction * visible : offset + kPageFraction * visible;
}

qreal ThinScrollMetrics::dragTarget(qreal originOffset, qreal dy) const
{
    if (travel <= 0)
        return originOffset;
    return originOffset + (total - visible) * (dy / travel);
}

qreal ThinScrollMetrics::clamp(qreal offset) const
{
    return std::clamp<qreal>(offset, 0, maxOffset());
}
