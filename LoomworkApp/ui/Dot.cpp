#include "ui/Dot.h"

#include <QPainter>

#include "ui/Palette.h"
#include "ui/Tint.h"

Dot::Dot(QWidget* parent) : QWidget(parent)
{
    setFixedSize(3, 3);
}

void Dot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Tint::opacity(Palette::secondary(), 0.55));
    p.drawEllipse(QRectF(0, 0, 3, 3));
}
