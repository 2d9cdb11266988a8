#include "ui/Dot.h"

#include <QPainter>

#include "ui/Theme.h"

Dot::Dot(QWidget* parent) : QWidget(parent)
{
    setFixedSize(3, 3);
}

void Dot::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Theme::alpha(Theme::textSecondary(), 0.55));
    p.drawEllipse(QRectF(0, 0, 3, 3));
}
