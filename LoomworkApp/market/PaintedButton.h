#pragma once

#include <functional>

#include <QPainter>

#include "ui/BaseButton.h"

// A button of the market's floating panels whose look is one paint function over its state.
class PaintedButton : public BaseButton {
    Q_OBJECT
public:
    using Paint = std::function<void(QPainter&, const QRectF& rect, State state)>;

    PaintedButton(QSize size, Paint paint, QWidget* parent = nullptr)
        : BaseButton(parent)
        , m_paint(std::move(paint))
    {
        setFixedSize(size);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::NoFocus);
    }

    void setPaint(Paint paint)
    {
        m_paint = std::move(paint);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        m_paint(painter, QRectF(rect()), state());
    }

private:
    Paint m_paint;
};
