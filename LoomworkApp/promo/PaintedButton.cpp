#include "promo/PaintedButton.h"

#include <QPainter>

#include "ui/Surface.h"

PaintedButton::PaintedButton(QSize size, Painter painter, QWidget* parent)
    : QAbstractButton(parent), m_size(size), m_painter(std::move(painter))
{
    setFixedSize(size);
    noFocusRing(this);
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_Hover);
}

void PaintedButton::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    m_painter(p, QRectF(rect()), State{m_hovered, isDown()});
}

void PaintedButton::enterEvent(QEnterEvent* event)
{
    QAbstractButton::enterEvent(event);
    m_hovered = true;
    emit hoverChanged(true);
    update();
}

void PaintedButton::leaveEvent(QEvent* event)
{
    QAbstractButton::leaveEvent(event);
    m_hovered = false;
    emit hoverChanged(false);
    update();
}
