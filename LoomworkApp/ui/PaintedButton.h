#pragma once

#include <functional>

#include "ui/BaseButton.h"

class QPainter;

// A focus-less button drawn by a function of its state, for close badges, pills and
// panel buttons whose look no stock button gives.
class PaintedButton : public BaseButton
{
    Q_OBJECT
public:
    using Painter = std::function<void(QPainter& painter, const QRectF& rect, const State& state)>;

    PaintedButton(QSize size, Painter painter, QWidget* parent = nullptr);

    QSize sizeHint() const override { return m_size; }
    // For a look that follows outside state (a title, a symbol); repaints.
    void setPainter(Painter painter);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QSize m_size;
    Painter m_painter;
};
