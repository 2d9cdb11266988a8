#include "ui/Hairline.h"

#include <QPainter>

#include "ui/Theme.h"

Hairline::Hairline(QWidget* parent) : QWidget(parent)
{
    setFixedHeight(1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void Hairline::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(QRectF(0, 0, width(), 0.5), Theme::divider());
}
