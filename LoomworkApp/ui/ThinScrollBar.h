#pragma once

#include <optional>

#include <QAbstractScrollArea>
#include <QPointer>
#include <QWidget>

#include "ui/ThinScrollMetrics.h"



// A slim rounded knob laid over the right edge of a scroll area whose own vertical
// scroll bar is hidden. It follows the scroll bar's range and value, pages on a press
// beside the knob and scrolls while the knob is dragged. The wheel still scrolls the
// area through its hidden scroll bar.
class ThinScrollBar : public QWidget
{
    Q_OBJECT
public:
    static constexpr int kWidth = 15;

    explicit ThinScrollBar(QAbstractScrollArea* area);

    QAbstractScrollArea* area() const { return m_area; }
    bool isDragging() const { return m_dragging; }

    std::optional<ThinScrollMetrics> metrics() const;
    std::optional<QRectF> knobRect() const;
    qreal scrollOffset() const;
    void scrollTo(qreal offset);
    // Follows the area's viewport: the right strip of its height.
    void syncFrame();
    // The knob colour for an appearance and drag state.
    static QColor knobColor(bool dragging);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void contentMoved();

    QPointer<QAbstractScrollArea> m_area;
    bool m_dragging = false;
    QPointF m_dragStart;
    qreal m_dragOrigin = 0;
};
