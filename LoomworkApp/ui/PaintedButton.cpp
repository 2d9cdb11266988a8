
#include <QPainter>

#include "ui/PaintedButton.h"
#include "ui/Theme.h"

PaintedButton::PaintedButton(QSize size, Painter painter, QWidget* parent)
    : BaseButton(parent), m_size(size), m_painter(std::move(painter))
{
    setFixedSize(size);
    noFocusRing(this);
    setCursor(Qt::PointingHandCursor);
}

void PaintedButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    m_painter(p, QRectF(rect()), state());
}

void PaintedButton::setPainter(Painter painter)
{
    m_painter = std::move(painter);
    update();
}
