#include "shell/Dot.h"

#include <QPainter>

#include "shell/Palette.h"

Dot::Dot(QWidget* parent) : QWidget(parent)
{
    setFixedSize(3, 3);
}

void Dot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor c = Palette::secondary();
    c.setAlphaF(c.alphaF() * 0.55f);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QRectF(0, 0, 3, 3));
}
