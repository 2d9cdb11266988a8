#pragma once

#include <optional>

#include <QRectF>

// The geometry of the thin scroll bar's knob, from the visible and total content
// lengths and the scroll offset, in the bar's coordinates (y grows downwards).
class ThinScrollMetrics
{
public:
    static constexpr qreal kThickness = 7.7;
    static constexpr qreal kEdgeInset = 1.6;
    static constexpr qreal kMinLength = 34;
    static constexpr qreal kMinDrawnLength = 32;
    static constexpr qreal kMinBarHeight = 20;
    static constexpr qreal kSlopX = 3;
    static constexpr qreal kSlopY = 2;
    static constexpr qreal kPageFraction = 0.9;

    qreal visible = 0;
    qreal total = 0;
    qreal knobLength = 0;
    qreal travel = 0;

    // None when there is nothing to scroll (visible + 1 >= total) or the bar is 20 high
    // or less.
    static std::optional<ThinScrollMetrics> make(qreal visible, qreal total, qreal barHeight);

    qreal maxOffset() const { return std::max<qreal>(total - visible, 0); }
    // The knob for `offset` in a bar of `bounds`: trimmed by 1 at each end, at least 32.
    QRectF knobRect(qreal offset, const QRectF& bounds) const;
    // The knob enlarged by 3 sideways and 2 above and below: where a press grabs it.
    static QRectF grabRect(const QRectF& knob);
    // Offset after a press at `y` outside the grab area: a page up above the knob, a page
    // down below it.
    qreal pageTarget(qreal offset, qreal y, const QRectF& knob) const;
    // Offset while dragging `dy` from a drag that began at `originOffset`.
    qreal dragTarget(qreal originOffset, qreal dy) const;
    // `offset` limited to 0 … maxOffset().
    qreal clamp(qreal offset) const;
};
